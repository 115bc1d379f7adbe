// Helpers shared by the layer's own files; not part of its interface.
#pragma once

#include <cstdint>

#include "netlayer/netlayer.h"

// An IPv4 socket address from a host-order address and port.
sockaddr_in net_ipv4_sockaddr(std::uint32_t ip, std::uint16_t port);

// Each returns NET_ERROR, first filling `reason` where it is given: with
// what the platform call that has just failed left, or with "no call failed".
int net_fail(net_reason* reason);
int net_fail_without_call(net_reason* reason);

// The socket address of `address` and `port` for a socket of either family:
// for an IPv6 one an IPv4 address maps into IPv6. Returns its length.
int net_socket_address(const net_address* address, std::uint16_t port, bool ipv6_socket, sockaddr_storage* out);
// Back from a socket address, a mapped one as IPv4; false for another
// family. Either output may be null.
bool net_address_of(const sockaddr_storage* socket_address, net_address* address, std::uint16_t* port);

// Joins or leaves `group` (for `source` alone where it is not null) on the
// interface `on` names (null: the platform's pick).
int net_change_group(net_endpoint* ep, bool join, const net_address* group, const net_address* source,
                     const net_interface* on, net_reason* reason);

// A datagram and its source, by recvfrom whatever the endpoint keeps; either
// output may be null.
int net_receive_from(net_endpoint* ep, void* buf, int size, net_address* from, std::uint16_t* port,
                     std::uint32_t timeout_us, std::uint16_t flags, net_reason* reason);

// As net_endpoint_create, for a socket of `family`, telling why it failed.
int net_endpoint_open(net_endpoint** out, int family, int type, bool use_multipoint, std::uint16_t flags,
                      net_reason* reason);

// A record for socket `s` whose set watches just `s`; null when no memory.
net_endpoint* net_record_new(net_socket s, std::uint16_t flags);

enum class net_readiness { readable, writable };

// Every wait of the layer: a copy of `watched` goes to the platform, which
// leaves in `ready` the members that are ready. The number of them, or
// NET_TIMEOUT or NET_ERROR.
int net_wait_ready(const net_select_set* watched, net_readiness wanted, std::uint32_t timeout_us,
                   net_select_set* ready, net_reason* reason = nullptr);

// Waits on the endpoint's set. NET_OK only when exactly one socket is
// ready, as a connected endpoint's set holds one; NET_TIMEOUT or NET_ERROR.
int net_wait_single(const net_endpoint* ep, net_readiness wanted, std::uint32_t timeout_us,
                    net_reason* reason = nullptr);
