// Sends a datagram to itself on 127.0.0.1 through the installed layer, and
// times the round trip with the installed clock.
#include <cstdio>
#include <cstring>

#include "clock/clock.h"
#include "netlayer/netlayer.h"

int main() {
    const std::uint32_t localhost = net_make_ipv4(127, 0, 0, 1);
    net_endpoint* ep = nullptr;
    if (dgram_open(&ep, localhost, 0, DGRAM_BIND_ADDRESS_ONLY) != NET_OK) {
        std::puts("cannot open an endpoint");
        return 1;
    }
    std::uint16_t port = 0;
    net_local_address(ep, nullptr, &port);
    const char message[] = "ping";
    char buffer[64] = {};
    std::uint32_t from_ip = 0;
    std::uint16_t from_port = 0;
    std::uint32_t started = clock_now_ms();
    int sent = dgram_send_to(ep, message, sizeof message, localhost, port, 1000000);
    int got = dgram_receive_from(ep, buffer, sizeof buffer, &from_ip, &from_port, 5000000, 0);
    std::uint32_t took = clock_elapsed_ms(clock_now_ms(), started);
    dgram_close(ep);
    bool ok = sent == NET_OK && got == static_cast<int>(sizeof message) && std::strcmp(buffer, message) == 0 &&
              from_ip == localhost && from_port == port;
    std::printf("%s: sent %d, received %d bytes from port %u in %u ms\n", ok ? "ok" : "failed", sent, got,
                unsigned{from_port}, unsigned{took});
    return ok ? 0 : 1;
}
