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
// Time-to-live of the unicast and broadcast datagrams the endpoint sends.
int dgram_set_ttl(net_endpoint* ep, int ttl);
// Time-to-live of its multicast datagrams; 0 keeps them on this host.
int dgram_set_multicast_ttl(net_endpoint* ep, int ttl);
// Its multicast datagrams leave by the interface that holds local address `ip`.
int dgram_set_multicast_interface(net_endpoint* ep, std::uint32_t ip);
int dgram_join_group(net_endpoint* ep, std::uint32_t group);
int dgram_leave_group(net_endpoint* ep, std::uint32_t group);
// Membership on the interface that holds local address `interface_ip` (0: the platform picks).
int dgram_join_group_on(net_endpoint* ep, std::uint32_t group, std::uint32_t interface_ip);
// Membership for datagrams from `source` alone.
int dgram_join_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip);
int dgram_leave_source(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip);
int dgram_send_to(net_endpoint* ep, const void* data, int len, std::uint32_t ip, std::uint16_t port,
                  std::uint32_t timeout_us);

int dgram_receive_from(net_endpoint* ep, void* buf, int size, std::uint32_t* ip, std::uint16_t* port,
                       std::uint32_t timeout_us, std::uint16_t flags);
// As dgram_receive_from, with the details: the destination, the time and the
// drops where the endpoint was opened to keep them (DGRAM_DETAILS and the
// like) and the platform gives them.
int dgram_receive_details(net_endpoint* ep, void* buf, int size, dgram_details* details, std::uint32_t timeout_us,
                          std::uint16_t flags);
