// What a detailed receive tells beside the datagram, checked against the
// plain socket that sent it and this test's own clock; its failures come
// from the fault boundary.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t long_wait_us = 5000000;
constexpr std::int64_t time_bound_us = 300000000;  // generous: only a wrong clock is off by more

template <typename Clock = std::chrono::system_clock>
std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
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
    open(DGRAM_DETAILS | DGRAM_STEADY_TIME);
    std::int64_t before = now_us();
    std::int64_t steady_before = now_us<std::chrono::steady_clock>();
    send("hello");
    dgram_details details{};
    ASSERT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    net_address loopback = net_address_from_ipv4(localhost);
    EXPECT_TRUE(net_address_equal(&details.from, &loopback));
    EXPECT_EQ(details.from_port, sender.port);
    EXPECT_TRUE(details.has_to);
    EXPECT_TRUE(net_address_equal(&details.to, &loopback));
    ASSERT_TRUE(details.has_time);
    EXPECT_GT(static_cast<std::int64_t>(details.time_us), before - time_bound_us);
    EXPECT_LT(static_cast<std::int64_t>(details.time_us), now_us() + time_bound_us);
    ASSERT_TRUE(details.has_steady_time);
    EXPECT_GT(static_cast<std::int64_t>(details.steady_us), steady_before - time_bound_us);
    EXPECT_LT(static_cast<std::int64_t>(details.steady_us), now_us<std::chrono::steady_clock>() + time_bound_us);
    EXPECT_EQ(fault_count(fault_op::steady_us), 1);
#ifdef _WIN32
    EXPECT_FALSE(details.has_dropped);  // Winsock keeps no count
#else
    EXPECT_TRUE(details.has_dropped);
    EXPECT_EQ(details.dropped, 0u);
#endif
    EXPECT_EQ(fault_count(fault_op::enable_details), 1);
}

// A plain read, and none of what an earlier read left is taken for this one's.
TEST_F(DgramDetails, WithoutTheSwitchOnlyTheSourceIsTold) {
    open(0);
    send("plain");
    dgram_details details{};
    details.has_to = details.has_time = details.has_hop_limit = true;
    ASSERT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), 5);
    EXPECT_EQ(details.from_port, sender.port);
    EXPECT_FALSE(details.has_to || details.has_time || details.has_dropped || details.has_hop_limit ||
                 details.has_steady_time);
    EXPECT_EQ(fault_count(fault_op::enable_details) + fault_count(fault_op::recv_details) +
                  fault_count(fault_op::steady_us),
              0);
}

TEST_F(DgramDetails, FailedReadOrWaitIsReported) {
    open(DGRAM_DETAILS);
    dgram_details details{};
    for (fault_op failing : {fault_op::recv_details, fault_op::select}) {
        send("x");
        fault_plan(failing, -1);
        EXPECT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), NET_ERROR);
    }
}
