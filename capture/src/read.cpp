// Reading a capture one packet at a time, whichever its format: only the
// record at hand is in memory, so a capture of any length streams through.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "capture/capture.h"
#include "reader.h"

namespace {

constexpr std::uint32_t PCAP_MICROSECONDS = 0xa1b2c3d4;
constexpr std::uint32_t PCAP_NANOSECONDS = 0xa1b23c4d;
constexpr std::uint32_t PCAPNG_SECTION_HEADER = 0x0a0d0d0a;
// No capture tool stores a packet this large; a length beyond it is a
// broken file, not a reason to allocate.
constexpr std::uint64_t LARGEST_RECORD = 16 * 1024 * 1024;

}  // namespace

int reader_fail(capture_reader* reader, int code, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reader->message, sizeof reader->message, format, arguments);
    va_end(arguments);
    return code;
}

int reader_read(capture_reader* reader, void* to, std::size_t size, const char* unit, bool end_allowed) {
    const std::size_t got = std::fread(to, 1, size, reader->from);
    reader->offset += got;
    if (got == size) return CAPTURE_OK;
    if (std::ferror(reader->from))
        return reader_fail(reader, CAPTURE_READ_FAILED, "reading the capture failed at byte %llu: %s",
                           static_cast<unsigned long long>(reader->offset), std::strerror(errno));
    if (got == 0 && end_allowed && reader->offset == reader->record_start) return CAPTURE_END;
    return reader_fail(reader, CAPTURE_CUT_SHORT, "the capture is cut short at byte %llu, inside the %s that starts at byte %llu",
                       static_cast<unsigned long long>(reader->offset), unit,
                       static_cast<unsigned long long>(reader->record_start));
}

int reader_check_length(capture_reader* reader, const char* unit, std::uint64_t length) {
    if (length <= LARGEST_RECORD) return CAPTURE_OK;
    return reader_fail(reader, CAPTURE_MALFORMED,
                       "the capture is malformed: the %s at byte %llu gives its length as %llu bytes, "
                       "more than the %llu any capture tool writes",
                       unit, static_cast<unsigned long long>(reader->record_start), static_cast<unsigned long long>(length),
                       static_cast<unsigned long long>(LARGEST_RECORD));
}

int reader_make_room(capture_reader* reader, std::size_t size) {
    if (size <= reader->block_room) return CAPTURE_OK;
    const std::size_t room = size > CAPTURE_SNAPLEN ? size : CAPTURE_SNAPLEN;
    auto* block = static_cast<std::uint8_t*>(std::realloc(reader->block, room));
    if (block == nullptr) return reader_fail(reader, CAPTURE_NO_MEMORY, "no memory for a record of %llu bytes",
                                                  static_cast<unsigned long long>(room));
    reader->block = block;
    reader->block_room = room;
    return CAPTURE_OK;
}

int reader_add_interface(capture_reader* reader, const capture_interface* interface) {
    if (reader->interface_count == CAPTURE_INTERFACES_MAX)
        return reader_fail(reader, CAPTURE_TOO_MANY_INTERFACES,
                           "the capture describes too many interfaces: the block at byte %llu describes one past "
                           "the %llu the reader keeps for a section",
                           static_cast<unsigned long long>(reader->record_start),
                           static_cast<unsigned long long>(CAPTURE_INTERFACES_MAX));
    if (reader->interface_count == reader->interface_room) {
        const std::size_t room = reader->interface_room == 0 ? 4 : reader->interface_room * 2;
        auto* grown = static_cast<capture_interface*>(std::realloc(reader->interfaces, room * sizeof(capture_interface)));
        if (grown == nullptr) return reader_fail(reader, CAPTURE_NO_MEMORY, "no memory for %llu interfaces",
                                                       static_cast<unsigned long long>(room));
        reader->interfaces = grown;
        reader->interface_room = room;
    }
    reader->interfaces[reader->interface_count++] = *interface;
    return CAPTURE_OK;
}

