#include <gtest/gtest.h>

#include "fault.h"
#include "netlayer/netlayer.h"

using Address = balanced_test;

TEST_F(Address, MakePutsTheFirstOctetOnTop) {
    EXPECT_EQ(net_make_ipv4(10, 0, 0, 1), 0x0a000001u);
    EXPECT_EQ(net_make_ipv4(255, 255, 255, 254), 0xfffffffeu);
    EXPECT_EQ(net_make_ipv4(256, 0, 0, 1), 0u);
    EXPECT_EQ(net_make_ipv4(10, -1, 0, 1), 0u);
    EXPECT_EQ(net_make_ipv4(10, 0, 0, 256), 0u);
    EXPECT_EQ(net_make_ipv4(0, 0, 0, 0), 0u);
}

TEST_F(Address, SplitGivesOctetsFirstToLast) {
    int o[4] = {-1, -1, -1, -1};
    net_split_ipv4(&o[0], &o[1], &o[2], &o[3], net_make_ipv4(192, 168, 1, 5));
    EXPECT_EQ(std::vector<int>(o, o + 4), (std::vector<int>{192, 168, 1, 5}));
}

TEST_F(Address, DottedTextResolvesWithoutTheSocketService) {
    EXPECT_EQ(net_resolve("10.1.2.3"), net_make_ipv4(10, 1, 2, 3));
    EXPECT_EQ(net_resolve("0.0.0.0"), 0u);
    EXPECT_EQ(fault_count(fault_op::startup), 0);
    EXPECT_EQ(fault_count(fault_op::lookup), 0);
}

TEST_F(Address, NameLookupHoldsOneStartUpAroundIt) {
    EXPECT_EQ(net_resolve("localhost"), net_make_ipv4(127, 0, 0, 1));
    EXPECT_EQ(fault_count(fault_op::startup), 1);
    EXPECT_EQ(fault_count(fault_op::cleanup), 1);
}

TEST_F(Address, NameThatDoesNotResolveIsZero) {
    fault_plan(fault_op::lookup, -1);  // no resolver is asked
    EXPECT_EQ(net_resolve("no-such-host"), 0u);
    EXPECT_EQ(fault_count(fault_op::cleanup), 1);
}

TEST_F(Address, RefusedStartUpMeansNoLookup) {
    fault_plan(fault_op::startup, -1);
    EXPECT_EQ(net_resolve("localhost"), 0u);
    EXPECT_EQ(fault_count(fault_op::lookup), 0);
    EXPECT_EQ(fault_count(fault_op::cleanup), 0);
}

TEST_F(Address, LocalAddressOutputsAreOptional) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(dgram_open(&ep, net_make_ipv4(127, 0, 0, 1), 0, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    EXPECT_EQ(net_local_address(ep, &ip, nullptr), NET_OK);
    EXPECT_EQ(ip, net_make_ipv4(127, 0, 0, 1));
    EXPECT_EQ(net_local_address(ep, nullptr, &port), NET_OK);
    EXPECT_NE(port, 0);
    EXPECT_EQ(net_local_address(ep, nullptr, nullptr), NET_OK);
    dgram_close(ep);
}

TEST_F(Address, FailedQueryWritesNothing) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(dgram_open(&ep, net_make_ipv4(127, 0, 0, 1), 0, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
    fault_plan(fault_op::getsockname, -1);
    std::uint32_t ip = 77;
    std::uint16_t port = 77;
    EXPECT_EQ(net_local_address(ep, &ip, &port), NET_ERROR);
    EXPECT_EQ(ip, 77u);
    EXPECT_EQ(port, 77);
    // An unconnected datagram socket has no peer.
    EXPECT_EQ(net_peer_address(ep, &ip, &port), NET_ERROR);
    EXPECT_EQ(ip, 77u);
    dgram_close(ep);
}
