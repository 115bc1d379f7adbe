// Fault injection at the platform boundary. Test programs link fault.cpp
// with the linker wrapping every plat_* symbol: each call is recorded, then
// passed to the real platform unless a fault was planned for it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform.h"

enum class fault_op {
    startup, cleanup, socket, close, bind, listen, accept, connect, select,
    send, sendto, send_batch, recv, recvfrom, recv_queued, enable_details, enable_coalescing, recv_details, recv_details_batch, drop_count, setsockopt, set_ipv4_by_index,
    getsockname, getpeername, lookup, lookup_address, free_lookup, interface_index, interface_name, interface_holding,
    last_error, error_text, steady_us, random, getsockopt, set_dont_fragment, set_nonblocking, alloc, free,
};

struct fault_call {
    fault_op op;
    net_socket sock;  // the socket the call worked on, or the one it made
    int level;        // setsockopt: level, option name and int value
    int name;
    int value;        // send_batch: its form; enable_details: what it asks for
};

// Forgets every planned fault and recorded call.
void fault_reset();

// The call to `op` that comes after `skip` more calls returns `result`
// instead of reaching the platform, `times` times in a row, leaving `error`
// as the platform's last error where it is not 0. A planned close still
// closes the socket; a planned alloc returns null and a planned socket or
// accept returns no socket, whatever `result` says.
void fault_plan(fault_op op, int result, int skip = 0, int times = 1, int error = 0);

// Calls `action` when the call to `op` that comes after `skip` more calls is
// made, before that call is faulted or passed on: a way for a test to act,
// as a signal would, in the middle of a loop it does not control.
void fault_on_call(fault_op op, void (*action)(), int skip = 0);

const std::vector<fault_call>& fault_calls();
int fault_count(fault_op op);

// Records allocated minus records freed since the last reset.
int fault_records_held();

// Start-ups taken minus start-ups released since the last reset.
int fault_startups_held();

#include <gtest/gtest.h>

// A case that starts with no fault planned and must end holding no
// start-up and no endpoint record.
class balanced_test : public testing::Test {
protected:
    void SetUp() override { fault_reset(); }
    void TearDown() override {
        EXPECT_EQ(fault_startups_held(), 0) << "start-ups left held";
        EXPECT_EQ(fault_records_held(), 0) << "endpoint records left allocated";
    }
};
