// pcapng: sections, each with its own byte order and interfaces, made of
// blocks that carry their length at both ends. Blocks other than the
// section header, interface descriptions and packets are passed over.
#include <cstdio>

#include "bytes.h"
#include "reader.h"

namespace {

constexpr std::uint32_t SECTION_HEADER = 0x0a0d0d0a;
constexpr std::uint32_t INTERFACE_DESCRIPTION = 1;
constexpr std::uint32_t OBSOLETE_PACKET = 2;
constexpr std::uint32_t SIMPLE_PACKET = 3;
constexpr std::uint32_t ENHANCED_PACKET = 6;
constexpr std::uint32_t BYTE_ORDER_MAGIC = 0x1a2b3c4d;
constexpr std::uint16_t OPTION_END = 0;
constexpr std::uint16_t OPTION_TIME_RESOLUTION = 9;
constexpr std::uint16_t OPTION_TIME_OFFSET = 14;

// As the block's type names it: its own name, or its number.
void block_name(std::uint32_t type, char* text, std::size_t size) {
    const char* name = type == SECTION_HEADER        ? "section header block"
                       : type == INTERFACE_DESCRIPTION ? "interface description block"
                       : type == OBSOLETE_PACKET     ? "obsolete packet block"
                       : type == SIMPLE_PACKET       ? "simple packet block"
                       : type == ENHANCED_PACKET     ? "enhanced packet block"
                                                     : nullptr;
    if (name != nullptr) std::snprintf(text, size, "%s", name);
    else std::snprintf(text, size, "block of type 0x%08lx", static_cast<unsigned long>(type));
}

int malformed(capture_reader* reader, const char* what) {
    char name[64];
    block_name(reader->block_type, name, sizeof name);
    return reader_fail(reader, CAPTURE_MALFORMED, "the capture is malformed: the %s at byte %llu %s", name,
                       static_cast<unsigned long long>(reader->record_start), what);
}

// The block's bytes after the `read` already taken, into the block
// buffer; `body_size` leaves out the closing length.
int read_rest(capture_reader* reader, std::uint32_t length, std::size_t read, std::size_t* body_size) {
    if (length % 4 != 0 || length < read + 4) return malformed(reader, "has a length no block can have");
    char name[64];
    block_name(reader->block_type, name, sizeof name);
    const std::size_t rest = length - read;
    int result = reader_check_length(reader, name, length);
    if (result == CAPTURE_OK) result = reader_make_room(reader, rest);
    if (result == CAPTURE_OK) result = reader_read(reader, reader->block, rest, name, false);
    if (result != CAPTURE_OK) return result;
    if (load_file32(reader->block + rest - 4, reader->swapped) != length)
        return malformed(reader, "ends with a length other than the one it starts with");
    *body_size = rest - 4;
    return CAPTURE_OK;
}

bool resolution_usable(std::uint8_t resolution) {
    return resolution & 0x80 ? (resolution & 0x7f) < 64 : resolution <= 19;
}

int read_interface(capture_reader* reader, std::size_t body_size) {
    const std::uint8_t* body = reader->block;
    if (body_size < 8) return malformed(reader, "is shorter than its fixed fields");
    capture_interface interface{};
    interface.link_type = load_file16(body, reader->swapped);
    interface.snaplen = load_file32(body + 4, reader->swapped);
    interface.resolution = 6;
    for (std::size_t at = 8; at + 4 <= body_size;) {
        const std::uint16_t code = load_file16(body + at, reader->swapped);
        const std::uint16_t length = load_file16(body + at + 2, reader->swapped);
        const std::uint8_t* value = body + at + 4;
        if (at + 4 + length > body_size) return malformed(reader, "has an option longer than the block");
        if (code == OPTION_END) break;
        if (code == OPTION_TIME_RESOLUTION && length >= 1) interface.resolution = value[0];
        if (code == OPTION_TIME_OFFSET && length >= 8)
            interface.offset_s = static_cast<std::int64_t>(load_file64(value, reader->swapped));
        at += 4 + (length + 3u) / 4 * 4;
    }
    if (!resolution_usable(interface.resolution)) return malformed(reader, "gives a timestamp resolution finer than 64 bits hold");
    return reader_add_interface(reader, &interface);
}

const capture_interface* interface_of(capture_reader* reader, std::uint32_t id) {
    return id < reader->interface_count ? &reader->interfaces[id] : nullptr;
}

void set_frame(capture_reader* reader, read_frame* frame, const capture_interface* interface,
               const std::uint8_t* bytes, std::size_t captured, std::uint32_t original) {
    frame->frame = captured_frame{interface->link_type, reader->swapped, bytes, captured, captured < original};
    reader->last_time_us = frame->time_us;
}

// The enhanced and the obsolete packet block differ only in how they name
// the interface, ahead of the same fields: 32 bits, or 16 and a drop count.
int read_packet(capture_reader* reader, std::size_t body_size, bool obsolete, read_frame* frame) {
    const std::uint8_t* body = reader->block;
    if (body_size < 20) return malformed(reader, "is shorter than its fixed fields");
    const capture_interface* interface = interface_of(
        reader, obsolete ? load_file16(body, reader->swapped) : load_file32(body, reader->swapped));
    if (interface == nullptr) return malformed(reader, "names an interface no block described");
    const std::uint32_t captured = load_file32(body + 12, reader->swapped);
    if (captured > body_size - 20) return malformed(reader, "holds fewer bytes than it says it captured");
    frame->time_us = reader_time_us(interface, load_file64(body + 4, reader->swapped));
    set_frame(reader, frame, interface, body + 20, captured, load_file32(body + 16, reader->swapped));
    return CAPTURE_OK;
}

// A simple packet block has no time: the packet keeps the time of the one
// before it, so that a replay puts no gap between them.
int read_simple_packet(capture_reader* reader, std::size_t body_size, read_frame* frame) {
    const capture_interface* interface = interface_of(reader, 0);
    if (body_size < 4) return malformed(reader, "is shorter than its fixed fields");
    if (interface == nullptr) return malformed(reader, "comes before any interface block");
    const std::uint32_t original = load_file32(reader->block, reader->swapped);
    std::size_t captured = body_size - 4 < original ? body_size - 4 : original;
    if (interface->snaplen != 0 && captured > interface->snaplen) captured = interface->snaplen;
    frame->time_us = reader->last_time_us;
    set_frame(reader, frame, interface, reader->block + 4, captured, original);
    return CAPTURE_OK;
}

}  // namespace

