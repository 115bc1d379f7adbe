#include "metrics_export.h"

#include <algorithm>
#include <charconv>

namespace {

// Datagrams taken in a row without a wait before the clients are served.
constexpr int datagrams_between_serving = 64;

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

std::string source_labels(const probe_key* key) {
    char address[NET_ADDRESS_TEXT_ROOM];
    net_address from = probe_key_address(key);
    if (net_address_format(&from, address, sizeof address) < 0) address[0] = '\0';
    char port[8];
    *std::to_chars(port, port + sizeof port - 1, key->port).ptr = '\0';
    std::string labels;
    metrics_label(&labels, "source", address);
    metrics_label(&labels, "port", port);
    return labels;
}

void gather_sources(catchel_metrics* metrics, std::vector<std::size_t>* source_index,
                    std::vector<source_figures>* sources) {
    const probe_streams& streams = metrics->measure->streams;
    for (std::size_t i = 0; i < streams.index.count; ++i) {
        const probe_stream* stream = &streams.streams[i];
        std::size_t at = source_of(metrics, &stream->key);
        source_index->push_back(at);
        if (at >= sources->size()) sources->resize(at + 1, source_figures{});
        source_figures& figures = (*sources)[at];
        if (figures.labels.empty()) figures.labels = source_labels(&stream->key);
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

void count_family(std::string* page, const char* name, const char* help, std::uint64_t value) {
    metrics_family(page, name, metrics_type::counter, help);
    metrics_count(page, name, "", value);
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

void write_file_when_due(catchel_metrics* metrics) {
    if (!metrics->writing || net_steady_us() < metrics->file_due_us) return;
    metrics->file_due_us = net_steady_us() + metrics->file_every_us;
    std::string page;
    catchel_metrics_page(metrics, &page);
    bool was_failing = metrics->file.failing;
    if (!metrics_text_file_write(&metrics->file, page) && !was_failing) {
        cli_tell_file_failure(&metrics->say, "cannot write metrics file", metrics->file.path.c_str(),
                              metrics->file.error_number);
    }
}

void write_page(void* context, std::string* page) { catchel_metrics_page(static_cast<catchel_metrics*>(context), page); }

}  // namespace

int catchel_metrics_open(catchel_metrics* metrics, const catchel_metrics_plan* plan, const cli_teller* say,
                         net_reason* reason) {
    metrics->say = *say;
    metrics->measure = nullptr;
    metrics->ep = nullptr;
    metrics->echo = false;
    metrics->datagrams_unserved = 0;
    metrics->writing = plan->file_path != nullptr;
    if (metrics->writing) metrics_text_file_init(&metrics->file, plan->file_path);
    metrics->file_every_us = plan->file_every_us;
    metrics->file_due_us = net_steady_us() + plan->file_every_us;
    metrics->serving = plan->listen_text != nullptr;
    if (!metrics->serving) return NET_OK;
    int rc = metrics_server_open(&metrics->server, &plan->listen, metrics_page_source{write_page, metrics}, reason);
    metrics->serving = rc == NET_OK;
    return rc;
}

void catchel_metrics_close(catchel_metrics* metrics) {
    if (metrics->serving) metrics_server_close(&metrics->server);
    metrics->serving = false;
}

void catchel_metrics_begin(catchel_metrics* metrics, const catchel_measure* measure, net_endpoint* ep, bool echo) {
    metrics->measure = measure;
    metrics->ep = ep;
    metrics->echo = echo;
}

int catchel_metrics_wait(catchel_metrics* metrics, net_endpoint* ep, std::uint32_t timeout_us, net_reason* reason) {
    metrics->datagrams_unserved = 0;
    write_file_when_due(metrics);
    if (metrics->writing) {
        std::uint64_t now_us = net_steady_us();
        std::uint64_t to_file_us = metrics->file_due_us > now_us ? metrics->file_due_us - now_us : 0;
        timeout_us = static_cast<std::uint32_t>(std::min<std::uint64_t>(timeout_us, to_file_us));
    }
    if (metrics->serving) return metrics_server_wait(&metrics->server, ep, timeout_us, reason);
    return dgram_wait(&ep, 1, nullptr, timeout_us);
}

void catchel_metrics_datagram(catchel_metrics* metrics) {
    if (++metrics->datagrams_unserved < datagrams_between_serving) return;
    metrics->datagrams_unserved = 0;
    write_file_when_due(metrics);
    if (metrics->serving) metrics_server_wait(&metrics->server, nullptr, 0, nullptr);
}

void catchel_metrics_page(catchel_metrics* metrics, std::string* page) {
    const catchel_measure* measure = metrics->measure;
    if (measure == nullptr) return;
    count_family(page, "catchel_datagrams_received_total", "Datagrams received.", measure->run.datagrams);
    count_family(page, "catchel_received_bytes_total", "Bytes of the datagrams received, their UDP payloads.",
                 measure->run.bytes);
    std::uint32_t dropped = 0;
    if (dgram_drop_count(metrics->ep, &dropped) == NET_OK) {
        count_family(page, "catchel_kernel_drops_total",
                     "Datagrams the kernel dropped for the socket, its receive buffer full.", dropped);
    }
    count_family(page, "catchel_probes_in_no_stream_total",
                 "Probes of streams beyond the 256 told apart, counted in the totals alone.",
                 measure->streams.index.refused);
    if (metrics->echo) {
        count_family(page, "catchel_echoes_total", "Probes echoed to their source.", measure->echoed);
        count_family(page, "catchel_echo_failures_total", "Echoes the socket could not send at once.",
                     measure->echo_failed);
    }
    if (metrics->writing) {
        count_family(page, "catchel_metrics_file_failures_total", "Writes of the metrics file that failed.",
                     metrics->file.failures);
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
