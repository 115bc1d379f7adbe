// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include "catchel.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>

#include "cmdline/cmdline.h"
#include "diagnose/diagnose.h"
#include "intake.h"
#include "measure.h"
#include "metrics_export.h"
#include "probes/probes.h"
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
    stats_option,
    interval_option,
    quiet_option,
    echo_option,
    reuse_option,
    rcvbuf_option,
    rcvbuf_force_option,
    pcap_option,
    why_option,
    metrics_option,
    metrics_file_option,
    option_count
};
constexpr long long largest_number = 9223372036854775807;
constexpr long long longest_interval = 1000000000;  // seconds; in microseconds it still fits
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
    {"-stats", cli_value::none, nullptr, 0, 0, "at the end, a summary per stream of probes and a total", false},
    {"-i", cli_value::number, "<seconds>", 1, longest_interval, "the same figures for each interval this long", false},
    {"-q", cli_value::none, nullptr, 0, 0, "print no record per datagram and no time-out lines", false},
    {"-echo", cli_value::none, nullptr, 0, 0, "send each datagram back to its source", false},
    {"-reuse", cli_value::none, nullptr, 0, 0, "share the port with other sockets that ask for it too", false},
    {"-rcvbuf", cli_value::number, "<bytes>", 1, 2147483647, "ask for this receive buffer; -v: tell the one granted",
     false},
    {"-rcvbuf-force", cli_value::none, nullptr, 0, 0,
     "past the system's cap on -rcvbuf, where it lets catchel (Linux: CAP_NET_ADMIN)", false},
    {"-pcap", cli_value::text, "<file>", 0, 0, "write each datagram to this pcap capture; - : to stdout, no records",
     false},
    {"-why", cli_value::none, nullptr, 0, 0, "say what stops the group, if none arrives within -w (default 5 s)", false},
    {"-metrics", cli_value::text, "[<ip>:]<port>", 0, 0,
     "serve the figures to Prometheus at /metrics on this port ([::1]:<port> for IPv6)", false},
    {"-metrics-file", cli_value::text, "<file>", 0, 0,
     "write the same figures to this file every -i seconds (default 10), for a textfile collector", false},
};

const cli_program program = {"catchel",
                             "Usage: catchel [-bind <ip>] <port>\n"
                             "       catchel [-bind <ip>] <multicast ip> <port>\n",
                             -2, options, option_count};

const catchel_options plain_records{record_format{false, false, false, false}, 0, 0, false, 0, false, false};

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
    for (int i : {interface_option, source_option, why_option}) {
        if (found[i].given) return i;
    }
    return -1;
}

// What the loop keeps beside the records; `measure` is null when neither
// -stats nor -i asks for figures.
struct receive_session {
    const catchel_options* options;
    catchel_intake intake;
    catchel_measure* measure;
    capture_output* capture;  // null: no -pcap, or the capture is lost
    bool capture_lost;        // a write to the capture file failed and was told
    record_output pending;
    cli_teller say;           // a failed receive's reason, with -v and not among JSON lines
    catchel_metrics* metrics;  // null: neither -metrics nor -metrics-file
    net_address_port bound;    // the socket's own address and port, where -echo never sends
};

// Writes out what is gathered, the capture's records first, and tells the
// interrupt watch once it has left. A capture on standard output takes the
// records' place: they go nowhere, and its failure is the output's. A
// capture file that cannot be written is given up, once told after the
// records: the records and figures matter more than the copy.
bool write_out(record_output* pending, std::FILE* out, receive_session* session) {
    capture_output* capture = session->capture;
    bool captured = capture == nullptr || capture_output_write_out(capture);
    bool capture_is_output = capture != nullptr && capture->replaces_records;
    record_text text = record_take(pending);
    if (capture_is_output) text.length = 0;
    bool written = cli_write(out, text.bytes, text.length) && (captured || !capture_is_output);
    if (!captured && !capture_is_output) {
        cli_teller say{out, session->options->format.destination};
        cli_tell_file_failure(&say, "cannot write capture", capture->path, capture->error_number);
        session->capture = nullptr;
        session->capture_lost = true;
    }
    return written;
}

// Flushed as they are written, whatever buffer the stream has: a reader of
// a pipe acts on each line as it ends.
bool write_lines(std::string* lines, std::FILE* out) {
    bool written = cli_write(out, lines->data(), lines->size()) && std::fflush(out) == 0;
    lines->clear();
    return written;
}

