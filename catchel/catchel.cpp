// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include "catchel.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "cmdline/cmdline.h"

namespace {

constexpr int receive_capacity = 100000;
constexpr std::uint32_t receive_wait_us = 1000000;
constexpr std::string_view longest_header = "udp 18446744073709551615 from 255.255.255.255:65535 sz 100000 :\n\n";
constexpr std::size_t header_room = 72;
static_assert(longest_header.size() <= header_room);
// Records of datagrams that were queued together leave in one write, up to
// about this much output; a larger record still goes whole.
constexpr std::size_t output_batch = 16384;
// The system's default receive buffer holds a few milliseconds of a flood;
// with this much room a burst waits in the kernel until catchel catches up.
constexpr int socket_receive_buffer = 4 << 20;

int usage(std::FILE* out) {
    std::fputs("Usage: catchel [-bind <ip>] <port>\n"
               "       catchel [-bind <ip>] <multicast ip> <port>\n",
               out);
    return -2;
}

// Records and lines waiting to be written, each one whole.
struct pending_output {
    // Below the batch, then one more record: its header and its datagram,
    // with room for the text to grow to twice the datagram's size.
    char bytes[output_batch + header_room + 2 * receive_capacity + 1];
    std::size_t used;
    // Where a datagram is received, counted from the start of its record.
    std::size_t data_offset;
    bool to_terminal;
};

void pending_init(pending_output* out, bool to_terminal) {
    out->used = 0;
    out->to_terminal = to_terminal;
    // On a terminal the text may grow as it is copied forward to follow its
    // header: it starts a whole datagram further on, so that the copy never
    // overtakes the bytes it has still to read.
    out->data_offset = header_room + (to_terminal ? receive_capacity : 0);
}

bool write_out(pending_output* out, std::FILE* to) {
    std::size_t length = std::exchange(out->used, 0);
    return length == 0 || std::fwrite(out->bytes, 1, length, to) == length;
}

// Where the next datagram is received, so that its record is put together where it lies.
char* next_data(pending_output* out) { return out->bytes + out->used + out->data_offset; }

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

// "udp %llu from %d.%d.%d.%d:%u sz %d :\n\n" into the header room; returns its length.
std::size_t put_header(char* header, std::uint64_t number, std::uint32_t ip, std::uint16_t port, int size) {
    char* at = header;
    char* end = header + header_room;
    auto text = [&at](std::string_view part) { at = std::copy(part.begin(), part.end(), at); };
    auto decimal = [&at, end](auto value) { at = std::to_chars(at, end, value).ptr; };
    text("udp ");
    decimal(number);
    text(" from ");
    for (int shift = 24; shift >= 0; shift -= 8) {
        decimal(ip >> shift & 0xff);
        text(shift > 0 ? "." : ":");
    }
    decimal(port);
    text(" sz ");
    decimal(size);
    text(" :\n\n");
    return static_cast<std::size_t>(at - header);
}

// The datagram of `size` bytes lies at next_data(); its text ends at its first zero byte.
void add_record(pending_output* out, std::uint64_t number, std::uint32_t ip, std::uint16_t port, int size) {
    char* record = out->bytes + out->used;
    const char* data = next_data(out);
    const void* zero = std::memchr(data, 0, static_cast<std::size_t>(size));
    auto text_length = static_cast<std::size_t>(zero != nullptr ? static_cast<const char*>(zero) - data : size);
    // The header room lies before the datagram: the header cannot overwrite it.
    std::size_t header_length = put_header(record, number, ip, port, size);
    char* text = record + header_length;
    if (out->to_terminal) {
        text_length = put_visible(text, data, text_length);
    } else {
        std::memmove(text, data, text_length);
    }
    text[text_length] = '\n';
    out->used += header_length + text_length + 1;
}

void add_report(pending_output* out, int code) {
    char* at = std::copy_n("timeout/error err ", 18, out->bytes + out->used);
    at = std::to_chars(at, at + 12, code).ptr;
    *at++ = '\n';
    out->used = static_cast<std::size_t>(at - out->bytes);
}

}  // namespace

// A datagram already queued behind the one just read is read at once,
// without a wait, and its record joins the output still to be written;
// whatever is to be written leaves before catchel waits, so no record waits
// for the next datagram.
int catchel_receive(net_endpoint* ep, std::FILE* out, catchel_state* state, const std::atomic<int>* stop) {
    pending_output pending;
    pending_init(&pending, cli_is_terminal(out));
    bool maybe_queued = false;
    for (;;) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int n = maybe_queued ? dgram_receive_from(ep, next_data(&pending), receive_capacity, &ip, &port, 0, 0)
                             : NET_TIMEOUT;
        if (n == NET_TIMEOUT) {
            if (!write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
            if (stop->load() != 0) return 0;
            n = dgram_receive_from(ep, next_data(&pending), receive_capacity, &ip, &port, receive_wait_us, 0);
        }
        maybe_queued = n >= 0;
        bool stopping = stop->load() != 0;
        if (n >= 0) {
            state->last_reported = 0;
            add_record(&pending, ++state->received, ip, port, n);
        } else if (n != state->last_reported && !stopping) {
            // An interrupt cuts the wait short; that is no failure to report.
            add_report(&pending, n);
            state->last_reported = n;
        }
        if (stopping || pending.used >= output_batch) {
            if (!write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
            if (stopping) return 0;
        }
    }
}

int catchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* stop) {
    if (argc < 2) return usage(out);
    const char* bind_text = nullptr;
    int next = cli_skip_bind(argc, argv, &bind_text);
    if (next == 0 || next >= argc) return usage(out);

    std::uint32_t bind_ip = 0;
    if (bind_text != nullptr && (bind_ip = net_resolve(bind_text)) == 0) {
        std::fprintf(out, "invalid host/ip %s\n", bind_text);
        return -2;
    }
    // Two arguments or more: the first names the group to join.
    std::uint32_t group = 0;
    if (argc - next >= 2) {
        if ((group = net_resolve(argv[next])) == 0) {
            std::fprintf(out, "invalid ip address %s\n", argv[next]);
            return -2;
        }
        ++next;
    }
    std::uint16_t port = 0;
    int port_value = 0;
    if (!cli_read_port(argv[next], &port, &port_value)) {
        std::fprintf(out, "impossible port %d\n", port_value);
        return 1;
    }

    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, port, group != 0 ? DGRAM_MULTIPOINT : 0);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot initialize socket err %d\n", rc);
        return -1;
    }
    if (group != 0 && (rc = dgram_join_group(ep, group)) != NET_OK) {
        std::fprintf(out, "cannot join multicast group err %d\n", rc);
        dgram_close(ep);
        return -2;
    }
    // Best effort: a smaller buffer loses datagrams only in bursts, and says nothing.
    dgram_set_receive_buffer(ep, socket_receive_buffer);
    catchel_state state{0, 0};
    int status = catchel_receive(ep, out, &state, stop);
    dgram_close(ep);
    return status;
}
