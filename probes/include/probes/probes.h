// probes: numbered probes and what their arrivals and echoes tell of a
// path. The probe header, a counter per stream of probes at the receiver,
// and a round-trip summary per responder at the sender, each table of them
// bounded; histograms of their times (histogram.h). No I/O: the caller reads
// the datagrams and the clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netlayer/address.h"
#include "probes/histogram.h"

// The header a probe begins with, all numbers big-endian: "SEQ1", the run
// (4 bytes), the sequence number (8), the send time (8). An echo of a probe
// carries it back with "ECH1" in place of "SEQ1": a reflector echoes probes
// alone, so echoes between reflectors end at the first.
constexpr std::size_t PROBE_HEADER_SIZE = 24;

struct probe_header {
    std::uint32_t run;       // chosen at random for each run of the sender
    std::uint64_t sequence;  // 1 for the first probe of the run
    std::uint64_t send_us;   // microseconds since 1970-01-01 UTC
    bool echo;               // an echo of the probe, not the probe
};

// Writes PROBE_HEADER_SIZE bytes at `to`.
void probe_encode(const probe_header* header, void* to);

// False when `data` is shorter than the header or begins with neither magic.
bool probe_decode(const void* data, std::size_t size, probe_header* header);

// Whom a stream or a reply comes from. Compared field by field, so its
// padding may hold anything.
struct probe_key {
    std::uint8_t family;       // a net_family
    std::uint8_t address[16];  // a net_address's bytes
    std::uint16_t port;
    std::uint32_t run;         // a stream's run; a responder's key leaves it 0
    std::uint32_t scope;       // a link-local address's zone; 0: none
};

// The key of a source, its zone kept: `run` 0 for a responder.
probe_key probe_key_of(const net_address* address, std::uint16_t port, std::uint32_t run);
// The address a key was made of.
net_address probe_key_address(const probe_key* key);

// Sequence numbers up to this are accepted; a run sending 10^6 probes a
// second reaches it after some 290,000 years.
constexpr std::uint64_t PROBE_SEQUENCE_MAX = (std::uint64_t{1} << 63) - 1;

// How many sequence numbers behind the highest are told apart: a probe
// arriving that far behind it can no longer be told from a duplicate. 8 KiB
// per stream or responder.
constexpr std::uint64_t PROBE_WINDOW = 65536;

// The sequence numbers seen lately, as bits in a ring; all zero to start.
struct probe_window {
    std::uint64_t highest;  // 0 before any
    std::uint64_t seen[PROBE_WINDOW / 64];
};

// What one arrival of a sequence number was.
enum probe_verdict {
    PROBE_NEXT,       // seen first, above every one before it
    PROBE_REORDERED,  // seen first, below the highest before it
    PROBE_DUPLICATE,  // seen before
    // PROBE_WINDOW or more behind the highest, or outside 1..PROBE_SEQUENCE_MAX:
    // neither a duplicate nor a gap filled, since it cannot be told which.
    PROBE_OUTSIDE,
    PROBE_NOT_SENT,  // a reply naming a probe the sender has not sent
};

// The counts of a stretch of one stream's arrivals: its whole run, or one
// interval of it.
struct probe_span {
    std::uint64_t received;  // every arrival, duplicates and those outside included
    std::uint64_t distinct;  // PROBE_NEXT and PROBE_REORDERED
    std::uint64_t duplicates;
    std::uint64_t reordered;
    std::uint64_t outside;
    std::uint64_t first;           // sequence number of the first arrival; 0 before any
    std::uint64_t highest_before;  // the stream's highest when the stretch began
    std::int64_t delay_min_us;     // one-way delays, valid once received > 0
    std::int64_t delay_max_us;
    // The sum of the delays, each taken as delay + 2^63 (0 to 2^64 - 1),
    // in 128 bits: no count of arrivals and no delay overflows it.
    std::uint64_t delay_sum_low;
    std::uint64_t delay_sum_high;
};

// One stream of probes at the receiver: one source and one run. All zero
// to start.
struct probe_stream {
    probe_key key;
    probe_window window;
    // RFC 3550's interarrival jitter, kept in a double: exact for every
    // difference of transit times below 2^53 us, rounded to some 1e-16 of
    // itself per arrival, where the integer form of the RFC's appendix drops
    // all below 1/16 us at every arrival.
    double jitter_us;
    std::int64_t last_transit_us;  // of the arrival before, for the jitter
    probe_span run;
    probe_span interval;  // since probe_stream_next_interval, or the start
};

// Counts one arrival. Every arrival, duplicates included, takes its part in
// the jitter (in order of arrival, as RFC 3550 has it) and in the delays.
// A one-way delay is the arrival time less the send time, negative when
// the clocks disagree by more than the path takes.
probe_verdict probe_stream_add(probe_stream* stream, std::uint64_t sequence, std::uint64_t send_us,
                               std::uint64_t arrival_us);

// Starts the next interval: its span counts from here.
void probe_stream_next_interval(probe_stream* stream);

