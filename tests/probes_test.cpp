// The probe counters against plain references: bytes laid out by hand, a
// set of every sequence number seen, RFC 3550's jitter as the RFC words it,
// a sorted copy of the round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "probes/probes.h"

namespace {

probe_stream_stats stats_of(const probe_stream& stream, const probe_span& span) {
    probe_stream_stats stats;
    probe_stream_summary(&stream, &span, &stats);
    return stats;
}

TEST(ProbeHeader, MatchesBytesLaidOutByHand) {
    const unsigned char bytes[PROBE_HEADER_SIZE + 1] = {'S', 'E', 'Q', '1', 0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03,
                                                        0x04, 0x05, 0x06, 0x07, 0x08, 0x00, 0x06, 0x2a, 0x3b,
                                                        0x4c, 0x5d, 0x6e, 0x7f, '!'};
    probe_header header{};
    ASSERT_TRUE(probe_decode(bytes, sizeof bytes, &header));
    EXPECT_EQ(header.run, 0xdeadbeefu);
    EXPECT_EQ(header.sequence, 0x0102030405060708u);
    EXPECT_EQ(header.send_us, 0x00062a3b4c5d6e7fu);
    unsigned char written[PROBE_HEADER_SIZE];
    probe_encode(&header, written);
    EXPECT_TRUE(std::equal(written, written + PROBE_HEADER_SIZE, bytes));
    EXPECT_FALSE(probe_decode(bytes, PROBE_HEADER_SIZE - 1, &header));
    std::vector<unsigned char> other_magic(bytes, bytes + PROBE_HEADER_SIZE);
    other_magic[3] = '2';
    EXPECT_FALSE(probe_decode(other_magic.data(), other_magic.size(), &header));
}

TEST(ProbeStream, CountsLossDuplicateAndReorderOfOneRun) {
    probe_stream stream{};
    std::vector<probe_stream_stats> intervals;
    for (std::uint64_t sequence : {1, 2, 4, 3, 3, 6}) {
        probe_stream_add(&stream, sequence, 1000, 2000);
        if (sequence == 4 || sequence == 6) {
            intervals.push_back(stats_of(stream, stream.interval));
            probe_stream_next_interval(&stream);
        }
    }
    probe_stream_stats run = stats_of(stream, stream.run);
    EXPECT_EQ(run.received, 6u);
    EXPECT_EQ(run.lost, 1);
    EXPECT_EQ(run.duplicates, 1u);
    EXPECT_EQ(run.reordered, 1u);
    // Intervals add up to the run.
    EXPECT_EQ(intervals[0].lost + intervals[1].lost, run.lost);
    EXPECT_EQ(intervals[1].first, 3u);
}

// Every verdict against a set of all sequence numbers seen, over jumps
// around the window's size and hostile numbers: the window forgets exactly
// what falls behind it and holds nothing more.
TEST(ProbeStream, VerdictsMatchAnUnboundedSetWithinTheWindow) {
    probe_stream stream{};
    std::set<std::uint64_t> seen;
    std::uint64_t highest = 0;
    std::mt19937_64 random(7);
    const std::uint64_t steps[] = {0, 1, 2, 63, 64, 65, PROBE_WINDOW - 1, PROBE_WINDOW, PROBE_WINDOW + 1,
                                   random() % PROBE_WINDOW, 3 * PROBE_WINDOW};
    for (int i = 0; i < 3000; ++i) {
        std::uint64_t step = steps[random() % std::size(steps)];
        std::uint64_t sequence = random() % 2 == 0 ? highest + step : highest - std::min(highest, step);
        if (i == 2990) sequence = PROBE_SEQUENCE_MAX;
        if (i == 2995) sequence = PROBE_SEQUENCE_MAX + 1;
        probe_verdict expected = sequence == 0 || sequence > PROBE_SEQUENCE_MAX ? PROBE_OUTSIDE
                                 : sequence > highest                           ? PROBE_NEXT
                                 : highest - sequence >= PROBE_WINDOW           ? PROBE_OUTSIDE
                                 : seen.count(sequence) != 0 ? PROBE_DUPLICATE : PROBE_REORDERED;
        if (expected != PROBE_OUTSIDE) seen.insert(sequence);
        highest = std::max(highest, expected == PROBE_OUTSIDE ? 0 : sequence);
        ASSERT_EQ(probe_stream_add(&stream, sequence, 0, 0), expected) << "arrival " << i << ": " << sequence;
    }
    EXPECT_EQ(static_cast<std::uint64_t>(stats_of(stream, stream.run).lost), PROBE_SEQUENCE_MAX - seen.size());
}

// RFC 3550, 6.4.1: D(i,j) = (Rj - Ri) - (Sj - Si), J += (|D(i-1,i)| - J)/16,
// in order of arrival; delays against the same times, one clock behind.
TEST(ProbeStream, JitterAndDelaysMatchThePlainComputation) {
    probe_stream stream{};
    std::mt19937_64 random(11);
    std::normal_distribution<double> path(300, 120);
    double jitter = 0, sum = 0;
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    std::int64_t previous_send = 0, previous_arrival = 0;
    for (int i = 0; i < 300; ++i) {
        std::int64_t send = 1765000000000000 + i * 997 + static_cast<std::int64_t>(random() % 3);
        std::int64_t arrival = send - 500 + static_cast<std::int64_t>(std::fabs(path(random)));
        probe_stream_add(&stream, static_cast<std::uint64_t>(i) + 1, static_cast<std::uint64_t>(send),
                         static_cast<std::uint64_t>(arrival));
        if (i > 0) {
            double d = static_cast<double>((arrival - previous_arrival) - (send - previous_send));
            jitter += (std::fabs(d) - jitter) / 16;
        }
        previous_send = send;
        previous_arrival = arrival;
        low = std::min(low, arrival - send);
        high = std::max(high, arrival - send);
        sum += static_cast<double>(arrival - send);
    }
    probe_stream_stats run = stats_of(stream, stream.run);
    EXPECT_NEAR(run.jitter_us, jitter, jitter * 1e-12);
    EXPECT_GT(run.jitter_us, 10.0);
    EXPECT_EQ(run.delay_min_us, low);
    EXPECT_LT(low, 0);
    EXPECT_EQ(run.delay_max_us, high);
    EXPECT_NEAR(static_cast<double>(run.delay_avg_us) + run.delay_avg_tenths / 10.0, sum / 300, 0.05);
}

// Send times a hostile sender chose near 2^63: each delay lies far below
// zero, and their sum far beyond 64 bits; the mean still lies between them.
TEST(ProbeStream, MeanDelayOfDelaysNearTheEndsOfInt64StaysWithinThem) {
    const std::uint64_t arrival = 1765000000000000;
    const std::uint64_t sends[] = {arrival + (std::uint64_t{1} << 63) - 1, arrival + (std::uint64_t{1} << 63) - 2,
                                   arrival + (std::uint64_t{1} << 63) - 2, arrival + (std::uint64_t{1} << 63) - 2};
    probe_stream stream{};
    for (std::uint64_t i = 0; i < 4; ++i) probe_stream_add(&stream, i + 1, sends[i], arrival);
    probe_stream_stats run = stats_of(stream, stream.run);
    EXPECT_EQ(run.delay_min_us, INT64_MIN + 1);
    EXPECT_EQ(run.delay_max_us, INT64_MIN + 2);
    EXPECT_EQ(run.delay_avg_us, INT64_MIN + 1);  // the mean, -2^63 + 1.75, to a tenth
    EXPECT_EQ(run.delay_avg_tenths, 8u);
}

// Keys differing in the run alone, and only in the top bit of its bytes,
// which a hash by bytes is likeliest to send to one slot, are told apart.
TEST(ProbeStreams, FullTableRefusesAndCountsNewKeys) {
    probe_streams table;
    ASSERT_TRUE(probe_streams_init(&table, 16));
    std::vector<probe_stream*> found;
    for (std::uint32_t top_bits = 0; top_bits < 16; ++top_bits) {
        std::uint32_t run = 0;
        for (int byte = 0; byte < 4; ++byte) run |= (top_bits >> byte & 1) << (8 * byte + 7);
        probe_key key{4, {127, 0, 0, 1}, 9000, run, 0};
        found.push_back(probe_streams_find(&table, &key));
        ASSERT_EQ(std::count(found.begin(), found.end(), found.back()), 1);
    }
    // The first key's own source in another zone is another key.
    probe_key other_zone{4, {127, 0, 0, 1}, 9000, 0, 2};
    EXPECT_EQ(probe_streams_find(&table, &other_zone), nullptr);
    probe_key again{4, {127, 0, 0, 1}, 9000, 0x80, 0};
    EXPECT_EQ(probe_streams_find(&table, &again), found[1]);
    EXPECT_EQ(table.index.refused, 1u);
    probe_streams_free(&table);
}

struct responder_table {
    probe_responders table{};
    probe_key key{6, {0xfe, 0x80}, 4000, 0, 0};
    probe_responder* responder = probe_responders_init(&table, 1) ? probe_responders_find(&table, &key) : nullptr;
    ~responder_table() { probe_responders_free(&table); }
};

std::uint64_t nearest_rank(const std::vector<std::uint64_t>& sorted, double percent) {
    return sorted[static_cast<std::size_t>(std::ceil(percent / 100 * static_cast<double>(sorted.size()))) - 1];
}

TEST(ProbeResponder, SummaryMatchesASortedCopy) {
    for (std::size_t count : {1, 7, 100, 1001}) {
        responder_table t;
        ASSERT_NE(t.responder, nullptr);
        std::mt19937_64 random(count);
        std::vector<std::uint64_t> rtts;
        for (std::size_t i = 0; i < count; ++i) {
            rtts.push_back(100000 + random() % 2000);
            probe_responder_add(t.responder, count + 5, i + 1, rtts.back());
        }
        probe_responder_add(t.responder, count + 5, 1, 1);              // duplicate
        probe_responder_add(t.responder, count + 5, count + 6, 1);  // never sent
        probe_rtt_stats stats;
        probe_responder_summary(t.responder, count + 5, &stats);
        std::sort(rtts.begin(), rtts.end());
        double mean = std::accumulate(rtts.begin(), rtts.end(), 0.0) / static_cast<double>(count);
        double squares = std::inner_product(rtts.begin(), rtts.end(), rtts.begin(), 0.0) / static_cast<double>(count);
        EXPECT_EQ(stats.replies, count);
        EXPECT_EQ(stats.lost, 5u);
        EXPECT_EQ(stats.duplicates, 1u);
        EXPECT_EQ(stats.not_sent, 1u);
        EXPECT_EQ(stats.min_us, rtts.front());
        EXPECT_EQ(stats.max_us, rtts.back());
        EXPECT_NEAR(stats.avg_us, mean, 1e-6);
        EXPECT_NEAR(stats.mdev_us, std::sqrt(std::max(0.0, squares - mean * mean)), 1e-3);
        EXPECT_EQ(stats.p50_us, nearest_rank(rtts, 50));
        EXPECT_EQ(stats.p90_us, nearest_rank(rtts, 90));
        EXPECT_EQ(stats.p99_us, nearest_rank(rtts, 99));
    }
}

// Past the samples kept, the percentiles still speak for the whole run.
TEST(ProbeResponder, PercentilesPastTheKeptSamplesCoverTheWholeRun) {
    responder_table t;
    ASSERT_NE(t.responder, nullptr);
    const std::uint64_t count = 4 * PROBE_RTT_SAMPLES;
    for (std::uint64_t i = 1; i <= count; ++i) probe_responder_add(t.responder, count, i, i);
    probe_rtt_stats stats;
    probe_responder_summary(t.responder, count, &stats);
    EXPECT_NEAR(static_cast<double>(stats.p50_us), 0.50 * count, 0.01 * count);
    EXPECT_NEAR(static_cast<double>(stats.p99_us), 0.99 * count, 0.01 * count);
}

// Probes answered but for a chosen few, some of them far behind the highest;
// asked up to a probe still in the window, as a sender asks.
TEST(ProbeResponder, LostThroughCountsTheUnansweredUpToIt) {
    responder_table t;
    ASSERT_NE(t.responder, nullptr);
    const std::uint64_t sent = PROBE_WINDOW + 5000;
    const std::set<std::uint64_t> unanswered = {3, 64, 65, 4000, PROBE_WINDOW, PROBE_WINDOW + 4999};
    for (std::uint64_t i = 1; i <= sent; ++i)
        if (unanswered.count(i) == 0) probe_responder_add(t.responder, sent, i, 10);
    for (std::uint64_t through : {std::uint64_t{0}, sent - PROBE_WINDOW, PROBE_WINDOW - 1, PROBE_WINDOW, sent - 1, sent}) {
        auto expected = static_cast<std::uint64_t>(std::count_if(unanswered.begin(), unanswered.end(),
                                                                 [&](std::uint64_t s) { return s <= through; }));
        EXPECT_EQ(probe_responder_lost_through(t.responder, through), expected) << through;
    }
}

// Each value against a sorted copy: the exact counts at two-digit bounds,
// quantiles within the buckets' tenth, and two halves merged as one.
TEST(Histogram, AgreesWithASortedCopy) {
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> values;
    auto halves = std::make_unique<histogram[]>(3);
    for (int i = 0; i < 3; ++i) histogram_clear(&halves[i]);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(random() % 2 ? random() % 150 : random() % 20000000);
        histogram_add(&halves[i % 2], values.back());
        histogram_add(&halves[2], values.back());
    }
    histogram_merge(&halves[0], &halves[1]);
    EXPECT_EQ(std::memcmp(&halves[0], &halves[2], sizeof(histogram)), 0);
    std::sort(values.begin(), values.end());
    for (std::uint64_t bound : {0, 1, 50, 100, 110, 300, 5000, 990000, 10000000}) {
        auto at_most = static_cast<std::uint64_t>(std::upper_bound(values.begin(), values.end(), bound) - values.begin());
        EXPECT_EQ(histogram_count_at_most(&halves[0], bound), at_most) << bound;
    }
    for (double percent : {1.0, 25.0, 50.0, 90.0, 99.0, 100.0}) {
        auto exact = static_cast<double>(nearest_rank(values, percent));
        EXPECT_NEAR(static_cast<double>(histogram_quantile(&halves[0], percent / 100)), exact, exact / 10 + 1) << percent;
    }
}

