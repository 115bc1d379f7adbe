// POSIX has no timer resolution to raise and a monotonic clock that is
// finer than a millisecond; the counter is cut to 32 bits so that it wraps
// as the Windows one does.
#include <cerrno>
#include <ctime>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "clock/clock.h"

// Linux lets a timed wait end up to its timer slack late, 50 us by default,
// and more for a long wait: with the slack at its least, a wait ends as
// soon as the system wakes the thread.
#ifdef __linux__
std::uint32_t clock_begin_precision() { return prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0 ? 0 : 1; }

// 0 gives the thread back its default slack.
std::uint32_t clock_end_precision() { return prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL) == 0 ? 0 : 1; }
#else
std::uint32_t clock_begin_precision() { return 0; }

std::uint32_t clock_end_precision() { return 0; }
#endif

// With the least slack, a wake on a loaded two-core machine comes within
// 50 us of its time nine times in ten; the spin covers that much, a
// twentieth of a millisecond's gap.
std::uint64_t clock_spin_us() { return 50; }

std::uint32_t clock_now_ms() { return static_cast<std::uint32_t>(clock_now_us() / 1000); }

void clock_sleep_ms(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    // A signal cuts nanosleep short; sleep on for what is left, as Sleep does.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t clock_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

std::uint64_t clock_utc_us() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

void clock_wait_until_us(std::uint64_t deadline_us) {
    if (std::uint64_t wake_us = clock_spin_from_us(deadline_us); wake_us > clock_now_us()) {
        timespec wake{static_cast<time_t>(wake_us / 1000000), static_cast<long>(wake_us % 1000000) * 1000};
        // An absolute deadline survives signals: the sleep is simply taken again.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
    }
    while (clock_now_us() < deadline_us) {
    }
}
