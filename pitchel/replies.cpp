#include "replies.h"

#include "clock/clock.h"
#include "cmdline/cmdline.h"

void replies_start(reply_reader* reader, const reply_plan& plan, std::FILE* out, probe_run* probes,
                   const std::atomic<int>* stop) {
    record_output_init(&reader->pending, cli_is_terminal(out), record_format{plan.hex, false, false, plan.json});
    reader->run = record_run{0, 0};
    reader->probes = probes;
    reader->stop = stop;
    reader->wanted = plan.wanted;
    reader->quiet = plan.quiet;
    reader->output_failed = false;
}

bool replies_done(const reply_reader* reader) {
    return reader->output_failed || reader->stop->load() != 0 ||
           (reader->wanted != 0 && reader->run.received >= reader->wanted);
}

void replies_read_until(reply_reader* reader, net_endpoint* ep, std::uint64_t deadline_us, std::FILE* out) {
    std::uint64_t now = clock_now_us();
    bool draining = now >= deadline_us;
    while ((draining || now < deadline_us) && !replies_done(reader)) {
        record_datagram datagram{};
        std::uint32_t timeout_us = draining ? 0 : static_cast<std::uint32_t>(deadline_us - now);
        int n = record_receive(&reader->pending, ep, &datagram, timeout_us);
        if (n == NET_TIMEOUT) break;
        if (n >= 0 && reader->probes != nullptr) {
            probe_run_match(reader->probes, &datagram, record_data(&reader->pending), n);
        }
        if (n >= 0 && reader->quiet) {
            ++reader->run.received;
            reader->run.last_reported = 0;
        } else if (n >= 0 || reader->stop->load() == 0) {  // an interrupt cuts a wait short: no failure
            record_add_result(&reader->pending, &reader->run, &datagram, n);
        }
        bool written = record_write_out(&reader->pending, out);
        cli_output_moved();
        reader->output_failed = !written;
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
