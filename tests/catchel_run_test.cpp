// catchel's receive loop driven in-process: the boundary decides when waits
// run out or fail, and stands in for an interrupt where the loop cannot be
// reached from outside.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "catchel.h"
#include "fault.h"
#include "formats.h"
#include "in_process.h"
#include "measure.h"
#include "plain_udp.h"
#include "probes/probes.h"

namespace {

// What the boundary's actions reach: they take no arguments.
std::atomic<int> stop{0};
plain_udp sender{};
std::uint16_t receiver_port = 0;

void request_stop() {
    stop.store(1);
    fault_plan(fault_op::select, -1);  // as a wait cut short by a signal fails
}

std::string record(std::uint64_t number, const std::string& text, std::size_t size) {
    return "udp " + std::to_string(number) + " from 127.0.0.1:" + std::to_string(sender.port) + " sz " +
           std::to_string(size) + " :\n\n" + text + "\n";
}

class CatchelLoop : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        stop.store(0);
        sender = plain_udp_open();
        // A port the system picks: one found free a moment ago may be taken by a test running beside this one.
        ASSERT_EQ(dgram_open(&ep, net_make_ipv4(127, 0, 0, 1), 0, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
        ASSERT_EQ(net_local_address(ep, nullptr, &receiver_port), NET_OK);
    }
    void TearDown() override {
        dgram_close(ep);
        plain_udp_close(&sender);
        balanced_test::TearDown();
    }
    void send(const std::string& data) { ASSERT_TRUE(plain_udp_send(&sender, data, receiver_port)); }
    // Runs the loop until the planned stop; its output.
    std::string receive(record_run* state, const catchel_options* options = nullptr) {
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(catchel_receive(ep, out, state, &stop, options), 0);
        std::string text = read_back(out);
        std::fclose(out);
        return text;
    }
    net_endpoint* ep = nullptr;
};

}  // namespace

// Waits: 1 and 2 run out, 3 finds the datagram, 4 and 5 run out, 6 fails,
// 7 is cut short by the interrupt.
TEST_F(CatchelLoop, EachRunOfACodeIsReportedOnceAndTheInterruptNotAtAll) {
    send("one");
    fault_plan(fault_op::select, 0, 0, 2);
    fault_on_call(
        fault_op::select,
        [] {
            fault_plan(fault_op::select, 0, 0, 2);
            fault_on_call(
                fault_op::select,
                [] {
                    fault_plan(fault_op::select, -1);
                    fault_on_call(fault_op::select, request_stop);
                },
                1);  // counted from the call after the one that plans it
        },
        3);
    record_run state{0, 0};
    std::string out = receive(&state);
    EXPECT_EQ(out, "timeout/error err -1\n" + record(1, "one", 3) + "timeout/error err -1\ntimeout/error err -2\n");
    EXPECT_EQ(state.received, 1u);
    EXPECT_EQ(state.last_reported, NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::select), 7);
}

// -v follows the failure's line with the system's reason for it, whether
// the datagrams are read one at a time or, quiet, in batches.
TEST_F(CatchelLoop, AFailedReceiveIsToldWithItsReasonUnderVerbose) {
#ifdef _WIN32
    const int error = 10038;  // WSAENOTSOCK
    const std::string reason_text = "reason: ";  // Winsock's own words
#else
    const int error = EBADF;
    const std::string reason_text = std::string("reason: ") + std::strerror(EBADF);
#endif
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "records");
        stop.store(0);
        fault_plan(fault_op::select, -1, 0, 1, error);
        fault_on_call(fault_op::select, request_stop, 1);
        catchel_options verbose{record_format{false, false, true, false}, 0, 0, false, 0, quiet, false};
        record_run state{0, 0};
        std::string text = receive(&state, &verbose);
        EXPECT_EQ(text.rfind("timeout/error err -2\n" + reason_text, 0), 0u) << text;
        std::string number = " (" + std::to_string(error) + ")\n";
        EXPECT_EQ(text.size() - text.rfind(number), number.size()) << text;
    }
}

