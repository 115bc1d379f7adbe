// pitchel [options] <host/ip> <port> <msg>
// pitchel [options] <host/ip> <port> -f <file>
#include "pitchel.h"

#include <cstdint>
#include <cstring>

#include "clock/clock.h"
#include "cmdline/cmdline.h"
#include "diagnose/diagnose.h"
#include "metrics_export.h"
#include "netlayer/netlayer.h"
#include "payload.h"
#include "probes/probes.h"
#include "replay.h"
#include "replies.h"
#include "send_loop.h"

namespace {

constexpr int automatic_multicast_ttl = 1;
constexpr bool automatic_multicast_loop = true;

enum option_index {
    bind_option,
    count_option,
    rate_option,
    ttl_option,
    loop_option,
    interface_option,
    broadcast_option,
    hex_option,
    no_zero_option,
    reply_option,
    json_option,
    ipv6_option,
    verbose_option,
    seq_option,
    size_option,
    reply_count_option,
    tos_option,
    df_option,
    pcap_option,
    port_option,
    why_option,
    quiet_option,
    interval_option,
    metrics_option,
    metrics_file_option,
    option_count
};
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "send from this local address (an address or a name), any free port",
     true},
    {"-n", cli_value::number, "<count>", 0, 4294967295,
     "send the datagram this many times; 0: until interrupted, with -r", false},
    {"-r", cli_value::number, "<rate>", 1, 1000000000, "with -n or -pcap: at most this many a second, evenly spaced",
     false},
    {"-ttl", cli_value::number, "<n>", 0, 255, "time-to-live 1 to 255, or 0 to 255 to a multicast group", false},
    {"-loop", cli_value::number, "<0|1>", 0, 1, "multicast loopback off or on", false},
    {"-if", cli_value::text, "<if>", 0, 0, "multicast leaves by this interface: an address it holds, its name or index",
     false},
    {"-broadcast", cli_value::none, nullptr, 0, 0, "allow a broadcast destination", false},
    {"-x", cli_value::none, nullptr, 0, 0, "the message is hexadecimal, two digits a byte, sent as is", false},
    {"-nozero", cli_value::none, nullptr, 0, 0, "send the message without its zero byte", false},
    {"-reply", cli_value::number, "<seconds>", 1, 3600, "then print what comes back within this time", false},
    {"-json", cli_value::none, nullptr, 0, 0, "print the replies as JSON lines", false},
    {"-6", cli_value::none, nullptr, 0, 0, "resolve names to their IPv6 address", false},
    {"-v", cli_value::none, nullptr, 0, 0, "say why a system call failed", false},
    {"-seq", cli_value::none, nullptr, 0, 0, "number each datagram with a probe header; a summary at the end", false},
    {"-size", cli_value::number, "<bytes>", 0, 65527, "each datagram exactly this long, cut or padded with zeros",
     false},
    {"-c", cli_value::number, "<count>", 1, 4294967295, "with -reply: end after this many replies", false},
    {"-tos", cli_value::number, "<n>", 0, 255, "type of service (IPv6: traffic class) byte, 0 to 255 or 0x00 to 0xff", false},
    {"-df", cli_value::none, nullptr, 0, 0, "don't fragment: a datagram larger than the path allows fails", false},
    {"-pcap", cli_value::text, "<file>", 0, 0,
     "send the UDP payloads of this capture (-: standard input), with its gaps", false},
    {"-port", cli_value::number, "<n>", 0, 65535, "with -pcap: only the packets sent to this port", false},
    {"-why", cli_value::none, nullptr, 0, 0, "to a group: first say what could stop the datagrams on this side",
     false},
    {"-q", cli_value::none, nullptr, 0, 0, "with -reply: no record per reply; a summary with -seq", false},
    {"-i", cli_value::number, "<seconds>", 1, 1000000000,
     "with -seq and -reply: replies, lost and round trips for each interval this long", false},
    {"-metrics", cli_value::text, "[<ip>:]<port>", 0, 0,
     "serve the figures to Prometheus at /metrics on this port ([::1]:<port> for IPv6)", false},
    {"-metrics-file", cli_value::text, "<file>", 0, 0,
     "write the same figures to this file every -i seconds (default 10), for a textfile collector", false},
};

