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
    option_count
};
constexpr long long largest_number = 9223372036854775807;
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "receive on this local address only (an address or a name)", true},
    {"-if", cli_value::text, "<ip>", 0, 0, "join the group on the interface holding this local address", false},
    {"-source", cli_value::text, "<ip>", 0, 0, "take the group's datagrams from this source only", false},
    {"-x", cli_value::none, nullptr, 0, 0, "show all bytes of each datagram as a hex dump", false},
    {"-t", cli_value::none, nullptr, 0, 0, "begin each record with the arrival time, UTC", false},
    {"-v", cli_value::none, nullptr, 0, 0, "name the address each datagram was sent to; tell kernel drops", false},
    {"-json", cli_value::none, nullptr, 0, 0, "print one JSON object per line for each datagram", false},
    {"-c", cli_value::number, "<count>", 1, largest_number, "exit after printing this many datagrams", false},
    {"-w", cli_value::number, "<seconds>", 1, largest_number, "exit after this long without a datagram", false},
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

// An address option's value, resolved as "-bind" is; false, with its
// message, when it names no address. An option not given leaves 0.
bool resolve_option(std::FILE* out, const cli_found& found, std::uint32_t* ip) {
    if (found.text != nullptr && (*ip = net_resolve(found.text)) == 0) {
        std::fprintf(out, "invalid host/ip %s\n", found.text);
        return false;
    }
    return true;
}

// The group's membership as the options ask: on a chosen interface, for
// one source, or else on the interface the system picks.
int join(net_endpoint* ep, std::uint32_t group, std::uint32_t source, std::uint32_t interface_ip) {
    if (source != 0) return dgram_join_source(ep, group, source, interface_ip);
    if (interface_ip != 0) return dgram_join_group_on(ep, group, interface_ip);
    return dgram_join_group(ep, group);
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
    if (argc < 2) return cli_usage(out, &program);
    cli_found found[option_count];
    int status = 0;
    int next = cli_read_command_line(argc, argv, &program, found, out, &status);
    if (next == 0) return status;
    if (next >= argc) return cli_usage(out, &program);
    // Two arguments or more: the first names the group to join.
    bool has_group = argc - next >= 2;
    if (int alone = group_option_without_group(found, has_group); alone >= 0) {
        cli_problem problem{&options[alone], found[alone].text, "a multicast group"};
        return cli_answer_problem(out, &program, &problem);
    }

    std::uint32_t bind_ip = 0;
    if (!resolve_option(out, found[bind_option], &bind_ip)) return -2;
    std::uint32_t group = 0;
    if (has_group) {
        if ((group = net_resolve(argv[next])) == 0) {
            std::fprintf(out, "invalid ip address %s\n", argv[next]);
            return -2;
        }
        ++next;
    }
    std::uint32_t interface_ip = 0;
    std::uint32_t source = 0;
    if (!resolve_option(out, found[interface_option], &interface_ip) ||
        !resolve_option(out, found[source_option], &source)) {
        return -2;
    }
    std::uint16_t port = 0;
    int port_value = 0;
    if (!cli_read_port(argv[next], &port, &port_value)) {
        std::fprintf(out, "impossible port %d\n", port_value);
        return 1;
    }

    catchel_options chosen{record_format{found[hex_option].given, found[time_option].given,
                                         found[destination_option].given, found[json_option].given},
                           static_cast<std::uint64_t>(found[count_option].number),
                           static_cast<std::uint64_t>(found[idle_option].number)};
    std::uint16_t open_flags = (group != 0 ? DGRAM_MULTIPOINT : 0) | (record_wants_details(&chosen.format) ? DGRAM_DETAILS : 0);
    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, port, open_flags);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot initialize socket err %d\n", rc);
        return -1;
    }
    if (group != 0 && (rc = join(ep, group, source, interface_ip)) != NET_OK) {
        std::fprintf(out, "cannot join multicast group err %d\n", rc);
        dgram_close(ep);
        return -2;
    }
    // Best effort: a smaller buffer loses datagrams only in bursts, and says nothing.
    dgram_set_receive_buffer(ep, socket_receive_buffer);
    record_run state{0, 0};
    status = catchel_receive(ep, out, &state, stop, &chosen);
    dgram_close(ep);
    return status;
}
