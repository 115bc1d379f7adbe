// catchel [-bind <ip>] <port>
// catchel [-bind <ip>] <multicast ip> <port>
//
// Prints every datagram that reaches the port until it is stopped.
#include "catchel.h"

#include "cmdline/cmdline.h"
#include "records/records.h"

namespace {

constexpr std::uint32_t receive_wait_us = 1000000;
// The system's default receive buffer holds a few milliseconds of a flood;
// with this much room a burst waits in the kernel until catchel catches up.
constexpr int socket_receive_buffer = 4 << 20;

enum option_index { bind_option, option_count };
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "receive on this local address only (an address or a name)", true},
};

const cli_program program = {"catchel",
                             "Usage: catchel [-bind <ip>] <port>\n"
                             "       catchel [-bind <ip>] <multicast ip> <port>\n",
                             -2, options, option_count};

}  // namespace

// A datagram already queued behind the one just read is read at once,
// without a wait, and its record joins the output still to be written;
// whatever is to be written leaves before catchel waits, so no record waits
// for the next datagram.
int catchel_receive(net_endpoint* ep, std::FILE* out, catchel_state* state, const std::atomic<int>* stop) {
    record_output pending;
    record_output_init(&pending, cli_is_terminal(out), record_format{});
    bool maybe_queued = false;
    for (;;) {
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        int n = maybe_queued ? dgram_receive_from(ep, record_data(&pending), RECORD_DATA_CAPACITY, &ip, &port, 0, 0)
                             : NET_TIMEOUT;
        if (n == NET_TIMEOUT) {
            if (!record_write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
            if (stop->load() != 0) return 0;
            n = dgram_receive_from(ep, record_data(&pending), RECORD_DATA_CAPACITY, &ip, &port, receive_wait_us, 0);
        }
        maybe_queued = n >= 0;
        bool stopping = stop->load() != 0;
        if (n >= 0) {
            state->last_reported = 0;
            record_datagram datagram{++state->received, ip, port, n, false, 0, false, 0, false, 0};
            record_add(&pending, &datagram);
        } else if (n != state->last_reported && !stopping) {
            // An interrupt cuts the wait short; that is no failure to report.
            record_add_report(&pending, n);
            state->last_reported = n;
        }
        if (stopping || record_batch_full(&pending)) {
            if (!record_write_out(&pending, out)) return CATCHEL_OUTPUT_FAILED;
            if (stopping) return 0;
        }
    }
}

int catchel_run(int argc, char** argv, std::FILE* out, const std::atomic<int>* stop) {
    if (argc < 2) return cli_usage(out, &program);
    cli_found found[option_count];
    int status = 0;
    int next = cli_read_command_line(argc, argv, &program, found, out, &status);
    if (next == 0) return status;
    if (next >= argc) return cli_usage(out, &program);
    const char* bind_text = found[bind_option].text;

    std::uint32_t bind_ip = 0;
    if (bind_text != nullptr && (bind_ip = net_resolve(bind_text)) == 0) {
        std::fprintf(out, "invalid host/ip %s\n", bind_text);
        return -2;
    }
    // Two arguments or more: the first names the group to join.
    std::uint32_t group = 0;
    if (argc - next >= 2) {
        if ((group = net_resolve(argv[next])) == 0) {
            std::fprintf(out, "invalid ip address %s\n", argv[next]);
            return -2;
        }
        ++next;
    }
    std::uint16_t port = 0;
    int port_value = 0;
    if (!cli_read_port(argv[next], &port, &port_value)) {
        std::fprintf(out, "impossible port %d\n", port_value);
        return 1;
    }

    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, port, group != 0 ? DGRAM_MULTIPOINT : 0);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot initialize socket err %d\n", rc);
        return -1;
    }
    if (group != 0 && (rc = dgram_join_group(ep, group)) != NET_OK) {
        std::fprintf(out, "cannot join multicast group err %d\n", rc);
        dgram_close(ep);
        return -2;
    }
    // Best effort: a smaller buffer loses datagrams only in bursts, and says nothing.
    dgram_set_receive_buffer(ep, socket_receive_buffer);
    catchel_state state{0, 0};
    status = catchel_receive(ep, out, &state, stop);
    dgram_close(ep);
    return status;
}
