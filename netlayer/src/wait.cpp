#include "internal.h"
#include "platform.h"

int net_wait_ready(const net_select_set* watched, net_readiness wanted, std::uint32_t timeout_us,
                   net_select_set* ready, net_reason* reason) {
    *ready = *watched;
    bool reading = wanted == net_readiness::readable;
    int rc = plat_select(reading ? ready : nullptr, reading ? nullptr : ready, timeout_us);
    if (rc == 0) return NET_TIMEOUT;
    return rc < 0 ? net_fail(reason) : rc;
}

int net_wait_single(const net_endpoint* ep, net_readiness wanted, std::uint32_t timeout_us, net_reason* reason) {
    net_select_set ready;
    int rc = net_wait_ready(&ep->ready_set, wanted, timeout_us, &ready, reason);
    if (rc < 0) return rc;
    return rc == 1 ? NET_OK : net_fail_without_call(reason);
}