#define PITCHEL_USAGE                                           \
    "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"       \
    "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n"
// The usage lines with the form a capture takes, for --help and for a
// command line with -pcap that is too short.
const char* const replay_usage = PITCHEL_USAGE "       pitchel [options] -pcap <file> <host/ip> <port>\n";
const cli_program program = {"pitchel", PITCHEL_USAGE, 1, options, option_count, replay_usage};
// -n 0 as its problem names it.
const cli_option endless_count = {"-n 0", cli_value::number, "<count>", 0, 0, nullptr, false};

// A setting the command line may give; absent, the system's or pitchel's own.
struct chosen_value {
    bool given;
    int value;
};

// The command line read into what pitchel is to do: its addresses resolved,
// before anything is opened or sent.
struct pitchel_plan {
    const char* bind_text;  // null: not bound
    net_address bind;       // the wildcard of the destination's family when not bound
    const char* interface_text;  // null: the system's choice
    net_interface on;
    const char* host;
    net_address_port to;
    std::uint16_t open_flags;
    chosen_value ttl;
    chosen_value loop;
    chosen_value tos;
    bool dont_fragment;
    bool why;
    bool json;
    // A message, or a capture's payloads.
    const char* message;
    const char* file_name;  // null: the message is the payload
    payload_form form;
    send_plan send;
    const char* capture_path;  // null: no -pcap
    replay_plan replay;        // its replies and stop filled in as it starts
    pitchel_metrics_plan metrics;
};

chosen_value chosen(const cli_found& found) { return chosen_value{found.given, static_cast<int>(found.number)}; }

bool is_ipv6(const net_address* address) { return net_address_family(address) == net_family::ipv6; }

int first_octet(const net_address* address) {
    std::uint32_t ip = 0;
    return net_address_to_ipv4(address, &ip) ? static_cast<int>(ip >> 24) : 0;
}

// 224.x (local control) and 239.x (administratively scoped) keep the
// platform's own multicast settings unless asked otherwise. Every IPv6 group
// takes the automatic ones: its scope is written in the address, and hop
// limit 1 keeps even a wide one on the local link until asked otherwise.
bool gets_automatic_multicast(const net_address* address) {
    return is_ipv6(address) || (first_octet(address) >= 225 && first_octet(address) <= 238);
}

// -ttl and -loop replace the automatic values.
int set_multicast_options(net_endpoint* ep, const pitchel_plan* plan, net_reason* reason) {
    bool automatic = gets_automatic_multicast(&plan->to.address);
    const chosen_value& ttl = plan->ttl;
    const chosen_value& loop = plan->loop;
    int rc = NET_OK;
    if (automatic && !ttl.given) rc = dgram_set_multicast_hops(ep, automatic_multicast_ttl, reason);
    if (rc == NET_OK && (loop.given || automatic)) {
        rc = dgram_set_multicast_loop(ep, loop.given ? loop.value != 0 : automatic_multicast_loop, reason);
    }
    if (rc == NET_OK && ttl.given) rc = dgram_set_multicast_hops(ep, ttl.value, reason);
    if (rc == NET_OK && plan->interface_text != nullptr) rc = dgram_set_outgoing_interface(ep, &plan->on, reason);
    return rc;
}

// Returns 0, or the exit status once the failure is told.
int set_send_options(const cli_teller* say, net_endpoint* ep, const pitchel_plan* plan) {
    net_reason reason{};
    if (net_address_is_multicast(&plan->to.address)) {
        int rc = set_multicast_options(ep, plan, &reason);
        return rc == NET_OK ? 0 : cli_tell_failure(say, "cannot set multicast parameter", rc, &reason, -1);
    }
    if (!plan->ttl.given) return 0;
    int rc = dgram_set_unicast_hops(ep, plan->ttl.value, &reason);
    return rc == NET_OK ? 0 : cli_tell_failure(say, "cannot set time-to-live", rc, &reason, -1);
}

