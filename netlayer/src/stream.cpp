#include "internal.h"
#include "platform.h"

namespace {

constexpr int listen_backlog = 5;
// A server that never waits drains its backlog one accept a turn, while
// a burst of connections may arrive at once.
constexpr int busy_listen_backlog = 128;

// On a stream an empty read is the peer's orderly close, never data.
int read_stream(net_socket s, void* buf, int size) {
    int n = plat_recv(s, buf, size);
    if (n == 0) return NET_PEER_CLOSED;
    return n < 0 ? NET_ERROR : n;
}

// A call on a socket that never waits: NET_TIMEOUT where it would have waited.
int fail_unless_waiting(net_reason* reason) {
    if (plat_last_error() == PLAT_WOULD_BLOCK) return NET_TIMEOUT;
    return net_fail(reason);
}

int make_listener(net_endpoint* ep, const net_address* local, std::uint16_t port, bool ipv6, net_reason* reason) {
    int off_or_on = (ep->flags & STREAM_DUAL_STACK) != 0 ? 0 : 1;
    if (ipv6 && plat_setsockopt(ep->sock, IPPROTO_IPV6, IPV6_V6ONLY, &off_or_on, sizeof off_or_on) != 0) {
        return net_fail(reason);
    }
    int on = 1;
    if (PLAT_LISTENER_REUSE_IS_SAFE && plat_setsockopt(ep->sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return net_fail(reason);
    }
    sockaddr_storage address{};
    int length = net_socket_address(local, port, ipv6, &address);
    if (plat_bind(ep->sock, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        plat_listen(ep->sock, busy_listen_backlog) != 0 || plat_set_nonblocking(ep->sock) != 0) {
        return net_fail(reason);
    }
    return NET_OK;
}

}  // namespace

int stream_connect(net_endpoint** out, std::uint32_t ip, std::uint16_t port) {
    net_endpoint* ep = nullptr;
    if (net_endpoint_create(&ep, SOCK_STREAM, false, 0) != NET_OK) return NET_ERROR;
    sockaddr_in remote = net_ipv4_sockaddr(ip, port);
    if (plat_connect(ep->sock, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        net_endpoint_close(ep);
        return NET_ERROR;
    }
    *out = ep;
    return NET_OK;
}

int stream_listen(net_endpoint** out, std::uint16_t port, std::uint16_t flags) {
    net_endpoint* ep = nullptr;
    if (net_endpoint_create(&ep, SOCK_STREAM, false, flags) != NET_OK) return NET_ERROR;
    // No address-reuse option: a port that another socket holds must fail here.
    sockaddr_in local = net_ipv4_sockaddr(0, port);
    if (plat_bind(ep->sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0 || plat_listen(ep->sock, listen_backlog) != 0) {
        net_endpoint_close(ep);
        return NET_ERROR;
    }
    *out = ep;
    return NET_OK;
}

int stream_close(net_endpoint* ep) { return net_endpoint_close(ep); }

int stream_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us) {
    int rc = net_wait_single(ep, net_readiness::readable, timeout_us);
    return rc != NET_OK ? rc : read_stream(ep->sock, buf, size);
}

int stream_send(net_endpoint* ep, const void* data, int len, std::uint32_t timeout_us) {
    int rc = net_wait_single(ep, net_readiness::writable, timeout_us);
    if (rc != NET_OK) return rc;
    return plat_send(ep->sock, data, len) < len ? NET_ERROR : NET_OK;
}

int stream_server_poll(net_endpoint* server, net_endpoint** client, void* buf, int size,
                       std::uint32_t timeout_us) {
    net_select_set ready;
    int rc = net_wait_ready(&server->ready_set, net_readiness::readable, timeout_us, &ready);
    if (rc < 0) return rc;
    if (set_contains(&ready, server->sock)) {
        // A waiting connection goes before data; the data keeps until the next poll.
        sockaddr_in peer{};
        int peer_length = sizeof peer;
        net_socket s = plat_accept(server->sock, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (s == PLAT_INVALID_SOCKET) return NET_ERROR;
        rc = stream_link_client(server, client, s);
        if (rc != NET_OK) {
            // Nobody else holds the new connection: dropping it is the only way not to leak it.
            plat_close(s);
            return rc;
        }
        return NET_NEW_CLIENT;
    }
    if (stream_find_ready_client(server, client, &ready) != NET_OK) return NET_ERROR;
    return read_stream((*client)->sock, buf, size);
}

int stream_link_client(net_endpoint* server, net_endpoint** client, net_socket s) {
    net_endpoint* added = net_record_new(s, 0);
    if (added == nullptr) return NET_ERROR;
    added->prev = server;
    added->next = server->next;
    if (server->next != nullptr) server->next->prev = added;
    server->next = added;
    set_add(&server->ready_set, s);
    // One client at a time: newcomers wait in the backlog until it is closed.
    if ((server->flags & STREAM_KEEP_LISTENING) == 0) set_remove(&server->ready_set, server->sock);
    *client = added;
    return NET_OK;
}

int stream_find_ready_client(net_endpoint* server, net_endpoint** client, const net_select_set* set) {
    for (net_endpoint* c = server->next; c != nullptr; c = c->next) {
        if (set_contains(set, c->sock)) {
            *client = c;
            return NET_OK;
        }
    }
    return NET_ERROR;
}

int stream_listen_address(net_endpoint** out, const net_address* local, std::uint16_t port, std::uint16_t flags,
                          net_reason* reason) {
    bool ipv6 = net_address_family(local) == net_family::ipv6;
    net_endpoint* ep = nullptr;
    if (net_endpoint_open(&ep, ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, false, flags, reason) != NET_OK) {
        return NET_ERROR;
    }
    if (make_listener(ep, local, port, ipv6, reason) != NET_OK) {
        net_endpoint_close(ep);
        return NET_ERROR;
    }
    *out = ep;
    return NET_OK;
}

int stream_accept(net_endpoint* server, net_endpoint** client, net_reason* reason) {
    sockaddr_storage peer{};
    int peer_length = sizeof peer;
    net_socket s = plat_accept(server->sock, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (s == PLAT_INVALID_SOCKET) return fail_unless_waiting(reason);
    if (plat_set_nonblocking(s) != 0) {
        net_fail(reason);
        plat_close(s);
        return NET_ERROR;
    }
    if (stream_link_client(server, client, s) != NET_OK) {
        // Nobody else holds the new connection: dropping it is the only way not to leak it.
        plat_close(s);
        return net_fail_without_call(reason);
    }
    return NET_NEW_CLIENT;
}

int stream_send_some(net_endpoint* ep, const void* data, int len, net_reason* reason) {
    int n = plat_send(ep->sock, data, len);
    return n > 0 ? n : n == 0 ? NET_TIMEOUT : fail_unless_waiting(reason);
}

int stream_receive_some(net_endpoint* ep, void* buf, int size, net_reason* reason) {
    int n = plat_recv(ep->sock, buf, size);
    if (n == 0) return NET_PEER_CLOSED;
    return n > 0 ? n : fail_unless_waiting(reason);
}

int stream_wait(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us, net_reason* reason) {
    int rc = plat_select(readable, writable, timeout_us);
    if (rc == 0) return NET_TIMEOUT;
    return rc < 0 ? net_fail(reason) : rc;
}
