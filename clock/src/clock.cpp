#include "clock/clock.h"

// Unsigned subtraction is modulo 2^32, the counter's own wrap: a reading
// taken after the wrap still lies `now - then` past the earlier one.
std::uint32_t clock_elapsed_ms(std::uint32_t now, std::uint32_t then) { return now - then; }

std::uint64_t clock_due_after_us(std::uint64_t i, std::uint64_t rate) {
    return i / rate * 1000000 + i % rate * 1000000 / rate;
}

std::uint64_t clock_spin_from_us(std::uint64_t deadline_us) {
    std::uint64_t now = clock_now_us();
    // A sleep shorter than this saves less than it risks.
    std::uint64_t shortest_sleep_us = 4 * clock_spin_us();
    return deadline_us > now + shortest_sleep_us ? deadline_us - clock_spin_us() : now;
}
