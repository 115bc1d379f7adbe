// The first operations, on IPv4 addresses as host-order numbers: each a
// thin wrapper over its family-neutral counterpart, making the same system
// calls on an IPv4 endpoint.
#pragma once

#include <cstdint>

#include "netlayer/dgram.h"

int net_local_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port);
int net_peer_address(net_endpoint* ep, std::uint32_t* ip, std::uint16_t* port);

// Datagram endpoints.
int dgram_open(net_endpoint** out, std::uint32_t local_ip, std::uint16_t port, std::uint16_t flags);
int dgram_open_any(net_endpoint** out, std::uint16_t port, std::uint16_t flags);
int dgram_set_multicast(net_endpoint* ep, int ttl, int loop);
// Membership on the interface the platform picks.
int dgram_join_group(net_endpoint* ep, std::uint32_t group);
int dgram_leave_group(net_endpoint* ep, std::uint32_t group);
int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us);

int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags);
