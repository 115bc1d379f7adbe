// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include "catchel.h"

#include <initializer_list>

#include "cmdline/cmdline.h"
#include "records/records.h"

namespace {

constexpr std::uint32_t receive_wait_us = 1000000;
// The system's default receive buffer holds a few milliseconds of a flood;
// with this much room a burst waits in the kernel until catchel catches up.
constexpr int socket_receive_buffer = 4 << 20;

enum option_index {
    bind_option,
    interface_option,
    source_option,
    hex_option,
    time_option,
    destination_option,
    json_option,
    count_option,
    idle_option,
    ipv6_option,
    option_count
};
constexpr long long largest_number = 9223372036854775807;
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "receive on this local address only (an address or a name)", true},
    {"-if", cli_value::text, "<if>", 0, 0, "join the group on this interface: an address it holds, its name or index",
     false},
    {"-source", cli_value::text, "<ip>", 0, 0, "take the group's datagrams from this source only", false},
    {"-x", cli_value::none, nullptr, 0, 0, "show all bytes of each datagram as a hex dump", false},
    {"-t", cli_value::none, nullptr, 0, 0, "begin each record with the arrival time, UTC", false},
    {"-v", cli_value::none, nullptr, 0, 0,
     "name the address each datagram was sent to; tell kernel drops; say why a system call failed", false},
    {"-json", cli_value::none, nullptr, 0, 0, "print one JSON object per line for each datagram", false},
    {"-c", cli_value::number, "<count>", 1, largest_number, "exit after printing this many datagrams", false},
    {"-w", cli_value::number, "<seconds>", 1, largest_number, "exit after this long without a datagram", false},
    {"-6", cli_value::none, nullptr, 0, 0, "one IPv6 socket for both families: a port alone takes every local address",
     false},
};

const cli_program program = {"catchel",
                             "Usage: catchel [-bind <ip>] <port>\n"
                             "       catchel [-bind <ip>] <multicast ip> <port>\n",
                             -2, options, option_count};

const catchel_options plain_records{record_format{false, false, false, false}, 0, 0};

// The status that ends the loop of itself, or -1 while it goes on. Each
// wait lasts a second: so many time-outs in a row mean at least so many
// seconds without a datagram.
int limit_reached(const catchel_options* options, std::uint64_t printed, std::uint64_t idle_waits) {
    if (options->count != 0 && printed >= options->count) return 0;
    if (options->idle_seconds != 0 && idle_waits >= options->idle_seconds) {
        return printed > 0 ? 0 : CATCHEL_NOTHING_ARRIVED;
    }
    return -1;
}

// An option that needs a group, given without one: the index of the first, or -1.
int group_option_without_group(const cli_found* found, bool has_group) {
    if (has_group) return -1;
    for (int i : {interface_option, source_option}) {
        if (found[i].given) return i;
    }
    return -1;
}

// Writes out what is gathered, and tells the interrupt watch once it has left.
bool write_out(record_output* pending, std::FILE* out) {
    bool written = record_write_out(pending, out);
    cli_output_moved();
    return written;
}

// The end of the run: the drops since the last datagram told, then all
// that is gathered written out.
int end_run(record_output* pending, net_endpoint* ep, std::FILE* out, int status) {
    record_add_late_drops(pending, ep);
    return write_out(pending, out) ? status : CATCHEL_OUTPUT_FAILED;
}

// The command line as read, its addresses resolved, before the endpoint opens.
struct catchel_command {
    cli_found found[option_count];
    const char* group_text;  // null: no group
    net_address group;
    const char* bind_text;
    net_address bind;  // the wildcard of the endpoint's family when not bound
    net_interface on;
    net_address source;
    std::uint16_t port;
    catchel_options chosen;
};

// The family the endpoint takes: IPv6 when -6, the group or -bind asks for it.
net_family endpoint_family(const catchel_command* command) {
    bool ipv6 = command->found[ipv6_option].given;
    if (command->bind_text != nullptr) ipv6 = ipv6 || net_address_family(&command->bind) == net_family::ipv6;
    if (command->group_text != nullptr) ipv6 = ipv6 || net_address_family(&command->group) == net_family::ipv6;
    return ipv6 ? net_family::ipv6 : net_family::ipv4;
}

// -6 with an IPv4 group or -bind, or a group of the other family than
// -bind; false once told, with the status.
bool families_agree(std::FILE* out, catchel_command* command, int* status) {
    const char* ipv4_text = nullptr;
    if (command->group_text != nullptr && net_address_family(&command->group) != net_family::ipv6) {
        ipv4_text = "an IPv6 group";
    } else if (command->bind_text != nullptr && net_address_family(&command->bind) != net_family::ipv6) {
        ipv4_text = "an IPv6 -bind";
    }
    if (command->found[ipv6_option].given && ipv4_text != nullptr) {
        cli_problem problem{&options[ipv6_option], nullptr, ipv4_text};
        *status = cli_answer_problem(out, &program, &problem);
        return false;
    }
    if (command->group_text != nullptr && command->bind_text != nullptr &&
        net_address_family(&command->group) != net_address_family(&command->bind)) {
        *status = cli_tell_mixed_families(out, command->bind_text, command->group_text);
        return false;
    }
    return true;
}

