#include <cstring>

#include "internal.h"
#include "platform.h"

namespace {

bool is_ipv6(const net_endpoint* ep) { return (ep->state & DGRAM_STATE_IPV6) != 0; }

int set_option(net_endpoint* ep, int level, int name, const void* value, int len, net_reason* reason) {
    return plat_setsockopt(ep->sock, level, name, value, len) == 0 ? NET_OK : net_fail(reason);
}

int set_int_option(net_endpoint* ep, int level, int name, int value, net_reason* reason = nullptr) {
    return set_option(ep, level, name, &value, sizeof value, reason);
}

int change_membership(net_endpoint* ep, int option, std::uint32_t group, std::uint32_t interface_ip,
                      net_reason* reason) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface_ip);  // 0: the interface the platform picks
    return set_option(ep, IPPROTO_IP, option, &request, sizeof request, reason);
}

// The system's own ip_mreq_source: Linux and Windows order its fields differently.
int change_source_membership(net_endpoint* ep, int option, std::uint32_t group, std::uint32_t source,
                             std::uint32_t interface_ip, net_reason* reason) {
    ip_mreq_source request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_sourceaddr.s_addr = htonl(source);
    request.imr_interface.s_addr = htonl(interface_ip);
    return set_option(ep, IPPROTO_IP, option, &request, sizeof request, reason);
}

// Linux takes an in_addr, Winsock a DWORD in network order: the same four bytes.
int set_ipv4_multicast_interface(net_endpoint* ep, std::uint32_t ip, net_reason* reason) {
    in_addr local{};
    local.s_addr = htonl(ip);
    return set_option(ep, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local, reason);
}

// The interface as IPv6's options name it: by index. Null is 0, the platform's pick.
int interface_index(const net_interface* on, std::uint32_t* index, net_reason* reason) {
    *index = 0;
    if (on == nullptr || on->index != 0 || on->address.family == net_family::none) {
        if (on != nullptr) *index = on->index;
        return NET_OK;
    }
    *index = plat_interface_holding(&on->address);
    return *index != 0 ? NET_OK : net_fail(reason);
}

// The interface as IPv4's options name it by address; 0 for none given.
bool interface_ipv4(const net_interface* on, std::uint32_t* ip) {
    *ip = 0;
    return on == nullptr || on->address.family == net_family::none || net_address_to_ipv4(&on->address, ip);
}

int set_ipv4_by_index(net_endpoint* ep, int option, std::uint32_t group, std::uint32_t source, std::uint32_t index,
                      net_reason* reason) {
    return plat_set_ipv4_by_index(ep->sock, option, htonl(group), htonl(source), index) == 0 ? NET_OK
                                                                                              : net_fail(reason);
}

// An IPv4 group takes IPv4's options, with the index form only where the
// interface was named by name or index.
int change_ipv4_group(net_endpoint* ep, bool join, std::uint32_t group, const net_address* source,
                      const net_interface* on, net_reason* reason) {
    std::uint32_t source_ip = 0;
    if (source != nullptr && !net_address_to_ipv4(source, &source_ip)) return net_fail_without_call(reason);
    int option = source != nullptr ? (join ? IP_ADD_SOURCE_MEMBERSHIP : IP_DROP_SOURCE_MEMBERSHIP)
                                   : (join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP);
    if (on != nullptr && on->index != 0) return set_ipv4_by_index(ep, option, group, source_ip, on->index, reason);
    std::uint32_t interface_ip = 0;
    if (!interface_ipv4(on, &interface_ip)) return net_fail_without_call(reason);
    return source != nullptr ? change_source_membership(ep, option, group, source_ip, interface_ip, reason)
                             : change_membership(ep, option, group, interface_ip, reason);
}


// Each option an IPv6 endpoint takes at IPv6's level; the reason goes to the caller.
int set_by_family(net_endpoint* ep, int ipv4_name, int ipv6_name, int value, net_reason* reason) {
    return is_ipv6(ep) ? set_int_option(ep, IPPROTO_IPV6, ipv6_name, value, reason)
                       : set_int_option(ep, IPPROTO_IP, ipv4_name, value, reason);
}

// An IPv4 endpoint, or a dual-stack one, which sends IPv4 datagrams too.
bool sends_ipv4(const net_endpoint* ep) { return !is_ipv6(ep) || (ep->flags & DGRAM_DUAL_STACK) != 0; }

// What the endpoint asks the system to keep with each datagram.
std::uint16_t details_wanted(std::uint16_t flags) {
    constexpr std::uint16_t all_details = DGRAM_ARRIVAL_TIMES | DGRAM_DESTINATIONS | DGRAM_DROP_COUNTS;
    auto wanted = static_cast<std::uint16_t>(flags & (all_details | DGRAM_MARKS));
    return (flags & DGRAM_DETAILS) != 0 ? static_cast<std::uint16_t>(wanted | all_details) : wanted;
}

