#include "internal.h"
#include "platform.h"

namespace {

int set_option(net_endpoint* ep, int level, int name, const void* value, int len) {
    return plat_setsockopt(ep->sock, level, name, value, len) == 0 ? NET_OK : NET_ERROR;
}

int set_int_option(net_endpoint* ep, int level, int name, int value) {
    return set_option(ep, level, name, &value, sizeof value);
}

int change_membership(net_endpoint* ep, int option, std::uint32_t group, std::uint32_t interface_ip) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface_ip);  // 0: the interface the platform picks
    return set_option(ep, IPPROTO_IP, option, &request, sizeof request);
}

// The system's own ip_mreq_source: Linux and Windows order its fields differently.
int change_source_membership(net_endpoint* ep, int option, std::uint32_t group, std::uint32_t source,
                             std::uint32_t interface_ip) {
    ip_mreq_source request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_sourceaddr.s_addr = htonl(source);
    request.imr_interface.s_addr = htonl(interface_ip);
    return set_option(ep, IPPROTO_IP, option, &request, sizeof request);
}

}  // namespace

int dgram_open(net_endpoint** out, std::uint32_t local_ip, std::uint16_t port, std::uint16_t flags) {
    net_endpoint* ep = nullptr;
    int rc = net_endpoint_create(&ep, SOCK_DGRAM, (flags & DGRAM_MULTIPOINT) != 0, flags);
    if (rc != NET_OK) return rc;
    if (((flags & DGRAM_BROADCAST) && set_int_option(ep, SOL_SOCKET, SO_BROADCAST, 1) != NET_OK) ||
        ((flags & DGRAM_DETAILS) && plat_enable_details(ep->sock) != 0)) {
        net_endpoint_close(ep);
        return NET_ERROR;
    }
    bool address_only = (flags & DGRAM_BIND_ADDRESS_ONLY) != 0;
    if (port != 0 || address_only) {
        sockaddr_in local = net_ipv4_sockaddr(local_ip, address_only ? 0 : port);
        if (plat_bind(ep->sock, &local) < 0) {
            net_endpoint_close(ep);
            return NET_ERROR;
        }
    }
    *out = ep;
    return NET_OK;
}

int dgram_open_any(net_endpoint** out, std::uint16_t port, std::uint16_t flags) {
    return dgram_open(out, 0, port, flags);
}

int dgram_close(net_endpoint* ep) { return net_endpoint_close(ep); }

int dgram_set_multicast(net_endpoint* ep, int ttl, int loop) {
    if (ttl != 0 && set_int_option(ep, IPPROTO_IP, IP_MULTICAST_TTL, ttl) != NET_OK) return NET_ERROR;
    if (loop != -1 && set_int_option(ep, IPPROTO_IP, IP_MULTICAST_LOOP, loop != 0 ? 1 : 0) != NET_OK) {
        return NET_ERROR;
    }
    return NET_OK;
}

int dgram_set_ttl(net_endpoint* ep, int ttl) { return set_int_option(ep, IPPROTO_IP, IP_TTL, ttl); }

int dgram_set_multicast_ttl(net_endpoint* ep, int ttl) {
    return set_int_option(ep, IPPROTO_IP, IP_MULTICAST_TTL, ttl);
}

// Linux takes an in_addr, Winsock a DWORD in network order: the same four bytes.
int dgram_set_multicast_interface(net_endpoint* ep, std::uint32_t ip) {
    in_addr local{};
    local.s_addr = htonl(ip);
    return set_option(ep, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
}

int dgram_join_group(net_endpoint* ep, std::uint32_t group) {
    return change_membership(ep, IP_ADD_MEMBERSHIP, group, 0);
}

int dgram_leave_group(net_endpoint* ep, std::uint32_t group) {
    return change_membership(ep, IP_DROP_MEMBERSHIP, group, 0);
}

int dgram_join_group_on(net_endpoint* ep, std::uint32_t group, std::uint32_t interface_ip) {
    return change_membership(ep, IP_ADD_MEMBERSHIP, group, interface_ip);
}

int dgram_join_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip) {
    return change_source_membership(ep, IP_ADD_SOURCE_MEMBERSHIP, group, source, interface_ip);
}

int dgram_leave_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip) {
    return change_source_membership(ep, IP_DROP_SOURCE_MEMBERSHIP, group, source, interface_ip);
}

int dgram_set_receive_buffer(net_endpoint* ep, int bytes) { return set_int_option(ep, SOL_SOCKET, SO_RCVBUF, bytes); }

int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us) {
    int rc = net_wait_single(ep, net_readiness::writable, timeout_us);
    if (rc != NET_OK) return rc;
    sockaddr_in remote = net_ipv4_sockaddr(ip, port);
    return plat_sendto(ep->sock, data, len, &remote) < len ? NET_ERROR : NET_OK;
}
