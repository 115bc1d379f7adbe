#include "metrics_export.h"

#include <algorithm>
#include <charconv>

#include "clock/clock.h"

namespace {

// A failed write of the file, told once in a row.
void tell_failure(pitchel_metrics* metrics) {
    metrics_outlet* outlet = &metrics->outlet;
    if (!metrics_outlet_new_failure(outlet)) return;
    cli_tell_file_failure(&metrics->say, "cannot write metrics file", outlet->file.path.c_str(),
                          outlet->file.error_number);
}

void write_page(void* context, std::string* page) {
    pitchel_metrics_page(static_cast<pitchel_metrics*>(context), page);
}

}  // namespace

int pitchel_metrics_open(pitchel_metrics* metrics, const pitchel_metrics_plan* plan, const cli_teller* say,
                         net_reason* reason) {
    metrics->say = *say;
    metrics->datagrams_sent = nullptr;
    metrics->probes = nullptr;
    metrics->reply_wait_us = plan->reply_wait_us;
    return metrics_outlet_open(&metrics->outlet, &plan->outlet, metrics_page_source{write_page, metrics}, reason);
}

void pitchel_metrics_close(pitchel_metrics* metrics) { metrics_outlet_close(&metrics->outlet); }

void pitchel_metrics_begin(pitchel_metrics* metrics, const std::uint64_t* datagrams_sent, probe_run* probes,
                           bool intervals) {
    metrics->datagrams_sent = datagrams_sent;
    metrics->probes = probes;
    metrics->intervals_settle = intervals;
}

void pitchel_metrics_sent(pitchel_metrics* metrics) {
    metrics_outlet_busy(&metrics->outlet);
    tell_failure(metrics);
}

void pitchel_metrics_reply(pitchel_metrics* metrics, const probe_responder* responder, std::uint64_t rtt_us) {
    if (metrics->probes == nullptr) return;
    auto place = static_cast<std::size_t>(responder - metrics->probes->responders.responders);
    if (place >= metrics->round_trips.size()) {
        metrics->round_trips.resize(place + 1, histogram{});
        metrics->lost_shown.resize(place + 1, 0);
    }
    histogram_add(&metrics->round_trips[place], rtt_us);
}

int pitchel_metrics_wait(pitchel_metrics* metrics, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason) {
    std::uint64_t until_us = clock_now_us() + timeout_us;
    int rc = metrics_outlet_wait(&metrics->outlet, ep, timeout_us, reason);
    tell_failure(metrics);
    if (ep == nullptr && !metrics->outlet.serving) clock_wait_until_us(until_us);
    return rc;
}

void pitchel_metrics_end(pitchel_metrics* metrics) {
    metrics_outlet_flush(&metrics->outlet);
    tell_failure(metrics);
    metrics->probes = nullptr;
    metrics->datagrams_sent = nullptr;
}

void pitchel_metrics_page(pitchel_metrics* metrics, std::string* page) {
    metrics_counter_alone(page, "pitchel_datagrams_sent_total", "Datagrams sent.",
                          metrics->datagrams_sent != nullptr ? *metrics->datagrams_sent : 0);
    if (metrics->outlet.writing) {
        metrics_counter_alone(page, "pitchel_metrics_file_failures_total", "Writes of the metrics file that failed.",
                              metrics->outlet.file.failures);
    }
    if (metrics->probes == nullptr) return;
    probe_responders& table = metrics->probes->responders;
    std::size_t count = std::min(table.index.count, metrics->round_trips.size());
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < count; ++i) {
        metrics_key_labels(&labels.emplace_back(), "responder", &table.responders[i].key);
    }
    // An interval asks at its end, behind a scrape's now: the scrape leaves the
    // notes to it, lest a probe settled since count in the interval before.
    std::uint64_t settled = metrics->intervals_settle ? probe_run_settled_by(metrics->probes, metrics->reply_wait_us)
                                                      : probe_run_settled(metrics->probes, metrics->reply_wait_us);
    const char* name = "pitchel_replies_total";
    metrics_family(page, name, metrics_type::counter, "Probes answered, each counted once.");
    for (std::size_t i = 0; i < count; ++i) metrics_count(page, name, labels[i], table.responders[i].replies);
    name = "pitchel_probes_lost_total";
    metrics_family(page, name, metrics_type::counter, "Probes without a reply once their -reply time has passed.");
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t lost = probe_responder_lost_through(&table.responders[i], settled);
        metrics->lost_shown[i] = std::max(metrics->lost_shown[i], lost);
        metrics_count(page, name, labels[i], metrics->lost_shown[i]);
    }
    name = "pitchel_reply_duplicates_total";
    metrics_family(page, name, metrics_type::counter, "Second and later replies to a probe.");
    for (std::size_t i = 0; i < count; ++i) metrics_count(page, name, labels[i], table.responders[i].duplicates);
    name = "pitchel_round_trip_seconds";
    metrics_family(page, name, metrics_type::histogram, "Round trip of each probe answered.");
    for (std::size_t i = 0; i < count; ++i) metrics_histogram(page, name, labels[i], &metrics->round_trips[i]);
}
