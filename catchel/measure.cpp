#include "measure.h"

#include "records/records.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

constexpr std::uint64_t wait_us = 1000000;
// Past this many intervals without a datagram between two arrivals (a
// machine that slept, or the calendar clock set forward where the intervals
// follow it), the empty ones are passed without lines.
constexpr std::uint64_t empty_intervals_shown = 3600;

// One line of fields: "<kind> <key> <value> ..." as text, or
// {"<kind>":{"<key>":<value>,...}} as JSON. An object's fields follow its
// key in the text as they do in JSON.
struct line_out {
    std::string* to;
    bool json;
    bool first;  // no field yet at this depth
};

void begin_line(line_out* line, std::string_view kind) {
    if (line->json) {
        line->to->append("{\"").append(kind).append("\":{");
    } else {
        line->to->append(kind);
    }
    line->first = true;
}

void end_line(line_out* line) { line->to->append(line->json ? "}}\n" : "\n"); }

void key(line_out* line, std::string_view name) {
    if (line->json) {
        if (!line->first) line->to->push_back(',');
        line->to->append("\"").append(name).append("\":");
    } else {
        line->to->append(" ").append(name).append(" ");
    }
    line->first = false;
}

void begin_object(line_out* line, std::string_view name) {
    key(line, name);
    if (line->json) {
        line->to->push_back('{');
    } else {
        line->to->pop_back();  // each field brings its own space
    }
    line->first = true;
}

void end_object(line_out* line) {
    if (line->json) line->to->push_back('}');
    line->first = false;
}

