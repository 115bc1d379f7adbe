#include "records/records.h"

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "encode.h"
#include "probes/probes.h"

namespace {

// The longest address with its port, and bare: without "[", "]:65535".
constexpr std::size_t longest_address_port = NET_ADDRESS_TEXT_ROOM - 1;
constexpr std::size_t longest_address = longest_address_port - std::string_view("[]:65535").size();
constexpr std::string_view longest_drop_line = "kernel dropped 4294967295 datagrams\n";
// The longest header and JSON lead with their addresses left out.
constexpr std::string_view longest_header_frame =
    "+99999-12-31T23:59:59.999999Z udp 18446744073709551615 from  to  seq 18446744073709551615"
    " rtt 18446744073709551.615 ms"
    " ttl 255 tos 0xff sz 100000 :\n\n";
constexpr std::string_view longest_json_frame =
    "{\"n\":18446744073709551615,\"time\":\"+99999-12-31T23:59:59.999999Z\",\"from\":\"\","
    "\"port\":65535,\"to\":\"\",\"seq\":18446744073709551615,\"rtt_us\":18446744073709551615,"
    "\"ttl\":255,\"tos\":255,\"size\":100000,\"dropped\":4294967295,\"data\":\"";
// The room left after the longest record takes the late drops' line too.
static_assert(2 * longest_drop_line.size() + longest_header_frame.size() + longest_address_port + longest_address <=
              RECORD_HEADER_ROOM);
static_assert(longest_json_frame.size() + 2 * RECORD_JSON_TEXT_GROWTH * longest_address <= RECORD_HEADER_ROOM);
static_assert(RECORD_HEX_LINE - 16 == hex_dump_growth(1));
static_assert(4 * RECORD_DATA_CAPACITY + 1 <= RECORD_ROOM - RECORD_HEADER_ROOM, "a terminal's record fits");

// How much further than the header room the datagram is received, so that
// each form can be written over it from the record's start without
// overtaking a byte it has still to read.
std::size_t body_growth(const record_format& format, bool to_terminal) {
    constexpr auto capacity = static_cast<std::size_t>(RECORD_DATA_CAPACITY);
    if (format.json) return base64_growth(capacity);
    if (format.hex) return hex_dump_growth(capacity);
    return to_terminal ? 3 * capacity : 0;  // on a terminal each byte may become four
}

// The length of the valid UTF-8 sequence that `text` (`left` bytes long)
// starts with; 0 when it starts with none. Overlong forms, surrogates and
// code points past U+10FFFF are not valid.
std::size_t utf8_sequence_length(const unsigned char* text, std::size_t left) {
    unsigned char lead = text[0];
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    if (lead < 0xc2 || lead > 0xf4 || length > left) return 0;
    // Only the second byte's range depends on the lead.
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (text[1] < low || text[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xbf) return 0;
    }
    return length;
}

// A byte below 0x80 as it is, or a control byte in caret notation.
char* put_caret_or_plain(char* to, unsigned char c) {
    if (c >= 0x20 && c != 0x7f) {
        *to++ = static_cast<char>(c);
    } else {
        *to++ = '^';
        *to++ = c == 0x7f ? '?' : static_cast<char>(c + 0x40);
    }
    return to;
}

// The text as `cat -v` shows it, but for valid UTF-8, which stays readable:
// control bytes but tab and line feed in caret notation, any other byte
// from 0x80 up in M- notation. A C1 control (U+0080 to U+009F) is a control
// to the terminal even when it comes as UTF-8, so its bytes are shown too.
// `to` may lie before `from` in the same array as long as it stays behind
// the byte being read; each byte becomes at most four.
std::size_t put_visible(char* to, const char* from, std::size_t length) {
    char* start = to;
    const auto* text = reinterpret_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < length;) {
        unsigned char c = text[i];
        std::size_t sequence = c >= 0x80 ? utf8_sequence_length(text + i, length - i) : 0;
        bool c1_control = c == 0xc2 && sequence == 2 && text[i + 1] < 0xa0;
        if (sequence != 0 && !c1_control) {
            for (std::size_t end = i + sequence; i < end; ++i) *to++ = static_cast<char>(text[i]);
            continue;
        }
        if (c == '\t' || c == '\n') {
            *to++ = static_cast<char>(c);
        } else if (c < 0x80) {
            to = put_caret_or_plain(to, c);
        } else {
            *to++ = 'M';
            *to++ = '-';
            to = put_caret_or_plain(to, static_cast<unsigned char>(c - 0x80));
        }
        ++i;
    }
    return static_cast<std::size_t>(to - start);
}

