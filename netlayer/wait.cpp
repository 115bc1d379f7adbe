#include "netlayer/internal.h"
#include "netlayer/platform/platform.h"

int net_wait_single(const net_endpoint* ep, net_readiness wanted, std::uint32_t timeout_us) {
    net_select_set ready = ep->ready_set;
    bool reading = wanted == net_readiness::readable;
    int rc = plat_select(reading ? &ready : nullptr, reading ? nullptr : &ready, timeout_us);
    if (rc == 0) return NET_TIMEOUT;
    return rc == 1 ? NET_OK : NET_ERROR;
}