template <typename Number>
void number(line_out* line, std::string_view name, Number value) {
    key(line, name);
    char text[24];
    line->to->append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Fixed-point, `digits` (at most 6) after the point, rounded half away
// from zero; beyond +-9e18 units it is cut to that. Written by hand: the
// library's floating-point conversion would bring an import Windows XP lacks.
void decimal(line_out* line, std::string_view name, double value, int digits) {
    key(line, name);
    std::uint64_t unit = 1;
    for (int i = 0; i < digits; ++i) unit *= 10;
    constexpr double largest = 9e18;
    double scaled = std::clamp(value * static_cast<double>(unit), -largest, largest);
    auto units = static_cast<std::int64_t>(scaled + (scaled < 0 ? -0.5 : 0.5));
    if (units < 0) line->to->push_back('-');
    std::uint64_t magnitude = units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    char text[24];
    line->to->append(text, std::to_chars(text, text + sizeof text, magnitude / unit).ptr);
    if (digits == 0) return;
    // The fraction with its leading zeros: written after a leading 1.
    char* end = std::to_chars(text, text + sizeof text, unit + magnitude % unit).ptr;
    text[0] = '.';
    line->to->append(text, end);
}

// whole + tenths / 10 with one decimal, exact over all of int64: -4.7 is
// whole -5 and tenths 3.
void tenths_number(line_out* line, std::string_view name, std::int64_t whole, unsigned tenths) {
    key(line, name);
    char text[24];
    if (whole < 0 && tenths > 0) {
        line->to->push_back('-');
        auto magnitude = static_cast<std::uint64_t>(-(whole + 1));
        line->to->append(text, std::to_chars(text, text + sizeof text, magnitude).ptr);
        tenths = 10 - tenths;
    } else {
        line->to->append(text, std::to_chars(text, text + sizeof text, whole).ptr);
    }
    line->to->push_back('.');
    line->to->push_back(static_cast<char>('0' + tenths));
}

void address(line_out* line, std::string_view name, const net_address& value) {
    key(line, name);
    char text[NET_ADDRESS_TEXT_ROOM];
    if (net_address_format(&value, text, sizeof text) < 0) text[0] = '\0';
    if (!line->json) {
        line->to->append(text);
        return;
    }
    char escaped[RECORD_JSON_ADDRESS_ROOM];
    line->to->push_back('"');
    line->to->append(escaped, record_put_json_text(escaped, text));
    line->to->push_back('"');
}

double seconds_between(std::uint64_t from_us, std::uint64_t to_us) {
    return static_cast<double>(static_cast<std::int64_t>(to_us - from_us)) / 1e6;
}

void stream_fields(line_out* line, const probe_stream* stream, const probe_span* span) {
    probe_stream_stats stats;
    probe_stream_summary(stream, span, &stats);
    address(line, "from", probe_key_address(&stream->key));
    number(line, "port", stream->key.port);
    number(line, "run", stream->key.run);
    number(line, "received", stats.received);
    number(line, "lost", stats.lost);
    number(line, "duplicates", stats.duplicates);
    number(line, "reordered", stats.reordered);
    number(line, "outside", stats.outside);
    number(line, "first", stats.first);
    number(line, "highest", stats.highest);
    decimal(line, "jitter_us", stats.jitter_us, 3);
    begin_object(line, "delay_us");
    number(line, "min", stats.delay_min_us);
    tenths_number(line, "avg", stats.delay_avg_us, stats.delay_avg_tenths);
    number(line, "max", stats.delay_max_us);
    end_object(line);
}

void total_fields(line_out* line, const measure_totals* totals, double seconds) {
    number(line, "datagrams", totals->datagrams);
    number(line, "bytes", totals->bytes);
    decimal(line, "seconds", seconds, 6);
    // Over no time there is no rate to tell: a rate of 0 would be a lie.
    if (seconds <= 0) return;
    decimal(line, "datagrams_per_second", static_cast<double>(totals->datagrams) / seconds, 1);
    decimal(line, "bits_per_second", static_cast<double>(totals->bytes) * 8 / seconds, 0);
}

// The interval from start to `end_us`, seconds after the first datagram.
void interval_bounds(line_out* line, const catchel_measure* measure, std::uint64_t end_us) {
    begin_line(line, "interval");
    decimal(line, "start", seconds_between(measure->paced_first_us, measure->interval_start_us), 3);
    decimal(line, "end", seconds_between(measure->paced_first_us, end_us), 3);
}

// The lines of the interval that ends at `end_us`, and the next one begun.
void close_interval(catchel_measure* measure, net_endpoint* ep, std::uint64_t end_us) {
    line_out line{&measure->due, measure->json, true};
    for (std::size_t i = 0; i < measure->streams.index.count; ++i) {
        probe_stream* stream = &measure->streams.streams[i];
        if (stream->interval.received > 0) {
            interval_bounds(&line, measure, end_us);
            stream_fields(&line, stream, &stream->interval);
            end_line(&line);
        }
        probe_stream_next_interval(stream);
    }
    interval_bounds(&line, measure, end_us);
    total_fields(&line, &measure->interval, seconds_between(measure->interval_start_us, end_us));
    std::uint32_t dropped = 0;
    if (measure->drops_known && dgram_drop_count(ep, &dropped) == NET_OK) {
        number(&line, "dropped", dropped - measure->drops_before);
        measure->drops_before = dropped;
    }
    end_line(&line);
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

}  // namespace

bool measure_init(catchel_measure* measure, bool json, bool echo, std::uint64_t interval_seconds, net_endpoint* ep) {
    measure->json = json;
    measure->echo = echo;
    measure->interval_us = interval_seconds * wait_us;
    measure->run = measure->interval = measure_totals{};
    measure->first_us = measure->last_us = measure->interval_start_us = 0;
    measure->paced_first_us = measure->paced_last_us = 0;
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

void measure_datagram(catchel_measure* measure, net_endpoint* ep, const dgram_details* details, const char* data,
                      int size) {
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
    measure->idle_waits = 0;
    for (measure_totals* totals : {&measure->run, &measure->interval}) {
        ++totals->datagrams;
        totals->bytes += static_cast<std::uint64_t>(size);
    }
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

void measure_wait_ran_out(catchel_measure* measure, net_endpoint* ep) {
    ++measure->idle_waits;
    close_intervals_until(measure, ep, measure->paced_last_us + measure->idle_waits * wait_us);
}

void measure_end(catchel_measure* measure, net_endpoint* ep, bool summary) {
    if (measure->interval_us != 0 && measure->interval.datagrams > 0) {
        close_interval(measure, ep, measure->paced_last_us + measure->idle_waits * wait_us);
    }
    if (!summary) return;
    line_out line{&measure->due, measure->json, true};
    for (std::size_t i = 0; i < measure->streams.index.count; ++i) {
        begin_line(&line, "stream");
        stream_fields(&line, &measure->streams.streams[i], &measure->streams.streams[i].run);
        end_line(&line);
    }
    begin_line(&line, "total");
    total_fields(&line, &measure->run, seconds_between(measure->first_us, measure->last_us));
    std::uint32_t dropped = 0;
    if (dgram_drop_count(ep, &dropped) == NET_OK) number(&line, "dropped", dropped);
    if (measure->echo) number(&line, "echo_failed", measure->echo_failed);
    if (measure->streams.index.refused > 0) number(&line, "probes_in_no_stream", measure->streams.index.refused);
    end_line(&line);
}
