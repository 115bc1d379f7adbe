// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"

namespace {

constexpr int receive_capacity = 100000;
constexpr std::uint32_t receive_wait_us = 1000000;
// The longest header, "udp -2147483648 from 255.255.255.255:65535 sz 100000 :\n\n",
// fits in this.
constexpr std::size_t header_room = 64;
// Records of datagrams that were queued together leave in one write, up to
// about this much output; a larger record still goes whole.
constexpr std::size_t output_batch = 16384;
// The system's default receive buffer holds about 256 small datagrams on
// Linux, 2.5 ms of a flood of 100000 a second: any longer pause, such as
// another process taking the core, made the kernel drop datagrams. With
// this much room a burst waits in the kernel until catchel catches up.
constexpr int socket_receive_buffer = 4 << 20;
// Under a flood a wake-up costs catchel more than the datagrams it finds
// then, one or two. So after a run of two or more queued datagrams it pauses
// before it waits again, and the next wake finds a run many times longer.
// The records already read are written out first: only datagrams not yet
// read wait, in the kernel, for at most the pause. A lone datagram is no
// sign of a flood and is followed by no pause. After a run this long the
// pause is skipped, so that the kernel is never left holding more than a
// small part of what its receive buffer takes.
constexpr std::uint32_t gather_pause_ms = 1;
constexpr int gather_max_datagrams = 32;
constexpr std::size_t gather_max_bytes = 32768;

int usage() {
    std::fputs("Usage: catchel [-bind <ip>] <port>\n"
               "       catchel [-bind <ip>] <multicast ip> <port>\n",
               stdout);
    return -2;
}

char* put_unsigned(char* out, std::uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

// The digits of `value` as "%d" writes them; returns the end.
char* put_decimal(char* out, int value) {
    if (value < 0) *out++ = '-';
    return put_unsigned(out, value < 0 ? 0U - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value));
}

template <std::size_t N>
char* put_text(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
}

// Records waiting to be written, each one whole.
struct pending_output {
    char bytes[output_batch + header_room + receive_capacity];  // below the batch, then room for one more datagram
    std::size_t used;
};

void write_out(pending_output* out) {
    if (out->used == 0) return;
    std::fwrite(out->bytes, 1, out->used, stdout);
    out->used = 0;
}

// Where the next datagram is received: after room for its header, so that
// its record is put together where it lies.
char* next_data(pending_output* out) { return out->bytes + out->used + header_room; }

// The record as "udp %d from %d.%d.%d.%d:%u sz %d :\n\n%s\n" prints it, put
// together by hand, since under a flood printf's parsing of the format was
// the largest part of catchel's own work per datagram. The datagram of
// `size` bytes lies at next_data(); its text ends at its first zero byte.
void add_record(pending_output* out, int number, std::uint32_t ip, std::uint16_t port, int size) {
    int octets[4];
    net_split_ipv4(&octets[0], &octets[1], &octets[2], &octets[3], ip);
    char header[header_room];
    char* at = put_decimal(put_text(header, "udp "), number);
    at = put_text(at, " from ");
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *at++ = '.';
        at = put_decimal(at, octets[i]);
    }
    *at++ = ':';
    at = put_text(put_unsigned(at, port), " sz ");
    at = put_text(put_decimal(at, size), " :\n\n");
    auto header_len = static_cast<std::size_t>(at - header);

    char* record = out->bytes + out->used;
    const char* data = next_data(out);
    const void* zero = std::memchr(data, 0, static_cast<std::size_t>(size));
    std::size_t text_len = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - data)
                                           : static_cast<std::size_t>(size);
    std::memmove(record + header_len, data, text_len);
    std::memcpy(record, header, header_len);
    record[header_len + text_len] = '\n';
    out->used += header_len + text_len + 1;
}

// The datagrams read since catchel last waited.
struct queued_run {
    int datagrams;
    std::size_t bytes;
};

bool worth_a_pause(const queued_run& run) {
    return run.datagrams >= 2 && run.datagrams < gather_max_datagrams && run.bytes < gather_max_bytes;
}

// Prints each datagram's record, and each time-out or failure once for
// each run of the same code. A datagram already queued behind the one just
// read is read at once without a wait, and its record joins the output
// still to be written: under a flood the system calls per datagram fall,
// the costliest being the write. Whatever is to be written leaves before
// catchel pauses or waits, so no record waits for the next datagram.
[[noreturn]] void print_forever(net_endpoint* ep) {
    static pending_output out;
    int received = 0;
    int last_reported = 0;
    bool maybe_queued = false;
    queued_run run = {0, 0};
    for (;;) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int n = maybe_queued ? dgram_receive_from(ep, next_data(&out), receive_capacity, &ip, &port, 0, 0) : NET_TIMEOUT;
        if (n == NET_TIMEOUT) {
            write_out(&out);
            if (worth_a_pause(run)) clock_sleep_ms(gather_pause_ms);
            run = {0, 0};
            n = dgram_receive_from(ep, next_data(&out), receive_capacity, &ip, &port, receive_wait_us, 0);
        }
        maybe_queued = n >= 0;
        if (n >= 0) {
            last_reported = 0;
            ++run.datagrams;
            run.bytes += static_cast<std::size_t>(n);
            add_record(&out, ++received, ip, port, n);
            if (out.used >= output_batch) write_out(&out);
        } else if (n != last_reported) {
            write_out(&out);
            std::printf("timeout/error err %d\n", n);
            last_reported = n;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Every message and record is written whole with a single write: records
    // are put together in catchel's own buffer, and the few other lines need
    // no buffer either.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (argc < 2) return usage();
    const char* bind_text = nullptr;
    int next = cli_skip_bind(argc, argv, &bind_text);
    if (next == 0 || next >= argc) return usage();

    std::uint32_t bind_ip = 0;
    if (bind_text != nullptr && (bind_ip = net_resolve(bind_text)) == 0) {
        std::printf("invalid host/ip %s\n", bind_text);
        return -2;
    }
    // Two arguments or more: the first names the group to join.
    std::uint32_t group = 0;
    if (argc - next >= 2) {
        if ((group = net_resolve(argv[next])) == 0) {
            std::printf("invalid ip address %s\n", argv[next]);
            return -2;
        }
        ++next;
    }
    std::uint16_t port = 0;
    int port_value = 0;
    if (!cli_read_port(argv[next], &port, &port_value)) {
        std::printf("impossible port %d\n", port_value);
        return 1;
    }

    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, port, group != 0 ? DGRAM_MULTIPOINT : 0);
    if (rc != NET_OK) {
        std::printf("cannot initialize socket err %d\n", rc);
        return -1;
    }
    if (group != 0 && (rc = dgram_join_group(ep, group)) != NET_OK) {
        std::printf("cannot join multicast group err %d\n", rc);
        dgram_close(ep);
        return -2;
    }
    // Best effort: a smaller buffer loses datagrams only in bursts, and says nothing.
    dgram_set_receive_buffer(ep, socket_receive_buffer);
    print_forever(ep);
}
