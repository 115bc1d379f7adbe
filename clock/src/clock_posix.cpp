// POSIX has no timer resolution to raise and a monotonic clock that is
// finer than a millisecond; the counter is cut to 32 bits so that it wraps
// as the Windows one does.
#include <cerrno>
#include <ctime>

#include "clock/clock.h"

std::uint32_t clock_begin_precision() { return 0; }

std::uint32_t clock_end_precision() { return 0; }

namespace {

// Linux lets a sleep end 50 us late by default, and a busy or virtual
// machine wakes a sleeper later still, one wake in a hundred by more than
// 100 us: the last millisecond is spun, so that a pace of 1000 a second
// keeps its gaps within a few microseconds.
constexpr std::uint64_t spin_us = 1000;

}  // namespace

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
    if (deadline_us > clock_now_us() + spin_us) {
        std::uint64_t wake_us = deadline_us - spin_us;
        timespec wake{static_cast<time_t>(wake_us / 1000000), static_cast<long>(wake_us % 1000000) * 1000};
        // An absolute deadline survives signals: the sleep is simply taken again.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
    }
    while (clock_now_us() < deadline_us) {
    }
}
