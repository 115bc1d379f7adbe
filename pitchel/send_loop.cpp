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
    probe_intervals* intervals;  // null without interval lines
    const std::atomic<int>* stop;
    std::uint64_t sent;
    pitchel_metrics* metrics;  // null: no -metrics nor -metrics-file
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
    if (s->metrics != nullptr) pitchel_metrics_sent(s->metrics);
    return went;
}

// The lines of the intervals that ended by now, written at once; a failed
// write ends the run as a failed reply write does.
void tell_intervals(sender* s) {
    if (s->intervals == nullptr) return;
    probe_intervals_close_due(s->intervals, s->sent);
    std::string& due = s->intervals->due;
    if (due.empty()) return;
    if (!cli_write(s->out, due.data(), due.size()) || std::fflush(s->out) != 0) s->replies->output_failed = true;
    due.clear();
}

// Reads the replies until `deadline_us`, stopping at each interval's end on
// the way to tell it.
void listen_through_intervals(sender* s, std::uint64_t deadline_us) {
    while (s->intervals != nullptr && !replies_done(s->replies)) {
        std::uint64_t boundary_us = clock_now_us() + probe_intervals_left_us(s->intervals);
        if (boundary_us >= deadline_us) return;
        replies_read_until(s->replies, s->ep, boundary_us, s->out);
        tell_intervals(s);
    }
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

// Until the next send is due, the replies read as they come. Without
// replies to read, the metrics' clients are served in the wait.
void pace(sender* s, std::uint64_t due_us) {
    std::uint64_t spin_from_us = clock_spin_from_us(due_us);
    std::uint64_t now_us = clock_now_us();
    if (s->replies == nullptr && s->metrics != nullptr && now_us < spin_from_us) {
        pitchel_metrics_wait(s->metrics, nullptr, static_cast<std::uint32_t>(spin_from_us - now_us), nullptr);
    }
    replies_pace_until(s->replies, s->ep, due_us, s->out);
}

// Every send, each at its due time; those due together go in one call.
int send_all(sender* s) {
    std::uint64_t rate = s->plan->rate;
    std::uint64_t start_us = rate != 0 ? clock_now_us() : 0;
    while (s->sent < s->plan->count && !should_end(s)) {
        if (rate != 0) {
            std::uint64_t due_us = start_us + clock_due_after_us(s->sent, rate);
            listen_through_intervals(s, due_us);
            pace(s, due_us);
        }
        if (should_end(s)) break;
        if (send_next(s, due_now(s, start_us)) < 0) return -1;
        if (s->replies != nullptr) replies_read_until(s->replies, s->ep, 0, s->out);
        tell_intervals(s);
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
    if (s->stop->load() == 0) {
        std::uint64_t end_us = clock_now_us() + plan->reply.wait_us;
        listen_through_intervals(s, end_us);
        replies_read_until(s->replies, s->ep, end_us, s->out);
    }
    return replies_status(s->replies);
}

}  // namespace

int send_loop_run(const cli_teller* say, net_endpoint* ep, const net_address_port* to, const std::string& message,
                  const send_plan* plan, const std::atomic<int>* (*watch_interrupts)(), pitchel_metrics* metrics) {
    std::FILE* out = say->out;
    sender s{say, out, ep, to, plan, {}, nullptr, nullptr, nullptr, &never_interrupted, 0, metrics};
    batch_fill(&s.datagrams, message, plan);
    if ((plan->probes || plan->endless) && watch_interrupts != nullptr) s.stop = watch_interrupts();
    probe_run probes{};
    if (plan->probes) {
        int status = probe_run_start(&probes, say);
        if (status != 0) return status;
        s.probes = &probes;
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
        replies.metrics = metrics;
    }
    probe_intervals intervals{};
    if (plan->interval_us != 0 && s.probes != nullptr && s.replies != nullptr) {
        probe_intervals_start(&intervals, s.probes, plan->reply.json, plan->interval_us, plan->reply.wait_us);
        s.intervals = replies.intervals = &intervals;
    }
    if (metrics != nullptr) pitchel_metrics_begin(metrics, &s.sent, s.probes, s.intervals != nullptr);
    int status = run(&s, watch_interrupts);
    if (metrics != nullptr) pitchel_metrics_end(metrics);
    if (s.intervals != nullptr) {
        probe_intervals_end(&intervals, s.sent);
        tell_intervals(&s);
        if (replies.output_failed) status = REPLIES_OUTPUT_FAILED;
    }
    if (plan->replies) replies_end(&replies);
    if (plan->probes) {
        // An endless run ends at the interrupt: the probes still within their
        // wait for a reply are not yet lost.
        std::uint64_t through = plan->endless ? probe_run_settled(&probes, plan->replies ? plan->reply.wait_us : 0)
                                              : probes.sent;
        if (!probe_run_summary(&probes, s.sent, through, plan->reply.json, out) && status == 0) {
            status = REPLIES_OUTPUT_FAILED;
        }
        probe_run_end(&probes);
    }
    return status;
}