// With a probe header the size must hold it; no datagram of the family may exceed it.
bool size_possible(const cli_found* found, const net_address* to) {
    auto size = static_cast<std::uint64_t>(found[size_option].number);
    std::uint64_t largest = is_ipv6(to) ? SEND_SIZE_MAX_IPV6 : SEND_SIZE_MAX_IPV4;
    return size <= largest && (!found[seq_option].given || size >= PROBE_HEADER_SIZE);
}

// -tos and -df, where given. Returns 0, or the exit status once the
// failure is told.
int set_marking(const cli_teller* say, net_endpoint* ep, const pitchel_plan* plan) {
    net_reason reason{};
    int rc = NET_OK;
    if (plan->tos.given && (rc = dgram_set_traffic_class(ep, plan->tos.value, &reason)) != NET_OK) {
        return cli_tell_failure(say, "cannot set type of service", rc, &reason, -1);
    }
    if (plan->dont_fragment && (rc = dgram_set_dont_fragment(ep, &reason)) != NET_OK) {
        return cli_tell_failure(say, "cannot set don't fragment", rc, &reason, -1);
    }
    return 0;
}

// What the command line asks of the replies.
reply_plan reply_plan_of(const cli_found* found) {
    const cli_found& wanted = found[reply_count_option];
    return reply_plan{found[json_option].given, found[hex_option].given, found[quiet_option].given,
                      wanted.given ? static_cast<std::uint64_t>(wanted.number) : 0,
                      static_cast<std::uint64_t>(found[reply_option].number) * 1000000};
}

// A capture's payloads, the replies read as they come, and for -reply's
// time after. An interrupt ends the replay with its counts told.
int replay_and_listen(const cli_teller* say, net_endpoint* ep, const pitchel_plan* plan,
                      const std::atomic<int>* (*watch_interrupts)(), pitchel_metrics* metrics) {
    static const std::atomic<int> never_interrupted{0};
    const std::atomic<int>* stop = watch_interrupts != nullptr ? watch_interrupts() : &never_interrupted;
    reply_reader replies{};
    bool replying = plan->send.replies;
    if (replying && !replies_start(&replies, plan->send.reply, say, nullptr, stop)) {
        replies_end(&replies);
        return cli_tell_no_memory(say->out, no_room_for_replies, -1);
    }
    replies.metrics = metrics;
    replay_plan replay = plan->replay;
    replay.replies = replying ? &replies : nullptr;
    replay.stop = stop;
    int status = replay_capture(say, ep, plan->to, replay);
    if (status == 0 && replying) {
        replies_read_until(&replies, ep, clock_now_us() + plan->send.reply.wait_us, say->out);
        status = replies_status(&replies);
    }
    if (replying) replies_end(&replies);
    return status;
}

// The payload, the sends, then the replies, on an endpoint whose options are set.
int send_and_listen(const cli_teller* say, net_endpoint* ep, const pitchel_plan* plan,
                    const std::atomic<int>* (*watch_interrupts)(), pitchel_metrics* metrics) {
    if (plan->capture_path != nullptr) return replay_and_listen(say, ep, plan, watch_interrupts, metrics);
    payload p;
    int status = payload_read(&p, plan->message, plan->file_name, plan->form, stdin, say);
    if (status != 0) return status;
    return send_loop_run(say, ep, &plan->to, p.bytes, &plan->send, watch_interrupts, metrics);
}

// The wildcard of the destination's family: what an endpoint not bound opens with.
net_address any_address_like(const net_address* address) {
    net_address any{};
    any.family = net_address_family(address);
    return any;
}

