// pitchel -pcap: the UDP payloads of a capture sent again, to one
// destination, with the capture's gaps or at a steady pace.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"
#include "replies.h"

struct replay_plan {
    const char* file_name;  // "-": standard input
    std::uint64_t rate;  // datagrams a second; 0: the gaps between the capture's packets
    bool one_port;       // only packets sent to `port`
    std::uint16_t port;
    reply_reader* replies;  // read as they come while replaying; null: none are awaited
    const std::atomic<int>* stop;  // once non-zero, the replay ends and is told as one that ran out
};

// Sends every UDP payload of the capture, pcap or pcapng, that the plan
// takes; one larger than a datagram to the destination may be is skipped.
// A file that is not a capture, or is cut short or broken, ends it with a
// line saying so and status 1, nothing past the fault sent. A send that
// fails is told as pitchel tells it. With -v (`say`), the counts sent and
// skipped end it, and they end it without -v when the capture held packets
// and none was sent. Returns 0 or the status, once its lines are printed.
int replay_capture(const cli_teller* say, net_endpoint* ep, const net_address_port& to, const replay_plan& plan);