int configure(net_endpoint* ep, std::uint16_t flags, net_reason* reason) {
    if (is_ipv6(ep) &&
        set_int_option(ep, IPPROTO_IPV6, IPV6_V6ONLY, (flags & DGRAM_DUAL_STACK) != 0 ? 0 : 1, reason) != NET_OK) {
        return NET_ERROR;
    }
    if ((flags & DGRAM_BROADCAST) && set_int_option(ep, SOL_SOCKET, SO_BROADCAST, 1, reason) != NET_OK) {
        return NET_ERROR;
    }
    if ((flags & DGRAM_REUSE) && set_int_option(ep, SOL_SOCKET, SO_REUSEADDR, 1, reason) != NET_OK) {
        return NET_ERROR;
    }
    std::uint16_t wanted = details_wanted(flags);
    if (wanted != 0 && plat_enable_details(ep->sock, is_ipv6(ep) ? AF_INET6 : AF_INET, wanted) != 0) {
        return net_fail(reason);
    }
    // Without coalesced reads each datagram comes in a read of its own: slower, the same all the same.
    if ((flags & DGRAM_COALESCE) && plat_enable_coalescing(ep->sock) != 0) {
        ep->state |= DGRAM_STATE_NO_COALESCING;
    }
    return NET_OK;
}

}  // namespace

int dgram_open_address(net_endpoint** out, const net_address* local, std::uint16_t port, std::uint16_t flags,
                       net_reason* reason) {
    if (local->family == net_family::none) return net_fail_without_call(reason);
    // A mapped address names an IPv4 one: an IPv6-only socket could not bind it.
    bool ipv6 = net_address_family(local) == net_family::ipv6 ||
                (local->family == net_family::ipv6 && (flags & DGRAM_DUAL_STACK) != 0);
    net_endpoint* ep = nullptr;
    int rc = net_endpoint_open(&ep, ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, (flags & DGRAM_MULTIPOINT) != 0, flags,
                               reason);
    if (rc != NET_OK) return rc;
    if (ipv6) ep->state |= DGRAM_STATE_IPV6;
    if (configure(ep, flags, reason) != NET_OK) {
        net_endpoint_close(ep);
        return NET_ERROR;
    }
    bool address_only = (flags & DGRAM_BIND_ADDRESS_ONLY) != 0;
    if (port != 0 || address_only) {
        sockaddr_storage bound{};
        int length = net_socket_address(local, address_only ? 0 : port, ipv6, &bound);
        if (plat_bind(ep->sock, reinterpret_cast<const sockaddr*>(&bound), length) < 0) {
            net_fail(reason);
            net_endpoint_close(ep);
            return NET_ERROR;
        }
    }
    *out = ep;
    return NET_OK;
}

int dgram_close(net_endpoint* ep) { return net_endpoint_close(ep); }

int dgram_set_receive_buffer(net_endpoint* ep, int bytes) { return set_int_option(ep, SOL_SOCKET, SO_RCVBUF, bytes); }

int dgram_force_receive_buffer(net_endpoint* ep, int bytes, net_reason* reason) {
    return set_int_option(ep, SOL_SOCKET, PLAT_RECEIVE_BUFFER_PAST_CAP, bytes, reason);
}

int dgram_send_to_address(net_endpoint* ep, const void* data, int len, const net_address_port* to,
                          std::uint32_t timeout_us, net_reason* reason) {
    int rc = net_wait_single(ep, net_readiness::writable, timeout_us, reason);
    if (rc != NET_OK) return rc;
    sockaddr_storage remote{};
    int length = net_socket_address(&to->address, to->port, is_ipv6(ep), &remote);
    int sent = plat_sendto(ep->sock, data, len, reinterpret_cast<const sockaddr*>(&remote), length);
    if (sent < 0) return net_fail(reason);
    return sent < len ? net_fail_without_call(reason) : NET_OK;
}

namespace {

plat_batch_form batch_form(const net_endpoint* ep) {
    if ((ep->state & DGRAM_STATE_NO_BATCHES) != 0) return PLAT_BATCH_SINGLE;
    return (ep->state & DGRAM_STATE_NO_SEGMENTS) != 0 ? PLAT_BATCH_MESSAGES : PLAT_BATCH_SEGMENTS;
}

}  // namespace

