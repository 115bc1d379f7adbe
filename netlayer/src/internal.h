// Helpers shared by the layer's own files; not part of its interface.
#pragma once

#include <cstdint>

#include "netlayer/netlayer.h"

// An IPv4 socket address from a host-order address and port.
sockaddr_in net_ipv4_sockaddr(std::uint32_t ip, std::uint16_t port);

// A record for socket `s` whose set watches just `s`; null when no memory.
net_endpoint* net_record_new(net_socket s, std::uint16_t flags);

enum class net_readiness { readable, writable };

// Every wait of the layer: a copy of `watched` goes to the platform, which
// leaves in `ready` the members that are ready. The number of them, or
// NET_TIMEOUT or NET_ERROR.
int net_wait_ready(const net_select_set* watched, net_readiness wanted, std::uint32_t timeout_us,
                   net_select_set* ready);

// Waits on the endpoint's set. NET_OK only when exactly one socket is
// ready, as a connected endpoint's set holds one; NET_TIMEOUT or NET_ERROR.
int net_wait_single(const net_endpoint* ep, net_readiness wanted, std::uint32_t timeout_us);