// The records gathered before `split`, then the lines, then the record
// after them: the lines of an interval come before the record of the
// datagram that ended it.
bool write_around(record_output* pending, std::size_t split, std::string* lines, std::FILE* out) {
    record_text text = record_take(pending);
    return cli_write(out, text.bytes, split) && write_lines(lines, out) &&
           cli_write(out, text.bytes + split, text.length - split);
}

// Best effort: a buffer smaller than asked loses datagrams only in bursts,
// and says nothing. Forced past the system's cap where it lets catchel, and
// where it does not, capped as an ordinary asking is. Once, where the plan
// tells it: a refused forcing with its reason, and the buffer granted.
void size_receive_buffer(net_endpoint* ep, std::FILE* out, int bytes, bool force, bool tell) {
    net_reason reason{};
    if (!force || dgram_force_receive_buffer(ep, bytes, &reason) != NET_OK) {
        if (force && tell) {
            std::fprintf(out, "cannot force receive buffer\n");
            cli_teller say{out, true};
            cli_tell_reason(&say, &reason);
        }
        dgram_set_receive_buffer(ep, bytes);
    }
    int granted = 0;
    if (!tell || dgram_receive_buffer(ep, &granted, nullptr) != NET_OK) return;
    std::fprintf(out, "receive buffer %d bytes\n", granted);
}

// The end of the run: the drops since the last datagram told, all that is
// gathered written out, then the figures.
int end_run(record_output* pending, net_endpoint* ep, std::FILE* out, receive_session* session, int status) {
    std::uint32_t dropped = 0;
    if (!session->options->quiet && record_shows_drops(&session->options->format) &&
        dgram_drop_count(ep, &dropped) == NET_OK) {
        record_add_late_drops(pending, dropped);
    }
    if (!write_out(pending, out, session)) return CATCHEL_OUTPUT_FAILED;
    if (session->capture_lost && status == 0) status = CATCHEL_CAPTURE_LOST;
    if (session->measure == nullptr) return status;
    measure_end(session->measure, ep, session->options->stats);
    return write_lines(&session->measure->due, out) ? status : CATCHEL_OUTPUT_FAILED;
}

// Whether the datagram's source is one no echo may go to: the socket itself,
// or a group (both forged), where an echo would come back or reach many.
bool forged_source(const receive_session* session, const dgram_details* details) {
    if (net_address_is_multicast(&details->from)) return true;
    if (details->from_port != session->bound.port) return false;
    return net_address_equal(&details->from, &session->bound.address) ||
           (details->has_to && net_address_equal(&details->from, &details->to));
}

// Only a probe is echoed, marked as an echo, so that no reflector echoes it
// again: echoes between reflectors end at the first, and catchel sends at
// most one datagram for each it receives. The mark is taken off again
// before the record and the figures see the bytes.
void echo(receive_session* session, net_endpoint* ep, const dgram_details* from, char* data, int size) {
    probe_header header{};
    if (!probe_decode(data, static_cast<std::size_t>(size), &header) || header.echo || forged_source(session, from)) {
        return;
    }
    header.echo = true;
    probe_encode(&header, data);
    // No wait for room: an echo that cannot leave at once is counted, not waited for.
    net_address_port source{from->from, from->from_port};
    int rc = dgram_send_to_address(ep, data, size, &source, 0, nullptr);
    header.echo = false;
    probe_encode(&header, data);
    if (session->measure != nullptr) ++(rc == NET_OK ? session->measure->echoed : session->measure->echo_failed);
}

// `count` datagrams of `size` bytes each, one after another from `data`,
// with the same details, before their records: the echoes, the figures and
// the capture, while their bytes lie as they came.
void take_datagrams(receive_session* session, net_endpoint* ep, const dgram_details* from, char* data, int size,
                    int count) {
    if (session->measure != nullptr) measure_datagrams(session->measure, ep, from, data, size, count);
    for (int i = 0; i < count; ++i, data += size) {
        if (session->metrics != nullptr) catchel_metrics_datagram(session->metrics);
        if (session->options->echo) echo(session, ep, from, data, size);
        if (session->capture != nullptr) capture_output_add(session->capture, from, data, size);
    }
}

