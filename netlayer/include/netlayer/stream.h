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
