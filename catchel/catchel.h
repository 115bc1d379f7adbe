#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "capture_output.h"
#include "metrics_export.h"
#include "netlayer/netlayer.h"
#include "records/records.h"

// How the receive loop shows datagrams and when it ends of itself.
struct catchel_options {
    record_format format;
    std::uint64_t count;         // after this many datagrams printed; 0: no end
    std::uint64_t idle_seconds;  // after this many seconds without a datagram; 0: no end
    bool stats;                      // a summary at the end
    std::uint64_t interval_seconds;  // the figures for each interval this long; 0: none
    bool quiet;                      // no records, no time-out lines: datagrams read in batches
    bool echo;                       // each datagram sent back to its source
};

// What the endpoint is to keep of each datagram (DGRAM_ARRIVAL_TIMES and
// the like): what the form shows and what the figures and, with `capture`,
// a capture need. Each is one more control message per datagram.
std::uint16_t catchel_details_needed(const catchel_options* options, bool capture);

// The exit status once standard output cannot be written.
constexpr int CATCHEL_OUTPUT_FAILED = 3;
// The exit status of a run that would have ended with 0 had the capture
// file not failed a write: it was given up, the rest of the run went on.
constexpr int CATCHEL_CAPTURE_LOST = 4;
// The exit status when the idle time ran out before any datagram arrived.
constexpr int CATCHEL_NOTHING_ARRIVED = 2;
// The exit status when the figures' tables or the batch's room could not be had.
constexpr int CATCHEL_NO_MEMORY = -1;

// Writes to `out` the record of every datagram that reaches `ep`, and a line
// for each time-out or failure once per run of the same code, until `*stop`
// becomes non-zero: then 0, once every record read is written. A write that
// fails ends it at once with CATCHEL_OUTPUT_FAILED. The options (null: plain
// records, no end) give the form and may end it sooner: 0 after the count,
// after the idle time 0 or CATCHEL_NOTHING_ARRIVED, every record read written.
// Whatever ends it, a form that shows drops tells those not yet told, and
// the figures the options ask for follow. Quiet, nothing is printed per
// datagram nor for a time-out; failures still are.
// With `capture`, each datagram's record goes to it too, written out with
// the records. A capture file that fails a write is cut back to its last
// whole record, told in a line ("cannot write capture <file>", the reason
// with -v) and left; a status of 0 then becomes CATCHEL_CAPTURE_LOST.
// With `metrics`, the figures are counted whatever the options ask, and its
// clients are served and its file written in the waits and between datagrams.
int catchel_receive(net_endpoint* ep, std::FILE* out, record_run* state, const std::atomic<int>* stop,
                    const catchel_options* options = nullptr, capture_output* capture = nullptr,
                    catchel_metrics* metrics = nullptr);

// The whole command: its arguments, the endpoint, the group, then
// catchel_receive. Returns the exit status.
int catchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* stop);
