#include <gtest/gtest.h>

#include "plain_socket.h"
#include "fault.h"
#include "netlayer/netlayer.h"

using Endpoint = balanced_test;

TEST_F(Endpoint, CreatedRecordWatchesItsOwnSocket) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0x1234), NET_OK);
    EXPECT_EQ(ep->flags, 0x1234);
    ASSERT_EQ(ep->ready_set.count, 1u);
    EXPECT_EQ(ep->ready_set.sockets[0], ep->sock);
    EXPECT_EQ(ep->prev, nullptr);
    EXPECT_EQ(ep->next, nullptr);
    EXPECT_EQ(fault_startups_held(), 1);
    EXPECT_EQ(net_endpoint_close(ep), NET_OK);
}

TEST_F(Endpoint, MultipointIsADatagramSocketWhateverTheType) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_STREAM, true, 0), NET_OK);
    int type = plain_int_option(ep->sock, SOL_SOCKET, SO_TYPE);
    EXPECT_EQ(type, SOCK_DGRAM);
    net_endpoint_close(ep);
}

TEST_F(Endpoint, RefusedStartUpIsAnErrorNotTheStartUpCode) {
    fault_plan(fault_op::startup, -1);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    EXPECT_EQ(fault_count(fault_op::socket), 0);
}

TEST_F(Endpoint, FailedSocketReleasesItsStartUp) {
    fault_plan(fault_op::socket, 0);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    EXPECT_EQ(fault_count(fault_op::cleanup), 1);
}

TEST_F(Endpoint, FailedRecordAllocationClosesTheNewSocket) {
    fault_plan(fault_op::alloc, 0);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    const std::vector<fault_call>& calls = fault_calls();
    ASSERT_EQ(fault_count(fault_op::close), 1);
    net_socket made = calls[1].sock;  // startup, socket, alloc, close, cleanup
    EXPECT_EQ(calls[1].op, fault_op::socket);
    EXPECT_EQ(calls[3].op, fault_op::close);
    EXPECT_EQ(calls[3].sock, made);
}

TEST_F(Endpoint, FailedCloseStillFreesTheRecordAndStartUp) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(net_endpoint_create(&ep, SOCK_DGRAM, false, 0), NET_OK);
    fault_plan(fault_op::close, -1);
    EXPECT_EQ(net_endpoint_close(ep), NET_ERROR);
}

TEST_F(Endpoint, StartUpsNestAcrossEndpoints) {
    net_endpoint* a = nullptr;
    net_endpoint* b = nullptr;
    ASSERT_EQ(net_endpoint_create(&a, SOCK_DGRAM, false, 0), NET_OK);
    ASSERT_EQ(net_endpoint_create(&b, SOCK_STREAM, false, 0), NET_OK);
    EXPECT_EQ(fault_startups_held(), 2);
    net_endpoint_close(a);
    EXPECT_EQ(fault_startups_held(), 1);
    net_endpoint_close(b);
}

TEST(SocketService, CleanupWithoutStartUpFails) {
#ifdef _WIN32
    GTEST_SKIP() << "the count is Winsock's own here; WinsockStartups checks the layer against it";
#endif
    // Winsock refuses this too; the POSIX count must not go below zero.
    EXPECT_EQ(net_startup(), NET_OK);
    EXPECT_EQ(net_cleanup(), 0);
    EXPECT_NE(net_cleanup(), 0);
    EXPECT_EQ(net_startup(), NET_OK);
    EXPECT_EQ(net_cleanup(), 0);
}
