// TCP sockets made with the system's own calls, as peers for the layer's
// stream endpoints. Every one is on 127.0.0.1.
#pragma once

#include <cstdint>
#include <string>

#include "plain_socket.h"

struct plain_tcp {
    net_socket sock;
    std::uint16_t port;  // the local port, host order
};

// A listener on a free port. Aborts the test program if the system refuses.
plain_tcp plain_tcp_listen();
// Bound to a free port but not listening: connections to it are refused,
// and while it is held no connecting socket can take the port as its own.
plain_tcp plain_tcp_bound();
// The next connection within `timeout_ms`; false when none comes.
bool plain_tcp_accept(const plain_tcp* listener, plain_tcp* accepted, int timeout_ms);
// Connected to 127.0.0.1:`port`. Aborts the test program if refused.
plain_tcp plain_tcp_connect(std::uint16_t port);

// Both leave `tcp` closed, so that closing it again does nothing.
void plain_tcp_close(plain_tcp* tcp);
// Ends the connection with a reset instead of an orderly close.
void plain_tcp_reset(plain_tcp* tcp);

bool plain_tcp_send(const plain_tcp* tcp, const std::string& data);
// One read within `timeout_ms`, appended to `data`: its byte count, 0 when
// the peer has closed, -1 on time-out or failure.
int plain_tcp_read(const plain_tcp* tcp, std::string* data, int timeout_ms);
