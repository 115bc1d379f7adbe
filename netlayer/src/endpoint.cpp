#include "internal.h"
#include "platform.h"

int net_startup() { return plat_startup() == 0 ? NET_OK : NET_STARTUP_FAILED; }

int net_cleanup() { return plat_cleanup(); }

net_endpoint* net_record_new(net_socket s, std::uint16_t flags) {
    auto* ep = static_cast<net_endpoint*>(plat_alloc(sizeof(net_endpoint)));
    if (ep == nullptr) return nullptr;
    ep->sock = s;
    ep->flags = flags;
    ep->state = 0;
    ep->ready_set.count = 0;
    set_add(&ep->ready_set, s);
    ep->prev = nullptr;
    ep->next = nullptr;
    return ep;
}

int net_endpoint_open(net_endpoint** out, int family, int type, bool use_multipoint, std::uint16_t flags,
                      net_reason* reason) {
    if (net_startup() != NET_OK) return net_fail(reason);
    net_socket s = plat_socket(family, type, use_multipoint);
    if (s == PLAT_INVALID_SOCKET) {
        net_fail(reason);
        net_cleanup();
        return NET_ERROR;
    }
    net_endpoint* ep = net_record_new(s, flags);
    if (ep == nullptr) {
        net_fail_without_call(reason);
        plat_close(s);
        net_cleanup();
        return NET_ERROR;
    }
    *out = ep;
    return NET_OK;
}

int net_endpoint_create(net_endpoint** out, int type, bool use_multipoint, std::uint16_t flags) {
    return net_endpoint_open(out, AF_INET, type, use_multipoint, flags, nullptr);
}

int net_endpoint_close(net_endpoint* ep) {
    if (ep->prev != nullptr) {
        // An accepted client: its server heads the chain and stays open.
        net_endpoint* server = ep->prev;
        while (server->prev != nullptr) server = server->prev;
        return net_detach_client(server, ep);
    }
    while (ep->next != nullptr) net_detach_client(ep, ep->next);
    int rc = plat_close(ep->sock);
    plat_free(ep);
    net_cleanup();
    return rc < 0 ? NET_ERROR : NET_OK;
}

int net_detach_client(net_endpoint* server, net_endpoint* client) {
    plat_close(client->sock);
    if (client->next != nullptr) client->next->prev = client->prev;
    if (client->prev != nullptr) client->prev->next = client->next;
    set_remove(&server->ready_set, client->sock);
    // A single-client server dropped its listening socket while serving.
    if (server->next == nullptr) set_add(&server->ready_set, server->sock);
    plat_free(client);
    return NET_OK;
}
