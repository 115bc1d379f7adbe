// catchel's figures for Prometheus: the page -metrics serves and
// -metrics-file writes, from what the measurement counts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "cmdline/cmdline.h"
#include "measure.h"
#include "metrics/metrics.h"

// A source's counters as last shown: each only grows, whatever a late
// probe does to a run's count of those lost.
struct source_shown {
    probe_key key;  // run 0: every run of the source
    std::uint64_t lost;
};

struct catchel_metrics {
    metrics_outlet outlet;
    cli_teller say;
    // What the page is written from, once the run has begun.
    const catchel_measure* measure;
    net_endpoint* ep;
    bool echo;
    std::vector<source_shown> shown;
};

// Listens where the plan says. NET_OK, or NET_ERROR with the reason; then
// nothing is left open.
int catchel_metrics_open(catchel_metrics* metrics, const metrics_plan* plan, const cli_teller* say,
                         net_reason* reason);
void catchel_metrics_close(catchel_metrics* metrics);

// Binds the page to the run's figures.
void catchel_metrics_begin(catchel_metrics* metrics, const catchel_measure* measure, net_endpoint* ep, bool echo);

// The layer's wait for a datagram at `ep`, the clients served and the file
// written when due meanwhile: NET_OK once one is waiting, NET_TIMEOUT, or
// NET_ERROR with the reason.
int catchel_metrics_wait(catchel_metrics* metrics, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason);

// A datagram was taken without a wait: now and then the clients are served
// and the file written, lest a flood that never lets catchel wait starve them.
void catchel_metrics_datagram(catchel_metrics* metrics);

// The run ends: the file written a last time, and the page unbound from
// the figures, which go.
void catchel_metrics_end(catchel_metrics* metrics);

// The page as it stands.
void catchel_metrics_page(catchel_metrics* metrics, std::string* page);
