#include <gtest/gtest.h>

#include <vector>

#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t wait_us = 1000000;


std::uint16_t local_port(net_endpoint* ep) {
    std::uint16_t port = 0;
    EXPECT_EQ(net_local_address(ep, nullptr, &port), NET_OK);
    return port;
}

}  // namespace

using DgramOpen = balanced_test;

TEST_F(DgramOpen, PortZeroLeavesTheEndpointUnbound) {
    for (std::uint32_t address : {0u, localhost}) {
        net_endpoint* ep = nullptr;
        ASSERT_EQ(dgram_open(&ep, address, 0, 0), NET_OK);
        EXPECT_EQ(fault_count(fault_op::bind), 0);
        dgram_close(ep);
    }
}

TEST_F(DgramOpen, PortBindsEveryLocalAddress) {
    std::uint16_t port = plain_free_port();
    net_endpoint* ep = nullptr;
    ASSERT_EQ(dgram_open_any(&ep, port, 0), NET_OK);
    std::uint32_t ip = 1;
    EXPECT_EQ(net_local_address(ep, &ip, nullptr), NET_OK);
    EXPECT_EQ(ip, 0u);
    EXPECT_EQ(local_port(ep), port);
    dgram_close(ep);
}

TEST_F(DgramOpen, AddressOnlyBindsAFreePortWhateverWasAsked) {
    std::uint16_t asked = plain_free_port();
    for (std::uint16_t port : {std::uint16_t{0}, asked}) {
        net_endpoint* ep = nullptr;
        ASSERT_EQ(dgram_open(&ep, localhost, port, DGRAM_BIND_ADDRESS_ONLY), NET_OK);
        std::uint32_t ip = 0;
        std::uint16_t bound = 0;
        EXPECT_EQ(net_local_address(ep, &ip, &bound), NET_OK);
        EXPECT_EQ(ip, localhost);
        EXPECT_NE(bound, 0);
        EXPECT_NE(bound, asked);
        dgram_close(ep);
    }
}

TEST_F(DgramOpen, PortHeldByAnotherSocketFailsWithNothingLeftOpen) {
    plain_udp holder = plain_udp_open();
    net_endpoint* ep = nullptr;
    EXPECT_EQ(dgram_open(&ep, localhost, holder.port, 0), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    EXPECT_EQ(fault_count(fault_op::close), 1);
    EXPECT_EQ(dgram_open(&ep, localhost, holder.port, DGRAM_MULTIPOINT), NET_ERROR);
    plain_udp_close(&holder);
}

TEST_F(DgramOpen, BroadcastFlagSetsTheOption) {
    net_endpoint* ep = nullptr;
    ASSERT_EQ(dgram_open(&ep, 0, 0, DGRAM_BROADCAST), NET_OK);
    EXPECT_NE(plain_int_option(ep->sock, SOL_SOCKET, SO_BROADCAST), 0);
    EXPECT_EQ(ep->flags, DGRAM_BROADCAST);
    dgram_close(ep);
    ASSERT_EQ(dgram_open(&ep, 0, 0, 0), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, SOL_SOCKET, SO_BROADCAST), 0);
    dgram_close(ep);
}

TEST_F(DgramOpen, FailedBroadcastOptionOrDetailsSwitchClosesTheEndpoint) {
    struct row {
        fault_op refused;
        std::uint16_t flag;
    };
    for (row r : {row{fault_op::setsockopt, DGRAM_BROADCAST}, {fault_op::enable_details, DGRAM_DETAILS},
                  {fault_op::setsockopt, DGRAM_REUSE}}) {
        SCOPED_TRACE(r.flag);
        int closes_before = fault_count(fault_op::close);
        fault_plan(r.refused, -1);
        net_endpoint* ep = nullptr;
        EXPECT_EQ(dgram_open(&ep, 0, plain_free_port(), r.flag), NET_ERROR);
        EXPECT_EQ(ep, nullptr);
        EXPECT_EQ(fault_count(fault_op::bind), 0);
        EXPECT_EQ(fault_count(fault_op::close) - closes_before, 1);
    }
}

