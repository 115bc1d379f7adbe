// The probes of one run of pitchel: their header, the clock their send
// times are read from, and what the echoes that come back tell per responder.
#pragma once

#include <cstdint>
#include <cstdio>

#include "cmdline/cmdline.h"
#include "probes/probes.h"
#include "records/records.h"

// What an out-of-memory line says could not be done.
constexpr const char* no_room_for_replies = "cannot keep the replies: ";

struct probe_run {
    std::uint32_t run;
    // Send times and round trips are read from the monotonic clock, set
    // once against the calendar: a clock set back mid-run bends no round trip.
    std::uint64_t utc_at_start_us;
    std::uint64_t monotonic_at_start_us;
    std::uint64_t sent;  // probes 1 to `sent` are out
    probe_sends sends;   // when they went, by the layer's steady clock
    probe_responders responders;
};

// Draws the run's identifier from the system's random source. Returns 0, or
// the exit status once it has told why it cannot.
int probe_run_start(probe_run* probes, const cli_teller* say);
void probe_run_end(probe_run* probes);

// Microseconds since 1970 UTC, on the run's clock.
std::uint64_t probe_run_now_us(const probe_run* probes);

// Writes the headers of the next `count` probes, `stride` bytes apart from
// `at`, sent now; they count as sent once `probe_run_note_sent` says so.
void probe_run_stamp(const probe_run* probes, unsigned char* at, std::size_t stride, int count);
void probe_run_note_sent(probe_run* probes, int count);

// When the reply lying at `data` echoes a probe of this run (marked as an
// echo by catchel, or returned unchanged by a plain echo server), marks the
// datagram as an echo with its number and round trip, and counts it for its
// responder. Returns that responder where the reply is the first to its
// probe, else null.
const probe_responder* probe_run_match(probe_run* probes, record_datagram* datagram, const char* data, int size);

// The highest probe whose wait of `wait_us` for a reply has passed by now.
std::uint64_t probe_run_settled(probe_run* probes, std::uint64_t wait_us);
// The same, the notes of the sends left as they are (probe_sends_settled_by).
std::uint64_t probe_run_settled_by(const probe_run* probes, std::uint64_t wait_us);

// The summary: the datagrams sent, then a line per responder, whose lost
// are the probes 1 to `through` it did not answer. False when the write
// failed.
bool probe_run_summary(probe_run* probes, std::uint64_t datagrams_sent, std::uint64_t through, bool json,
                       std::FILE* out);
