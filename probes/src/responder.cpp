#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "key_index.h"
#include "window.h"

namespace {

// xorshift64: plenty for choosing which samples to keep, and never 0 from
// a state that is not.
std::uint64_t next_choice(std::uint64_t* state) {
    std::uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return *state = x;
}

void keep_sample(probe_responder* responder, std::uint64_t rtt_us) {
    auto sample = static_cast<std::uint32_t>(std::min<std::uint64_t>(rtt_us, UINT32_MAX));
    std::uint64_t place = responder->replies - 1;
    if (place >= PROBE_RTT_SAMPLES) place = next_choice(&responder->chooser) % responder->replies;
    if (place < PROBE_RTT_SAMPLES) responder->samples[place] = sample;
}

std::uint64_t nearest_rank(const std::uint32_t* sorted, std::size_t count, std::uint64_t percent) {
    std::uint64_t rank = (percent * count + 99) / 100;
    return sorted[rank - 1];
}

}  // namespace

probe_verdict probe_responder_add(probe_responder* responder, std::uint64_t sent, std::uint64_t sequence,
                                  std::uint64_t rtt_us) {
    if (sequence == 0 || sequence > sent) {
        ++responder->not_sent;
        return PROBE_NOT_SENT;
    }
    probe_verdict verdict = window_mark(&responder->window, sequence);
    if (verdict == PROBE_DUPLICATE) ++responder->duplicates;
    if (verdict == PROBE_OUTSIDE) ++responder->outside;
    if (verdict != PROBE_NEXT && verdict != PROBE_REORDERED) return verdict;
    ++responder->replies;
    if (responder->replies == 1) {
        responder->rtt_min_us = rtt_us;
        responder->rtt_max_us = rtt_us;
    }
    responder->rtt_min_us = std::min(responder->rtt_min_us, rtt_us);
    responder->rtt_max_us = std::max(responder->rtt_max_us, rtt_us);
    // Welford's running form of the same mean and deviation: the textbook
    // mean(x^2) - mean(x)^2 cancels away the digits that matter when the
    // spread is small beside the times.
    double x = static_cast<double>(rtt_us);
    double before = x - responder->rtt_mean_us;
    responder->rtt_mean_us += before / static_cast<double>(responder->replies);
    responder->rtt_deviations += before * (x - responder->rtt_mean_us);
    keep_sample(responder, rtt_us);
    return verdict;
}

void probe_responder_summary(probe_responder* responder, std::uint64_t sent, probe_rtt_stats* stats) {
    *stats = probe_rtt_stats{};
    stats->replies = responder->replies;
    stats->duplicates = responder->duplicates;
    stats->lost = sent - responder->replies;
    stats->outside = responder->outside;
    stats->not_sent = responder->not_sent;
    if (responder->replies == 0) return;
    stats->min_us = responder->rtt_min_us;
    stats->avg_us = responder->rtt_mean_us;
    stats->max_us = responder->rtt_max_us;
    stats->mdev_us = std::sqrt(responder->rtt_deviations / static_cast<double>(responder->replies));
    std::size_t kept = std::min<std::uint64_t>(responder->replies, PROBE_RTT_SAMPLES);
    std::sort(responder->samples, responder->samples + kept);
    stats->p50_us = nearest_rank(responder->samples, kept, 50);
    stats->p90_us = nearest_rank(responder->samples, kept, 90);
    stats->p99_us = nearest_rank(responder->samples, kept, 99);
}

bool probe_responders_init(probe_responders* table, std::size_t capacity) {
    return key_table_init(&table->index, &table->responders, capacity);
}

void probe_responders_free(probe_responders* table) {
    if (table->responders != nullptr) {
        for (std::size_t i = 0; i < table->index.count; ++i) std::free(table->responders[i].samples);
    }
    std::free(table->responders);
    table->responders = nullptr;
    key_index_free(&table->index);
}

// The samples are had once per responder, bounded by the table's capacity.
probe_responder* probe_responders_find(probe_responders* table, const probe_key* key) {
    std::uint32_t* slot = key_index_slot(&table->index, table->responders, key);
    if (*slot != 0) return &table->responders[*slot - 1];
    if (key_index_full(&table->index)) return nullptr;
    auto* samples = static_cast<std::uint32_t*>(std::malloc(PROBE_RTT_SAMPLES * sizeof(std::uint32_t)));
    if (samples == nullptr) {
        ++table->index.refused;
        return nullptr;
    }
    probe_responder* responder = &table->responders[key_index_take(&table->index, slot)];
    responder->key = *key;
    responder->samples = samples;
    responder->chooser = 0x9e3779b97f4a7c15u;
    return responder;
}

std::uint64_t probe_responder_lost_through(const probe_responder* responder, std::uint64_t through) {
    std::uint64_t answered = responder->replies - window_seen_above(&responder->window, through);
    return through > answered ? through - answered : 0;
}
