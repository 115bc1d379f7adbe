#include "internal.h"
#include "platform.h"

namespace {

constexpr int listen_backlog = 5;

// On a stream an empty read is the peer's orderly close, never data.
int read_stream(net_socket s, void* buf, int size) {
    int n = plat_recv(s, buf, size);
    if (n == 0) return NET_PEER_CLOSED;
    return n < 0 ? NET_ERROR : n;
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
