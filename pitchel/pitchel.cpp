// pitchel [options] <host/ip> <port> <msg>
// pitchel [options] <host/ip> <port> -f <file>
#include "pitchel.h"

#include <cstdint>
#include <cstring>

#include "clock/clock.h"
#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"
#include "payload.h"
#include "probes/probes.h"
#include "send_loop.h"

namespace {

constexpr int automatic_multicast_ttl = 1;
constexpr int automatic_multicast_loop = 1;

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
    seq_option,
    size_option,
    reply_count_option,
    option_count
};
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "send from this local address (an address or a name), any free port",
     true},
    {"-n", cli_value::number, "<count>", 1, 4294967295, "send the datagram this many times", false},
    {"-r", cli_value::number, "<rate>", 1, 1000000000, "with -n: at most this many a second, evenly spaced", false},
    {"-ttl", cli_value::number, "<n>", 0, 255, "time-to-live 1 to 255, or 0 to 255 to a multicast group", false},
    {"-loop", cli_value::number, "<0|1>", 0, 1, "multicast loopback off or on", false},
    {"-if", cli_value::text, "<ip>", 0, 0, "multicast leaves by the interface holding this local address", false},
    {"-broadcast", cli_value::none, nullptr, 0, 0, "allow a broadcast destination", false},
    {"-x", cli_value::none, nullptr, 0, 0, "the message is hexadecimal, two digits a byte, sent as is", false},
    {"-nozero", cli_value::none, nullptr, 0, 0, "send the message without its zero byte", false},
    {"-reply", cli_value::number, "<seconds>", 1, 3600, "then print what comes back within this time", false},
    {"-json", cli_value::none, nullptr, 0, 0, "print the replies as JSON lines", false},
    {"-seq", cli_value::none, nullptr, 0, 0, "number each datagram with a probe header; a summary at the end", false},
    {"-size", cli_value::number, "<bytes>", 0, 65527, "each datagram exactly this long, cut or padded with zeros",
     false},
    {"-c", cli_value::number, "<count>", 1, 4294967295, "with -reply: end after this many replies", false},
};

const cli_program program = {"pitchel",
                             "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"
                             "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n",
                             1, options, option_count};

struct destination {
    std::uint32_t ip;
    std::uint16_t port;
};

int invalid_host(std::FILE* out, const char* text) {
    std::fprintf(out, "invalid host/ip %s\n", text);
    return -2;
}

int first_octet(std::uint32_t ip) { return static_cast<int>(ip >> 24); }

bool is_multicast(std::uint32_t ip) { return first_octet(ip) >= 224 && first_octet(ip) <= 239; }

// 224.x (local control) and 239.x (administratively scoped) keep the
// platform's own multicast settings unless asked otherwise.
bool gets_automatic_multicast(std::uint32_t ip) { return first_octet(ip) >= 225 && first_octet(ip) <= 238; }

// -ttl and -loop replace the automatic values; dgram_set_multicast takes a
// time-to-live of 0 for "leave it", so a chosen one is set apart.
int set_multicast_options(net_endpoint* ep, std::uint32_t ip, const cli_found* found, std::uint32_t interface_ip) {
    bool automatic = gets_automatic_multicast(ip);
    const cli_found& ttl = found[ttl_option];
    const cli_found& loop = found[loop_option];
    int automatic_ttl = automatic && !ttl.given ? automatic_multicast_ttl : 0;
    int loop_value = loop.given ? static_cast<int>(loop.number) : automatic ? automatic_multicast_loop : -1;
    int rc = dgram_set_multicast(ep, automatic_ttl, loop_value);
    if (rc == NET_OK && ttl.given) rc = dgram_set_multicast_ttl(ep, static_cast<int>(ttl.number));
    if (rc == NET_OK && interface_ip != 0) rc = dgram_set_multicast_interface(ep, interface_ip);
    return rc;
}

// Returns 0, or the exit status once the failure is printed.
int set_send_options(std::FILE* out, net_endpoint* ep, std::uint32_t ip, const cli_found* found,
                     std::uint32_t interface_ip) {
    if (is_multicast(ip)) {
        int rc = set_multicast_options(ep, ip, found, interface_ip);
        if (rc == NET_OK) return 0;
        std::fprintf(out, "cannot set multicast parameter err %d\n", rc);
        return -1;
    }
    if (!found[ttl_option].given) return 0;
    int rc = dgram_set_ttl(ep, static_cast<int>(found[ttl_option].number));
    if (rc == NET_OK) return 0;
    std::fprintf(out, "cannot set time-to-live err %d\n", rc);
    return -1;
}