// The line for drops the kernel made since the last one told, when there
// were any; `dropped` counts all of them so far.
char* put_drop_line(char* at, record_output* out, std::uint32_t dropped) {
    if (dropped == out->dropped_told) return at;
    at = put_text(at, "kernel dropped ");
    at = put_decimal(at, dropped - out->dropped_told);
    out->dropped_told = dropped;
    return put_text(at, " datagrams\n");
}

char* put_record_drop_line(char* at, record_output* out, const record_datagram* d) {
    return out->format.destination && d->details.has_dropped ? put_drop_line(at, out, d->details.dropped) : at;
}

// " ttl <n> tos 0x<hh>", each where the receive told it.
char* put_arrival_marks(char* at, const dgram_details& details) {
    if (details.has_hop_limit) at = put_decimal(put_text(at, " ttl "), details.hop_limit);
    return details.has_traffic_class ? put_hex_byte(put_text(at, " tos 0x"), details.traffic_class) : at;
}

// `probe`: the probe header the datagram begins with, or null.
char* put_header(char* at, record_output* out, const record_datagram* d, const probe_header* probe) {
    const record_format& format = out->format;
    if (format.time && d->details.has_time) {
        at = put_utc_time(at, d->details.time_us);
        *at++ = ' ';
    }
    at = put_text(at, "udp ");
    at = put_decimal(at, d->number);
    at = put_text(at, " from ");
    at = put_address_port(at, d->details.from, d->details.from_port, out->zones);
    if (format.destination && d->details.has_to) {
        at = put_text(at, " to ");
        at = put_address(at, d->details.to, out->zones);
    }
    if (probe != nullptr) at = put_decimal(put_text(at, " seq "), probe->sequence);
    if (d->is_echo) {
        at = put_text(at, " rtt ");
        at = put_decimal(at, d->rtt_us / 1000);
        *at++ = '.';
        auto thousandths = static_cast<int>(d->rtt_us % 1000);
        *at++ = static_cast<char>('0' + thousandths / 100);
        *at++ = static_cast<char>('0' + thousandths / 10 % 10);
        *at++ = static_cast<char>('0' + thousandths % 10);
        at = put_text(at, " ms");
    }
    if (format.destination) at = put_arrival_marks(at, d->details);
    at = put_text(at, " sz ");
    at = put_decimal(at, d->size);
    return put_text(at, " :\n\n");
}

// Its text up to the first zero byte, and a line end.
char* put_text_body(char* at, const char* data, std::size_t size, bool to_terminal) {
    const void* zero = std::memchr(data, 0, size);
    std::size_t length = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size;
    if (to_terminal) {
        length = put_visible(at, data, length);
    } else {
        std::memmove(at, data, length);
    }
    at[length] = '\n';
    return at + length + 1;
}

// ,"<key>": that leads each field after the first.
char* put_key(char* at, std::string_view key) {
    at = put_text(at, ",\"");
    at = put_text(at, key);
    return put_text(at, "\":");
}

template <typename Number>
char* put_number_field(char* at, std::string_view key, Number value) {
    return put_decimal(put_key(at, key), value);
}

char* put_address_field(char* at, std::string_view key, const net_address& address, record_zone* zones) {
    at = put_key(at, key);
    char text[NET_ADDRESS_TEXT_ROOM];
    *put_address(text, address, zones) = '\0';
    *at++ = '"';
    at = record_put_json_text(at, text);
    *at++ = '"';
    return at;
}

char* put_json(char* at, record_output* out, const record_datagram* d, const char* data) {
    at = put_text(at, "{\"n\":");
    at = put_decimal(at, d->number);
    if (d->details.has_time) {
        at = put_key(at, "time");
        *at++ = '"';
        at = put_utc_time(at, d->details.time_us);
        *at++ = '"';
    }
    at = put_address_field(at, "from", d->details.from, out->zones);
    at = put_number_field(at, "port", d->details.from_port);
    if (d->details.has_to) at = put_address_field(at, "to", d->details.to, out->zones);
    if (d->is_echo) {
        at = put_number_field(at, "seq", d->sequence);
        at = put_number_field(at, "rtt_us", d->rtt_us);
    }
    if (d->details.has_hop_limit) at = put_number_field(at, "ttl", d->details.hop_limit);
    if (d->details.has_traffic_class) at = put_number_field(at, "tos", d->details.traffic_class);
    at = put_number_field(at, "size", d->size);
    if (d->details.has_dropped) at = put_number_field(at, "dropped", d->details.dropped);
    at = put_key(at, "data");
    *at++ = '"';
    at = put_base64(at, data, static_cast<std::size_t>(d->size));
    return put_text(at, "\"}\n");
}

}  // namespace

