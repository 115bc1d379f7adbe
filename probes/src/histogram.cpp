#include <algorithm>
#include <cmath>
#include <cstring>

#include "probes/histogram.h"

namespace {

constexpr std::size_t exact_buckets = 101;  // the values 0 to 100, one bucket each
constexpr std::uint64_t buckets_per_decade = 90;

std::size_t bucket_of(std::uint64_t value) {
    if (value < exact_buckets) return static_cast<std::size_t>(value);
    if (value > HISTOGRAM_TOP_US) return HISTOGRAM_BUCKETS - 1;
    // The decade (10^k, 10^(k+1)] holding the value, k from 2; its buckets are 10^(k-1) wide.
    std::uint64_t width = 10;
    std::size_t decade = 0;
    while (value > width * 100) {
        width *= 10;
        ++decade;
    }
    std::uint64_t upper_in_widths = (value + width - 1) / width;  // 11 to 100
    return exact_buckets + decade * buckets_per_decade + static_cast<std::size_t>(upper_in_widths - 11);
}

std::uint64_t upper_bound_of(std::size_t bucket) {
    if (bucket < exact_buckets) return bucket;
    std::size_t past = bucket - exact_buckets;
    std::uint64_t width = 10;
    for (std::size_t decade = past / buckets_per_decade; decade > 0; --decade) width *= 10;
    return (past % buckets_per_decade + 11) * width;
}

}  // namespace

static_assert(HISTOGRAM_BUCKETS == exact_buckets + 9 * buckets_per_decade);

void histogram_clear(histogram* h) { std::memset(h, 0, sizeof *h); }

void histogram_add(histogram* h, std::uint64_t value_us) {
    if (h->count == 0 || value_us < h->min_us) h->min_us = value_us;
    if (h->count == 0 || value_us > h->max_us) h->max_us = value_us;
    ++h->count;
    h->sum_us += value_us;
    ++h->counts[bucket_of(value_us)];
}

void histogram_merge(histogram* into, const histogram* from) {
    if (from->count == 0) return;
    if (into->count == 0 || from->min_us < into->min_us) into->min_us = from->min_us;
    if (into->count == 0 || from->max_us > into->max_us) into->max_us = from->max_us;
    into->count += from->count;
    into->sum_us += from->sum_us;
    for (std::size_t i = 0; i < HISTOGRAM_BUCKETS; ++i) into->counts[i] += from->counts[i];
}

std::uint64_t histogram_quantile(const histogram* h, double fraction) {
    if (h->count == 0) return 0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    auto rank = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(h->count)));
    rank = std::clamp<std::uint64_t>(rank, 1, h->count);
    std::uint64_t below = 0;
    std::size_t bucket = 0;
    while (below + h->counts[bucket] < rank) below += h->counts[bucket++];
    std::uint64_t upper = upper_bound_of(bucket);
    std::uint64_t value = upper;
    if (bucket >= exact_buckets) {
        std::uint64_t lower = upper_bound_of(bucket - 1);
        double share = static_cast<double>(rank - below) / static_cast<double>(h->counts[bucket]);
        value = lower + static_cast<std::uint64_t>(std::llround(share * static_cast<double>(upper - lower)));
    }
    return std::clamp(value, h->min_us, h->max_us);
}

std::uint64_t histogram_count_at_most(const histogram* h, std::uint64_t bound_us) {
    std::size_t last = bucket_of(bound_us);
    if (upper_bound_of(last) > bound_us) {
        if (last == 0) return 0;
        --last;
    }
    std::uint64_t count = 0;
    for (std::size_t i = 0; i <= last; ++i) count += h->counts[i];
    return count;
}