TEST_F(DgramOpen, FailedBindClosesTheEndpoint) {
    fault_plan(fault_op::bind, -1);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(dgram_open(&ep, localhost, 0, DGRAM_BIND_ADDRESS_ONLY), NET_ERROR);
    EXPECT_EQ(ep, nullptr);
    EXPECT_EQ(fault_count(fault_op::close), 1);
}

TEST_F(DgramOpen, FailedCreatePassesItsResultOn) {
    fault_plan(fault_op::socket, 0);
    net_endpoint* ep = nullptr;
    EXPECT_EQ(dgram_open(&ep, 0, 0, 0), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::bind), 0);
}

class DgramOptions : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        ASSERT_EQ(dgram_open(&ep, 0, 0, 0), NET_OK);
    }
    void TearDown() override {
        dgram_close(ep);
        balanced_test::TearDown();
    }
    net_endpoint* ep = nullptr;
};

TEST_F(DgramOptions, MulticastValuesReadBack) {
    ASSERT_EQ(dgram_set_multicast(ep, 1, 1), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_TTL), 1);
    EXPECT_NE(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_LOOP), 0);
    ASSERT_EQ(dgram_set_multicast(ep, 5, 0), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_TTL), 5);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_LOOP), 0);
    ASSERT_EQ(dgram_set_multicast(ep, 0, 7), NET_OK);  // any non-zero loop means on
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_TTL), 5);
    EXPECT_NE(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_LOOP), 0);
}

TEST_F(DgramOptions, ZeroTtlAndLoopMinusOneMakeNoCall) {
    EXPECT_EQ(dgram_set_multicast(ep, 0, -1), NET_OK);
    EXPECT_EQ(fault_count(fault_op::setsockopt), 0);
}

TEST_F(DgramOptions, FailedTtlStopsBeforeLoopback) {
    fault_plan(fault_op::setsockopt, -1);
    EXPECT_EQ(dgram_set_multicast(ep, 1, 1), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::setsockopt), 1);
    fault_plan(fault_op::setsockopt, -1, 1);
    EXPECT_EQ(dgram_set_multicast(ep, 1, 1), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::setsockopt), 3);
}

TEST_F(DgramOptions, TtlValuesReadBack) {
    ASSERT_EQ(dgram_set_unicast_hops(ep, 200, nullptr), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_TTL), 200);
    for (int ttl : {0, 1, 255}) {
        ASSERT_EQ(dgram_set_multicast_hops(ep, ttl, nullptr), NET_OK);
        EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_TTL), ttl);
    }
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_TTL), 200);
    ASSERT_EQ(dgram_set_traffic_class(ep, 0xb8, nullptr), NET_OK);
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_TOS) & 0xff, 0xb8);
    ASSERT_EQ(dgram_set_dont_fragment(ep, nullptr), NET_OK);
#ifdef _WIN32
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_DONTFRAGMENT), 1);
#else
    EXPECT_EQ(plain_int_option(ep->sock, IPPROTO_IP, IP_MTU_DISCOVER), IP_PMTUDISC_DO);
#endif
}

TEST_F(DgramOptions, MulticastInterfaceReadsBackInNetworkOrder) {
    const net_interface on{net_address_from_ipv4(localhost), 0};
    ASSERT_EQ(dgram_set_outgoing_interface(ep, &on, nullptr), NET_OK);
    in_addr chosen{};
    chosen.s_addr = static_cast<std::uint32_t>(plain_int_option(ep->sock, IPPROTO_IP, IP_MULTICAST_IF));
    EXPECT_EQ(ntohl(chosen.s_addr), localhost);
}

TEST_F(DgramOptions, RefusedSendOptionsAreErrors) {
    struct row {
        const char* name;
        int (*set)(net_endpoint*);
        int option;
    };
    const row rows[] = {
        {"ttl", [](net_endpoint* e) { return dgram_set_unicast_hops(e, 9, nullptr); }, IP_TTL},
        {"multicast ttl", [](net_endpoint* e) { return dgram_set_multicast_hops(e, 9, nullptr); }, IP_MULTICAST_TTL},
        {"interface",
         [](net_endpoint* e) {
             const net_interface on{net_address_from_ipv4(localhost), 0};
             return dgram_set_outgoing_interface(e, &on, nullptr);
         },
         IP_MULTICAST_IF},
        {"traffic class", [](net_endpoint* e) { return dgram_set_traffic_class(e, 0xb8, nullptr); }, IP_TOS},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        int before = fault_count(fault_op::setsockopt);
        fault_plan(fault_op::setsockopt, -1);
        EXPECT_EQ(r.set(ep), NET_ERROR);
        ASSERT_EQ(fault_count(fault_op::setsockopt), before + 1);
        EXPECT_EQ(fault_calls().back().level, IPPROTO_IP);
        EXPECT_EQ(fault_calls().back().name, r.option);
    }
}