// The second datagram arrives while catchel waits, after the first record
// left: it must show its own bytes, not what lay there before.
TEST_F(CatchelLoop, ADatagramAfterAWaitShowsItsOwnText) {
    send("the first, longer one");
    fault_on_call(fault_op::select, [] { plain_udp_send(&sender, "short", receiver_port); }, 1);
    fault_on_call(fault_op::recv_queued, [] { stop.store(1); }, 1);
    record_run state{0, 0};
    EXPECT_EQ(receive(&state), record(1, "the first, longer one", 21) + record(2, "short", 5));
}

TEST_F(CatchelLoop, CounterGoesOnPastThirtyTwoBits) {
    struct row {
        std::uint64_t before;
        const char* shown;
    };
    for (row r : {row{2147483647u, "2147483648"}, {4294967295u, "4294967296"},
                  {18446744073709551614u, "18446744073709551615"}}) {
        SCOPED_TRACE(r.shown);
        stop.store(0);
        send(std::string("ab\0c", 4));
        fault_on_call(fault_op::recv_queued, [] { stop.store(1); });
        record_run state{r.before, 0};
        EXPECT_EQ(receive(&state), "udp " + std::string(r.shown) + " from 127.0.0.1:" +
                                       std::to_string(sender.port) + " sz 4 :\n\nab\n");
        EXPECT_EQ(state.received, r.before + 1);
    }
}

TEST_F(CatchelLoop, StopRequestedBeforeAnyDatagramWritesNothing) {
    stop.store(1);
    record_run state{0, 0};
    EXPECT_EQ(receive(&state), "");
    EXPECT_EQ(fault_count(fault_op::select), 0);
}

// Each wait lasts a second, so the idle time is counted in waits that ran
// out one after another; the boundary runs them out at once.
TEST_F(CatchelLoop, IdleTimeIsCountedInWaitsThatRunOutInARow) {
    struct row {
        bool datagram_first;
        std::uint64_t count;
        int status;
        int waits;
    };
    for (row r : {row{false, 0, CATCHEL_NOTHING_ARRIVED, 3}, {true, 0, 0, 4}, {true, 1, 0, 1}}) {
        SCOPED_TRACE(r.waits);
        int waits_before = fault_count(fault_op::select);
        if (r.datagram_first) send("one");
        // The first wait finds what was sent; the later ones run out.
        fault_plan(fault_op::select, 0, r.datagram_first ? 1 : 0, 10);
        record_run state{0, 0};
        catchel_options options{record_format{false, false, false, false}, r.count, 3, false, 0, false, false};
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(catchel_receive(ep, out, &state, &stop, &options), r.status);
        std::string text = read_back(out);
        std::fclose(out);
        std::string expected = r.datagram_first ? record(1, "one", 3) : "";
        if (r.count == 0) expected += "timeout/error err -1\n";
        EXPECT_EQ(text, expected);
        EXPECT_EQ(fault_count(fault_op::select) - waits_before, r.waits);
    }
}

// Intervals begin at the first arrival; in silence each wait that runs
// out counts a second. Waits: 1 finds the probes, 2 to 6 run out, 7 is cut
// short by the interrupt.
TEST_F(CatchelLoop, IntervalsEndedInSilenceAreToldAsTheWaitsRunOut) {
    for (std::uint64_t sequence : {1, 2, 4, 3, 3, 6}) send(probe(7, sequence, 0));
    fault_plan(fault_op::select, 0, 1, 5);
    fault_on_call(fault_op::select, request_stop, 6);
    catchel_options options{record_format{false, false, false, true}, 0, 0, true, 2, true, false};
    record_run state{0, 0};
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(catchel_receive(ep, out, &state, &stop, &options), 0);
    std::vector<std::string> lines = lines_of(read_back(out));
    std::fclose(out);
    ASSERT_EQ(lines.size(), 5u);
    const char* expected[][3] = {{"0.000", "2.000", "received"}, {"0.000", "2.000", "datagrams"},
                                 {"2.000", "4.000", "datagrams"}};
    const char* counts[] = {"6", "6", "0"};
    for (int i = 0; i < 3; ++i) {
        json_object outer;
        json_object line;
        ASSERT_TRUE(parse_json_line(lines[i], &outer) && parse_json_line(value_of(outer, "interval"), &line)) << lines[i];
        EXPECT_EQ(value_of(line, "start"), expected[i][0]);
        EXPECT_EQ(value_of(line, "end"), expected[i][1]);
        EXPECT_EQ(value_of(line, expected[i][2]), counts[i]) << lines[i];
    }
    EXPECT_NE(lines[0].find("\"lost\":1,\"duplicates\":1,\"reordered\":1,"), std::string::npos);
    EXPECT_EQ(lines[4].rfind("{\"total\":{\"datagrams\":6,", 0), 0u);
}

