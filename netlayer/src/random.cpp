// The system's cryptographic random bytes, for what must differ from run to run.
#include "internal.h"
#include "platform.h"

int net_random(void* to, std::size_t size, net_reason* reason) {
    return plat_random(to, size) == 0 ? NET_OK : net_fail(reason);
}
