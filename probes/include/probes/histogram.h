// probes' histograms of microsecond values (round trips, one-way delays), and
// what a sender needs to tell a late reply from a lost probe.
#pragma once

#include <cstddef>
#include <cstdint>

// Log-linear buckets of two significant decimal digits: one bucket for each
// value 0 to 100, then each decade (10^k, 10^(k+1)] cut into 90 buckets of
// width 10^(k-1), up to 10^11 us (some 28 hours); larger values count in the
// top bucket. Every upper bound is a number of two significant digits (50,
// 100, 200, 300, 500, 1000, ...), so a count "at most B" for such a B is
// exact, and the error of any value read back is below a tenth of it.
// Histograms of one layout merge by adding their counts. 7.3 KB, held in
// place: no memory of its own to free.
constexpr std::size_t HISTOGRAM_BUCKETS = 911;
constexpr std::uint64_t HISTOGRAM_TOP_US = 100000000000;

struct histogram {
    std::uint64_t count;
    std::uint64_t sum_us;
    std::uint64_t min_us;  // valid once count > 0
    std::uint64_t max_us;
    std::uint64_t counts[HISTOGRAM_BUCKETS];  // bucket i holds the values above bound i - 1 up to bound i
};

void histogram_clear(histogram* h);
void histogram_add(histogram* h, std::uint64_t value_us);
void histogram_merge(histogram* into, const histogram* from);
// The value at `fraction` (0 to 1) of the values by nearest rank, placed
// within its bucket in proportion to its rank there and kept between min
// and max; 0 when empty.
std::uint64_t histogram_quantile(const histogram* h, double fraction);
// How many values are at most `bound_us`: exact for a bound of two
// significant digits, else those of the buckets wholly below it.
std::uint64_t histogram_count_at_most(const histogram* h, std::uint64_t bound_us);

// When the probes went, so that a sender counts a probe as lost only once its
// whole wait for a reply has passed: notes of (highest sequence sent, its send
// time) in order. Full, it drops every other note, so that the notes still
// span the wait at a coarser grain: the settled sequence may then lag by a
// note's gap, never run ahead. All zero to start.
constexpr std::size_t PROBE_SEND_NOTES = 256;

struct probe_send_note {
    std::uint64_t highest_sent;
    std::uint64_t send_us;
};

struct probe_sends {
    probe_send_note notes[PROBE_SEND_NOTES];
    std::size_t first;  // the oldest note kept
    std::size_t count;
    std::uint64_t settled;
};

// Send times must not go back from one note to the next.
void probe_sends_note(probe_sends* sends, std::uint64_t highest_sent, std::uint64_t send_us);
// The highest sequence sent at or before `now_us - wait_us`: probes up to it
// have had their whole wait for a reply. Never goes back between calls.
std::uint64_t probe_sends_settled(probe_sends* sends, std::uint64_t now_us, std::uint64_t wait_us);
// The same, the notes left as they are: for a reader that asks ahead of
// the one whose asking moves them on, as a scrape at any moment asks ahead
// of the interval that ends before it, which would otherwise take in the
// probes settled since.
std::uint64_t probe_sends_settled_by(const probe_sends* sends, std::uint64_t now_us, std::uint64_t wait_us);
