#include "measure.h"

#include <algorithm>

#include "records/records.h"

namespace {

constexpr std::uint64_t wait_us = 1000000;
// Past this many intervals without a datagram between two arrivals (a
// machine that slept, or the calendar clock set forward where the intervals
// follow it), the empty ones are passed without lines.
constexpr std::uint64_t empty_intervals_shown = 3600;

double seconds_between(std::uint64_t from_us, std::uint64_t to_us) {
    return static_cast<double>(static_cast<std::int64_t>(to_us - from_us)) / 1e6;
}

void stream_fields(record_line* line, const probe_stream* stream, const probe_span* span) {
    probe_stream_stats stats;
    probe_stream_summary(stream, span, &stats);
    record_line_address(line, "from", probe_key_address(&stream->key));
    record_line_number(line, "port", stream->key.port);
    record_line_number(line, "run", stream->key.run);
    record_line_number(line, "received", stats.received);
    record_line_number(line, "lost", stats.lost);
    record_line_number(line, "duplicates", stats.duplicates);
    record_line_number(line, "reordered", stats.reordered);
    record_line_number(line, "outside", stats.outside);
    record_line_number(line, "first", stats.first);
    record_line_number(line, "highest", stats.highest);
    record_line_decimal(line, "jitter_us", stats.jitter_us, 3);
    record_line_object_begin(line, "delay_us");
    record_line_number(line, "min", stats.delay_min_us);
    record_line_tenths(line, "avg", stats.delay_avg_us, stats.delay_avg_tenths);
    record_line_number(line, "max", stats.delay_max_us);
    record_line_object_end(line);
}

void total_fields(record_line* line, const measure_totals* totals, double seconds) {
    record_line_number(line, "datagrams", totals->datagrams);
    record_line_number(line, "bytes", totals->bytes);
    record_line_decimal(line, "seconds", seconds, 6);
    // Over no time there is no rate to tell: a rate of 0 would be a lie.
    if (seconds <= 0) return;
    record_line_decimal(line, "datagrams_per_second", static_cast<double>(totals->datagrams) / seconds, 1);
    record_line_decimal(line, "bits_per_second", static_cast<double>(totals->bytes) * 8 / seconds, 0);
}

// The interval from start to `end_us`, seconds after the first datagram.
void interval_bounds(record_line* line, const catchel_measure* measure, std::uint64_t end_us) {
    record_line_begin(line, "interval");
    record_line_decimal(line, "start", seconds_between(measure->paced_first_us, measure->interval_start_us), 3);
    record_line_decimal(line, "end", seconds_between(measure->paced_first_us, end_us), 3);
}

// Last on each interval line, so that the fields before it stay where they were.
void end_interval_line(record_line* line, std::uint64_t end_utc_us) {
    record_line_time(line, "time", end_utc_us);
    record_line_end(line);
}

// The lines of the interval that ends at `end_us`, and the next one begun.
void close_interval(catchel_measure* measure, net_endpoint* ep, std::uint64_t end_us) {
    record_line line{&measure->due, measure->json, true};
    std::uint64_t end_utc_us = end_us + measure->calendar_ahead_us;
    for (std::size_t i = 0; i < measure->streams.index.count; ++i) {
        probe_stream* stream = &measure->streams.streams[i];
        if (stream->interval.received > 0) {
            interval_bounds(&line, measure, end_us);
            stream_fields(&line, stream, &stream->interval);
            end_interval_line(&line, end_utc_us);
        }
        probe_stream_next_interval(stream);
    }
    interval_bounds(&line, measure, end_us);
    total_fields(&line, &measure->interval, seconds_between(measure->interval_start_us, end_us));
    std::uint32_t dropped = 0;
    if (measure->drops_known && dgram_drop_count(ep, &dropped) == NET_OK) {
        record_line_number(&line, "dropped", dropped - measure->drops_before);
        measure->drops_before = dropped;
    }
    end_interval_line(&line, end_utc_us);
    measure->interval = measure_totals{};
    measure->interval_start_us = end_us;
}

// Closes every interval that ended by `now_us`.
void close_intervals_until(catchel_measure* measure, net_endpoint* ep, std::uint64_t now_us) {
    if (measure->interval_us == 0 || measure->run.datagrams == 0 || now_us < measure->interval_start_us) return;
    std::uint64_t ended = (now_us - measure->interval_start_us) / measure->interval_us;
    if (ended == 0) return;
    close_interval(measure, ep, measure->interval_start_us + measure->interval_us);
    std::uint64_t empty = ended - 1;
    if (empty > empty_intervals_shown) {
        measure->interval_start_us += empty * measure->interval_us;
        empty = 0;
    }
    for (; empty > 0; --empty) close_interval(measure, ep, measure->interval_start_us + measure->interval_us);
}

// A datagram that arrived at `arrival_us`, in its stream where it is a probe.
void measure_probe(catchel_measure* measure, const dgram_details* details, std::uint64_t arrival_us,
                   const char* data, int size) {
    probe_header header{};
    // An echo's stream is the sender's: its probes never came this way.
    if (!probe_decode(data, static_cast<std::size_t>(size), &header) || header.echo) return;
    probe_key key = probe_key_of(&details->from, details->from_port, header.run);
    probe_stream* stream = probe_streams_find(&measure->streams, &key);
    if (stream == nullptr) return;
    probe_stream_add(stream, header.sequence, header.send_us, arrival_us);
    if (!measure->keep_delays) return;
    auto place = static_cast<std::size_t>(stream - measure->streams.streams);
    if (place >= measure->delays.size()) measure->delays.resize(place + 1, histogram{});
    histogram_add(&measure->delays[place], arrival_us > header.send_us ? arrival_us - header.send_us : 0);
}

}  // namespace

