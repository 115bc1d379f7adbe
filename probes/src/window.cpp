#include "window.h"

#include <algorithm>
#include <bit>

namespace {

// The ring's place for `sequence` is bit `sequence % PROBE_WINDOW`.
std::uint64_t& word_of(probe_window* window, std::uint64_t sequence) {
    return window->seen[sequence % PROBE_WINDOW / 64];
}

std::uint64_t bit_of(std::uint64_t sequence) { return std::uint64_t{1} << (sequence % 64); }

// Forgets the ring's places for the `count` sequence numbers from `from` on,
// whole words where it can, so that a jump costs no more than the window.
void forget(probe_window* window, std::uint64_t from, std::uint64_t count) {
    if (count >= PROBE_WINDOW) count = PROBE_WINDOW;
    while (count > 0) {
        if (from % 64 == 0 && count >= 64) {
            word_of(window, from) = 0;
            from += 64;
            count -= 64;
        } else {
            word_of(window, from) &= ~bit_of(from);
            ++from;
            --count;
        }
    }
}

}  // namespace

static_assert(PROBE_WINDOW >= 64 && (PROBE_WINDOW & (PROBE_WINDOW - 1)) == 0);

probe_verdict window_mark(probe_window* window, std::uint64_t sequence) {
    if (sequence == 0 || sequence > PROBE_SEQUENCE_MAX) return PROBE_OUTSIDE;
    if (sequence > window->highest) {
        forget(window, window->highest + 1, sequence - window->highest);
        word_of(window, sequence) |= bit_of(sequence);
        window->highest = sequence;
        return PROBE_NEXT;
    }
    if (window->highest - sequence >= PROBE_WINDOW) return PROBE_OUTSIDE;
    std::uint64_t& word = word_of(window, sequence);
    if ((word & bit_of(sequence)) != 0) return PROBE_DUPLICATE;
    word |= bit_of(sequence);
    return PROBE_REORDERED;
}

std::uint64_t window_seen_above(const probe_window* window, std::uint64_t through) {
    std::uint64_t from = through + 1;
    if (window->highest >= PROBE_WINDOW && from <= window->highest - PROBE_WINDOW) from = window->highest - PROBE_WINDOW + 1;
    std::uint64_t seen = 0;
    for (std::uint64_t sequence = from; sequence <= window->highest;) {
        std::uint64_t word = window->seen[sequence % PROBE_WINDOW / 64] >> (sequence % 64);
        std::uint64_t span = std::min<std::uint64_t>(64 - sequence % 64, window->highest - sequence + 1);
        if (span < 64) word &= (std::uint64_t{1} << span) - 1;
        seen += static_cast<std::uint64_t>(std::popcount(word));
        sequence += span;
    }
    return seen;
}
