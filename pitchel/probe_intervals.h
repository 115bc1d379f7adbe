// pitchel's -i lines: for each interval and responder the replies read in
// it, the probes lost and the round trips, then the datagrams sent.
//
// Intervals follow the layer's steady clock from the first send, so that a
// calendar clock set mid-run moves no boundary; each line ends with the
// calendar time of the interval's end. A probe counts as lost in the
// interval in which its -reply time runs out unanswered, never earlier: one
// still within its time when an interval ends may yet be answered, and is
// judged in a later interval. A reply that comes after its probe was
// counted lost takes it back in the interval it arrives in, which may then
// show fewer than 0 lost, so that the intervals add up to the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "probe_run.h"

struct responder_interval {
    histogram rtt;  // the replies read in the interval
    std::uint64_t lost_before;  // the responder's lost when the interval began
};

struct probe_intervals {
    probe_run* probes;
    bool json;
    std::uint64_t length_us;
    std::uint64_t wait_us;   // -reply's: how long a probe awaits its reply
    std::uint64_t first_us;  // by the steady clock: the run's start, and the interval's
    std::uint64_t start_us;
    std::uint64_t settled_before;  // the highest probe whose wait had passed when the interval began
    std::uint64_t sent_before;     // datagrams sent before it
    // One for each of probes->responders, in its order: at most its capacity.
    std::vector<responder_interval> responders;
    std::string due;  // lines to be written
};

// The first interval begins now.
void probe_intervals_start(probe_intervals* intervals, probe_run* probes, bool json, std::uint64_t length_us,
                           std::uint64_t wait_us);

// A reply, the first to its probe, from `responder` of intervals->probes.
void probe_intervals_reply(probe_intervals* intervals, const probe_responder* responder, std::uint64_t rtt_us);

// Microseconds until the interval ends: 0 once it has.
std::uint64_t probe_intervals_left_us(const probe_intervals* intervals);

// The lines of every interval that ended by now go to `due`, with
// `datagrams_sent` the run's count so far.
void probe_intervals_close_due(probe_intervals* intervals, std::uint64_t datagrams_sent);

// At the end of the run: the lines of the interval it cut short.
void probe_intervals_end(probe_intervals* intervals, std::uint64_t datagrams_sent);
