#include "replies.h"

#include "clock/clock.h"
#include "cmdline/cmdline.h"

namespace {

// With metrics the wait tends the scrapes too, and the read then takes what is queued.
int receive(reply_reader* reader, net_endpoint* ep, record_datagram* datagram, std::uint32_t timeout_us,
            net_reason* reason) {
    if (reader->metrics != nullptr && timeout_us != 0) {
        int rc = pitchel_metrics_wait(reader->metrics, ep, timeout_us, reason);
        if (rc != NET_OK) return rc;
        timeout_us = 0;
    }
    return dgram_receive_detailed(ep, record_data(&reader->pending), RECORD_DATA_CAPACITY, &datagram->details,
                                  timeout_us, 0, reason);
}

}  // namespace

bool replies_start(reply_reader* reader, const reply_plan& plan, const cli_teller* say, probe_run* probes,
                   const std::atomic<int>* stop) {
    // Among JSON lines a reason would be no JSON.
    reader->say = cli_teller{say->out, say->verbose && !plan.json};
    reader->run = record_run{0, 0};
    reader->probes = probes;
    reader->intervals = nullptr;
    reader->stop = stop;
    reader->wanted = plan.wanted;
    reader->quiet = plan.quiet;
    reader->output_failed = false;
    reader->metrics = nullptr;
    return record_output_init(&reader->pending, cli_is_terminal(say->out),
                              record_format{plan.hex, false, false, plan.json});
}

void replies_end(reply_reader* reader) { record_output_free(&reader->pending); }

bool replies_done(const reply_reader* reader) {
    return reader->output_failed || reader->stop->load() != 0 ||
           (reader->wanted != 0 && reader->run.received >= reader->wanted);
}

void replies_read_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out) {
    std::uint64_t now = clock_now_us();
    bool draining = now >= deadline_us;
    while ((draining || now < deadline_us) && !replies_done(reader)) {
        record_datagram datagram{};
        bool told_reason = false;
        std::uint32_t timeout_us = draining ? 0 : static_cast<std::uint32_t>(deadline_us - now);
        net_reason reason{};
        int n = receive(reader, ep, &datagram, timeout_us, &reason);
        if (n == NET_TIMEOUT) break;
        if (n >= 0 && reader->probes != nullptr) {
            const char* data = record_data(&reader->pending);
            const probe_responder* answered = probe_run_match(reader->probes, &datagram, data, n);
            if (answered != nullptr && reader->intervals != nullptr) {
                probe_intervals_reply(reader->intervals, answered, datagram.rtt_us);
            }
            if (answered != nullptr && reader->metrics != nullptr) {
                pitchel_metrics_reply(reader->metrics, answered, datagram.rtt_us);
            }
        }
        if (n >= 0 && reader->quiet) {
            record_count(&reader->run);
        } else if (n >= 0 || reader->stop->load() == 0) {  // an interrupt cuts a wait short: no failure
            int reported_before = reader->run.last_reported;
            record_add_result(&reader->pending, &reader->run, &datagram, n);
            told_reason = n < 0 && n != reported_before;
        }
        record_text text = record_take(&reader->pending);
        reader->output_failed = !cli_write(out, text.bytes, text.length);
        if (told_reason && !reader->output_failed) cli_tell_reason(&reader->say, &reason);
        if (n < 0 && draining) break;
        now = clock_now_us();
    }
}

void replies_pace_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out) {
    if (reader == nullptr) return clock_wait_until_us(deadline_us);
    std::uint64_t spin_from = clock_spin_from_us(deadline_us);
    if (clock_now_us() < spin_from) replies_read_until(reader, ep, spin_from, out);
    while (clock_now_us() < deadline_us && !replies_done(reader)) replies_read_until(reader, ep, 0, out);
}

int replies_status(const reply_reader* reader) {
    if (reader->output_failed) return REPLIES_OUTPUT_FAILED;
    return reader->run.received > 0 ? REPLIES_SOME : REPLIES_NONE;
}
