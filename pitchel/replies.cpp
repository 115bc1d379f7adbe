#include "replies.h"

#include "clock/clock.h"
#include "cmdline/cmdline.h"
#include "records/records.h"

namespace {

// Each record leaves at once: a reply may be the last for seconds.
int print_until(net_endpoint* ep, std::uint64_t deadline_us, record_output* pending, std::FILE* out) {
    std::uint64_t received = 0;
    int last_reported = 0;
    for (std::uint64_t now = clock_now_us(); now < deadline_us; now = clock_now_us()) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        auto wait_us = static_cast<std::uint32_t>(deadline_us - now);
        int n = dgram_receive_from(ep, record_data(pending), RECORD_DATA_CAPACITY, &ip, &port, wait_us, 0);
        if (n == NET_TIMEOUT) break;
        if (n >= 0) {
            record_datagram datagram{++received, ip, port, n, false, 0, false, 0, false, 0};
            record_add(pending, &datagram);
        } else if (n != last_reported) {
            record_add_report(pending, n);
        }
        last_reported = n >= 0 ? 0 : n;
        if (!record_write_out(pending, out)) return REPLIES_OUTPUT_FAILED;
    }
    return received > 0 ? REPLIES_SOME : REPLIES_NONE;
}

}  // namespace

int replies_print(net_endpoint* ep, std::uint32_t seconds, bool json, std::FILE* out) {
    record_output pending;
    record_output_init(&pending, cli_is_terminal(out), record_format{false, false, false, json});
    return print_until(ep, clock_now_us() + std::uint64_t{seconds} * 1000000, &pending, out);
}