// The rest of a coalesced read, up to the count, each datagram taken and
// counted as the loop takes it but without the loop's turn around every
// one, which at a flood's rate costs as much as the taking. Its datagrams
// arrived together: no interval ends among them.
void take_rest_of_read(receive_session* session, net_endpoint* ep, record_run* state, const dgram_details* from,
                       std::uint64_t taken_so_far) {
    const std::uint64_t count = session->options->count;
    std::uint64_t most = count == 0 ? INT_MAX : std::min<std::uint64_t>(count - taken_so_far, INT_MAX);
    char* data = nullptr;
    int size = 0;
    int taken = intake_next_run(&session->intake, static_cast<int>(most), &data, &size);
    if (taken == 0) return;
    take_datagrams(session, ep, from, data, size, taken);
    for (int i = 0; i < taken; ++i) record_count(state);
}

// As record_add_result; quiet, a datagram is only counted and a time-out
// not told. A failure's line is followed by its reason, the lines before
// written out first; false when that write failed.
bool add_result(record_output* pending, record_run* state, record_datagram* datagram, int n,
                receive_session* session, const net_reason* reason, std::FILE* out) {
    int reported_before = state->last_reported;
    if (!session->options->quiet) {
        record_add_result(pending, state, datagram, n);
    } else if (n >= 0) {
        record_count(state);
    } else if (n != NET_TIMEOUT && n != state->last_reported) {
        record_add_report(pending, n);
        state->last_reported = n;
    }
    bool reported = n < 0 && n != reported_before && state->last_reported == n;
    if (!reported || !session->say.verbose || (reason->number == 0 && !reason->from_lookup)) return true;
    if (!write_out(pending, out, session)) return false;
    cli_tell_reason(&session->say, reason);
    return true;
}

// The command line read into what catchel is to do: its addresses
// resolved, before the endpoint opens.
struct catchel_plan {
    const char* group_text;  // null: no group
    net_address group;
    const char* bind_text;
    net_address bind;  // the wildcard of the endpoint's family when not bound
    std::uint16_t port;
    bool ipv6;                      // -6
    const net_interface* join_on;  // null: the interface the system picks
    net_interface on;
    const net_address* source;     // null: every source
    net_address source_address;
    const char* source_text;
    std::uint16_t open_flags;
    int receive_buffer;
    bool force_receive_buffer;  // -rcvbuf-force
    bool tell_receive_buffer;  // with -rcvbuf and -v; not among JSON lines, nor in a capture on standard output
    const char* capture_path;  // null: no -pcap
    bool why;
    std::uint64_t why_wait_us;  // -why waits -w seconds, or five
    catchel_options chosen;
    metrics_plan metrics;
};

// The family the endpoint takes: IPv6 when -6, the group or -bind asks for it.
net_family endpoint_family(const catchel_plan* command) {
    bool ipv6 = command->ipv6;
    if (command->bind_text != nullptr) ipv6 = ipv6 || net_address_family(&command->bind) == net_family::ipv6;
    if (command->group_text != nullptr) ipv6 = ipv6 || net_address_family(&command->group) == net_family::ipv6;
    return ipv6 ? net_family::ipv6 : net_family::ipv4;
}

// -6 with an IPv4 group or -bind, or a group of the other family than
// -bind or -source; false once told, with the status.
bool families_agree(std::FILE* out, catchel_plan* command, int* status) {
    const char* ipv4_text = nullptr;
    if (command->group_text != nullptr && net_address_family(&command->group) != net_family::ipv6) {
        ipv4_text = "an IPv6 group";
    } else if (command->bind_text != nullptr && net_address_family(&command->bind) != net_family::ipv6) {
        ipv4_text = "an IPv6 -bind";
    }
    if (command->ipv6 && ipv4_text != nullptr) {
        cli_problem problem{&options[ipv6_option], nullptr, ipv4_text};
        *status = cli_answer_problem(out, &program, &problem);
        return false;
    }
    if (command->group_text == nullptr) return true;
    // A source of the other family could only be joined mapped, and would never send to the group.
    const char* other_option = nullptr;
    const char* other_text = nullptr;
    if (command->bind_text != nullptr && net_address_family(&command->group) != net_address_family(&command->bind)) {
        other_option = "-bind";
        other_text = command->bind_text;
    } else if (command->source != nullptr &&
               net_address_family(&command->group) != net_address_family(command->source)) {
        other_option = "-source";
        other_text = command->source_text;
    }
    if (other_option == nullptr) return true;
    *status = cli_tell_mixed_families(out, other_option, other_text, command->group_text);
    return false;
}

