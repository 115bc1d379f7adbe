#include "replay.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "capture/capture.h"
#include "clock/clock.h"
#include "payload.h"
#include "send_loop.h"

namespace {

constexpr std::uint32_t send_wait_us = 100000;
constexpr int CAPTURE_UNREADABLE = 1;
// A long gap is waited out in steps this long, so that an interrupt ends it soon.
constexpr std::uint64_t interrupt_check_us = 100000;

struct replay_counts {
    std::uint64_t sent;
    std::uint64_t left_out;   // sent to another port than the plan's
    std::uint64_t too_large;  // more than one datagram to the destination can carry
};

// The capture's own gaps, from its first packet sent: a packet stamped
// earlier than that one goes at once.
std::uint64_t due_us(const replay_plan& plan, std::uint64_t start_us, std::uint64_t first_time_us,
                     std::uint64_t index, std::uint64_t time_us) {
    if (plan.rate != 0) return start_us + clock_due_after_us(index, plan.rate);
    return start_us + (time_us > first_time_us ? time_us - first_time_us : 0);
}

bool replay_ended(const replay_plan& plan) {
    return plan.stop->load() != 0 || (plan.replies != nullptr && replies_done(plan.replies));
}

// Until `deadline_us`, or until the replay ends; the replies read as they come.
void wait_until(net_endpoint* ep, const replay_plan& plan, std::uint64_t deadline_us, std::FILE* out) {
    for (std::uint64_t now; !replay_ended(plan) && (now = clock_now_us()) < deadline_us;) {
        replies_pace_until(plan.replies, ep, std::min(deadline_us, now + interrupt_check_us), out);
    }
}

bool fits(const capture_datagram& datagram, const net_address_port& to) {
    bool ipv6 = net_address_family(&to.address) == net_family::ipv6;
    return datagram.size <= (ipv6 ? SEND_SIZE_MAX_IPV6 : SEND_SIZE_MAX_IPV4);
}

int send_all(const cli_teller* say, net_endpoint* ep, capture_reader* reader, const net_address_port& to,
             const replay_plan& plan, replay_counts* counts) {
    net_reason reason{};
    std::uint64_t start_us = 0;
    std::uint64_t first_time_us = 0;
    capture_datagram datagram{};
    int rc = CAPTURE_OK;
    while (!replay_ended(plan) && (rc = capture_reader_next(reader, &datagram)) == CAPTURE_OK) {
        if (plan.one_port && datagram.destination.port != plan.port) {
            ++counts->left_out;
            continue;
        }
        if (!fits(datagram, to)) {
            ++counts->too_large;
            if (say->verbose) {
                std::fprintf(say->out, "packet %" PRIu64 ": %" PRIu64 " bytes, too large to send: skipped\n",
                             reader->packets, static_cast<std::uint64_t>(datagram.size));
            }
            continue;
        }
        if (counts->sent == 0) {
            start_us = clock_now_us();
            first_time_us = datagram.time_us;
        }
        wait_until(ep, plan, due_us(plan, start_us, first_time_us, counts->sent, datagram.time_us), say->out);
        if (replay_ended(plan)) return 0;
        int sent =
            dgram_send_to_address(ep, datagram.payload, static_cast<int>(datagram.size), &to, send_wait_us, &reason);
        if (sent != NET_OK) return cli_tell_failure(say, "cannot send", sent, &reason, -1);
        ++counts->sent;
        if (plan.replies != nullptr) replies_read_until(plan.replies, ep, 0, say->out);
    }
    if (rc == CAPTURE_OK || rc == CAPTURE_END) return 0;
    cli_tell_broken_file(say, plan.file_name, reader->message);
    return CAPTURE_UNREADABLE;
}

// The counts, with -v or when nothing of a capture that held packets was
// sent. False when the line was lost.
bool tell_counts(const cli_teller* say, const capture_reader& reader, const replay_counts& counts) {
    if (!say->verbose && (counts.sent != 0 || reader.packets == 0)) return true;
    std::uint64_t skipped = counts.left_out + counts.too_large + capture_skipped_total(&reader.skipped);
    return std::fprintf(say->out, "sent %" PRIu64 " datagrams, skipped %" PRIu64 "\n", counts.sent, skipped) > 0;
}

}  // namespace

int replay_capture(const cli_teller* say, net_endpoint* ep, const net_address_port& to, const replay_plan& plan) {
    bool standard_input = std::strcmp(plan.file_name, PAYLOAD_STANDARD_INPUT) == 0;
    if (standard_input) cli_binary_input(stdin);
    std::FILE* file = standard_input ? stdin : std::fopen(plan.file_name, "rb");
    if (file == nullptr) {
        cli_tell_file_failure(say, "cannot open capture", plan.file_name, errno);
        return CAPTURE_UNREADABLE;
    }
    capture_reader reader{};
    int status = CAPTURE_UNREADABLE;
    replay_counts counts{0, 0, 0};
    if (capture_reader_open(&reader, file) != CAPTURE_OK) {
        cli_tell_broken_file(say, plan.file_name, reader.message);
    } else {
        // Waits that end 1 ms late instead of a whole tick on Windows, and at once on Linux.
        clock_begin_precision();
        status = send_all(say, ep, &reader, to, plan, &counts);
        clock_end_precision();
        // Told after a fault too: what went before it was sent.
        if (!tell_counts(say, reader, counts) && status == 0) status = REPLIES_OUTPUT_FAILED;
    }
    capture_reader_close(&reader);
    if (!standard_input) std::fclose(file);
    return status;
}