bool measure_init(catchel_measure* measure, bool json, bool echo, std::uint64_t interval_seconds, net_endpoint* ep) {
    measure->json = json;
    measure->echo = echo;
    measure->interval_us = interval_seconds * wait_us;
    measure->run = measure->interval = measure_totals{};
    measure->first_us = measure->last_us = measure->interval_start_us = 0;
    measure->paced_first_us = measure->paced_last_us = 0;
    measure->calendar_ahead_us = 0;
    measure->idle_waits = 0;
    measure->drops_before = 0;
    measure->drops_known = dgram_drop_count(ep, &measure->drops_before) == NET_OK;
    measure->echo_failed = 0;
    measure->echoed = 0;
    measure->keep_delays = false;
    measure->delays.clear();
    measure->due.clear();
    return probe_streams_init(&measure->streams, MEASURE_STREAMS);
}

void measure_free(catchel_measure* measure) { probe_streams_free(&measure->streams); }

void measure_datagrams(catchel_measure* measure, net_endpoint* ep, const dgram_details* details, const char* data,
                       int size, int count) {
    std::uint64_t arrival_us = details->has_time ? details->time_us : measure->last_us;
    std::uint64_t paced_us = details->has_steady_time ? details->steady_us : arrival_us;
    if (measure->run.datagrams == 0) {
        measure->first_us = measure->last_us = arrival_us;
        measure->paced_first_us = measure->paced_last_us = measure->interval_start_us = paced_us;
    } else if (measure->interval_us != 0) {
        close_intervals_until(measure, ep, paced_us);
    }
    measure->last_us = std::max(measure->last_us, arrival_us);
    measure->paced_last_us = std::max(measure->paced_last_us, paced_us);
    measure->calendar_ahead_us = arrival_us - paced_us;
    measure->idle_waits = 0;
    for (measure_totals* totals : {&measure->run, &measure->interval}) {
        totals->datagrams += static_cast<std::uint64_t>(count);
        totals->bytes += static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(count);
    }
    for (int i = 0; i < count; ++i, data += size) measure_probe(measure, details, arrival_us, data, size);
}

void measure_wait_ran_out(catchel_measure* measure, net_endpoint* ep) {
    ++measure->idle_waits;
    close_intervals_until(measure, ep, measure->paced_last_us + measure->idle_waits * wait_us);
}

void measure_end(catchel_measure* measure, net_endpoint* ep, bool summary) {
    if (measure->interval_us != 0 && measure->interval.datagrams > 0) {
        close_interval(measure, ep, measure->paced_last_us + measure->idle_waits * wait_us);
    }
    if (!summary) return;
    record_line line{&measure->due, measure->json, true};
    for (std::size_t i = 0; i < measure->streams.index.count; ++i) {
        record_line_begin(&line, "stream");
        stream_fields(&line, &measure->streams.streams[i], &measure->streams.streams[i].run);
        record_line_end(&line);
    }
    record_line_begin(&line, "total");
    total_fields(&line, &measure->run, seconds_between(measure->first_us, measure->last_us));
    std::uint32_t dropped = 0;
    if (dgram_drop_count(ep, &dropped) == NET_OK) record_line_number(&line, "dropped", dropped);
    if (measure->echo) record_line_number(&line, "echo_failed", measure->echo_failed);
    if (measure->streams.index.refused > 0) {
        record_line_number(&line, "probes_in_no_stream", measure->streams.index.refused);
    }
    record_line_end(&line);
}