// The options, their values and what they ask together, into `command`.
void plan_from_options(const cli_found* found, catchel_plan* command) {
    command->chosen = catchel_options{record_format{found[hex_option].given, found[time_option].given,
                                                    found[destination_option].given, found[json_option].given},
                                      static_cast<std::uint64_t>(found[count_option].number),
                                      static_cast<std::uint64_t>(found[idle_option].number),
                                      found[stats_option].given,
                                      static_cast<std::uint64_t>(found[interval_option].number),
                                      found[quiet_option].given,
                                      found[echo_option].given};
    bool has_group = command->group_text != nullptr;
    bool quiet = command->chosen.quiet;
    command->open_flags = (has_group ? DGRAM_MULTIPOINT : 0) |
                          catchel_details_needed(&command->chosen, found[pcap_option].given) |
                          (command->ipv6 ? DGRAM_DUAL_STACK : 0);
    if (found[reuse_option].given) command->open_flags |= DGRAM_REUSE;
    // Quiet, datagrams are read in batches, which take a run of them in one read.
    if (quiet) command->open_flags |= DGRAM_COALESCE;
    // Intervals follow a clock that setting the calendar clock does not move.
    if (command->chosen.interval_seconds != 0) command->open_flags |= DGRAM_STEADY_TIME;
    // Quiet, catchel is a load test's receiver: all the room there is.
    bool buffer_chosen = found[rcvbuf_option].given;
    command->receive_buffer = quiet ? DGRAM_FLOOD_RECEIVE_BUFFER : socket_receive_buffer;
    if (buffer_chosen) command->receive_buffer = static_cast<int>(found[rcvbuf_option].number);
    command->force_receive_buffer = found[rcvbuf_force_option].given;
    command->capture_path = found[pcap_option].text;
    bool capture_to_stdout = command->capture_path != nullptr && std::strcmp(command->capture_path, "-") == 0;
    command->tell_receive_buffer =
        buffer_chosen && found[destination_option].given && !found[json_option].given && !capture_to_stdout;
    command->why = found[why_option].given;
    long long wait_s = found[idle_option].given ? std::min(found[idle_option].number, longest_interval) : 5;
    command->why_wait_us = static_cast<std::uint64_t>(wait_s) * 1000000;
    // The figures count delays by each datagram's arrival time.
    if (command->metrics.listen_text != nullptr || command->metrics.file_path != nullptr) {
        command->open_flags |= DGRAM_ARRIVAL_TIMES;
    }
    std::uint64_t every_s = command->chosen.interval_seconds != 0 ? command->chosen.interval_seconds : 10;
    command->metrics.file_every_us = every_s * 1000000;
}