// Notes out of a sender's pace, enough to thin them: the settled sequence is
// at most the truth, and a wait later at least what the truth was then.
TEST(ProbeSends, SettledNeverRunsAheadAndKeepsUp) {
    auto sends = std::make_unique<probe_sends>();
    const std::uint64_t wait = 1000;
    std::uint64_t lag_behind_truth = 0;
    for (std::uint64_t now = 1; now <= 20 * PROBE_SEND_NOTES; ++now) {
        probe_sends_note(sends.get(), now * 3, now);  // probe 3n went at n
        std::uint64_t settled = probe_sends_settled(sends.get(), now, wait);
        std::uint64_t truth = now > wait ? (now - wait) * 3 : 0;
        ASSERT_LE(settled, truth) << now;
        if (now > 2 * wait) lag_behind_truth = std::max(lag_behind_truth, truth - settled);
    }
    EXPECT_LT(lag_behind_truth, 3 * wait);
}

// A scrape at any moment asks ahead of the interval that ends before it:
// its asking leaves the notes for the interval's own answer.
TEST(ProbeSends, AskingAheadLeavesTheNotesToAnEarlierEnd) {
    auto sends = std::make_unique<probe_sends>();
    probe_sends_note(sends.get(), 10, 100);
    probe_sends_note(sends.get(), 20, 200);
    EXPECT_EQ(probe_sends_settled_by(sends.get(), 1000, 500), 20u);
    EXPECT_EQ(probe_sends_settled(sends.get(), 650, 500), 10u);
    EXPECT_EQ(probe_sends_settled(sends.get(), 1000, 500), 20u);
}

}  // namespace
