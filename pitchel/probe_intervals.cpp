#include "probe_intervals.h"

#include "clock/clock.h"
#include "netlayer/netlayer.h"
#include "records/records.h"

namespace {

// Past this many intervals ended at once (a machine that slept, a process
// stopped), the empty ones between are passed without lines.
constexpr std::uint64_t empty_intervals_shown = 3600;

double seconds_between(std::uint64_t from_us, std::uint64_t to_us) {
    return static_cast<double>(to_us - from_us) / 1e6;
}

void interval_bounds(record_line* line, const probe_intervals* intervals, std::uint64_t end_us) {
    record_line_begin(line, "interval");
    record_line_decimal(line, "start", seconds_between(intervals->first_us, intervals->start_us), 3);
    record_line_decimal(line, "end", seconds_between(intervals->first_us, end_us), 3);
}

// Milliseconds with three decimals, as the summary gives round trips.
void round_trip(record_line* line, const char* name, double us) { record_line_decimal(line, name, us / 1000, 3); }

void responder_fields(record_line* line, const probe_responder* responder, const histogram* rtt, std::int64_t lost) {
    record_line_address(line, "from", probe_key_address(&responder->key));
    record_line_number(line, "port", responder->key.port);
    record_line_number(line, "replies", rtt->count);
    record_line_number(line, "lost", lost);
    record_line_object_begin(line, "rtt_ms");
    bool any = rtt->count > 0;
    round_trip(line, "min", any ? static_cast<double>(rtt->min_us) : 0);
    round_trip(line, "avg", any ? static_cast<double>(rtt->sum_us) / static_cast<double>(rtt->count) : 0);
    round_trip(line, "max", any ? static_cast<double>(rtt->max_us) : 0);
    round_trip(line, "p50", static_cast<double>(histogram_quantile(rtt, 0.50)));
    round_trip(line, "p90", static_cast<double>(histogram_quantile(rtt, 0.90)));
    round_trip(line, "p99", static_cast<double>(histogram_quantile(rtt, 0.99)));
    record_line_object_end(line);
}

// Every responder that has answered since the run began has its entry.
void add_responders(probe_intervals* intervals) {
    std::size_t known = intervals->probes->responders.index.count;
    while (intervals->responders.size() < known) {
        intervals->responders.emplace_back();
        histogram_clear(&intervals->responders.back().rtt);
        // Counted from the interval it first answered in: the probes before
        // were never its to lose.
        intervals->responders.back().lost_before = intervals->settled_before;
    }
}

// The lines of the interval that ends at `end_us`, and the next one begun.
void close_interval(probe_intervals* intervals, std::uint64_t end_us, std::uint64_t datagrams_sent) {
    record_line line{&intervals->due, intervals->json, true};
    std::uint64_t end_utc_us = clock_utc_us() + end_us - net_steady_us();  // modulo 2^64: exact
    probe_run* probes = intervals->probes;
    std::uint64_t settled = probe_sends_settled(&probes->sends, end_us, intervals->wait_us);
    add_responders(intervals);
    for (std::size_t i = 0; i < intervals->responders.size(); ++i) {
        responder_interval* now = &intervals->responders[i];
        const probe_responder* responder = &probes->responders.responders[i];
        std::uint64_t lost = probe_responder_lost_through(responder, settled);
        interval_bounds(&line, intervals, end_us);
        responder_fields(&line, responder, &now->rtt, static_cast<std::int64_t>(lost - now->lost_before));
        record_line_time(&line, "time", end_utc_us);
        record_line_end(&line);
        histogram_clear(&now->rtt);
        now->lost_before = lost;
    }
    interval_bounds(&line, intervals, end_us);
    record_line_number(&line, "sent", datagrams_sent - intervals->sent_before);
    record_line_time(&line, "time", end_utc_us);
    record_line_end(&line);
    intervals->start_us = end_us;
    intervals->settled_before = settled;
    intervals->sent_before = datagrams_sent;
}

}  // namespace

void probe_intervals_start(probe_intervals* intervals, probe_run* probes, bool json, std::uint64_t length_us,
                           std::uint64_t wait_us) {
    intervals->probes = probes;
    intervals->json = json;
    intervals->length_us = length_us;
    intervals->wait_us = wait_us;
    intervals->first_us = intervals->start_us = net_steady_us();
    intervals->settled_before = 0;
    intervals->sent_before = 0;
    intervals->responders.clear();
    intervals->due.clear();
}

void probe_intervals_reply(probe_intervals* intervals, const probe_responder* responder, std::uint64_t rtt_us) {
    add_responders(intervals);
    auto i = static_cast<std::size_t>(responder - intervals->probes->responders.responders);
    histogram_add(&intervals->responders[i].rtt, rtt_us);
}

std::uint64_t probe_intervals_left_us(const probe_intervals* intervals) {
    std::uint64_t end_us = intervals->start_us + intervals->length_us;
    std::uint64_t now_us = net_steady_us();
    return now_us < end_us ? end_us - now_us : 0;
}

void probe_intervals_close_due(probe_intervals* intervals, std::uint64_t datagrams_sent) {
    std::uint64_t now_us = net_steady_us();
    std::uint64_t ended = (now_us - intervals->start_us) / intervals->length_us;
    if (ended == 0) return;
    close_interval(intervals, intervals->start_us + intervals->length_us, datagrams_sent);
    if (ended - 1 > empty_intervals_shown) intervals->start_us += (ended - 1) * intervals->length_us;
    for (; now_us - intervals->start_us >= intervals->length_us;) {
        close_interval(intervals, intervals->start_us + intervals->length_us, datagrams_sent);
    }
}

void probe_intervals_end(probe_intervals* intervals, std::uint64_t datagrams_sent) {
    probe_intervals_close_due(intervals, datagrams_sent);
    std::uint64_t now_us = net_steady_us();
    if (now_us > intervals->start_us) close_interval(intervals, now_us, datagrams_sent);
}