// Fills `command` from the command line and `say` from -v; false, with the
// exit status in `*status`, once the problem is told.
bool read_command(int argc, char** argv, cli_teller* say, catchel_plan* command, int* status) {
    cli_found found[option_count]{};
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
    command->join_on = interface_text != nullptr ? &command->on : nullptr;
    command->source_text = found[source_option].text;
    if (command->source_text != nullptr &&
        !cli_take_address(say, command->source_text, prefer_ipv6, cli_address_role::host,
                          &command->source_address)) {
        return false;
    }
    command->source = command->source_text != nullptr ? &command->source_address : nullptr;
    command->ipv6 = prefer_ipv6;
    if (!families_agree(say->out, command, status)) return false;
    if (command->bind_text == nullptr) command->bind.family = endpoint_family(command);
    *status = 1;
    if (!cli_take_port(say->out, argv[next], &command->port)) return false;
    // Forced to no size of its own: the room a flood may hold in the kernel is the user's to say.
    if (found[rcvbuf_force_option].given && !found[rcvbuf_option].given) {
        cli_problem problem{&options[rcvbuf_force_option], nullptr, "-rcvbuf"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    // The figures' lines would land inside a capture on standard output.
    const char* capture_path = found[pcap_option].text;
    if (capture_path != nullptr && std::strcmp(capture_path, "-") == 0 &&
        (found[stats_option].given || found[interval_option].given)) {
        cli_problem problem{&options[pcap_option], capture_path, "a file with -stats or -i"};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    command->metrics.listen_text = found[metrics_option].text;
    if (command->metrics.listen_text != nullptr &&
        !metrics_listen_parse(command->metrics.listen_text, &command->metrics.listen)) {
        cli_problem problem{&options[metrics_option], command->metrics.listen_text};
        *status = cli_answer_problem(say->out, &program, &problem);
        return false;
    }
    command->metrics.file_path = found[metrics_file_option].text;
    plan_from_options(found, command);
    return true;
}

// -why's watch over the join.
diag_watch* start_watch(net_endpoint* ep, const catchel_plan* command) {
    diag_receiver_plan plan{command->group,  command->port,          command->join_on, command->source,
                            command->chosen.format.json, command->why_wait_us};
    return diag_watch_start(ep, &plan);
}

// A datagram already queued behind the one just read is read at once,
// without a wait, and its record joins the output still to be written;
// whatever is to be written leaves before catchel waits, so no record waits
// for the next datagram.
int receive_loop(net_endpoint* ep, std::FILE* out, record_run* state, const std::atomic<int>* stop,
                 receive_session* session) {
    const catchel_options* options = session->options;
    record_output& pending = session->pending;
    bool maybe_queued = false;
    const std::uint64_t received_before = state->received;
    std::uint64_t idle_waits = 0;
    // Every read fills in what it tells of its datagram: one record serves
    // them all, as clearing one for each datagram would cost a quiet loop
    // as much as the rest of its work on it.
    record_datagram datagram{};
    for (;;) {
        char* data = nullptr;
        net_reason reason{};
        int n = maybe_queued ? intake_next(&session->intake, &pending, ep, &datagram, &data, 0, &reason)
                             : NET_TIMEOUT;
        if (n == NET_TIMEOUT) {
            if (!write_out(&pending, out, session)) return CATCHEL_OUTPUT_FAILED;
            if (stop->load() != 0) return end_run(&pending, ep, out, session, 0);
            n = session->metrics == nullptr ? NET_OK
                                            : catchel_metrics_wait(session->metrics, ep, receive_wait_us, &reason);
            if (n == NET_OK) {
                std::uint32_t wait_us = session->metrics == nullptr ? receive_wait_us : 0;
                n = intake_next(&session->intake, &pending, ep, &datagram, &data, wait_us, &reason);
            }
            if (n == NET_TIMEOUT) ++idle_waits;
        }
        maybe_queued = n >= 0;
        bool stopping = stop->load() != 0;
        if (n >= 0) idle_waits = 0;
        std::size_t earlier_records = pending.used;
        if (n >= 0) {
            take_datagrams(session, ep, &datagram.details, data, n, 1);
        } else if (n == NET_TIMEOUT && session->measure != nullptr) {
            measure_wait_ran_out(session->measure, ep);
        }
        // An interrupt cuts the wait short; that is no failure to report.
        if ((n >= 0 || !stopping) && !add_result(&pending, state, &datagram, n, session, &reason, out)) {
            return CATCHEL_OUTPUT_FAILED;
        }
        if (n >= 0) take_rest_of_read(session, ep, state, &datagram.details, state->received - received_before);
        if (session->measure != nullptr && !session->measure->due.empty() &&
            !write_around(&pending, earlier_records, &session->measure->due, out)) {
            return CATCHEL_OUTPUT_FAILED;
        }
        int ending = limit_reached(options, state->received - received_before, idle_waits);
        if (stopping || ending >= 0) return end_run(&pending, ep, out, session, stopping ? 0 : ending);
        if (record_batch_full(&pending) && !write_out(&pending, out, session)) {
            return CATCHEL_OUTPUT_FAILED;
        }
    }
}

}  // namespace

std::uint16_t catchel_details_needed(const catchel_options* options, bool capture) {
    const record_format& form = options->format;
    // JSON lines carry the time, the destination and the drops whatever else is asked.
    std::uint16_t needed = form.json ? DGRAM_DETAILS : 0;
    if (form.time || options->stats || options->interval_seconds != 0) needed |= DGRAM_ARRIVAL_TIMES;
    // -v names the destination and the marks each datagram arrived with, and tells the kernel's drops.
    if (form.destination) needed |= DGRAM_DESTINATIONS | DGRAM_DROP_COUNTS | DGRAM_MARKS;
    // A capture keeps each datagram's arrival time, destination and TTL.
    if (capture) needed |= DGRAM_ARRIVAL_TIMES | DGRAM_DESTINATIONS | DGRAM_MARKS;
    // An echo is never sent to catchel's own address, which the destination tells.
    if (options->echo) needed |= DGRAM_DESTINATIONS;
    return needed;
}

int catchel_receive(net_endpoint* ep, std::FILE* out, record_run* state, const std::atomic<int>* stop,
                    const catchel_options* options, capture_output* capture, catchel_metrics* metrics) {
    if (options == nullptr) options = &plain_records;
    bool verbose = options->format.destination && !options->format.json;
    receive_session session{options, {}, nullptr, capture, false, {}, cli_teller{out, verbose}, metrics, {}};
    // Without the socket's own address, a datagram is taken to be from itself by its destination alone.
    dgram_local_address(ep, &session.bound.address, &session.bound.port, nullptr);
    catchel_measure measure;
    // The metrics count whether or not the figures are printed.
    bool measuring = options->stats || options->interval_seconds != 0 || metrics != nullptr;
    int status = CATCHEL_NO_MEMORY;
    bool ready = intake_init(&session.intake, options->quiet);
    if (ready && measuring) {
        ready = measure_init(&measure, options->format.json, options->echo, options->interval_seconds, ep);
        session.measure = &measure;
        measure.keep_delays = metrics != nullptr;
        if (metrics != nullptr) catchel_metrics_begin(metrics, &measure, ep, options->echo);
    }
    if (ready && record_output_init(&session.pending, cli_is_terminal(out), options->format)) {
        status = receive_loop(ep, out, state, stop, &session);
    }
    if (metrics != nullptr) catchel_metrics_end(metrics);
    if (measuring) measure_free(&measure);
    intake_free(&session.intake);
    record_output_free(&session.pending);
    return status == CATCHEL_NO_MEMORY ? cli_tell_no_memory(out, "", status) : status;
}

int catchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* stop) {
    cli_teller say{out, false};
    catchel_plan plan{};
    int status = 0;
    if (!read_command(argc, argv, &say, &plan, &status)) return status;

    net_endpoint* ep = nullptr;
    net_reason reason{};
    int rc = dgram_open_address(&ep, &plan.bind, plan.port, plan.open_flags, &reason);
    if (rc != NET_OK) return cli_tell_failure(&say, "cannot initialize socket", rc, &reason, -1);
    catchel_metrics metrics{};
    bool exporting = plan.metrics.listen_text != nullptr || plan.metrics.file_path != nullptr;
    if (exporting && catchel_metrics_open(&metrics, &plan.metrics, &say, &reason) != NET_OK) {
        const char* where = plan.metrics.listen_text;
        dgram_close(ep);
        return reason.number == 0 && !reason.from_lookup ? cli_tell_no_memory(out, "", 1)
                                                         : cli_tell_metrics_failure(&say, where, &reason, 1);
    }
    diag_watch* watch = plan.why ? start_watch(ep, &plan) : nullptr;
    // On the chosen interface, else the system's pick; from one source where -source names it.
    if (plan.group_text != nullptr &&
        (rc = dgram_join(ep, &plan.group, plan.source, plan.join_on, &reason)) != NET_OK) {
        cli_tell_failure(&say, "cannot join multicast group", rc, &reason, -2);
        if (watch != nullptr) diag_watch_join_failed(watch, out);
        catchel_metrics_close(&metrics);
        dgram_close(ep);
        return -2;
    }
    size_receive_buffer(ep, out, plan.receive_buffer, plan.force_receive_buffer, plan.tell_receive_buffer);
    if (watch != nullptr && !diag_watch_run(watch, out, stop)) {
        catchel_metrics_close(&metrics);
        dgram_close(ep);
        return stop->load() != 0 ? 0 : CATCHEL_NOTHING_ARRIVED;
    }
    capture_output capture{};
    if (plan.capture_path != nullptr && !capture_output_open(&capture, plan.capture_path, out, ep)) {
        cli_tell_file_failure(&say, "cannot write capture", plan.capture_path, capture.error_number);
        catchel_metrics_close(&metrics);
        dgram_close(ep);
        return -1;
    }
    record_run state{0, 0};
    status = catchel_receive(ep, out, &state, stop, &plan.chosen, plan.capture_path != nullptr ? &capture : nullptr,
                             exporting ? &metrics : nullptr);
    capture_output_close(&capture);
    catchel_metrics_close(&metrics);
    dgram_close(ep);
    return status;
}
