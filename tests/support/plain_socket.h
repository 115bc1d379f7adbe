// What the plain UDP and TCP helpers share: the system's own socket calls,
// made apart from the layer so that tests do not check it against itself.
#pragma once

#include <cstdint>

#include "netlayer/netlayer.h"

constexpr std::uint32_t loopback_ip = 0x7f000001;  // 127.0.0.1

#ifdef _WIN32
constexpr net_socket plain_no_socket = INVALID_SOCKET;
#else
constexpr net_socket plain_no_socket = -1;
#endif

// Starts Winsock once for the helpers; aborts the program if refused.
void plain_sockets_start();

sockaddr_in plain_address(std::uint32_t ip, std::uint16_t port);

// The socket's local port, host order.
std::uint16_t plain_local_port(net_socket s);
// The port of the socket's peer, host order; 0 when it has none.
std::uint16_t plain_peer_port(net_socket s);

// True when `s` has something to read (or an end to report) within `timeout_ms`.
bool plain_wait_readable(net_socket s, int timeout_ms);

void plain_close_socket(net_socket s);

// An int socket option as the system reports it; -1 when it cannot.
int plain_int_option(net_socket s, int level, int name);
