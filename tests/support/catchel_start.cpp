#include "catchel_start.h"

#include <gtest/gtest.h>

#include "plain_udp.h"

namespace {
constexpr int attempts = 5;
constexpr int start_wait_ms = 10000;
constexpr int poll_ms = 10;
}  // namespace

running_program* start_catchel(const std::vector<std::string>& args, std::uint16_t* port, std::uint32_t ip) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        *port = plain_free_port();
        std::vector<std::string> with_port = args;
        with_port.push_back(std::to_string(*port));
        running_program* child = start_program(CATCHEL_PATH, with_port);
        for (int waited = 0; waited < start_wait_ms; waited += poll_ms) {
            if (plain_port_held(ip, *port)) return child;
            read_output_for(child, poll_ms);
            if (output_so_far(child).find("cannot initialize socket") != std::string::npos) break;
        }
        stop_program(child);
    }
    ADD_FAILURE() << "catchel did not take a port";
    return nullptr;
}
