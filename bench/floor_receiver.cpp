// floor_receiver <port> [4|6]
//
// The least a receiver following catchel's loop can do, written by hand
// for comparison: bind 0.0.0.0:<port> (with 6, [::]:<port> taking IPv4 too,
// as "catchel -6" does) with catchel's receive buffer, then for ever a
// poll() of up to 1 s, recvfrom() of every queued datagram without waiting,
// each one's record in catchel's text put together in one buffer, and one
// write() of that buffer per run. No time-out lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int capacity = 100000;
constexpr std::size_t batch = 16384;
constexpr int receive_buffer = 4 << 20;

char output[batch + 128 + capacity + 1];
char data[capacity + 1];

char* put(char* at, const char* text) { return std::copy(text, text + std::strlen(text), at); }

char* put_ipv4(char* at, char* end, std::uint32_t ip) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        at = std::to_chars(at, end, ip >> shift & 0xff).ptr;
        if (shift > 0) *at++ = '.';
    }
    return at;
}

// "a.b.c.d:port", or "[v6]:port"; an IPv4 sender of an IPv6 socket as IPv4.
char* put_source(char* at, char* end, const sockaddr_storage* from) {
    std::uint16_t port;
    if (from->ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(from);
        port = ntohs(v6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            std::uint32_t ip;
            std::memcpy(&ip, v6->sin6_addr.s6_addr + 12, sizeof ip);
            at = put_ipv4(at, end, ntohl(ip));
        } else {
            *at++ = '[';
            inet_ntop(AF_INET6, &v6->sin6_addr, at, INET6_ADDRSTRLEN);
            at += std::strlen(at);
            *at++ = ']';
        }
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(from);
        port = ntohs(v4->sin_port);
        at = put_ipv4(at, end, ntohl(v4->sin_addr.s_addr));
    }
    *at++ = ':';
    return std::to_chars(at, end, port).ptr;
}

int bound_socket(int family, std::uint16_t port) {
    int s = socket(family, SOCK_DGRAM, 0);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_storage local{};
    socklen_t len;
    if (family == AF_INET6) {
        int off = 0;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    }
    return bind(s, reinterpret_cast<sockaddr*>(&local), len) == 0 ? s : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fputs("Usage: floor_receiver <port> [4|6]\n", stderr);
        return 2;
    }
    int family = argc == 3 && std::strcmp(argv[2], "6") == 0 ? AF_INET6 : AF_INET;
    int s = bound_socket(family, static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (s < 0) return 1;
    std::uint64_t number = 0;
    for (;;) {
        pollfd entry{s, POLLIN, 0};
        if (poll(&entry, 1, 1000) != 1) continue;
        std::size_t used = 0;
        for (;;) {
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(s, data, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) break;
            char* at = output + used;
            char* end = at + 128;
            at = std::to_chars(put(at, "udp "), end, ++number).ptr;
            at = put_source(put(at, " from "), end, &from);
            at = std::to_chars(put(at, " sz "), end, n).ptr;
            at = put(at, " :\n\n");
            data[n] = '\0';
            std::size_t text = std::strlen(data);
            at = std::copy(data, data + text, at);
            *at++ = '\n';
            used = static_cast<std::size_t>(at - output);
            if (used >= batch) break;
        }
        if (used > 0 && write(1, output, used) != static_cast<ssize_t>(used)) return 3;
    }
}
