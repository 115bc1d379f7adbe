// The first operations, on host-order IPv4 addresses, each over its
// family-neutral counterpart.
#include "internal.h"

namespace {

// The interface IPv4's first operations name by an address it holds; 0: the platform's pick.
net_interface interface_holding(std::uint32_t interface_ip) {
    return net_interface{net_address_from_ipv4(interface_ip), 0};
}

int change_group(net_endpoint* ep, bool join, std::uint32_t group_ip, const std::uint32_t* source_ip,
                 std::uint32_t interface_ip) {
    net_address group = net_address_from_ipv4(group_ip);
    net_interface on = interface_holding(interface_ip);
    if (source_ip == nullptr) return join ? dgram_join(ep, &group, &on, nullptr) : dgram_leave(ep, &group, &on, nullptr);
    net_address source = net_address_from_ipv4(*source_ip);
    return join ? dgram_join_source_group(ep, &group, &source, &on, nullptr)
                : dgram_leave_source_group(ep, &group, &source, &on, nullptr);
}

}  // namespace

int dgram_open(net_endpoint** out, std::uint32_t local_ip, std::uint16_t port, std::uint16_t flags) {
    net_address local = net_address_from_ipv4(local_ip);
    return dgram_open_address(out, &local, port, flags, nullptr);
}

int dgram_open_any(net_endpoint** out, std::uint16_t port, std::uint16_t flags) {
    return dgram_open(out, 0, port, flags);
}

int dgram_set_multicast(net_endpoint* ep, int ttl, int loop) {
    if (ttl != 0 && dgram_set_multicast_hops(ep, ttl, nullptr) != NET_OK) return NET_ERROR;
    if (loop != -1 && dgram_set_multicast_loop(ep, loop != 0, nullptr) != NET_OK) return NET_ERROR;
    return NET_OK;
}

int dgram_set_ttl(net_endpoint* ep, int ttl) { return dgram_set_unicast_hops(ep, ttl, nullptr); }

int dgram_set_multicast_ttl(net_endpoint* ep, int ttl) { return dgram_set_multicast_hops(ep, ttl, nullptr); }

int dgram_set_multicast_interface(net_endpoint* ep, std::uint32_t ip) {
    net_interface on = interface_holding(ip);
    return dgram_set_outgoing_interface(ep, &on, nullptr);
}

int dgram_join_group(net_endpoint* ep, std::uint32_t group) { return change_group(ep, true, group, nullptr, 0); }

int dgram_leave_group(net_endpoint* ep, std::uint32_t group) { return change_group(ep, false, group, nullptr, 0); }

int dgram_join_group_on(net_endpoint* ep, std::uint32_t group, std::uint32_t interface_ip) {
    return change_group(ep, true, group, nullptr, interface_ip);
}

int dgram_join_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip) {
    return change_group(ep, true, group, &source, interface_ip);
}

int dgram_leave_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip) {
    return change_group(ep, false, group, &source, interface_ip);
}

int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us) {
    net_address_port to{net_address_from_ipv4(ip), port};
    return dgram_send_to_address(ep, data, len, &to, timeout_us, nullptr);
}

int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags) {
    net_address from{};
    std::uint16_t from_port = 0;
    int n = dgram_receive_from_address(ep, buf, size, &from, &from_port, timeout_us, flags, nullptr);
    if (n < 0) return n;
    std::uint32_t from_ip = 0;
    if (!net_address_to_ipv4(&from, &from_ip)) return NET_ERROR;
    if (ip != nullptr) *ip = from_ip;
    if (port != nullptr) *port = from_port;
    return n;
}

int dgram_receive_details(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                          std::uint16_t flags) {
    int n = dgram_receive_detailed(ep, buf, size, details, timeout_us, flags, nullptr);
    return n >= 0 && details->from.family != net_family::ipv4 ? NET_ERROR : n;
}