struct probe_stream_stats {
    std::uint64_t received;
    std::uint64_t duplicates;
    std::uint64_t reordered;
    std::uint64_t outside;
    std::uint64_t first;
    std::uint64_t highest;  // the stream's, at the time asked
    // Sequence numbers from 1 to the highest never seen, or for an interval
    // the change of that count over it: so intervals add up to the run, and
    // an interval where more late probes arrive than go missing is negative.
    // Arrivals outside the window are not counted as seen.
    std::int64_t lost;
    double jitter_us;  // the stream's, at the time asked
    std::int64_t delay_min_us;  // the delays: all 0 when nothing arrived
    // Their mean, rounded to a tenth: delay_avg_us + delay_avg_tenths / 10,
    // exact at any delay, so never outside min and max.
    std::int64_t delay_avg_us;
    unsigned delay_avg_tenths;  // 0 to 9
    std::int64_t delay_max_us;
};

// The figures of `span`, stream->run or stream->interval.
void probe_stream_summary(const probe_stream* stream, const probe_span* span, probe_stream_stats* stats);

// Where each key's entry lies: open addressing over at least twice as many
// slots as entries. Shared by both tables below.
struct probe_key_index {
    std::uint32_t* slots;  // entry number + 1; 0 for an empty slot
    std::size_t slot_mask;
    std::size_t count;     // entries in use, numbered in order of arrival
    std::size_t capacity;  // no more entries than this
    std::uint64_t refused;  // lookups of a key not held once the table was full
};

// Streams at the receiver, at most `capacity` of them; a datagram of a
// stream that finds the table full is counted in index.refused and in no
// stream.
struct probe_streams {
    probe_stream* streams;  // index.count of them
    probe_key_index index;
};

// False when the memory could not be had or `capacity` exceeds 2^30; the
// table then holds nothing, and is freed all the same.
bool probe_streams_init(probe_streams* table, std::size_t capacity);
void probe_streams_free(probe_streams* table);

// The stream of `key`, added at its first datagram; nullptr when the table
// is full.
probe_stream* probe_streams_find(probe_streams* table, const probe_key* key);

// Round-trip samples kept per responder for the percentiles. Past this many
// replies a uniform sample of them is kept (Vitter's algorithm R, with a
// fixed seed so that runs repeat); min, avg, max and mdev take every reply.
constexpr std::size_t PROBE_RTT_SAMPLES = 65536;

// One responder of the sender's probes: one address and port.
struct probe_responder {
    probe_key key;
    probe_window window;
    std::uint64_t replies;  // distinct probes answered; each gives a sample
    std::uint64_t duplicates;  // second and later replies to a probe
    std::uint64_t outside;     // replies outside the window: no sample
    std::uint64_t not_sent;    // replies naming a probe never sent
    std::uint64_t rtt_min_us;
    std::uint64_t rtt_max_us;
    double rtt_mean_us;  // running mean and sum of squared deviations (Welford)
    double rtt_deviations;
    std::uint32_t* samples;  // PROBE_RTT_SAMPLES, in no order; above 2^32 - 1 us kept as that
    std::uint64_t chooser;   // the sampling's random state
};

// Counts one reply to probe `sequence` after `rtt_us`, the sender having
// sent probes 1 to `sent`. A reply naming another probe counts in not_sent
// only, so that forged numbers move no window.
probe_verdict probe_responder_add(probe_responder* responder, std::uint64_t sent, std::uint64_t sequence,
                                  std::uint64_t rtt_us);

struct probe_rtt_stats {
    std::uint64_t replies;
    std::uint64_t duplicates;
    std::uint64_t lost;  // probes sent without a reply
    std::uint64_t outside;
    std::uint64_t not_sent;
    // Microseconds; all 0 without replies. mdev is the population standard
    // deviation, sqrt(mean(x^2) - mean(x)^2), as ping gives it.
    std::uint64_t min_us;
    double avg_us;
    std::uint64_t max_us;
    double mdev_us;
    // Nearest rank: the smallest kept sample that at least p% of them do not
    // exceed, the ceil(p * n / 100)-th of n in ascending order.
    std::uint64_t p50_us;
    std::uint64_t p90_us;
    std::uint64_t p99_us;
};

// Sorts the kept samples in place, which the sampling does not mind.
void probe_responder_summary(probe_responder* responder, std::uint64_t sent, probe_rtt_stats* stats);
// Probes 1 to `through` (at most those sent) that the responder has not
// answered. Exact while no answered probe above `through` has fallen out of
// the window, that is while fewer than PROBE_WINDOW probes await their reply.
std::uint64_t probe_responder_lost_through(const probe_responder* responder, std::uint64_t through);

// Responders at the sender, at most `capacity` of them; the replies of one
// that finds the table full are counted in index.refused, as are those of a
// responder whose samples could not be had.
struct probe_responders {
    probe_responder* responders;  // index.count of them
    probe_key_index index;
};

bool probe_responders_init(probe_responders* table, std::size_t capacity);
void probe_responders_free(probe_responders* table);
probe_responder* probe_responders_find(probe_responders* table, const probe_key* key);
