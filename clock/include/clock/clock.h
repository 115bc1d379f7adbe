// clock: the platform's millisecond counter, wrap-safe elapsed time and sleep;
// a microsecond counter and a wait that ends on time, for pacing.
//
// A reading is a 32-bit count of milliseconds from an arbitrary start; it
// wraps to 0 after 2^32 ms (about 49.7 days), so compare readings only
// through clock_elapsed_ms.
#pragma once

#include <cstdint>

// Ask for, and give back, the finest timed waits the platform gives: 1 ms
// timer resolution on Windows, the least timer slack on Linux; 0 on
// success. Pair every begin with one end.
std::uint32_t clock_begin_precision();
std::uint32_t clock_end_precision();

std::uint32_t clock_now_ms();

// Milliseconds from `then` to `now`, correct across one wrap of the counter.
std::uint32_t clock_elapsed_ms(std::uint32_t now, std::uint32_t then);

void clock_sleep_ms(std::uint32_t ms);

// Microseconds from an arbitrary start, never going back; 64 bits do not
// wrap within any run.
std::uint64_t clock_now_us();

// Microseconds since 1970-01-01 00:00 UTC by the system's calendar clock,
// which may be set back or forward at any time.
std::uint64_t clock_utc_us();
// Returns once clock_now_us() has reached `deadline_us`, at once when it
// has already. The bulk of a long wait is slept; the last stretch is spun,
// since a sleep can overrun by more than a short wait lasts.
void clock_wait_until_us(std::uint64_t deadline_us);
// How long before a deadline a sleep, or a wait on sockets, must end for a
// spin to meet the deadline: how late the platform may wake a sleeper
// while clock_begin_precision is in force.
std::uint64_t clock_spin_us();
// When a wait until `deadline_us` that sleeps, or waits on sockets, should
// end, to spin the rest: clock_spin_us() before it, or now for a wait too
// short to sleep, since on a busy machine a thread that gives up its core
// may not have it back for a whole time slice.
std::uint64_t clock_spin_from_us(std::uint64_t deadline_us);

// When the i-th of events evenly spaced at `rate` a second is due, in
// microseconds after the first: each from the first, so that a late one
// does not push back those after it.
std::uint64_t clock_due_after_us(std::uint64_t i, std::uint64_t rate);
