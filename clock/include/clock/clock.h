// clock: the platform's millisecond counter, wrap-safe elapsed time and sleep.
//
// A reading is a 32-bit count of milliseconds from an arbitrary start; it
// wraps to 0 after 2^32 ms (about 49.7 days), so compare readings only
// through clock_elapsed_ms.
#pragma once

#include <cstdint>

// Ask for, and give back, 1 ms timer resolution; 0 on success. Pair every
// begin with one end.
std::uint32_t clock_begin_precision();
std::uint32_t clock_end_precision();

std::uint32_t clock_now_ms();

// Milliseconds from `then` to `now`, correct across one wrap of the counter.
std::uint32_t clock_elapsed_ms(std::uint32_t now, std::uint32_t then);

void clock_sleep_ms(std::uint32_t ms);