// With a probe header the size must hold it; no datagram of the family may exceed it.
bool size_possible(const cli_found* found, const net_address* to) {
    std::uint64_t size = static_cast<std::uint64_t>(found[size_option].number);
    std::uint64_t largest = net_address_family(to) == net_family::ipv6 ? SEND_SIZE_MAX_IPV6 : SEND_SIZE_MAX_IPV4;
    return size <= largest && (!found[seq_option].given || size >= PROBE_HEADER_SIZE);
}

// The payload, then the sends and the replies, on an endpoint whose options are set.
int send_and_listen(std::FILE* out, net_endpoint* ep, const net_address* to, std::uint16_t port,
                    const char* message, const char* file_name, const cli_found* found,
                    const std::atomic<int>* (*watch_interrupts)()) {
    payload p;
    payload_form form{found[hex_option].given, found[no_zero_option].given};
    int status = payload_read(&p, message, file_name, form, stdin, out);
    if (status != 0) return status;
    const cli_found& reply = found[reply_option];
    send_plan plan{};
    plan.many = found[count_option].given;
    plan.count = plan.many ? static_cast<std::uint64_t>(found[count_option].number) : 1;
    plan.rate = found[rate_option].given ? static_cast<std::uint64_t>(found[rate_option].number) : 0;
    plan.probes = found[seq_option].given;
    plan.sized = found[size_option].given;
    plan.size = static_cast<std::uint64_t>(found[size_option].number);
    plan.replies = reply.given;
    plan.reply_us = static_cast<std::uint64_t>(reply.number) * 1000000;
    plan.replies_wanted = found[reply_count_option].given ? static_cast<std::uint64_t>(found[reply_count_option].number) : 0;
    plan.json = found[json_option].given;
    return send_loop_run(out, ep, to, port, p.bytes, &plan, watch_interrupts);
}

}  // namespace

int pitchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* (*watch_interrupts)()) {
    cli_found found[option_count];
    int status = 0;
    int next = cli_read_command_line(argc, argv, &program, found, out, &status);
    if (next == 0) return status;
    if (found[rate_option].given && !found[count_option].given) {
        cli_problem problem{&options[rate_option], found[rate_option].text, "-n"};
        return cli_answer_problem(out, &program, &problem);
    }
    if (found[reply_count_option].given && !found[reply_option].given) {
        cli_problem problem{&options[reply_count_option], found[reply_count_option].text, "-reply"};
        return cli_answer_problem(out, &program, &problem);
    }
    if (argc - next < 3) return cli_usage(out, &program);
    const char* bind_text = found[bind_option].text;
    const char* interface_text = found[interface_option].text;
    const char* host = argv[next];
    const char* port_text = argv[next + 1];
    const char* message = argv[next + 2];
    const char* file_name = nullptr;
    if (std::strcmp(message, "-f") == 0) {
        if (argc - next < 4) return cli_usage(out, &program);
        file_name = argv[next + 3];
    }

    std::uint32_t bind_ip = 0;
    if (bind_text != nullptr && (bind_ip = net_resolve(bind_text)) == 0) return invalid_host(out, bind_text);
    std::uint32_t interface_ip = 0;
    if (interface_text != nullptr && (interface_ip = net_resolve(interface_text)) == 0) {
        return invalid_host(out, interface_text);
    }
    destination to{net_resolve(host), 0};
    if (to.ip == 0) return invalid_host(out, host);
    // A time-to-live of 0 keeps multicast on this host; a unicast or broadcast
    // datagram with it could never leave, and the system refuses it.
    if (found[ttl_option].given && found[ttl_option].number == 0 && !is_multicast(to.ip)) {
        cli_problem problem{&options[ttl_option], found[ttl_option].text};
        return cli_answer_problem(out, &program, &problem);
    }
    net_address to_address = net_address_from_ipv4(to.ip);
    if (found[size_option].given && !size_possible(found, &to_address)) {
        cli_problem problem{&options[size_option], found[size_option].text};
        return cli_answer_problem(out, &program, &problem);
    }
    int port_value = 0;
    if (!cli_read_port(port_text, &to.port, &port_value)) {
        std::fprintf(out, "impossible port %d\n", port_value);
        return 1;
    }

    // Bound to the chosen address with a free port, or left for the first send to bind.
    std::uint16_t flags = bind_text != nullptr ? DGRAM_BIND_ADDRESS_ONLY : 0;
    if (found[broadcast_option].given) flags |= DGRAM_BROADCAST;
    // JSON replies carry their time and destination, as catchel's JSON lines do.
    if (found[reply_option].given && found[json_option].given) flags |= DGRAM_DETAILS;
    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, 0, flags);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot initialize socket err %d\n", rc);
        return -1;
    }
    status = set_send_options(out, ep, to.ip, found, interface_ip);
    if (status == 0) {
        status = send_and_listen(out, ep, &to_address, to.port, message, file_name, found, watch_interrupts);
    }
    dgram_close(ep);
    return status;
}