int dgram_send_batch(net_endpoint* ep, const void* data, int size, int count, const net_address_port* to,
                     std::uint32_t timeout_us, net_reason* reason) {
    sockaddr_storage remote{};
    int length = net_socket_address(&to->address, to->port, is_ipv6(ep), &remote);
    count = count < DGRAM_SEND_BATCH_MAX ? count : DGRAM_SEND_BATCH_MAX;
    for (;;) {
        plat_batch_form form = batch_form(ep);
        int sent = plat_send_batch(ep->sock, data, size, count, reinterpret_cast<const sockaddr*>(&remote), length,
                                   form);
        if (sent > 0) return sent;
        if (sent == PLAT_FORM_REFUSED && form != PLAT_BATCH_SINGLE) {
            ep->state |= form == PLAT_BATCH_SEGMENTS ? DGRAM_STATE_NO_SEGMENTS : DGRAM_STATE_NO_BATCHES;
            continue;
        }
        if (sent != PLAT_SOCKET_FULL) return net_fail(reason);
        int rc = net_wait_single(ep, net_readiness::writable, timeout_us, reason);
        if (rc != NET_OK) return rc;
    }
}

int net_change_group(net_endpoint* ep, bool join, const net_address* group, const net_address* source,
                     const net_interface* on, net_reason* reason) {
    std::uint32_t group_ip = 0;
    if (net_address_to_ipv4(group, &group_ip)) return change_ipv4_group(ep, join, group_ip, source, on, reason);
    if (group->family != net_family::ipv6) return net_fail_without_call(reason);
    std::uint32_t index = 0;
    if (interface_index(on, &index, reason) != NET_OK) return NET_ERROR;
    if (source == nullptr) {
        ipv6_mreq request{};
        std::memcpy(&request.ipv6mr_multiaddr, group->bytes, 16);
        request.ipv6mr_interface = index;
        return set_option(ep, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &request, sizeof request,
                          reason);
    }
    group_source_req request{};
    request.gsr_interface = index;
    net_socket_address(group, 0, true, &request.gsr_group);
    net_socket_address(source, 0, true, &request.gsr_source);
    return set_option(ep, IPPROTO_IPV6, join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP, &request,
                      sizeof request, reason);
}

int dgram_join(net_endpoint* ep, const net_address* group, const net_address* source, const net_interface* on,
               net_reason* reason) {
    return net_change_group(ep, true, group, source, on, reason);
}

int dgram_set_unicast_hops(net_endpoint* ep, int hops, net_reason* reason) {
    return set_by_family(ep, IP_TTL, IPV6_UNICAST_HOPS, hops, reason);
}

int dgram_set_multicast_hops(net_endpoint* ep, int hops, net_reason* reason) {
    return set_by_family(ep, IP_MULTICAST_TTL, IPV6_MULTICAST_HOPS, hops, reason);
}

int dgram_set_multicast_loop(net_endpoint* ep, bool loop, net_reason* reason) {
    return set_by_family(ep, IP_MULTICAST_LOOP, IPV6_MULTICAST_LOOP, loop ? 1 : 0, reason);
}

int dgram_set_outgoing_interface(net_endpoint* ep, const net_interface* on, net_reason* reason) {
    if (is_ipv6(ep)) {
        std::uint32_t index = 0;
        if (interface_index(on, &index, reason) != NET_OK) return NET_ERROR;
        return set_int_option(ep, IPPROTO_IPV6, IPV6_MULTICAST_IF, static_cast<int>(index), reason);
    }
    if (on != nullptr && on->index != 0) return set_ipv4_by_index(ep, IP_MULTICAST_IF, 0, 0, on->index, reason);
    std::uint32_t ip = 0;
    if (!interface_ipv4(on, &ip)) return net_fail_without_call(reason);
    return set_ipv4_multicast_interface(ep, ip, reason);
}

int dgram_local_address(net_endpoint* ep, net_address* address, std::uint16_t* port, net_reason* reason) {
    sockaddr_storage local{};
    int length = is_ipv6(ep) ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (plat_getsockname(ep->sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) return net_fail(reason);
    return net_address_of(&local, address, port) ? NET_OK : net_fail_without_call(reason);
}

int dgram_receive_buffer(net_endpoint* ep, int* bytes, net_reason* reason) {
    int granted = 0;
    int length = sizeof granted;
    if (plat_getsockopt(ep->sock, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return net_fail(reason);
    *bytes = granted;
    return NET_OK;
}

int dgram_set_traffic_class(net_endpoint* ep, int traffic_class, net_reason* reason) {
    if (is_ipv6(ep) && set_int_option(ep, IPPROTO_IPV6, IPV6_TCLASS, traffic_class, reason) != NET_OK) {
        return NET_ERROR;
    }
    return sends_ipv4(ep) ? set_int_option(ep, IPPROTO_IP, IP_TOS, traffic_class, reason) : NET_OK;
}

int dgram_set_dont_fragment(net_endpoint* ep, net_reason* reason) {
    if (is_ipv6(ep) && plat_set_dont_fragment(ep->sock, AF_INET6) != 0) return net_fail(reason);
    if (sends_ipv4(ep) && plat_set_dont_fragment(ep->sock, AF_INET) != 0) return net_fail(reason);
    return NET_OK;
}