// Arrival times that step back an hour, as after the calendar clock is set
// back, with steady readings that go on: the intervals end by the latter.
TEST_F(CatchelLoop, IntervalsFollowTheSteadyClockWhileTheCalendarStepsBack) {
    constexpr std::uint64_t hour_us = 3600000000;
    using calendar_and_steady = std::pair<std::uint64_t, std::uint64_t>;
    catchel_measure measure;
    ASSERT_TRUE(measure_init(&measure, false, false, 1, ep));
    for (auto [calendar_us, steady_us] : {calendar_and_steady{5 * hour_us, 7}, {4 * hour_us, 1500007}}) {
        dgram_details details{};
        details.has_time = details.has_steady_time = true;
        details.time_us = calendar_us;
        details.steady_us = steady_us;
        measure_datagrams(&measure, ep, &details, "x", 1, 1);
    }
    measure_free(&measure);
    std::vector<std::string> lines = lines_of(measure.due);
    ASSERT_EQ(lines.size(), 1u) << measure.due;
    EXPECT_EQ(lines[0].rfind("interval start 0.000 end 1.000 datagrams 1 ", 0), 0u) << lines[0];
    // The boundary a second after the first arrival, by that arrival's calendar.
    const std::string end_time = " time 1970-01-01T05:00:01.000000Z";
    EXPECT_EQ(lines[0].substr(lines[0].size() - std::min(lines[0].size(), end_time.size())), end_time) << lines[0];
}

// Quiet, over either family: each probe comes back, marked as an echo, from
// catchel's port; an echo the system refuses is counted and ends nothing;
// the interrupt that ends the loop still has the summary written.
TEST(CatchelEcho, ProbesComeBackMarkedAndARefusedEchoIsCounted) {
    std::string echoed = probe(9, 5, 1);
    echoed.replace(0, 4, "ECH1");
    // Neither a datagram without the header nor an echo is echoed.
    const std::vector<std::string> sent = {probe(9, 1, 1) + std::string("ab\0c", 4), "no probe", probe(9, 2, 1),
                                           echoed, probe(9, 3, 1) + std::string(1400, 'e'), probe(9, 4, 1) + "last"};
    std::size_t bytes = 0;
    for (const std::string& data : sent) bytes += data.size();
    for (const char* address : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(address);
        fault_reset();
        stop.store(0);
        bool ipv6 = address[0] == ':';
        plain_udp peer = ipv6 ? plain_udp_open_ipv6() : plain_udp_open();
        net_address local{};
        ASSERT_EQ(net_address_parse(&local, address, nullptr), NET_OK);
        net_endpoint* ep = nullptr;
        ASSERT_EQ(dgram_open_address(&ep, &local, 0, DGRAM_BIND_ADDRESS_ONLY | DGRAM_DETAILS, nullptr), NET_OK);
        std::uint16_t port = 0;
        ASSERT_EQ(dgram_local_address(ep, nullptr, &port, nullptr), NET_OK);
        for (const std::string& data : sent) {
            ASSERT_TRUE(ipv6 ? plain_udp_send_ipv6(&peer, data, port) : plain_udp_send(&peer, data, port));
        }
        fault_plan(fault_op::sendto, -1, 1);
        fault_on_call(fault_op::sendto, [] { stop.store(1); }, 3);
        catchel_options options{record_format{false, false, false, false}, 0, 0, true, 0, true, true};
        record_run state{0, 0};
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(catchel_receive(ep, out, &state, &stop, &options), 0);
        std::string text = read_back(out);
        std::fclose(out);
        EXPECT_NE(text.find("\ntotal datagrams 6 bytes " + std::to_string(bytes) + " "), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.size() - 15), " echo_failed 1\n");
        for (std::size_t i : {0, 4, 5}) {
            std::string echo;
            std::uint16_t from_port = 0;
            ASSERT_TRUE(plain_udp_receive(&peer, &echo, 5000, &from_port));
            EXPECT_EQ(echo, "ECH1" + sent[i].substr(4));
            EXPECT_EQ(from_port, port);
        }
        dgram_close(ep);
        plain_udp_close(&peer);
    }
}

