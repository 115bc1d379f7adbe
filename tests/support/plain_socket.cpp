#include "plain_socket.h"

#include <cstdlib>

#ifdef _WIN32
#include <winsock2.h>
using plain_len = int;
#else
#include <poll.h>
#include <unistd.h>
using plain_len = socklen_t;
#endif

void plain_sockets_start() {
#ifdef _WIN32
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) std::abort();
#endif
}

sockaddr_in plain_address(std::uint32_t ip, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip);
    return address;
}

namespace {

// A flag rather than a function pointer: Winsock's calls are __stdcall on i686.
// Either family: the port lies where sockaddr_in and sockaddr_in6 both keep it.
std::uint16_t queried_port(net_socket s, bool peer) {
    sockaddr_storage found{};
    plain_len len = sizeof found;
    auto* name = reinterpret_cast<sockaddr*>(&found);
    if ((peer ? getpeername(s, name, &len) : getsockname(s, name, &len)) != 0) return 0;
    return ntohs(reinterpret_cast<const sockaddr_in*>(&found)->sin_port);
}

}  // namespace

std::uint16_t plain_local_port(net_socket s) { return queried_port(s, false); }

std::uint16_t plain_peer_port(net_socket s) { return queried_port(s, true); }

bool plain_wait_readable(net_socket s, int timeout_ms) {
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{timeout_ms / 1000, timeout_ms % 1000 * 1000};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
#else
    pollfd entry{s, POLLIN, 0};
    return poll(&entry, 1, timeout_ms) == 1;
#endif
}

void plain_close_socket(net_socket s) {
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

int plain_int_option(net_socket s, int level, int name) {
    int value = -1;
#ifdef _WIN32
    int len = sizeof value;
    getsockopt(s, level, name, reinterpret_cast<char*>(&value), &len);
#else
    socklen_t len = sizeof value;
    getsockopt(s, level, name, &value, &len);
#endif
    return value;
}