// The options, their values and what they ask together, into `plan`.
void plan_from_options(const cli_found* found, bool replaying, pitchel_plan* plan) {
    // Bound to the chosen address with a free port, or left for the first send to bind.
    plan->open_flags = plan->bind_text != nullptr ? DGRAM_BIND_ADDRESS_ONLY : 0;
    if (found[broadcast_option].given) plan->open_flags |= DGRAM_BROADCAST;
    // JSON replies carry their time and destination, as catchel's JSON lines do.
    if (found[reply_option].given && found[json_option].given) plan->open_flags |= DGRAM_DETAILS;
    plan->ttl = chosen(found[ttl_option]);
    plan->loop = chosen(found[loop_option]);
    plan->tos = chosen(found[tos_option]);
    plan->dont_fragment = found[df_option].given;
    plan->why = found[why_option].given;
    plan->json = found[json_option].given;
    plan->form = payload_form{found[hex_option].given, found[no_zero_option].given};
    send_plan& send = plan->send;
    send.many = found[count_option].given;
    send.endless = send.many && found[count_option].number == 0;
    send.count = send.many ? static_cast<std::uint64_t>(found[count_option].number) : 1;
    if (send.endless) send.count = UINT64_MAX;
    send.rate = found[rate_option].given ? static_cast<std::uint64_t>(found[rate_option].number) : 0;
    send.probes = found[seq_option].given;
    send.sized = found[size_option].given;
    send.size = static_cast<std::uint64_t>(found[size_option].number);
    send.replies = found[reply_option].given;
    send.reply = reply_plan_of(found);
    send.interval_us = static_cast<std::uint64_t>(found[interval_option].number) * 1000000;
    plan->capture_path = replaying ? found[pcap_option].text : nullptr;
    plan->replay = replay_plan{found[pcap_option].text, send.rate, found[port_option].given,
                               static_cast<std::uint16_t>(found[port_option].number), nullptr, nullptr};
    plan->metrics.outlet.file_path = found[metrics_file_option].text;
    plan->metrics.outlet.file_every_us = found[interval_option].given ? send.interval_us : 10000000;
    plan->metrics.reply_wait_us = send.reply.wait_us;
}

