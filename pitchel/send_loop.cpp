#include "send_loop.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "clock/clock.h"
#include "probe_run.h"
#include "replies.h"

namespace {

// The wait a single send gives a full socket, and a batch one that stays full.
constexpr std::uint32_t send_wait_us = 100000;
// A batch's bytes at most: 64 KiB segments of 64 bytes, a few large datagrams.
constexpr std::size_t batch_bytes = 256 * 1024;
// A paced call sends what is due, but no more than falls due in this span:
// a sender running late catches up in small steps, since one long burst
// would reach the receiver as a gap as long as the burst takes.
constexpr std::uint64_t pacing_step_us = 10;
// As large as catchel's: replies from many responders come in bursts.
constexpr int reply_buffer_bytes = 4 * 1024 * 1024;
const std::atomic<int> never_interrupted{0};

// The datagrams of a batch, back to back, each the message after the
// header room; only the headers change from batch to batch.
struct batch {
    std::vector<unsigned char> bytes;
    std::size_t datagram_size;
    int capacity;
};

void batch_fill(batch* b, const std::string& message, const send_plan* plan) {
    std::size_t header = plan->probes ? PROBE_HEADER_SIZE : 0;
    b->datagram_size = plan->sized ? static_cast<std::size_t>(plan->size) : header + message.size();
    std::uint64_t wanted = plan->many ? std::min<std::uint64_t>(plan->count, DGRAM_SEND_BATCH_MAX) : 1;
    std::size_t fitting = std::max<std::size_t>(1, batch_bytes / std::max<std::size_t>(1, b->datagram_size));
    b->capacity = static_cast<int>(std::min<std::uint64_t>(wanted, fitting));
    // Zero bytes pad a message shorter than the size asked.
    b->bytes.assign(b->datagram_size * static_cast<std::size_t>(b->capacity), 0);
    std::size_t body = std::min(message.size(), b->datagram_size - std::min(header, b->datagram_size));
    // An empty datagram has no bytes at all: nothing to copy, nowhere to copy it.
    for (int i = 0; body != 0 && i < b->capacity; ++i) {
        std::memcpy(b->bytes.data() + std::size_t(i) * b->datagram_size + header, message.data(), body);
    }
}

struct sender {
    const cli_teller* say;
    std::FILE* out;
    net_endpoint* ep;
    const net_address_port* to;
    const send_plan* plan;
    batch datagrams;
    probe_run* probes;      // null without probes
    reply_reader* replies;  // null without replies
    const std::atomic<int>* stop;
    std::uint64_t sent;
};

bool should_end(const sender* s) {
    return s->stop->load() != 0 || (s->replies != nullptr && replies_done(s->replies));
}

// Up to `count` of the next datagrams; how many went, or the exit status's
// negative code once the failure is printed.
int send_next(sender* s, int count) {
    const batch& b = s->datagrams;
    if (s->probes != nullptr) probe_run_stamp(s->probes, s->datagrams.bytes.data(), b.datagram_size, count);
    auto size = static_cast<int>(b.datagram_size);
    net_reason reason{};
    int rc = s->plan->many ? dgram_send_batch(s->ep, b.bytes.data(), size, count, s->to, send_wait_us, &reason)
                           : dgram_send_to_address(s->ep, b.bytes.data(), size, s->to, send_wait_us, &reason);
    if (rc < 0) return cli_tell_failure(s->say, "cannot send", rc, &reason, -1);
    int went = s->plan->many ? rc : 1;
    if (s->probes != nullptr) probe_run_note_sent(s->probes, went);
    s->sent += static_cast<std::uint64_t>(went);
    return went;
}

// How many of the next sends are due by now, up to a batch: at least one.
int due_now(const sender* s, std::uint64_t start_us) {
    std::uint64_t rate = s->plan->rate;
    std::uint64_t step = rate == 0 ? std::uint64_t(s->datagrams.capacity) : (rate * pacing_step_us + 999999) / 1000000;
    std::uint64_t limit = s->sent + std::min<std::uint64_t>(step, std::uint64_t(s->datagrams.capacity));
    limit = std::min(limit, s->plan->count);
    if (rate == 0) return static_cast<int>(limit - s->sent);
    std::uint64_t elapsed = clock_now_us() - start_us;
    std::uint64_t due = s->sent + 1;
    while (due < limit && clock_due_after_us(due, rate) <= elapsed) ++due;
    return static_cast<int>(due - s->sent);
}

// Every send, each at its due time; those due together go in one call.
int send_all(sender* s) {
    std::uint64_t rate = s->plan->rate;
    std::uint64_t start_us = rate != 0 ? clock_now_us() : 0;
    while (s->sent < s->plan->count && !should_end(s)) {
        if (rate != 0) replies_pace_until(s->replies, s->ep, start_us + clock_due_after_us(s->sent, rate), s->out);
        if (should_end(s)) break;
        if (send_next(s, due_now(s, start_us)) < 0) return -1;
        if (s->replies != nullptr) replies_read_until(s->replies, s->ep, 0, s->out);
    }
    return 0;
}

int run(sender* s, const std::atomic<int>* (*watch_interrupts)()) {
    const send_plan* plan = s->plan;
    // Waits that end 1 ms late instead of a whole tick on Windows, and at once on Linux.
    if (plan->rate != 0) clock_begin_precision();
    int status = send_all(s);
    if (plan->rate != 0) clock_end_precision();
    if (status != 0) return status;
    if (s->replies == nullptr) return 0;
    // Without probes an interrupt ended pitchel at once until now: nothing read was waiting to be written.
    if (s->probes == nullptr && watch_interrupts != nullptr) s->replies->stop = s->stop = watch_interrupts();
    if (s->stop->load() == 0) replies_read_until(s->replies, s->ep, clock_now_us() + plan->reply.wait_us, s->out);
    return replies_status(s->replies);
}

}  // namespace

int send_loop_run(const cli_teller* say, net_endpoint* ep, const net_address_port* to, const std::string& message,
                  const send_plan* plan, const std::atomic<int>* (*watch_interrupts)()) {
    std::FILE* out = say->out;
    sender s{say, out, ep, to, plan, {}, nullptr, nullptr, &never_interrupted, 0};
    batch_fill(&s.datagrams, message, plan);
    probe_run probes{};
    if (plan->probes) {
        int status = probe_run_start(&probes, say);
        if (status != 0) return status;
        s.probes = &probes;
        if (watch_interrupts != nullptr) s.stop = watch_interrupts();
    }
    reply_reader replies{};
    if (plan->replies) {
        if (plan->many || plan->probes) dgram_set_receive_buffer(ep, reply_buffer_bytes);
        if (!replies_start(&replies, plan->reply, say, s.probes, s.stop)) {
            replies_end(&replies);
            if (plan->probes) probe_run_end(&probes);
            return cli_tell_no_memory(out, no_room_for_replies, -1);
        }
        s.replies = &replies;
    }
    int status = run(&s, watch_interrupts);
    if (plan->replies) replies_end(&replies);
    if (plan->probes) {
        if (!probe_run_summary(&probes, s.sent, plan->reply.json, out) && status == 0) status = REPLIES_OUTPUT_FAILED;
        probe_run_end(&probes);
    }
    return status;
}