bool record_output_init(record_output* out, bool to_terminal, record_format format) {
    out->bytes = static_cast<char*>(std::malloc(RECORD_OUTPUT_ROOM));
    out->used = 0;
    out->to_terminal = to_terminal;
    out->format = format;
    out->dropped_told = 0;
    for (record_zone& zone : out->zones) zone.index = 0;
    out->data_offset = RECORD_HEADER_ROOM + body_growth(format, to_terminal);
    return out->bytes != nullptr;
}

void record_output_free(record_output* out) {
    std::free(out->bytes);
    out->bytes = nullptr;
}

bool record_shows_drops(const record_format* format) { return format->destination || format->json; }

char* record_data(record_output* out) { return out->bytes + out->used + out->data_offset; }

// The header room lies before the datagram: what goes before the body
// cannot overwrite it, and each body keeps behind the bytes it reads.
void record_add(record_output* out, const record_datagram* datagram) {
    char* record = out->bytes + out->used;
    const char* data = record_data(out);
    auto size = static_cast<std::size_t>(datagram->size);
    char* end = nullptr;
    if (out->format.json) {
        end = put_json(record, out, datagram, data);
        if (datagram->details.has_dropped) out->dropped_told = datagram->details.dropped;
    } else if (out->format.hex) {
        char* body = put_header(put_record_drop_line(record, out, datagram), out, datagram, nullptr);
        end = put_hex_dump(body, data, size);
    } else {
        // A probe's header is numbers, not text: its number goes in the header line, its message in the body.
        probe_header probe{};
        bool is_probe = probe_decode(data, size, &probe);
        char* body = put_header(put_record_drop_line(record, out, datagram), out, datagram, is_probe ? &probe : nullptr);
        std::size_t skipped = is_probe ? PROBE_HEADER_SIZE : 0;
        end = put_text_body(body, data + skipped, size - skipped, out->to_terminal);
    }
    out->used += static_cast<std::size_t>(end - record);
}

void record_add_late_drops(record_output* out, std::uint32_t dropped) {
    if (!record_shows_drops(&out->format) || dropped == out->dropped_told) return;
    char* at = out->bytes + out->used;
    if (out->format.json) {
        at = put_decimal(put_text(at, "{\"dropped\":"), dropped);
        at = put_text(at, "}\n");
        out->dropped_told = dropped;
    } else {
        at = put_drop_line(at, out, dropped);
    }
    out->used = static_cast<std::size_t>(at - out->bytes);
}

void record_add_report(record_output* out, int code) {
    char* at = out->bytes + out->used;
    at = put_text(at, out->format.json ? "{\"err\":" : "timeout/error err ");
    at = put_decimal(at, code);
    at = put_text(at, out->format.json ? "}\n" : "\n");
    out->used = static_cast<std::size_t>(at - out->bytes);
}

void record_add_result(record_output* out, record_run* run, record_datagram* datagram, int n) {
    if (n >= 0) {
        datagram->number = record_count(run);
        datagram->size = n;
        record_add(out, datagram);
    } else if (n != run->last_reported) {
        record_add_report(out, n);
        run->last_reported = n;
    }
}

char* record_put_json_text(char* at, const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t left = std::strlen(text);
    for (std::size_t i = 0; i < left;) {
        unsigned char c = bytes[i];
        std::size_t sequence = c >= 0x80 ? utf8_sequence_length(bytes + i, left - i) : 0;
        if (sequence != 0) {
            for (std::size_t end = i + sequence; i < end; ++i) *at++ = static_cast<char>(bytes[i]);
            continue;
        }
        if (c == '"' || c == '\\') {
            *at++ = '\\';
            *at++ = static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            *at++ = static_cast<char>(c);
        } else {
            at = put_hex_byte(put_text(at, "\\u00"), c);
        }
        ++i;
    }
    return at;
}

std::uint64_t record_count(record_run* run) {
    run->last_reported = 0;
    return ++run->received;
}

bool record_batch_full(const record_output* out) { return out->used >= RECORD_BATCH; }

record_text record_take(record_output* out) { return record_text{out->bytes, std::exchange(out->used, 0)}; }
