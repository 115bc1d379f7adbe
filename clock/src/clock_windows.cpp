// The multimedia timer: timeGetTime is the system's millisecond counter and
// its resolution follows the timeBeginPeriod requests in force.
#include <windows.h>
#include <mmsystem.h>

#include "clock/clock.h"

// Sleep ends on a tick of the timer: up to 15.6 ms late at the default
// resolution, about 1 ms while clock_begin_precision is in force. The last
// stretch is spun; with the default resolution the spin is simply longer.
std::uint64_t clock_spin_us() { return 2000; }

std::uint32_t clock_begin_precision() { return timeBeginPeriod(1); }

std::uint32_t clock_end_precision() { return timeEndPeriod(1); }

std::uint32_t clock_now_ms() { return timeGetTime(); }

void clock_sleep_ms(std::uint32_t ms) { Sleep(ms); }

std::uint64_t clock_now_us() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    auto ticks = static_cast<std::uint64_t>(count.QuadPart);
    auto per_second = static_cast<std::uint64_t>(frequency.QuadPart);
    // Split so that the product cannot overflow however long the system has run.
    return ticks / per_second * 1000000 + ticks % per_second * 1000000 / per_second;
}

std::uint64_t clock_utc_us() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    // 100 ns ticks from 1601 to 1970.
    constexpr std::uint64_t ticks_before_1970 = 116444736000000000;
    return (ticks - ticks_before_1970) / 10;
}

void clock_wait_until_us(std::uint64_t deadline_us) {
    std::uint64_t now = clock_now_us();
    if (std::uint64_t wake_us = clock_spin_from_us(deadline_us); wake_us > now) {
        Sleep(static_cast<DWORD>((wake_us - now) / 1000));
    }
    while (clock_now_us() < deadline_us) {
    }
}
