#include "plain_tcp.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void refused(const char* what, std::uint16_t port) {
    std::fprintf(stderr, "%s: refused for 127.0.0.1:%u\n", what, port);
    std::abort();
}

}  // namespace

plain_tcp plain_tcp_bound() {
    plain_sockets_start();
    net_socket s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local = plain_address(loopback_ip, 0);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) refused("plain_tcp_bound", 0);
    return plain_tcp{s, plain_local_port(s)};
}

plain_tcp plain_tcp_listen() {
    plain_tcp listener = plain_tcp_bound();
    if (listen(listener.sock, 5) != 0) refused("plain_tcp_listen", listener.port);
    return listener;
}

bool plain_tcp_accept(const plain_tcp* listener, plain_tcp* accepted, int timeout_ms) {
    if (!plain_wait_readable(listener->sock, timeout_ms)) return false;
    net_socket s = accept(listener->sock, nullptr, nullptr);
    std::uint16_t port = plain_local_port(s);  // 0 when accept failed
    *accepted = plain_tcp{s, port};
    return port != 0;
}

plain_tcp plain_tcp_connect(std::uint16_t port) {
    plain_sockets_start();
    net_socket s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in remote = plain_address(loopback_ip, port);
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) refused("plain_tcp_connect", port);
    return plain_tcp{s, plain_local_port(s)};
}

void plain_tcp_close(plain_tcp* tcp) {
    if (tcp->sock == plain_no_socket) return;
    plain_close_socket(tcp->sock);
    tcp->sock = plain_no_socket;
}

void plain_tcp_reset(plain_tcp* tcp) {
    if (tcp->sock == plain_no_socket) return;
    linger abort_on_close{};
    abort_on_close.l_onoff = 1;
    abort_on_close.l_linger = 0;
    setsockopt(tcp->sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_on_close),
               sizeof abort_on_close);
    plain_tcp_close(tcp);
}

bool plain_tcp_send(const plain_tcp* tcp, const std::string& data) {
    auto sent = send(tcp->sock, data.data(), static_cast<int>(data.size()), 0);
    return sent == static_cast<decltype(sent)>(data.size());
}

int plain_tcp_read(const plain_tcp* tcp, std::string* data, int timeout_ms) {
    if (!plain_wait_readable(tcp->sock, timeout_ms)) return -1;
    char buffer[4096];
    auto got = recv(tcp->sock, buffer, sizeof buffer, 0);
    if (got < 0) return -1;
    data->append(buffer, static_cast<std::size_t>(got));
    return static_cast<int>(got);
}