// Fills `command` from the command line and `say` from -v; false, with the
// exit status in `*status`, once the problem is told.
bool read_command(int argc, char** argv, cli_teller* say, catchel_command* command, int* status) {
    cli_found* found = command->found;
    int next = argc < 2 ? argc : cli_read_command_line(argc, argv, &program, found, say->out, status);
    if (next == 0) return false;
    if (next >= argc) {
        *status = cli_usage(say->out, &program);
        return false;
    }
    say->verbose = found[destination_option].given;
    // Two arguments or more: the first names the group to join.
    bool has_group = argc - next >= 2;
    if (int alone = group_option_without_group(found, has_group); alone >= 0) {
        cli_problem problem{&options[alone], found[alone].text, "a multicast group"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }

    *status = -2;
    bool prefer_ipv6 = found[ipv6_option].given;
    command->bind_text = found[bind_option].text;
    if (command->bind_text != nullptr &&
        !cli_take_address(say, command->bind_text, prefer_ipv6, cli_address_role::host, &command->bind)) {
        return false;
    }
    command->group_text = has_group ? argv[next++] : nullptr;
    if (has_group && !cli_take_address(say, command->group_text, prefer_ipv6, cli_address_role::group,
                                       &command->group)) {
        return false;
    }
    const char* interface_text = found[interface_option].text;
    if (interface_text != nullptr && !cli_take_interface(say, interface_text, &command->on)) return false;
    const char* source_text = found[source_option].text;
    if (source_text != nullptr &&
        !cli_take_address(say, source_text, prefer_ipv6, cli_address_role::host, &command->source)) {
        return false;
    }
    if (!families_agree(say->out, command, status)) return false;
    if (command->bind_text == nullptr) command->bind.family = endpoint_family(command);
    *status = 1;
    if (!cli_take_port(say->out, argv[next], &command->port)) return false;
    command->chosen = catchel_options{record_format{found[hex_option].given, found[time_option].given,
                                                    found[destination_option].given, found[json_option].given},
                                      static_cast<std::uint64_t>(found[count_option].number),
                                      static_cast<std::uint64_t>(found[idle_option].number)};
    return true;
}

// The group's membership as the options ask: on a chosen interface, for
// one source, or else on the interface the system picks.
int join(net_endpoint* ep, const catchel_command* command, net_reason* reason) {
    const net_interface* on = command->found[interface_option].given ? &command->on : nullptr;
    if (command->found[source_option].given) {
        return dgram_join_source_group(ep, &command->group, &command->source, on, reason);
    }
    return dgram_join(ep, &command->group, on, reason);
}

}  // namespace

// A datagram already queued behind the one just read is read at once,
// without a wait, and its record joins the output still to be written;
// whatever is to be written leaves before catchel waits, so no record waits
// for the next datagram.
int catchel_receive(net_endpoint* ep, std::FILE* out, record_run* state, const std::atomic<int>* stop,
                    const catchel_options* options) {
    if (options == nullptr) options = &plain_records;
    record_output pending;
    record_output_init(&pending, cli_is_terminal(out), options->format);
    bool maybe_queued = false;
    const std::uint64_t received_before = state->received;
    std::uint64_t idle_waits = 0;
    for (;;) {
        record_datagram datagram{};
        int n = maybe_queued ? record_receive(&pending, ep, &datagram, 0) : NET_TIMEOUT;
        if (n == NET_TIMEOUT) {
            if (!write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
            if (stop->load() != 0) return end_run(&pending, ep, out, 0);
            n = record_receive(&pending, ep, &datagram, receive_wait_us);
            if (n == NET_TIMEOUT) ++idle_waits;
        }
        maybe_queued = n >= 0;
        bool stopping = stop->load() != 0;
        if (n >= 0) idle_waits = 0;
        // An interrupt cuts the wait short; that is no failure to report.
        if (n >= 0 || !stopping) record_add_result(&pending, state, &datagram, n);
        int ending = limit_reached(options, state->received - received_before, idle_waits);
        if (stopping || ending >= 0) return end_run(&pending, ep, out, stopping ? 0 : ending);
        if (record_batch_full(&pending) && !write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
    }
}

int catchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* stop) {
    cli_teller say{out, false};
    catchel_command command{};
    int status = 0;
    if (!read_command(argc, argv, &say, &command, &status)) return status;

    bool has_group = command.group_text != nullptr;
    std::uint16_t open_flags = (has_group ? DGRAM_MULTIPOINT : 0) |
                               (record_wants_details(&command.chosen.format) ? DGRAM_DETAILS : 0) |
                               (command.found[ipv6_option].given ? DGRAM_DUAL_STACK : 0);
    net_endpoint* ep = nullptr;
    net_reason reason{};
    int rc = dgram_open_address(&ep, &command.bind, command.port, open_flags, &reason);
    if (rc != NET_OK) return cli_tell_failure(&say, "cannot initialize socket", rc, &reason, -1);
    if (has_group && (rc = join(ep, &command, &reason)) != NET_OK) {
        cli_tell_failure(&say, "cannot join multicast group", rc, &reason, -2);
        dgram_close(ep);
        return -2;
    }
    // Best effort: a smaller buffer loses datagrams only in bursts, and says nothing.
    dgram_set_receive_buffer(ep, socket_receive_buffer);
    record_run state{0, 0};
    status = catchel_receive(ep, out, &state, stop, &command.chosen);
    dgram_close(ep);
    return status;
}
