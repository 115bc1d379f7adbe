// pitchel's figures for Prometheus: the page -metrics serves and
// -metrics-file writes, from its sends and the replies to its probes.
#pragma once

#include <cstdint>
#include <vector>

#include "cmdline/cmdline.h"
#include "metrics/metrics.h"
#include "probe_run.h"
#include "records/records.h"

// What the command line asks: either or both.
struct pitchel_metrics_plan {
    metrics_plan outlet;
    std::uint64_t reply_wait_us;  // a probe counts as lost once this long without a reply
};


struct pitchel_metrics {
    metrics_outlet outlet;
    std::uint64_t reply_wait_us;
    cli_teller say;
    const std::uint64_t* datagrams_sent;  // null before the sends begin
    probe_run* probes;  // null: no probes
    bool intervals_settle;  // -i's lines move the probes' settled sequence on, not a scrape
    std::vector<histogram> round_trips;  // by the responder's place in its table
    std::vector<std::uint64_t> lost_shown;  // so that each lost count only grows
};

// Listens where the plan says. NET_OK, or NET_ERROR with the reason; then
// nothing is left open.
int pitchel_metrics_open(pitchel_metrics* metrics, const pitchel_metrics_plan* plan, const cli_teller* say,
                         net_reason* reason);
void pitchel_metrics_close(pitchel_metrics* metrics);

// Binds the page to the run's count of datagrams sent and its probes (null:
// none), whose losses -i's lines may count too (`intervals`).
void pitchel_metrics_begin(pitchel_metrics* metrics, const std::uint64_t* datagrams_sent, probe_run* probes,
                           bool intervals);

// Datagrams went: now and then the clients are served between sends, lest
// a flood that never waits starve them.
void pitchel_metrics_sent(pitchel_metrics* metrics);

// The first reply to a probe of `responder`, of the run's table.
void pitchel_metrics_reply(pitchel_metrics* metrics, const probe_responder* responder, std::uint64_t rtt_us);

// The layer's wait for a datagram at `ep` (null: none), the clients served
// and the file written when due meanwhile: NET_OK once one is waiting,
// NET_TIMEOUT, or NET_ERROR with the reason. With neither `ep` nor a
// server, the clock's wait.
int pitchel_metrics_wait(pitchel_metrics* metrics, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason);

// The run ends: the file written a last time, and the page unbound from
// the run, whose probes go.
void pitchel_metrics_end(pitchel_metrics* metrics);

// The page as it stands.
void pitchel_metrics_page(pitchel_metrics* metrics, std::string* page);