TEST_F(DgramOptions, MembershipGoesToThePlatformAndReportsItsFailure) {
    // Refused at the boundary: a real join would send a report on the network.
    fault_plan(fault_op::setsockopt, -1, 0, 2);
    EXPECT_EQ(dgram_join_group(ep, net_make_ipv4(239, 1, 1, 1)), NET_ERROR);
    EXPECT_EQ(dgram_leave_group(ep, net_make_ipv4(239, 1, 1, 1)), NET_ERROR);
    std::vector<fault_call> calls;
    for (const fault_call& call : fault_calls()) {
        if (call.op == fault_op::setsockopt) calls.push_back(call);
    }
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].level, IPPROTO_IP);
    EXPECT_EQ(calls[0].name, IP_ADD_MEMBERSHIP);
    EXPECT_EQ(calls[1].name, IP_DROP_MEMBERSHIP);
}

TEST_F(DgramOptions, ReceiveBufferGrowsWhenAskedForMore) {
    int before = plain_int_option(ep->sock, SOL_SOCKET, SO_RCVBUF);
    ASSERT_GT(before, 0);
    ASSERT_EQ(dgram_set_receive_buffer(ep, 4 * before), NET_OK);
    // Platforms cap the size or count their own overhead in it; more it must be.
    EXPECT_GT(plain_int_option(ep->sock, SOL_SOCKET, SO_RCVBUF), before);
    ASSERT_EQ(fault_count(fault_op::setsockopt), 1);
    const fault_call& call = fault_calls().back();
    EXPECT_EQ(call.level, SOL_SOCKET);
    EXPECT_EQ(call.name, SO_RCVBUF);
    EXPECT_EQ(call.value, 4 * before);
    int granted = 0;
    ASSERT_EQ(dgram_receive_buffer(ep, &granted, nullptr), NET_OK);
    EXPECT_EQ(granted, plain_int_option(ep->sock, SOL_SOCKET, SO_RCVBUF));
}

TEST_F(DgramOptions, RefusedReceiveBufferIsAnError) {
    fault_plan(fault_op::setsockopt, -1);
    EXPECT_EQ(dgram_set_receive_buffer(ep, 1 << 20), NET_ERROR);
    fault_plan(fault_op::getsockopt, -1, 0, 1, 4321);
    net_reason reason{};
    int granted = 0;
    EXPECT_EQ(dgram_receive_buffer(ep, &granted, &reason), NET_ERROR);
    EXPECT_EQ(reason.number, 4321);
    fault_plan(fault_op::set_dont_fragment, -1, 0, 1, 4322);
    EXPECT_EQ(dgram_set_dont_fragment(ep, &reason), NET_ERROR);
    EXPECT_EQ(reason.number, 4322);
}

class DgramSend : public DgramOptions {
protected:
    void SetUp() override {
        DgramOptions::SetUp();
        peer = plain_udp_open();
    }
    void TearDown() override {
        plain_udp_close(&peer);
        DgramOptions::TearDown();
    }
    plain_udp peer{};
};

TEST_F(DgramSend, DatagramArrivesWhole) {
    const char text[] = "hello";
    ASSERT_EQ(dgram_send_to(ep, text, sizeof text, localhost, peer.port, wait_us), NET_OK);
    std::string got;
    ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
    EXPECT_EQ(got, std::string("hello", 6));
}

TEST_F(DgramSend, EmptyDatagramIsSentAndSucceeds) {
    ASSERT_EQ(dgram_send_to(ep, "", 0, localhost, peer.port, wait_us), NET_OK);
    std::string got = "x";
    ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
    EXPECT_EQ(got, "");
}

