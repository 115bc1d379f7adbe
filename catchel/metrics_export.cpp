#include "metrics_export.h"

#include <algorithm>
#include <charconv>

namespace {

bool same_source(const probe_key* a, const probe_key* b) {
    return a->family == b->family && a->port == b->port && a->scope == b->scope &&
           std::equal(a->address, a->address + 16, b->address);
}

// The place of the stream's source among those shown, added at its first stream.
std::size_t source_of(catchel_metrics* metrics, const probe_key* stream_key) {
    for (std::size_t i = 0; i < metrics->shown.size(); ++i) {
        if (same_source(&metrics->shown[i].key, stream_key)) return i;
    }
    metrics->shown.push_back(source_shown{*stream_key, 0});
    metrics->shown.back().key.run = 0;
    return metrics->shown.size() - 1;
}

// What a source's runs add up to; the gauges are its newest run's.
struct source_figures {
    std::string labels;
    std::uint64_t received;
    std::uint64_t lost;
    std::uint64_t duplicates;
    std::uint64_t reordered;
    double jitter_us;
    std::int64_t last_delay_us;
};

void gather_sources(catchel_metrics* metrics, std::vector<std::size_t>* source_index,
                    std::vector<source_figures>* sources) {
    const probe_streams& streams = metrics->measure->streams;
    for (std::size_t i = 0; i < streams.index.count; ++i) {
        const probe_stream* stream = &streams.streams[i];
        std::size_t at = source_of(metrics, &stream->key);
        source_index->push_back(at);
        if (at >= sources->size()) sources->resize(at + 1, source_figures{});
        source_figures& figures = (*sources)[at];
        if (figures.labels.empty()) metrics_key_labels(&figures.labels, "source", &stream->key);
        probe_stream_stats stats;
        probe_stream_summary(stream, &stream->run, &stats);
        figures.received += stats.received;
        figures.lost += stats.lost > 0 ? static_cast<std::uint64_t>(stats.lost) : 0;
        figures.duplicates += stats.duplicates;
        figures.reordered += stats.reordered;
        figures.jitter_us = stats.jitter_us;
        figures.last_delay_us = stream->last_transit_us;
    }
    for (std::size_t i = 0; i < sources->size(); ++i) {
        metrics->shown[i].lost = std::max(metrics->shown[i].lost, (*sources)[i].lost);
        (*sources)[i].lost = metrics->shown[i].lost;
    }
}

void source_counters(std::string* page, const std::vector<source_figures>& sources, const char* name,
                     const char* help, std::uint64_t source_figures::*field) {
    metrics_family(page, name, metrics_type::counter, help);
    for (const source_figures& source : sources) metrics_count(page, name, source.labels, source.*field);
}

void delay_histograms(std::string* page, const catchel_measure* measure, const std::vector<std::size_t>& source_index,
                      const std::vector<source_figures>& sources) {
    const char* name = "catchel_probe_delay_seconds";
    metrics_family(page, name, metrics_type::histogram,
                   "One-way delay of each probe: arrival less send time; a negative one counts as 0.");
    histogram merged;
    for (std::size_t source = 0; source < sources.size(); ++source) {
        histogram_clear(&merged);
        for (std::size_t i = 0; i < source_index.size() && i < measure->delays.size(); ++i) {
            if (source_index[i] == source) histogram_merge(&merged, &measure->delays[i]);
        }
        metrics_histogram(page, name, sources[source].labels, &merged);
    }
}

// A failed write of the file, told once in a row.
void tell_failure(catchel_metrics* metrics) {
    metrics_outlet* outlet = &metrics->outlet;
    if (!metrics_outlet_new_failure(outlet)) return;
    cli_tell_file_failure(&metrics->say, "cannot write metrics file", outlet->file.path.c_str(),
                          outlet->file.error_number);
}

void write_page(void* context, std::string* page) {
    catchel_metrics_page(static_cast<catchel_metrics*>(context), page);
}

}  // namespace

