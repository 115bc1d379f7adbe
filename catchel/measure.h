// What -stats and -i tell of a run: counters for each stream of probes
// (one source, one run of its sender) and for every datagram, set out as
// lines of text or JSON.
//
// Time comes from the datagrams alone: each one's arrival time (the
// kernel's where the platform stamps it, else the time of its read), and in
// silence the one-second waits that ran out since the last arrival, each
// counted as one second, as -w counts them. Intervals follow the steady
// clock read with each datagram where its details carry it (the endpoint
// opened with DGRAM_STEADY_TIME), so that a calendar clock set back or
// forward moves no boundary; else its arrival time. An interval therefore
// begins at the first datagram, and a boundary that falls in silence is
// passed when the wait that crosses it runs out: its line comes a few
// milliseconds late per wait (the time between an arrival and the next
// wait, and the wait's own rounding). A datagram queued past a boundary is
// counted in the interval it arrived in by its arrival time, in the one it
// was read in by the steady clock. Each interval line ends with the
// calendar time of its end, as the latest arrival time tells it: the
// boundary's distance from that arrival by the clock the intervals follow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netlayer/netlayer.h"
#include "probes/probes.h"

// At most this many streams are told apart; the datagrams of later ones
// count in the totals alone, and how many were refused is told.
constexpr std::size_t MEASURE_STREAMS = 256;

// The datagrams of a stretch of the run, probes or not.
struct measure_totals {
    std::uint64_t datagrams;
    std::uint64_t bytes;
};

struct catchel_measure {
    bool json;
    bool echo;                  // whether the echo failures are part of the total
    std::uint64_t interval_us;  // 0: no interval lines
    probe_streams streams;
    measure_totals run;
    measure_totals interval;
    std::uint64_t first_us;  // the first arrival, and the last; valid once run.datagrams > 0
    std::uint64_t last_us;
    // The same by the clock the intervals follow, and the interval's start by it.
    std::uint64_t paced_first_us;
    std::uint64_t paced_last_us;
    std::uint64_t interval_start_us;
    // The latest arrival time less its time by the clock the intervals
    // follow, modulo 2^64: a boundary's calendar time, as the datagrams tell it.
    std::uint64_t calendar_ahead_us;
    std::uint64_t idle_waits;    // waits run out since the last arrival
    bool drops_known;            // whether the system tells its drops at any time
    std::uint32_t drops_before;  // its count when the interval began
    std::uint64_t echo_failed;
    std::uint64_t echoed;
    // With the metrics: each stream's one-way delays, by its place in the
    // table; a negative delay (clocks that disagree) counts as 0.
    bool keep_delays;
    std::vector<histogram> delays;
    std::string due;  // interval lines waiting to be written
};

// False when the streams' table could not be had.
bool measure_init(catchel_measure* measure, bool json, bool echo, std::uint64_t interval_seconds, net_endpoint* ep);
void measure_free(catchel_measure* measure);

// Counts `count` datagrams of `size` bytes each lying one after another
// from `data`, all with the same details; first the lines of the intervals
// that ended before them go to `due`.
void measure_datagrams(catchel_measure* measure, net_endpoint* ep, const dgram_details* details, const char* data,
                       int size, int count);

// A one-second wait ran out: the lines of the intervals that ended in it go to `due`.
void measure_wait_ran_out(catchel_measure* measure, net_endpoint* ep);

// At the end of the run: to `due`, the line of the interval cut short where
// one is kept; then, with `summary`, a line per stream and the total.
void measure_end(catchel_measure* measure, net_endpoint* ep, bool summary);
