#include "plain_udp.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#ifdef _WIN32
using plain_len = int;
#else
using plain_len = socklen_t;
#endif

bool plain_port_held(std::uint32_t ip, std::uint16_t port) {
    plain_sockets_start();
    net_socket s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = plain_address(ip, port);
    bool held = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0;
    plain_close_socket(s);
    if (held || ip != 0) return held;
    // Any address: an IPv6 endpoint holds the port too.
    s = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(port);
    held = bind(s, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0;
    plain_close_socket(s);
    return held;
}

plain_udp plain_udp_open(std::uint16_t port) {
    plain_sockets_start();
    net_socket s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = plain_address(loopback_ip, port);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "plain_udp_open: cannot bind 127.0.0.1:%u\n", port);
        std::abort();
    }
    return plain_udp{s, plain_local_port(s)};
}

void plain_udp_close(plain_udp* udp) { plain_close_socket(udp->sock); }

namespace {

sockaddr_in6 ipv6_loopback(std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return address;
}

}  // namespace

plain_udp plain_udp_open_ipv6() {
    plain_sockets_start();
    net_socket s = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 local = ipv6_loopback(0);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "plain_udp_open_ipv6: cannot bind [::1]\n");
        std::abort();
    }
    return plain_udp{s, plain_local_port(s)};
}

bool plain_udp_send_ipv6(const plain_udp* udp, const std::string& data, std::uint16_t to_port) {
    sockaddr_in6 remote = ipv6_loopback(to_port);
    auto sent = sendto(udp->sock, data.data(), static_cast<int>(data.size()), 0,
                       reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    return sent == static_cast<decltype(sent)>(data.size());
}

bool plain_udp_send(const plain_udp* udp, const std::string& data, std::uint16_t to_port, std::uint32_t to_ip) {
    sockaddr_in remote = plain_address(to_ip, to_port);
    auto sent = sendto(udp->sock, data.data(), static_cast<int>(data.size()), 0,
                       reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    return sent == static_cast<decltype(sent)>(data.size());
}

bool plain_udp_receive(const plain_udp* udp, std::string* data, int timeout_ms, std::uint16_t* from_port,
                       std::uint32_t* from_ip) {
    if (!plain_wait_readable(udp->sock, timeout_ms)) return false;
    static char buffer[65536];
    sockaddr_storage storage{};
    auto& from = reinterpret_cast<sockaddr_in&>(storage);
    plain_len len = sizeof storage;
    auto got = recvfrom(udp->sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&storage), &len);
    if (got < 0) return false;
    data->assign(buffer, static_cast<std::size_t>(got));
    if (from_port != nullptr) *from_port = ntohs(from.sin_port);
    if (from_ip != nullptr) *from_ip = ntohl(from.sin_addr.s_addr);
    return true;
}

std::uint16_t plain_free_port() {
    // Below the ports the systems hand out for a bind to port 0 (Linux from
    // 32768, Windows from 49152): a test running beside this one that binds
    // to port 0 cannot be handed this port before the program takes it.
    constexpr std::uint16_t lowest = 20000;
    constexpr std::uint16_t span = 12768;
    static std::mt19937 pick{std::random_device{}()};
    for (;;) {
        auto port = static_cast<std::uint16_t>(lowest + pick() % span);
        if (!plain_port_held(0, port)) return port;
    }
}
