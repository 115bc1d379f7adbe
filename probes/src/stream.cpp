#include <cstdlib>

#include "key_index.h"
#include "window.h"

namespace {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// (high * 2^64 + low) / divisor, where the quotient fits 64 bits (high <
// divisor), by long division a bit at a time; the remainder to `*rest`.
std::uint64_t divide_wide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor, std::uint64_t* rest) {
    std::uint64_t quotient = 0;
    for (int bit = 63; bit >= 0; --bit) {
        bool carried = (high >> 63) != 0;
        high = high << 1 | (low >> bit & 1);
        quotient <<= 1;
        if (carried || high >= divisor) {
            high -= divisor;
            quotient |= 1;
        }
    }
    *rest = high;
    return quotient;
}

// The mean of the delays summed in `span`, rounded to a tenth.
void delay_mean(const probe_span* span, probe_stream_stats* stats) {
    std::uint64_t rest = 0;
    std::uint64_t whole = divide_wide(span->delay_sum_high, span->delay_sum_low, span->received, &rest);
    auto tenths = static_cast<unsigned>(static_cast<double>(rest) / static_cast<double>(span->received) * 10 + 0.5);
    // Rounding up to the next whole stays within max: the mean lay above `whole`.
    if (tenths == 10) {
        ++whole;
        tenths = 0;
    }
    stats->delay_avg_us = static_cast<std::int64_t>(whole ^ sign_bit);
    stats->delay_avg_tenths = tenths;
}

void span_count(probe_span* span, probe_verdict verdict, std::uint64_t sequence, std::int64_t delay_us) {
    if (span->received == 0) {
        span->first = sequence;
        span->delay_min_us = delay_us;
        span->delay_max_us = delay_us;
    } else if (delay_us < span->delay_min_us) {
        span->delay_min_us = delay_us;
    } else if (delay_us > span->delay_max_us) {
        span->delay_max_us = delay_us;
    }
    ++span->received;
    std::uint64_t offset = static_cast<std::uint64_t>(delay_us) ^ sign_bit;
    span->delay_sum_low += offset;
    if (span->delay_sum_low < offset) ++span->delay_sum_high;
    switch (verdict) {
    case PROBE_REORDERED: ++span->reordered; [[fallthrough]];
    case PROBE_NEXT: ++span->distinct; break;
    case PROBE_DUPLICATE: ++span->duplicates; break;
    default: ++span->outside; break;
    }
}

}  // namespace

// Times are unsigned and differences are taken modulo 2^64, then read as
// signed: exact for any two clocks within 292,000 years of each other, and
// no overflow for hostile times.
probe_verdict probe_stream_add(probe_stream* stream, std::uint64_t sequence, std::uint64_t send_us,
                               std::uint64_t arrival_us) {
    probe_verdict verdict = window_mark(&stream->window, sequence);
    auto transit = static_cast<std::int64_t>(arrival_us - send_us);
    if (stream->run.received > 0) {
        auto change = static_cast<std::int64_t>(static_cast<std::uint64_t>(transit) -
                                                static_cast<std::uint64_t>(stream->last_transit_us));
        double magnitude = change < 0 ? -static_cast<double>(change) : static_cast<double>(change);
        stream->jitter_us += (magnitude - stream->jitter_us) / 16;
    }
    stream->last_transit_us = transit;
    span_count(&stream->run, verdict, sequence, transit);
    span_count(&stream->interval, verdict, sequence, transit);
    return verdict;
}

void probe_stream_next_interval(probe_stream* stream) {
    stream->interval = probe_span{};
    stream->interval.highest_before = stream->window.highest;
}

void probe_stream_summary(const probe_stream* stream, const probe_span* span, probe_stream_stats* stats) {
    *stats = probe_stream_stats{};
    stats->received = span->received;
    stats->duplicates = span->duplicates;
    stats->reordered = span->reordered;
    stats->outside = span->outside;
    stats->first = span->first;
    stats->highest = stream->window.highest;
    stats->lost = static_cast<std::int64_t>(stats->highest - span->highest_before - span->distinct);
    stats->jitter_us = stream->jitter_us;
    if (span->received == 0) return;
    stats->delay_min_us = span->delay_min_us;
    delay_mean(span, stats);
    stats->delay_max_us = span->delay_max_us;
}

bool probe_streams_init(probe_streams* table, std::size_t capacity) {
    return key_table_init(&table->index, &table->streams, capacity);
}

void probe_streams_free(probe_streams* table) {
    std::free(table->streams);
    table->streams = nullptr;
    key_index_free(&table->index);
}

probe_stream* probe_streams_find(probe_streams* table, const probe_key* key) {
    std::uint32_t* slot = key_index_slot(&table->index, table->streams, key);
    if (*slot != 0) return &table->streams[*slot - 1];
    if (key_index_full(&table->index)) return nullptr;
    probe_stream* stream = &table->streams[key_index_take(&table->index, slot)];
    stream->key = *key;
    return stream;
}
