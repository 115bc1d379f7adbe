#include "netlayer/netlayer.h"
#include "netlayer/platform/platform.h"

int net_startup() { return plat_startup() == 0 ? NET_OK : NET_STARTUP_FAILED; }

int net_cleanup() { return plat_cleanup(); }