// Quiet, a run of probes sent as segments comes to catchel in one read
// where the system coalesces: each datagram is still counted in its stream
// and echoed on its own, unchanged and in order, up to the -c `limit`.
void expect_coalesced_run_taken(int limit) {
    constexpr int count = 40;
    constexpr int size = 64;
    fault_reset();
    stop.store(0);
    const net_address localhost = net_address_from_ipv4(net_make_ipv4(127, 0, 0, 1));
    net_endpoint* ep = nullptr;
    net_endpoint* peer = nullptr;
    ASSERT_EQ(dgram_open_address(&ep, &localhost, 0, DGRAM_BIND_ADDRESS_ONLY | DGRAM_ARRIVAL_TIMES | DGRAM_COALESCE,
                                 nullptr),
              NET_OK);
    ASSERT_EQ(dgram_open_address(&peer, &localhost, 0, DGRAM_BIND_ADDRESS_ONLY, nullptr), NET_OK);
    std::uint16_t port = 0;
    ASSERT_EQ(dgram_local_address(ep, nullptr, &port, nullptr), NET_OK);
    std::string run(count * size, '-');
    for (int i = 0; i < count; ++i) {
        probe_header header{7, static_cast<std::uint64_t>(i) + 1, 1, false};
        probe_encode(&header, &run[std::size_t(i) * size]);
    }
    // One call on Linux; one datagram a call where the system sends no segments.
    const net_address_port to{localhost, port};
    for (int sent = 0, n = 0; sent < count; sent += n) {
        n = dgram_send_batch(peer, &run[std::size_t(sent) * size], size, count - sent, &to, 1000000, nullptr);
        ASSERT_GT(n, 0);
    }
    // The last echo stops the run; a second's silence ends it where one goes missing.
    fault_on_call(fault_op::sendto, [] { stop.store(1); }, count - 1);
    catchel_options options{record_format{false, false, false, false}, std::uint64_t(limit), 1, true, 0, true, true};
    record_run state{0, 0};
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(catchel_receive(ep, out, &state, &stop, &options), 0);
    std::string text = read_back(out);
    std::fclose(out);
    const int taken = limit != 0 ? limit : count;
    EXPECT_NE(text.find(" received " + std::to_string(taken) + " lost 0 duplicates 0 reordered 0 "), std::string::npos);
    EXPECT_NE(text.find("total datagrams " + std::to_string(taken) + " bytes " + std::to_string(taken * size) + " "),
              std::string::npos) << text;
    for (int i = 0; i < taken; ++i) {
        char echo[size + 1];
        ASSERT_EQ(dgram_receive(peer, echo, sizeof echo, 5000000, 0), size);
        EXPECT_EQ(std::string(echo, size), "ECH1" + run.substr(std::size_t(i) * size + 4, size - 4)) << "echo " << i;
    }
    dgram_close(peer);
    dgram_close(ep);
}

TEST(CatchelEcho, EachDatagramOfACoalescedRunIsCountedAndEchoed) {
    expect_coalesced_run_taken(0);
    expect_coalesced_run_taken(25);
}