// Fills `plan` from the command line and `say` from -v; false, with the
// exit status in `*status`, once the problem is told.
bool read_command(int argc, char** argv, cli_teller* say, pitchel_plan* plan, int* status) {
    cli_found found[option_count]{};
    int next = cli_read_command_line(argc, argv, &program, found, say->out, status);
    if (next == 0) return false;
    say->verbose = found[verbose_option].given;
    bool replaying = found[pcap_option].given;
    if (found[port_option].given && !replaying) {
        cli_problem problem{&options[port_option], found[port_option].text, "-pcap"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[rate_option].given && !found[count_option].given && !replaying) {
        cli_problem problem{&options[rate_option], found[rate_option].text, "-n"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[count_option].given && found[count_option].number == 0 && !found[rate_option].given) {
        cli_problem problem{&endless_count, nullptr, "-r: an endless flood must be paced"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[interval_option].given && !(found[seq_option].given && found[reply_option].given)) {
        cli_problem problem{&options[interval_option], found[interval_option].text, "-seq and -reply"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[reply_count_option].given && !found[reply_option].given) {
        cli_problem problem{&options[reply_count_option], found[reply_count_option].text, "-reply"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    // What shapes a message has no datagram of its own to shape in a capture.
    for (int shaping : {count_option, seq_option, size_option, no_zero_option}) {
        if (replaying && found[shaping].given) {
            cli_problem problem{&options[shaping], found[shaping].text, "a message, not -pcap"};
            *status = cli_answer_problem(say->out, &program, &problem);
            return false;
        }
    }
    // A capture stands in for the message.
    if (replaying && argc - next < 2) {
        *status = cli_help_usage(say->out, &program);
        return false;
    }
    if (!replaying && (argc - next < 3 || (std::strcmp(argv[next + 2], "-f") == 0 && argc - next < 4))) {
        *status = cli_usage(say->out, &program);
        return false;
    }
    plan->bind_text = found[bind_option].text;
    plan->interface_text = found[interface_option].text;
    plan->host = argv[next];
    const char* port_text = argv[next + 1];
    plan->message = replaying ? nullptr : argv[next + 2];
    plan->file_name = !replaying && std::strcmp(plan->message, "-f") == 0 ? argv[next + 3] : nullptr;
    plan_from_options(found, replaying, plan);

    *status = -2;
    bool prefer_ipv6 = found[ipv6_option].given;
    if (plan->bind_text != nullptr &&
        !cli_take_address(say, plan->bind_text, prefer_ipv6, cli_address_role::host, &plan->bind)) {
        return false;
    }
    if (plan->interface_text != nullptr && !cli_take_interface(say, plan->interface_text, &plan->on)) {
        return false;
    }
    if (!cli_take_address(say, plan->host, prefer_ipv6, cli_address_role::host, &plan->to.address)) return false;
    const net_address* to = &plan->to.address;
    if (plan->bind_text == nullptr) {
        plan->bind = any_address_like(to);
    } else if (net_address_family(&plan->bind) != net_address_family(to)) {
        *status = cli_tell_mixed_families(say->out, "-bind", plan->bind_text, plan->host);
        return false;
    }
    // A time-to-live of 0 keeps multicast on this host; a unicast or broadcast
    // datagram with it could never leave, and the system refuses it.
    if (found[ttl_option].given && found[ttl_option].number == 0 && !net_address_is_multicast(to)) {
        cli_problem problem{&options[ttl_option], found[ttl_option].text};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    // IPv6 has no broadcast; its groups reach every host of a link.
    if (found[broadcast_option].given && is_ipv6(to)) {
        cli_problem problem{&options[broadcast_option], nullptr, "an IPv4 destination"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[size_option].given && !size_possible(found, to)) {
        cli_problem problem{&options[size_option], found[size_option].text};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    if (found[why_option].given && !net_address_is_multicast(to)) {
        cli_problem problem{&options[why_option], nullptr, "a multicast group"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    metrics_plan& exported = plan->metrics.outlet;
    exported.listen_text = found[metrics_option].text;
    if (exported.listen_text != nullptr && !metrics_listen_parse(exported.listen_text, &exported.listen)) {
        cli_problem problem{&options[metrics_option], exported.listen_text};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    *status = 1;
    return cli_take_port(say->out, port_text, &plan->to.port);
}

// -why: the sender's side of the group, judged before the first send. The
// system's own multicast defaults are a TTL of 1 and loopback on.
void tell_why(const pitchel_plan* plan, std::FILE* out) {
    diag_sender_plan sender{plan->to.address,
                            plan->interface_text,
                            &plan->on,
                            plan->ttl.given ? plan->ttl.value : automatic_multicast_ttl,
                            plan->loop.given ? plan->loop.value != 0 : automatic_multicast_loop,
                            plan->loop.given,
                            plan->json};
    diag_sender_run(&sender, out);
}

}  // namespace

int pitchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* (*watch_interrupts)()) {
    cli_teller say{out, false};
    pitchel_plan plan{};
    int status = 0;
    if (!read_command(argc, argv, &say, &plan, &status)) return status;

    if (plan.why) tell_why(&plan, out);
    net_endpoint* ep = nullptr;
    net_reason reason{};
    int rc = dgram_open_address(&ep, &plan.bind, 0, plan.open_flags, &reason);
    if (rc != NET_OK) return cli_tell_failure(&say, "cannot initialize socket", rc, &reason, -1);
    pitchel_metrics metrics{};
    bool exporting = plan.metrics.outlet.listen_text != nullptr || plan.metrics.outlet.file_path != nullptr;
    if (exporting && pitchel_metrics_open(&metrics, &plan.metrics, &say, &reason) != NET_OK) {
        dgram_close(ep);
        return reason.number == 0 && !reason.from_lookup
                   ? cli_tell_no_memory(out, "", 1)
                   : cli_tell_metrics_failure(&say, plan.metrics.outlet.listen_text, &reason, 1);
    }
    status = set_send_options(&say, ep, &plan);
    if (status == 0) status = set_marking(&say, ep, &plan);
    if (status == 0) status = send_and_listen(&say, ep, &plan, watch_interrupts, exporting ? &metrics : nullptr);
    if (exporting) pitchel_metrics_close(&metrics);
    dgram_close(ep);
    return status;
}
