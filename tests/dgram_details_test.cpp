// What a detailed receive tells beside the datagram, checked against the
// plain socket that sent it and this test's own clock; its failures and the
// memberships that reach no network come from the fault boundary.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"
#include "wine.h"

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t long_wait_us = 5000000;
constexpr std::int64_t time_bound_us = 300000000;  // generous: only a wrong clock is off by more

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class DgramDetails : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        sender = plain_udp_open();
    }
    void TearDown() override {
        if (ep != nullptr) dgram_close(ep);
        plain_udp_close(&sender);
        balanced_test::TearDown();
    }
    void open(std::uint16_t flags) {
        ASSERT_EQ(dgram_open(&ep, localhost, plain_free_port(), flags), NET_OK);
        ASSERT_EQ(net_local_address(ep, nullptr, &port), NET_OK);
    }
    void send(const std::string& data) { ASSERT_TRUE(plain_udp_send(&sender, data, port)); }

    net_endpoint* ep = nullptr;
    std::uint16_t port = 0;
    plain_udp sender{};
    char buf[65536] = {};
};

}  // namespace

TEST_F(DgramDetails, UnicastDatagramTellsItsSourceDestinationAndTime) {
    open(DGRAM_DETAILS);
    std::int64_t before = now_us();
    send("hello");
    dgram_details details{};
    ASSERT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, long_wait_us, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(details.from_ip, localhost);
    EXPECT_EQ(details.from_port, sender.port);
    EXPECT_TRUE(details.has_to);
    EXPECT_EQ(details.to_ip, localhost);
    ASSERT_TRUE(details.has_time);
    EXPECT_GT(static_cast<std::int64_t>(details.time_us), before - time_bound_us);
    EXPECT_LT(static_cast<std::int64_t>(details.time_us), now_us() + time_bound_us);
#ifdef _WIN32
    EXPECT_FALSE(details.has_dropped);  // Winsock keeps no count
#else
    EXPECT_TRUE(details.has_dropped);
    EXPECT_EQ(details.dropped, 0u);
#endif
    EXPECT_EQ(fault_count(fault_op::enable_details), 1);
}

TEST_F(DgramDetails, WithoutTheSwitchOnlyTheReadTimeIsAdded) {
    open(0);
    send("plain");
    dgram_details details{};
    ASSERT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, long_wait_us, 0), 5);
    EXPECT_EQ(details.from_port, sender.port);
    EXPECT_FALSE(details.has_to);
    EXPECT_FALSE(details.has_dropped);
    EXPECT_TRUE(details.has_time);
    EXPECT_EQ(fault_count(fault_op::enable_details), 0);
}

TEST_F(DgramDetails, ZeroWaitReadsOnlyWhatIsQueued) {
    open(DGRAM_DETAILS);
    dgram_details details{};
    EXPECT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, 0, 0), NET_TIMEOUT);
    send("queued");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, 0, 0), 6);
    EXPECT_EQ(fault_count(fault_op::select), 0);
}

TEST_F(DgramDetails, LatestAndFullBufferAsForAnyReceive) {
    open(DGRAM_DETAILS);
    send("first");
    send("second");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dgram_details details{};
    EXPECT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, long_wait_us, RECV_LATEST), 6);
    EXPECT_EQ(std::string(buf, 6), "second");
    send("four");
    EXPECT_EQ(dgram_receive_details(ep, buf, 4, &details, long_wait_us, 0), NET_BUFFER_FULL);
}

TEST_F(DgramDetails, FailedReadOrWaitIsReported) {
    open(DGRAM_DETAILS);
    dgram_details details{};
    struct row {
        fault_op op;
        int expected;
    };
    for (row r : {row{fault_op::recv_details, NET_ERROR}, {fault_op::select, NET_ERROR}}) {
        send("x");
        fault_plan(r.op, -1);
        EXPECT_EQ(dgram_receive_details(ep, buf, sizeof buf, &details, long_wait_us, 0), r.expected);
    }
}

// The kernel counts the datagrams its full buffer turned away: with the
// buffer made small, a burst that nobody reads meanwhile overflows it.
TEST_F(DgramDetails, DropsAreCountedWhereTheSystemCountsThem) {
#ifdef _WIN32
    GTEST_SKIP() << "Winsock keeps no count of the datagrams it dropped";
#endif
    open(DGRAM_DETAILS);
    ASSERT_EQ(dgram_set_receive_buffer(ep, 4096), NET_OK);
    constexpr int burst = 200;
    const std::string data(1000, 'd');
    for (int i = 0; i < burst; ++i) send(data);
    dgram_details details{};
    int received = 0;
    std::uint32_t dropped = 0;
    // A datagram carries the total as it stood when it was queued: the
    // drops after the last queued one show with the next that arrives.
    auto drain = [&] {
        while (dgram_receive_details(ep, buf, sizeof buf, &details, 200000, 0) == 1000) {
            ++received;
            ASSERT_TRUE(details.has_dropped);
            EXPECT_GE(details.dropped, dropped);  // a total, never going back
            dropped = details.dropped;
        }
    };
    drain();
    send(data);
    drain();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(received + static_cast<int>(dropped), burst + 1);
}

TEST_F(DgramDetails, MembershipsGoToThePlatformAsItsOwnRecords) {
    open(DGRAM_MULTIPOINT);
    // Taken at the boundary: a real join would send a report on the network.
    fault_plan(fault_op::setsockopt, 0, 0, 3);
    std::uint32_t group = net_make_ipv4(239, 1, 1, 1);
    EXPECT_EQ(dgram_join_group_on(ep, group, localhost), NET_OK);
    EXPECT_EQ(dgram_join_source(ep, group, localhost, 0), NET_OK);
    EXPECT_EQ(dgram_leave_source(ep, group, localhost, 0), NET_OK);
    fault_plan(fault_op::setsockopt, -1, 0, 3);
    EXPECT_EQ(dgram_join_group_on(ep, group, localhost), NET_ERROR);
    EXPECT_EQ(dgram_join_source(ep, group, localhost, localhost), NET_ERROR);
    EXPECT_EQ(dgram_leave_source(ep, group, localhost, localhost), NET_ERROR);
    std::vector<int> names;
    for (const fault_call& call : fault_calls()) {
        if (call.op == fault_op::setsockopt && call.level == IPPROTO_IP) names.push_back(call.name);
    }
    const std::vector<int> expected = {IP_ADD_MEMBERSHIP, IP_ADD_SOURCE_MEMBERSHIP, IP_DROP_SOURCE_MEMBERSHIP};
    ASSERT_EQ(names.size(), 6u);
    EXPECT_EQ(std::vector<int>(names.begin(), names.begin() + 3), expected);
    EXPECT_EQ(std::vector<int>(names.begin() + 3, names.end()), expected);
}