std::uint64_t reader_time_us(const capture_interface* interface, std::uint64_t ticks) {
    const std::uint64_t offset_us = static_cast<std::uint64_t>(interface->offset_s) * 1000000;  // a negative one wraps back
    unsigned exponent = interface->resolution & 0x7fu;
    if (interface->resolution & 0x80) {  // 2^-exponent seconds
        const std::uint64_t whole = ticks >> exponent;
        std::uint64_t fraction = ticks & ((std::uint64_t{1} << exponent) - 1);
        if (exponent > 40) {  // keeps fraction * 10^6 within 64 bits
            fraction >>= exponent - 40;
            exponent = 40;
        }
        return whole * 1000000 + (fraction * 1000000 >> exponent) + offset_us;
    }
    std::uint64_t scale = 1;
    for (unsigned i = exponent; i < 6; ++i) ticks *= 10;
    for (unsigned i = 6; i < exponent; ++i) scale *= 10;
    return ticks / scale + offset_us;
}

int capture_reader_open(capture_reader* reader, std::FILE* from) {
    *reader = capture_reader{};
    reader->from = from;
    std::uint8_t magic_bytes[4];
    const std::size_t got = std::fread(magic_bytes, 1, sizeof magic_bytes, from);
    reader->offset = got;
    if (got < sizeof magic_bytes) {
        if (std::ferror(from))
            return reader_fail(reader, CAPTURE_READ_FAILED, "reading the capture failed: %s", std::strerror(errno));
        return reader_fail(reader, CAPTURE_NOT_A_CAPTURE, "not a capture file (pcap or pcapng): it holds only %d bytes",
                           static_cast<int>(got));
    }
    const std::uint32_t magic = load_file32(magic_bytes, false);
    if (magic == PCAPNG_SECTION_HEADER) {
        reader->pcapng = true;
        return pcapng_read_section(reader);
    }
    reader->swapped = magic != PCAP_MICROSECONDS && magic != PCAP_NANOSECONDS;
    const std::uint32_t ordered = reader->swapped ? swap32(magic) : magic;
    if (ordered == PCAP_MICROSECONDS || ordered == PCAP_NANOSECONDS) return pcap_open(reader, ordered == PCAP_NANOSECONDS);
    return reader_fail(reader, CAPTURE_NOT_A_CAPTURE,
                       "not a capture file (pcap or pcapng): it begins with the bytes %02x %02x %02x %02x",
                       magic_bytes[0], magic_bytes[1], magic_bytes[2], magic_bytes[3]);
}

int capture_reader_next(capture_reader* reader, capture_datagram* datagram) {
    for (;;) {
        read_frame frame;
        const int result = reader->pcapng ? pcapng_next_frame(reader, &frame) : pcap_next_frame(reader, &frame);
        if (result != CAPTURE_OK) return result;
        ++reader->packets;
        *datagram = capture_datagram{};
        switch (packet_udp(&frame.frame, datagram)) {
        case PACKET_UDP: datagram->time_us = frame.time_us; return CAPTURE_OK;
        case PACKET_FRAGMENT: ++reader->skipped.fragments; break;
        case PACKET_NOT_UDP: ++reader->skipped.not_udp; break;
        case PACKET_TRUNCATED: ++reader->skipped.truncated; break;
        case PACKET_MALFORMED: ++reader->skipped.malformed; break;
        case PACKET_OTHER_LINK: ++reader->skipped.other_link; break;
        }
    }
}

void capture_reader_close(capture_reader* reader) {
    std::free(reader->block);
    std::free(reader->interfaces);
    reader->block = nullptr;
    reader->interfaces = nullptr;
}

std::uint64_t capture_skipped_total(const capture_skipped* skipped) {
    return skipped->fragments + skipped->not_udp + skipped->truncated + skipped->malformed + skipped->other_link;
}
