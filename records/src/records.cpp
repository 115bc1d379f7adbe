#include "records/records.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

constexpr std::string_view longest_header = "udp 18446744073709551615 from 255.255.255.255:65535 sz 100000 :\n\n";
static_assert(longest_header.size() <= RECORD_HEADER_ROOM);

// The text as `cat -v` shows it: control bytes but tab and line feed in
// caret notation, bytes from 0x80 up as they are, so that UTF-8 stays
// readable. `to` may lie before `from` in the same array as long as it
// stays behind the byte being read.
std::size_t put_visible(char* to, const char* from, std::size_t length) {
    char* start = to;
    for (std::size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(from[i]);
        if (c >= 0x20 ? c != 0x7f : c == '\t' || c == '\n') {
            *to++ = static_cast<char>(c);
        } else {
            *to++ = '^';
            *to++ = c == 0x7f ? '?' : static_cast<char>(c + 0x40);
        }
    }
    return static_cast<std::size_t>(to - start);
}

// The header into the room before the datagram; returns its length.
std::size_t put_header(char* header, const record_datagram* d) {
    char* at = header;
    char* end = header + RECORD_HEADER_ROOM;
    auto text = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
    auto decimal = [&at, end](auto value) { at = std::to_chars(at, end, value).ptr; };
    text("udp ");
    decimal(d->number);
    text(" from ");
    for (int shift = 24; shift >= 0; shift -= 8) {
        decimal(d->from_ip >> shift & 0xff);
        text(shift > 0 ? "." : ":");
    }
    decimal(d->from_port);
    text(" sz ");
    decimal(d->size);
    text(" :\n\n");
    return static_cast<std::size_t>(at - header);
}

}  // namespace

void record_output_init(record_output* out, bool to_terminal) {
    out->used = 0;
    out->to_terminal = to_terminal;
    // On a terminal the text may grow as it is copied forward to follow its
    // header: it starts a whole datagram further on, so that the copy never
    // overtakes the bytes it has still to read.
    out->data_offset = RECORD_HEADER_ROOM + (to_terminal ? RECORD_DATA_CAPACITY : 0);
}

char* record_data(record_output* out) { return out->bytes + out->used + out->data_offset; }

void record_add(record_output* out, const record_datagram* datagram) {
    char* record = out->bytes + out->used;
    const char* data = record_data(out);
    auto size = static_cast<std::size_t>(datagram->size);
    const void* zero = std::memchr(data, 0, size);
    std::size_t text_length = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size;
    // The header room lies before the datagram: the header cannot overwrite it.
    std::size_t header_length = put_header(record, datagram);
    char* text = record + header_length;
    if (out->to_terminal) {
        text_length = put_visible(text, data, text_length);
    } else {
        std::memmove(text, data, text_length);
    }
    text[text_length] = '\n';
    out->used += header_length + text_length + 1;
}

void record_add_report(record_output* out, int code) {
    constexpr std::string_view lead = "timeout/error err ";
    char* at = std::copy(lead.begin(), lead.end(), out->bytes + out->used);
    at = std::to_chars(at, at + 12, code).ptr;
    *at++ = '\n';
    out->used = static_cast<std::size_t>(at - out->bytes);
}

bool record_batch_full(const record_output* out) { return out->used >= RECORD_BATCH; }

bool record_write_out(record_output* out, std::FILE* to) {
    std::size_t length = std::exchange(out->used, 0);
    return length == 0 || std::fwrite(out->bytes, 1, length, to) == length;
}
