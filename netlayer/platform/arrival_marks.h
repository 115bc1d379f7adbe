// The hop limit and traffic class a datagram arrived with, as both
// platforms' control messages tell them.
#pragma once

#include <cstdint>

#include "platform.h"

// Files message `c` (a cmsghdr or WSACMSGHDR) when it is one of the two,
// `value` being what it carries; false for any other message. The system
// names IPv4's hop limit message `ipv4_hop_type`.
template <typename Header>
bool plat_read_arrival_mark(const Header* c, int ipv4_hop_type, std::uint8_t value, plat_details* details) {
    bool ipv4 = c->cmsg_level == IPPROTO_IP;
    bool ipv6 = c->cmsg_level == IPPROTO_IPV6;
    if ((ipv4 && c->cmsg_type == ipv4_hop_type) || (ipv6 && c->cmsg_type == IPV6_HOPLIMIT)) {
        details->has_hop_limit = true;
        details->hop_limit = value;
    } else if ((ipv4 && c->cmsg_type == IP_TOS) || (ipv6 && c->cmsg_type == IPV6_TCLASS)) {
        details->has_traffic_class = true;
        details->traffic_class = value;
    } else {
        return false;
    }
    return true;
}
