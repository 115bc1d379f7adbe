// The family-neutral operations against plain sockets over loopback, and the
// reasons they give: the system's, and the failing call's, not a clean-up's.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t long_wait_us = 5000000;

std::string text_of(const dgram_details& details) {
    char from[NET_ADDRESS_TEXT_ROOM];
    char to[NET_ADDRESS_TEXT_ROOM] = "none";
    net_address_port source{details.from, details.from_port};
    net_address_format_port(&source, from, sizeof from);
    net_address_format(&details.to, to, sizeof to);
    return std::string(from) + " to " + to;
}

net_address parsed(const char* text) {
    net_address address{};
    EXPECT_EQ(net_address_parse(&address, text, nullptr), NET_OK) << text;
    return address;
}

class DgramIpv6 : public balanced_test {
protected:
    void TearDown() override {
        if (ep != nullptr) dgram_close(ep);
        balanced_test::TearDown();
    }
    void open(const char* local, std::uint16_t flags) {
        net_address address = parsed(local);
        ASSERT_EQ(dgram_open_address(&ep, &address, plain_free_port(), flags, nullptr), NET_OK);
        ASSERT_EQ(dgram_local_address(ep, nullptr, &port, nullptr), NET_OK);
    }

    net_endpoint* ep = nullptr;
    std::uint16_t port = 0;
    char buf[256] = {};
};

}  // namespace

// Plain senders of both families reach a dual-stack endpoint, told in their family; an answer reaches one.
TEST_F(DgramIpv6, DualStackEndpointOverLoopback) {
    plain_udp six = plain_udp_open_ipv6();
    plain_udp four = plain_udp_open();
    open("::", DGRAM_DUAL_STACK | DGRAM_DETAILS);
    dgram_details details{};
    ASSERT_TRUE(plain_udp_send_ipv6(&six, "hello", port));
    ASSERT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), 5);
    EXPECT_EQ(text_of(details), "[::1]:" + std::to_string(six.port) + " to ::1");
    net_address_port source{details.from, details.from_port};
    ASSERT_EQ(dgram_send_to_address(ep, "six", 3, &source, long_wait_us, nullptr), NET_OK);
    std::string data;
    std::uint16_t from_port = 0;
    ASSERT_TRUE(plain_udp_receive(&six, &data, 5000, &from_port));
    EXPECT_EQ(data + " from " + std::to_string(from_port), "six from " + std::to_string(port));
    ASSERT_TRUE(plain_udp_send(&four, "four", port));
    ASSERT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), 4);
    EXPECT_EQ(text_of(details), "127.0.0.1:" + std::to_string(four.port) + " to 127.0.0.1");
    EXPECT_TRUE(details.from.family == net_family::ipv4 && details.to.family == net_family::ipv4);
    plain_udp_close(&six);
    plain_udp_close(&four);
}

TEST_F(DgramIpv6, RefusedOptionGivesTheSystemsReason) {
    open("::1", 0);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IPV6, IPV6_V6ONLY) & 0xff, 1);  // wine writes one byte
    net_reason reason{};
    EXPECT_EQ(dgram_set_unicast_hops(ep, 1000, &reason), NET_ERROR);
#ifdef _WIN32
    EXPECT_EQ(reason.number, WSAEINVAL);
#else
    char text[128];
    net_reason_text(&reason, text, sizeof text);
    EXPECT_EQ(std::to_string(reason.number) + text, std::to_string(EINVAL) + std::strerror(EINVAL));
#endif
}

TEST_F(DgramIpv6, ReasonIsTheFailingCallsNotTheCloses) {
    constexpr int bind_error = 12345;
    fault_plan(fault_op::bind, -1, 0, 1, bind_error);
    fault_plan(fault_op::close, -1, 0, 1, bind_error + 1);
    net_address any = parsed("::");
    net_reason reason{};
    EXPECT_EQ(dgram_open_address(&ep, &any, 9, 0, &reason), NET_ERROR);
    EXPECT_EQ(reason.number, bind_error);
    EXPECT_EQ(fault_count(fault_op::close), 1);
}
