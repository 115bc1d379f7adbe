// What comes back to pitchel's socket, read between its sends and after them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "netlayer/netlayer.h"
#include "probe_run.h"
#include "records/records.h"

constexpr int REPLIES_SOME = 0;
constexpr int REPLIES_NONE = 2;
constexpr int REPLIES_OUTPUT_FAILED = 3;

// Replies are written to the output as catchel prints its records,
// numbered from 1, or as one JSON line each (the endpoint then opened with
// DGRAM_DETAILS). A failed wait or read is printed as catchel prints it,
// once per run of the same code; the silence at the end is not.
struct reply_reader {
    record_output pending;
    record_run run;
    probe_run* probes;  // echoes of its probes are matched; null: none are
    const std::atomic<int>* stop;  // once non-zero, reading ends with every reply read written
    std::uint64_t wanted;          // reading ends after this many replies; 0: never
    bool output_failed;
};

// With `hex`, a record shows all the reply's bytes as a hex dump, as catchel -x does.
void replies_start(reply_reader* reader, bool json, std::FILE* out, probe_run* probes,
                   const std::atomic<int>* stop, std::uint64_t wanted, bool hex = false);

// Reads and writes replies until the clock reaches `deadline_us`; a
// deadline already past reads those queued without waiting. Each record
// leaves at once.
void replies_read_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out);

// True once the output failed, `stop` is set or the replies wanted are in.
bool replies_done(const reply_reader* reader);

// One of the REPLIES_ statuses.
int replies_status(const reply_reader* reader);
