// The first operations, on host-order IPv4 addresses, each over its
// family-neutral counterpart.
#include "internal.h"

namespace {

// Membership on the interface the platform picks, as IPv4's first operations have it.
int change_group(net_endpoint* ep, bool join, std::uint32_t group_ip) {
    net_address group = net_address_from_ipv4(group_ip);
    return net_change_group(ep, join, &group, nullptr, nullptr, nullptr);
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

int dgram_join_group(net_endpoint* ep, std::uint32_t group) { return change_group(ep, true, group); }

int dgram_leave_group(net_endpoint* ep, std::uint32_t group) { return change_group(ep, false, group); }

int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us) {
    net_address_port to{net_address_from_ipv4(ip), port};
    return dgram_send_to_address(ep, data, len, &to, timeout_us, nullptr);
}

int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags) {
    net_address from{};
    std::uint16_t from_port = 0;
    int n = net_receive_from(ep, buf, size, &from, &from_port, timeout_us, flags, nullptr);
    if (n < 0) return n;
    std::uint32_t from_ip = 0;
    if (!net_address_to_ipv4(&from, &from_ip)) return NET_ERROR;
    if (ip != nullptr) *ip = from_ip;
    if (port != nullptr) *port = from_port;
    return n;
}
