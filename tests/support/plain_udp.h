// UDP sockets made with the system's own calls, so that tests check the
// layer and the programs against something that does not share their code.
#pragma once

#include <cstdint>
#include <string>

#include "plain_socket.h"

struct plain_udp {
    net_socket sock;
    std::uint16_t port;  // the local port, host order
};

// Bound to 127.0.0.1 on `port` (0: any free port). Aborts the test program
// if the system refuses, since nothing after it could be trusted.
plain_udp plain_udp_open(std::uint16_t port = 0);
void plain_udp_close(plain_udp* udp);
// Bound to [::1] on any free port; `port` and plain_udp_receive serve it as
// they do IPv4, the source's address aside.
plain_udp plain_udp_open_ipv6();
bool plain_udp_send_ipv6(const plain_udp* udp, const std::string& data, std::uint16_t to_port);

bool plain_udp_send(const plain_udp* udp, const std::string& data, std::uint16_t to_port,
                    std::uint32_t to_ip = loopback_ip);

// One datagram within `timeout_ms`, or false. Its source goes to `from_ip`
// and `from_port` where they are given.
bool plain_udp_receive(const plain_udp* udp, std::string* data, int timeout_ms,
                       std::uint16_t* from_port = nullptr, std::uint32_t* from_ip = nullptr);

// Whether another socket holds `port` on `ip` (0: on any address of either
// family): a bind of our own fails.
bool plain_port_held(std::uint32_t ip, std::uint16_t port);

// A UDP port free on every address at the moment of asking.
std::uint16_t plain_free_port();
