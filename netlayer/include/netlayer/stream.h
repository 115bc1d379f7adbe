// netlayer's stream endpoints: a client, and a server with its chain of clients.
#pragma once

#include <cstdint>

#include "netlayer/endpoint.h"

// Stream endpoints. A server owns the clients it accepts: closing it closes
// them, newest first, and closing a client leaves its server open.
int stream_connect(net_endpoint** out, std::uint32_t ip, std::uint16_t port);
int stream_listen(net_endpoint** out, std::uint16_t port, std::uint16_t flags);
int stream_close(net_endpoint* ep);
// A byte count, or NET_PEER_CLOSED once the peer has closed its side.
int stream_receive(net_endpoint* ep, void* buf, int size, std::uint32_t timeout_us);
// All `len` bytes in one send, or NET_ERROR; a short send is not retried.
int stream_send(net_endpoint* ep, const void* data, int len, std::uint32_t timeout_us);
// Accepts a waiting connection (NET_NEW_CLIENT) before it reads from a
// client; otherwise reads from the newest ready client. `client` names the
// client concerned and is left alone when no client is.
int stream_server_poll(net_endpoint* server, net_endpoint** client, void* buf, int size,
                       std::uint32_t timeout_us);
// Wraps connected socket `s` in a client record at the front of the chain;
// the client's close closes `s`. On failure the server is unchanged and `s`
// is still the caller's to close.
int stream_link_client(net_endpoint* server, net_endpoint** client, net_socket s);
// The newest client whose socket is in `set`; NET_ERROR when there is none.
int stream_find_ready_client(net_endpoint* server, net_endpoint** client, const net_select_set* set);

// A server that never waits, for a program whose own work must go on
// beside its clients: the calls below return at once on it and on the
// clients it accepts.
// An IPv6 server that takes IPv4 connections too (IPV6_V6ONLY off); without
// it an IPv6 server takes IPv6 alone, whatever the system's default.
constexpr std::uint16_t STREAM_DUAL_STACK = 2;
// A server on `local`, either family (the wildcard: every local address),
// and `port`, with STREAM_KEEP_LISTENING and STREAM_DUAL_STACK as asked.
// A port another socket listens on fails, with the system's reason; where
// the system allows it without that risk (POSIX), connections still
// closing from an earlier server on the port do not stand in the way.
int stream_listen_address(net_endpoint** out, const net_address* local, std::uint16_t port, std::uint16_t flags,
                          net_reason* reason);
// The connection waiting at the server, linked at the front of its chain
// and never waiting either: NET_NEW_CLIENT; NET_TIMEOUT when none waits.
int stream_accept(net_endpoint* server, net_endpoint** client, net_reason* reason);
// What a client of such a server takes now of `len` bytes: a count from 1,
// or NET_TIMEOUT when it has no room at the moment.
int stream_send_some(net_endpoint* ep, const void* data, int len, net_reason* reason);
// What has arrived, up to `size` bytes: a count from 1, NET_PEER_CLOSED,
// or NET_TIMEOUT when nothing has.
int stream_receive_some(net_endpoint* ep, void* buf, int size, net_reason* reason);
// The layer's wait over sockets of any endpoints: until a member of
// `readable` can be read (a listener: accepted) or one of `writable`
// written, both then rewritten to their ready members; either may be null.
// The number ready, NET_TIMEOUT or NET_ERROR.
int stream_wait(net_select_set* readable, net_select_set* writable, std::uint32_t timeout_us, net_reason* reason);
