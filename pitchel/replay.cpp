#include "replay.h"

#include "capture/capture.h"
#include "clock/clock.h"

namespace {

constexpr std::uint32_t send_wait_us = 100000;
constexpr int CAPTURE_UNREADABLE = 1;

struct replay_counts {
    std::uint64_t sent;
    std::uint64_t left_out;  // sent to another port than the plan's
};

// The capture's own gaps, from its first packet sent: a packet stamped
// earlier than that one goes at once.
std::uint64_t due_us(const replay_plan& plan, std::uint64_t start_us, std::uint64_t first_time_us,
                     std::uint64_t index, std::uint64_t time_us) {
    if (plan.rate != 0) return start_us + clock_due_after_us(index, plan.rate);
    return start_us + (time_us > first_time_us ? time_us - first_time_us : 0);
}

int send_all(const cli_teller* say, net_endpoint* ep, capture_reader* reader, const replay_target& to,
             const replay_plan& plan, replay_counts* counts) {
    net_reason reason{};
    std::uint64_t start_us = 0;
    std::uint64_t first_time_us = 0;
    capture_datagram datagram{};
    int rc = CAPTURE_OK;
    while ((rc = capture_reader_next(reader, &datagram)) == CAPTURE_OK) {
        if (plan.one_port && datagram.destination.port != plan.port) {
            ++counts->left_out;
            continue;
        }
        if (counts->sent == 0) {
            start_us = clock_now_us();
            first_time_us = datagram.time_us;
        }
        clock_wait_until_us(due_us(plan, start_us, first_time_us, counts->sent, datagram.time_us));
        int sent = dgram_send_to_address(ep, datagram.payload, static_cast<int>(datagram.size), &to.address, to.port,
                                         send_wait_us, &reason);
        if (sent != NET_OK) return cli_tell_failure(say, "cannot send", sent, &reason, -1);
        ++counts->sent;
    }
    if (rc == CAPTURE_END) return 0;
    std::fprintf(say->out, "%s: %s\n", plan.file_name, reader->message);
    return CAPTURE_UNREADABLE;
}

}  // namespace

int replay_capture(const cli_teller* say, net_endpoint* ep, const replay_target& to, const replay_plan& plan) {
    std::FILE* out = say->out;
    std::FILE* file = std::fopen(plan.file_name, "rb");
    if (file == nullptr) {
        std::fprintf(out, "cannot open capture %s\n", plan.file_name);
        return CAPTURE_UNREADABLE;
    }
    capture_reader reader{};
    int status = CAPTURE_UNREADABLE;
    replay_counts counts{0, 0};
    bool opened = capture_reader_open(&reader, file) == CAPTURE_OK;
    if (!opened) {
        std::fprintf(out, "%s: %s\n", plan.file_name, reader.message);
    } else {
        // Sleeps that end on a timer tick are 1 ms late instead of a whole tick on Windows.
        clock_begin_precision();
        status = send_all(say, ep, &reader, to, plan, &counts);
        clock_end_precision();
    }
    // Told after a fault too: what went before it was sent.
    if (say->verbose && opened) {
        std::fprintf(out, "sent %llu datagrams, skipped %llu\n", static_cast<unsigned long long>(counts.sent),
                     static_cast<unsigned long long>(counts.left_out + capture_skipped_total(&reader.skipped)));
    }
    capture_reader_close(&reader);
    std::fclose(file);
    return status;
}
