#include "replies.h"

#include "clock/clock.h"
#include "cmdline/cmdline.h"
#include "records/records.h"

namespace {

// Each record leaves at once: a reply may be the last for seconds.
int print_until(net_endpoint* ep, std::uint64_t deadline_us, record_output* pending, std::FILE* out,
                const std::atomic<int>* stop) {
    record_run run{0, 0};
    for (std::uint64_t now = clock_now_us(); now < deadline_us && stop->load() == 0; now = clock_now_us()) {
        record_datagram datagram{};
        int n = record_receive(pending, ep, &datagram, static_cast<std::uint32_t>(deadline_us - now));
        if (n == NET_TIMEOUT) break;
        // An interrupt cuts the wait short; that is no failure to report.
        if (n >= 0 || stop->load() == 0) record_add_result(pending, &run, &datagram, n);
        bool written = record_write_out(pending, out);
        cli_output_moved();
        if (!written) return REPLIES_OUTPUT_FAILED;
    }
    return run.received > 0 ? REPLIES_SOME : REPLIES_NONE;
}

}  // namespace

int replies_print(net_endpoint* ep, std::uint32_t seconds, bool json, std::FILE* out, const std::atomic<int>* stop) {
    record_output pending;
    record_output_init(&pending, cli_is_terminal(out), record_format{false, false, false, json});
    return print_until(ep, clock_now_us() + std::uint64_t{seconds} * 1000000, &pending, out, stop);
}
