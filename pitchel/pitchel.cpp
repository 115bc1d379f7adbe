// pitchel [-bind <ip>] <host/ip> <port> <msg>
// pitchel [-bind <ip>] <host/ip> <port> -f <file>
#include "pitchel.h"

#include <cstdint>
#include <cstring>

#include "cmdline/cmdline.h"
#include "netlayer/netlayer.h"

namespace {

constexpr std::uint32_t send_wait_us = 100000;
constexpr int file_read_limit = 9999;
constexpr int multicast_ttl = 1;
constexpr int multicast_loop = 1;

enum option_index { bind_option, option_count };
const cli_option options[option_count] = {
    {"-bind", cli_value::text, "<ip>", 0, 0, "send from this local address (an address or a name), any free port", true},
};

const cli_program program = {"pitchel",
                             "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"
                             "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n",
                             1, options, option_count};

int invalid_host(std::FILE* out, const char* text) {
    std::fprintf(out, "invalid host/ip %s\n", text);
    return -2;
}

// 224.x (local control) and 239.x (administratively scoped) keep the
// platform's own multicast settings.
bool is_multicast_destination(std::uint32_t ip) {
    std::uint32_t first_octet = ip >> 24;
    return first_octet >= 225 && first_octet <= 238;
}

// The message travels with its zero byte; a file travels as its first bytes.
int send_payload(std::FILE* out, net_endpoint* ep, const char* message, const char* file_name,
                 std::uint32_t ip, std::uint16_t port) {
    char contents[file_read_limit];
    const void* data = message;
    int len = static_cast<int>(std::strlen(message)) + 1;
    if (file_name != nullptr) {
        std::FILE* file = std::fopen(file_name, "rb");
        if (file == nullptr) {
            std::fprintf(out, "file '%s' not found\n", file_name);
            return 1;
        }
        std::size_t got = std::fread(contents, 1, sizeof contents, file);
        bool failed = std::ferror(file) != 0;
        std::fclose(file);
        if (failed) {
            std::fprintf(out, "cannot read file '%s'\n", file_name);
            return 1;
        }
        data = contents;
        len = static_cast<int>(got);
    }
    int rc = dgram_send_to(ep, data, len, ip, port, send_wait_us);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot send err %d\n", rc);
        return -1;
    }
    return 0;
}

}  // namespace

int pitchel_run(int argc, char** argv, std::FILE* out) {
    cli_found found[option_count];
    int status = 0;
    int next = cli_read_command_line(argc, argv, &program, found, out, &status);
    if (next == 0) return status;
    if (argc - next < 3) return cli_usage(out, &program);
    const char* bind_text = found[bind_option].text;
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
    std::uint32_t destination = net_resolve(host);
    if (destination == 0) return invalid_host(out, host);
    std::uint16_t port = 0;
    int port_value = 0;
    if (!cli_read_port(port_text, &port, &port_value)) {
        std::fprintf(out, "impossible port %d\n", port_value);
        return 1;
    }

    // Bound to the chosen address with a free port, or left for the first send to bind.
    net_endpoint* ep = nullptr;
    int rc = dgram_open(&ep, bind_ip, 0, bind_text != nullptr ? DGRAM_BIND_ADDRESS_ONLY : 0);
    if (rc != NET_OK) {
        std::fprintf(out, "cannot initialize socket err %d\n", rc);
        return -1;
    }
    if (is_multicast_destination(destination) &&
        (rc = dgram_set_multicast(ep, multicast_ttl, multicast_loop)) != NET_OK) {
        std::fprintf(out, "cannot set multicast parameter err %d\n", rc);
        status = -1;
    } else {
        status = send_payload(out, ep, message, file_name, destination, port);
    }
    dgram_close(ep);
    return status;
}