TEST_F(DgramSend, WaitThatRunsOutSendsNothing) {
    fault_plan(fault_op::select, 0);
    EXPECT_EQ(dgram_send_to(ep, "x", 1, localhost, peer.port, wait_us), NET_TIMEOUT);
    EXPECT_EQ(fault_count(fault_op::sendto), 0);
}

TEST_F(DgramSend, WaitThatFailsOrReportsTwoSocketsIsAnError) {
    for (int result : {-1, 2}) {
        fault_plan(fault_op::select, result);
        EXPECT_EQ(dgram_send_to(ep, "x", 1, localhost, peer.port, wait_us), NET_ERROR);
    }
    EXPECT_EQ(fault_count(fault_op::sendto), 0);
}

TEST_F(DgramSend, ShortOrFailedSendIsAnError) {
    fault_plan(fault_op::sendto, 3);
    EXPECT_EQ(dgram_send_to(ep, "hello", 6, localhost, peer.port, wait_us), NET_ERROR);
    fault_plan(fault_op::sendto, -1);
    EXPECT_EQ(dgram_send_to(ep, "hello", 6, localhost, peer.port, wait_us), NET_ERROR);
}

TEST_F(DgramSend, OversizedDatagramIsAnError) {
    std::string big(70000, 'x');
    EXPECT_EQ(dgram_send_to(ep, big.data(), static_cast<int>(big.size()), localhost, peer.port, wait_us),
              NET_ERROR);
}

// Datagram i of the batch begins with i, so that order shows; the layer
// falls back to a plainer form for good once one is refused.
TEST_F(DgramSend, BatchArrivesWholeAndInOrderInEachForm) {
    struct row {
        int planned;  // what the first `times` calls give instead of sending
        int times;
        std::vector<int> forms;  // of the first calls; later ones keep the last
        int waits;
    };
    const row rows[] = {
        {0, 0, {PLAT_BATCH_SEGMENTS}, 0},
        {PLAT_FORM_REFUSED, 1, {PLAT_BATCH_SEGMENTS, PLAT_BATCH_MESSAGES}, 0},
        {PLAT_FORM_REFUSED, 2, {PLAT_BATCH_SEGMENTS, PLAT_BATCH_MESSAGES, PLAT_BATCH_SINGLE}, 0},
        {PLAT_SOCKET_FULL, 1, {PLAT_BATCH_SEGMENTS, PLAT_BATCH_SEGMENTS}, 1},
    };
    constexpr int count = 100;
    constexpr int size = 64;
    std::string bytes(count * size, 'x');
    for (int i = 0; i < count; ++i) bytes[std::size_t(i) * size] = static_cast<char>(i);
    net_address_port to{net_address_from_ipv4(localhost), peer.port};
    for (const row& r : rows) {
        SCOPED_TRACE(r.forms.size() * 10 + std::size_t(r.waits));
        net_endpoint* sender = nullptr;
        ASSERT_EQ(dgram_open(&sender, 0, 0, 0), NET_OK);
        std::size_t first_call = fault_calls().size();
        if (r.times > 0) fault_plan(fault_op::send_batch, r.planned, 0, r.times);
        for (int sent = 0; sent < count;) {
            int n = dgram_send_batch(sender, bytes.data() + std::size_t(sent) * size, size, count - sent, &to, wait_us,
                                     nullptr);
            ASSERT_GT(n, 0);
            sent += n;
        }
        std::vector<int> forms;
        int waits = 0;
        for (std::size_t i = first_call; i < fault_calls().size(); ++i) {
            const fault_call& call = fault_calls()[i];
            if (call.op == fault_op::send_batch) forms.push_back(call.value);
            waits += call.op == fault_op::select;
        }
        ASSERT_GE(forms.size(), r.forms.size());
        EXPECT_EQ(std::vector<int>(forms.begin(), forms.begin() + std::ptrdiff_t(r.forms.size())), r.forms);
        for (std::size_t i = r.forms.size(); i < forms.size(); ++i) EXPECT_EQ(forms[i], r.forms.back());
        EXPECT_EQ(waits, r.waits);
        for (int i = 0; i < count; ++i) {
            std::string got;
            ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
            EXPECT_EQ(got, bytes.substr(std::size_t(i) * size, size)) << "datagram " << i;
        }
        dgram_close(sender);
    }
}
