// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"

namespace {

constexpr int receive_capacity = 100000;
constexpr std::uint32_t receive_wait_us = 1000000;
// Room for the largest record, so that each one leaves in a single write.
constexpr std::size_t output_buffer_size = receive_capacity + 256;
// The system's default receive buffer holds about 256 small datagrams on
// Linux, 2.5 ms of a flood of 100000 a second: any longer pause, such as
// another process taking the core, made the kernel drop datagrams. With
// this much room a burst waits in the kernel until catchel catches up.
constexpr int socket_receive_buffer = 4 << 20;

int usage() {
    std::fputs("Usage: catchel [-bind <ip>] <port>\n"
               "       catchel [-bind <ip>] <multicast ip> <port>\n",
               stdout);
    return -2;
}

// The decimal digits of `value` as "%d" or "%u" writes them, at `out`; returns the end.
char* put_decimal(char* out, long long value) {
    if (value < 0) *out++ = '-';
    unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

char* put_text(char* out, const char* text) {
    while (*text != '\0') *out++ = *text++;
    return out;
}

// The record as "udp %d from %d.%d.%d.%d:%u sz %d :\n\n%s\n" prints it, put
// together by hand: under a flood printf's parsing of the format was the
// largest part of catchel's own work per datagram.
void print_record(int number, std::uint32_t ip, std::uint16_t port, const char* text, int size) {
    int octets[4];
    net_split_ipv4(&octets[0], &octets[1], &octets[2], &octets[3], ip);
    char header[80];
    char* at = put_decimal(put_text(header, "udp "), number);
    at = put_text(at, " from ");
    for (int i = 0; i < 4; ++i) {
        if (i > 0) *at++ = '.';
        at = put_decimal(at, octets[i]);
    }
    *at++ = ':';
    at = put_text(put_decimal(at, port), " sz ");
    at = put_text(put_decimal(at, size), " :\n\n");
    std::fwrite(header, 1, static_cast<std::size_t>(at - header), stdout);
    std::fwrite(text, 1, std::strlen(text), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Time-outs and failures are reported once for each run of the same code.
[[noreturn]] void print_forever(net_endpoint* ep) {
    static char buffer[receive_capacity + 1];  // and the zero byte after the data
    int received = 0;
    int last_reported = 0;
    for (;;) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int n = dgram_receive_from(ep, buffer, receive_capacity, &ip, &port, receive_wait_us, 0);
        if (n >= 0) {
            last_reported = 0;
            buffer[n] = '\0';
            print_record(++received, ip, port, buffer, n);
        } else if (n != last_reported) {
            std::printf("timeout/error err %d\n", n);
            std::fflush(stdout);
            last_reported = n;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    static char output_buffer[output_buffer_size];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

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
