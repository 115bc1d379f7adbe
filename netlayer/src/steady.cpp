// The steady clock the layer reads for its receive details, for callers that
// time a wait alongside them.
#include "platform.h"

std::uint64_t net_steady_us() { return plat_steady_us(); }
