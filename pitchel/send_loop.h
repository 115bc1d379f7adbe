// pitchel's sends, one or many, paced or as fast as the socket takes them,
// with the replies read between them and after them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"
#include "replies.h"

// The largest datagram of each family: 65535 less the UDP header and, for
// IPv4, the IP header, whose payload length counts it.
constexpr std::uint64_t SEND_SIZE_MAX_IPV4 = 65507;
constexpr std::uint64_t SEND_SIZE_MAX_IPV6 = 65527;

struct send_plan {
    std::uint64_t count;  // datagrams to send
    bool many;            // -n: sent in batches, the socket waited on only when full
    // -n 0: sent until interrupted, `count` past what any run could send.
    // The replies are read all the while, and the run ends at the interrupt.
    bool endless;
    std::uint64_t rate;   // a second, evenly spaced; 0: as fast as the socket takes them
    bool probes;          // each begins with a probe header, and a summary ends the run
    bool sized;           // each is exactly `size` bytes
    std::uint64_t size;
    bool replies;  // what comes back is read while sending and for a while after, as `reply` says
    reply_plan reply;
    std::uint64_t interval_us;  // with probes and replies: lines for each interval this long; 0: none
};

// Sends `message` as `plan` says to `to` on an endpoint whose
// options are set, writing to say->out. Once the sends are done and replies are awaited, or from
// the start with probes or endless sends, `watch_interrupts` (null: none) is called, and an
// interrupt it notes ends the run with every reply read written out and the
// summary after them. Returns the process exit status.
int send_loop_run(const cli_teller* say, net_endpoint* ep, const net_address_port* to, const std::string& message,
                  const send_plan* plan, const std::atomic<int>* (*watch_interrupts)(),
                  pitchel_metrics* metrics = nullptr);
