// What comes back to pitchel's socket, read between its sends and after them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "cmdline/cmdline.h"
#include "metrics_export.h"
#include "netlayer/netlayer.h"
#include "probe_intervals.h"
#include "probe_run.h"
#include "records/records.h"

constexpr int REPLIES_SOME = 0;
constexpr int REPLIES_NONE = 2;
constexpr int REPLIES_OUTPUT_FAILED = 3;

// What the command line asks of the replies.
struct reply_plan {
    bool json;  // one JSON line each; the endpoint is then opened with DGRAM_DETAILS
    bool hex;   // a record shows all the reply's bytes as a hex dump, as catchel -x does
    bool quiet;  // replies are counted and matched, and no record is written of them
    std::uint64_t wanted;  // reading ends after this many replies; 0: never
    std::uint64_t wait_us;  // how long replies are awaited once the sends are done
};

// Replies are written to the output as catchel prints its records,
// numbered from 1, or as one JSON line each. A failed wait or read is
// printed as catchel prints it, once per run of the same code; the silence
// at the end is not.
struct reply_reader {
    record_output pending;
    record_run run;
    cli_teller say;  // a failed read's reason, with -v and not among JSON lines
    probe_run* probes;  // echoes of its probes are matched; null: none are
    probe_intervals* intervals;  // where each first reply to a probe counts too; null: none
    const std::atomic<int>* stop;  // once non-zero, reading ends with every reply read written
    std::uint64_t wanted;
    bool quiet;
    bool output_failed;
    pitchel_metrics* metrics;  // served in the waits and fed the round trips; null: none
};

// False when the output's room could not be had; replies_end either way.
bool replies_start(reply_reader* reader, const reply_plan& plan, const cli_teller* say, probe_run* probes,
                   const std::atomic<int>* stop);
void replies_end(reply_reader* reader);

// Reads and writes replies until the clock reaches `deadline_us`; a
// deadline already past reads those queued without waiting. Each record
// leaves at once.
void replies_read_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out);

// Returns once the clock reaches `deadline_us`, as a paced send must, the
// replies that come meanwhile read and written as they come: the endpoint
// is waited on until shortly before the deadline, and the last stretch,
// which no wake-up can be trusted to meet, is spun, the replies queued read
// at each turn. Returns early once replies_done. Without a reader (null),
// a plain wait.
void replies_pace_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out);

// True once the output failed, `stop` is set or the replies wanted are in.
bool replies_done(const reply_reader* reader);

// One of the REPLIES_ statuses.
int replies_status(const reply_reader* reader);