int catchel_metrics_open(catchel_metrics* metrics, const metrics_plan* plan, const cli_teller* say,
                         net_reason* reason) {
    metrics->say = *say;
    metrics->measure = nullptr;
    metrics->ep = nullptr;
    metrics->echo = false;
    return metrics_outlet_open(&metrics->outlet, plan, metrics_page_source{write_page, metrics}, reason);
}

void catchel_metrics_close(catchel_metrics* metrics) { metrics_outlet_close(&metrics->outlet); }

void catchel_metrics_begin(catchel_metrics* metrics, const catchel_measure* measure, net_endpoint* ep, bool echo) {
    metrics->measure = measure;
    metrics->ep = ep;
    metrics->echo = echo;
}

int catchel_metrics_wait(catchel_metrics* metrics, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason) {
    int rc = metrics_outlet_wait(&metrics->outlet, ep, timeout_us, reason);
    tell_failure(metrics);
    return rc;
}

void catchel_metrics_end(catchel_metrics* metrics) {
    metrics_outlet_flush(&metrics->outlet);
    tell_failure(metrics);
    metrics->measure = nullptr;
}

void catchel_metrics_datagram(catchel_metrics* metrics) {
    metrics_outlet_busy(&metrics->outlet);
    tell_failure(metrics);
}

void catchel_metrics_page(catchel_metrics* metrics, std::string* page) {
    const catchel_measure* measure = metrics->measure;
    if (measure == nullptr) return;
    metrics_counter_alone(page, "catchel_datagrams_received_total", "Datagrams received.", measure->run.datagrams);
    metrics_counter_alone(page, "catchel_received_bytes_total", "Bytes of the datagrams received, their UDP payloads.",
                 measure->run.bytes);
    std::uint32_t dropped = 0;
    if (dgram_drop_count(metrics->ep, &dropped) == NET_OK) {
        metrics_counter_alone(page, "catchel_kernel_drops_total",
                     "Datagrams the kernel dropped for the socket, its receive buffer full.", dropped);
    }
    metrics_counter_alone(page, "catchel_probes_in_no_stream_total",
                 "Probes of streams beyond the 256 told apart, counted in the totals alone.",
                 measure->streams.index.refused);
    if (metrics->echo) {
        metrics_counter_alone(page, "catchel_echoes_total", "Probes echoed to their source.", measure->echoed);
        metrics_counter_alone(page, "catchel_echo_failures_total", "Echoes the socket could not send at once.",
                     measure->echo_failed);
    }
    if (metrics->outlet.writing) {
        metrics_counter_alone(page, "catchel_metrics_file_failures_total", "Writes of the metrics file that failed.",
                              metrics->outlet.file.failures);
    }
    std::vector<std::size_t> source_index;
    std::vector<source_figures> sources;
    gather_sources(metrics, &source_index, &sources);
    source_counters(page, sources, "catchel_probes_received_total", "Probes received, duplicates included.",
                    &source_figures::received);
    source_counters(page, sources, "catchel_probes_lost_total",
                    "Probes never received below the highest received, over every run of the source.",
                    &source_figures::lost);
    source_counters(page, sources, "catchel_probes_duplicate_total", "Probes received more than once.",
                    &source_figures::duplicates);
    source_counters(page, sources, "catchel_probes_reordered_total", "Probes received after a later one.",
                    &source_figures::reordered);
    metrics_family(page, "catchel_probe_jitter_seconds", metrics_type::gauge,
                   "Interarrival jitter of the newest run, as RFC 3550 has it.");
    for (const source_figures& source : sources) {
        metrics_seconds(page, "catchel_probe_jitter_seconds", source.labels, source.jitter_us);
    }
    metrics_family(page, "catchel_probe_last_delay_seconds", metrics_type::gauge,
                   "One-way delay of the last probe received; negative when the clocks disagree.");
    for (const source_figures& source : sources) {
        metrics_seconds(page, "catchel_probe_last_delay_seconds", source.labels,
                        static_cast<double>(source.last_delay_us));
    }
    delay_histograms(page, measure, source_index, sources);
}
