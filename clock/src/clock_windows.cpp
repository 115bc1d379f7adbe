// The multimedia timer: timeGetTime is the system's millisecond counter and
// its resolution follows the timeBeginPeriod requests in force.
#include <windows.h>
#include <mmsystem.h>

#include "clock/clock.h"

std::uint32_t clock_begin_precision() { return timeBeginPeriod(1); }

std::uint32_t clock_end_precision() { return timeEndPeriod(1); }

std::uint32_t clock_now_ms() { return timeGetTime(); }

void clock_sleep_ms(std::uint32_t ms) { Sleep(ms); }