int pcapng_read_section(capture_reader* reader) {
    reader->block_type = SECTION_HEADER;
    std::uint8_t head[8];  // the length, and the byte-order magic that says how to read it
    int result = reader_read(reader, head, sizeof head, "block", false);
    if (result != CAPTURE_OK) return result;
    const std::uint32_t magic = load_file32(head + 4, false);
    if (magic != BYTE_ORDER_MAGIC && swap32(magic) != BYTE_ORDER_MAGIC)
        return malformed(reader, "has no byte-order magic");
    reader->swapped = magic != BYTE_ORDER_MAGIC;
    std::size_t body_size = 0;
    result = read_rest(reader, load_file32(head, reader->swapped), 12, &body_size);
    if (result != CAPTURE_OK) return result;
    if (body_size < 12) return malformed(reader, "is shorter than its fixed fields");
    if (load_file16(reader->block, reader->swapped) != 1) return malformed(reader, "opens a pcapng section of a version other than 1");
    reader->interface_count = 0;  // interfaces are numbered within their section
    return CAPTURE_OK;
}

int pcapng_next_frame(capture_reader* reader, read_frame* frame) {
    for (;;) {
        reader->record_start = reader->offset;
        std::uint8_t type_bytes[4];
        int result = reader_read(reader, type_bytes, sizeof type_bytes, "block", true);
        if (result != CAPTURE_OK) return result;
        const std::uint32_t type = load_file32(type_bytes, reader->swapped);
        reader->block_type = type;
        if (type == SECTION_HEADER) {
            result = pcapng_read_section(reader);
            if (result != CAPTURE_OK) return result;
            continue;
        }
        std::uint8_t length_bytes[4];
        std::size_t body_size = 0;
        result = reader_read(reader, length_bytes, sizeof length_bytes, "block", false);
        if (result == CAPTURE_OK) result = read_rest(reader, load_file32(length_bytes, reader->swapped), 8, &body_size);
        if (result != CAPTURE_OK) return result;
        switch (type) {
        case INTERFACE_DESCRIPTION:
            result = read_interface(reader, body_size);
            if (result != CAPTURE_OK) return result;
            break;
        case ENHANCED_PACKET: return read_packet(reader, body_size, false, frame);
        case OBSOLETE_PACKET: return read_packet(reader, body_size, true, frame);
        case SIMPLE_PACKET: return read_simple_packet(reader, body_size, frame);
        default: break;
        }
    }
}
