#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#ifdef __linux__
#include <netinet/udp.h>
#endif

#include "fault.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t short_wait_us = 20000;
constexpr std::uint32_t long_wait_us = 5000000;

std::atomic<long> operator_news{0};

// An endpoint bound to a free port on 127.0.0.1, with a plain socket to feed it.
class DgramReceive : public balanced_test {
protected:
    void SetUp() override {
        balanced_test::SetUp();
        ep = open_endpoint();
        sender = plain_udp_open();
    }
    void TearDown() override {
        plain_udp_close(&sender);
        dgram_close(ep);
        balanced_test::TearDown();
    }
    static net_endpoint* open_endpoint() {
        net_endpoint* opened = nullptr;
        EXPECT_EQ(dgram_open(&opened, localhost, plain_free_port(), 0), NET_OK);
        return opened;
    }
    void send(const std::string& data, net_endpoint* to = nullptr) {
        std::uint16_t port = 0;
        net_local_address(to != nullptr ? to : ep, nullptr, &port);
        ASSERT_TRUE(plain_udp_send(&sender, data, port));
    }
    // Lets datagrams sent a moment ago reach the receiving queue.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

    net_endpoint* ep = nullptr;
    plain_udp sender{};
    char buf[100000] = {};
};

}  // namespace

void* operator new(std::size_t size) {
    ++operator_news;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST_F(DgramReceive, NothingWithinTheWaitIsATimeOut) {
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, short_wait_us, 0), NET_TIMEOUT);
    EXPECT_EQ(fault_count(fault_op::recv), 0);
}

TEST_F(DgramReceive, SmallDatagramIntoALargeBuffer) {
    send(std::string("hello\0", 6));
    ASSERT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, 0), 6);
    EXPECT_EQ(std::string(buf, 6), std::string("hello\0", 6));
}

TEST_F(DgramReceive, DatagramThatFillsTheBufferExactly) {
    send("12345678");
    EXPECT_EQ(dgram_receive(ep, buf, 8, long_wait_us, 0), NET_BUFFER_FULL);
    send("abcdefgh");
    EXPECT_EQ(dgram_receive(ep, buf, 8, long_wait_us, RECV_ALLOW_FULL), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
}

TEST_F(DgramReceive, EmptyDatagramIsData) {
    send("");
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, 0), 0);
}

TEST_F(DgramReceive, DatagramLargerThanTheBufferFailsAndIsConsumed) {
    send("too long for it");
    send("ok");
    EXPECT_EQ(dgram_receive(ep, buf, 4, long_wait_us, 0), NET_ERROR);
    ASSERT_EQ(dgram_receive(ep, buf, 4, long_wait_us, 0), 2);
    EXPECT_EQ(std::string(buf, 2), "ok");
}

TEST_F(DgramReceive, LatestSkipsToTheNewestDatagram) {
    send("one");
    send("two");
    send("three");
    settle();
    ASSERT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, RECV_LATEST), 5);
    EXPECT_EQ(std::string(buf, 5), "three");
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, short_wait_us, 0), NET_TIMEOUT);
}

TEST_F(DgramReceive, LatestWithAFailedLaterReadReturnsTheFailure) {
    send("one");
    send("two");
    settle();
    fault_plan(fault_op::recv, -1, 1);
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, RECV_LATEST), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::recv), 2);
}

TEST_F(DgramReceive, FailedWaitIsAnError) {
    fault_plan(fault_op::select, -1);
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, 0), NET_ERROR);
    EXPECT_EQ(fault_count(fault_op::recv), 0);
}

TEST_F(DgramReceive, SourceAddressAndPort) {
    send("hi");
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, &ip, &port, long_wait_us, 0), 2);
    EXPECT_EQ(ip, localhost);
    EXPECT_EQ(port, sender.port);
}

TEST_F(DgramReceive, SourceOutputsAreOptional) {
    send("a");
    std::uint16_t port = 0;
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, &port, long_wait_us, 0), 1);
    EXPECT_EQ(port, sender.port);
    send("b");
    std::uint32_t ip = 0;
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, &ip, nullptr, long_wait_us, 0), 1);
    EXPECT_EQ(ip, localhost);
    send("c");
    EXPECT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, long_wait_us, 0), 1);
}

TEST_F(DgramReceive, SourceThatIsNotIpv4IsAnError) {
    fault_plan(fault_op::recvfrom, 4);  // a read that reports no address family
    fault_plan(fault_op::select, 1);
    std::uint32_t ip = 9;
    EXPECT_EQ(dgram_receive_from(ep, buf, sizeof buf, &ip, nullptr, long_wait_us, 0), NET_ERROR);
    EXPECT_EQ(ip, 9u);
}

TEST_F(DgramReceive, AnyGivesTheFirstReadyEndpointInTheArray) {
    net_endpoint* other = open_endpoint();
    send("to first", ep);
    send("to other", other);
    settle();
    net_endpoint* order[2] = {other, ep};
    int index = -1;
    ASSERT_EQ(dgram_receive_any(order, 2, &index, buf, sizeof buf, long_wait_us, 0), 8);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(std::string(buf, 8), "to other");
    ASSERT_EQ(dgram_receive_any(order, 2, &index, buf, sizeof buf, long_wait_us, 0), 8);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(std::string(buf, 8), "to first");
    EXPECT_EQ(dgram_receive_any(order, 2, &index, buf, sizeof buf, short_wait_us, 0), NET_TIMEOUT);
    dgram_close(other);
}

TEST_F(DgramReceive, WaitOnOneEndpointTakesNoIndex) {
    send("x");
    EXPECT_EQ(dgram_wait(&ep, 1, nullptr, long_wait_us), NET_OK);
    int index = -1;
    EXPECT_EQ(dgram_wait(&ep, 1, &index, long_wait_us), NET_OK);
    EXPECT_EQ(index, 0);
}

TEST_F(DgramReceive, ZeroWaitReadsAQueuedDatagramWithoutAWait) {
    send("queued");
    settle();
    std::uint16_t port = 0;
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, &port, 0, 0), 6);
    EXPECT_EQ(std::string(buf, 6), "queued");
    EXPECT_EQ(port, sender.port);
    send("next");
    settle();
    ASSERT_EQ(dgram_receive(ep, buf, sizeof buf, 0, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "next");
    EXPECT_EQ(fault_count(fault_op::select), 0);
    EXPECT_EQ(fault_count(fault_op::recv_queued), 2);
}

TEST_F(DgramReceive, ZeroWaitWithNothingQueuedIsATimeOut) {
    EXPECT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, 0, 0), NET_TIMEOUT);
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, 0, 0), NET_TIMEOUT);
    // The endpoint still waits as before afterwards.
    send("later");
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, long_wait_us, 0), 5);
}

TEST_F(DgramReceive, ZeroWaitKeepsTheBufferRules) {
    send("12345678");
    send("too long for it");
    send("ok");
    settle();
    EXPECT_EQ(dgram_receive(ep, buf, 8, 0, 0), NET_BUFFER_FULL);
    EXPECT_EQ(dgram_receive(ep, buf, 8, 0, 0), NET_ERROR);  // and consumed
    ASSERT_EQ(dgram_receive(ep, buf, 8, 0, 0), 2);
    EXPECT_EQ(std::string(buf, 2), "ok");
}

TEST_F(DgramReceive, ZeroWaitWithLatestGivesTheNewest) {
    send("one");
    send("two");
    send("three");
    settle();
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, 0, RECV_LATEST), 5);
    EXPECT_EQ(std::string(buf, 5), "three");
    EXPECT_EQ(dgram_receive(ep, buf, sizeof buf, 0, 0), NET_TIMEOUT);
}

TEST_F(DgramReceive, ZeroWaitFailedReadIsAnError) {
    send("x");
    settle();
    fault_plan(fault_op::recv_queued, -1);
    EXPECT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, 0, 0), NET_ERROR);
    ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, 0, 0), 1);  // it was never read
}

TEST_F(DgramReceive, ReceivingAllocatesNothing) {
    constexpr int rounds = 500;
    long news_before = operator_news.load();
    // The count is live; called through a pointer the compiler cannot see through.
    void* (*volatile allocate)(std::size_t) = ::operator new;
    ::operator delete(allocate(1));
    ASSERT_EQ(operator_news.load() - news_before, 1);
    news_before = operator_news.load();
    int allocs_before = fault_count(fault_op::alloc);
    for (int i = 0; i < rounds; ++i) {
        send("datagram");
        ASSERT_EQ(dgram_receive_from(ep, buf, sizeof buf, nullptr, nullptr, long_wait_us, RECV_LATEST), 8);
        ASSERT_EQ(dgram_receive(ep, buf, sizeof buf, 0, 0), NET_TIMEOUT);
        send("details");
        dgram_details details{};
        ASSERT_EQ(dgram_receive_detailed(ep, buf, sizeof buf, &details, long_wait_us, 0, nullptr), 7);
    }
    EXPECT_EQ(operator_news.load() - news_before, 0);
    EXPECT_EQ(fault_count(fault_op::alloc) - allocs_before, 0);
}

// A run sent as segments of 100 bytes and a shorter last one comes in one
// read where the system coalesces, and the batch hands it out again one
// datagram at a time, each with its source, or after the first, those of
// the run's size many at a time; where coalescing is refused, the kernel
// cuts the run apart, a read each, and the batch says the same.
TEST_F(DgramReceive, CoalescedRunIsHandedOutDatagramByDatagram) {
#ifndef __linux__
    GTEST_SKIP() << "only Linux sends segments and coalesces them";
#else
    constexpr int segment = 100;
    std::string run;
    for (int i = 0; i < 20; ++i) run += std::string(1, static_cast<char>('a' + i)) + std::string(segment - 1, '.');
    run += std::string(37, 'z');
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "coalesced");
        if (refused) fault_plan(fault_op::enable_coalescing, -1, 0, 1, ENOPROTOOPT);
        net_endpoint* receiver = nullptr;
        ASSERT_EQ(dgram_open(&receiver, localhost, 0, DGRAM_BIND_ADDRESS_ONLY | DGRAM_COALESCE), NET_OK);
        EXPECT_EQ((receiver->state & DGRAM_STATE_NO_COALESCING) != 0, refused);
        std::uint16_t port = 0;
        net_local_address(receiver, nullptr, &port);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(localhost);
        iovec part{run.data(), run.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        msghdr message{&to, sizeof to, &part, 1, control, sizeof control, 0};
        cmsghdr* size = CMSG_FIRSTHDR(&message);
        *size = cmsghdr{CMSG_LEN(sizeof(std::uint16_t)), SOL_UDP, UDP_SEGMENT};
        std::uint16_t segment_size = segment;
        std::memcpy(CMSG_DATA(size), &segment_size, sizeof segment_size);
        ASSERT_EQ(sendmsg(sender.sock, &message, 0), static_cast<ssize_t>(run.size()));
        settle();
        dgram_batch batch{};
        ASSERT_EQ(dgram_batch_open(&batch), NET_OK);
        EXPECT_EQ(dgram_receive_batch(receiver, &batch, DGRAM_RECEIVE_BATCH_MAX, nullptr), refused ? 21 : 1);
        char* data = nullptr;
        const dgram_details* details = nullptr;
        int in_runs = 0;
        for (std::size_t at = 0; at < run.size();) {
            int n = dgram_batch_next(&batch, &data, &details);
            ASSERT_GE(n, 0);
            EXPECT_EQ(std::string(data, std::size_t(n)), run.substr(at, segment));
            EXPECT_EQ(details->from_port, sender.port);
            at += std::size_t(n);
            int size = segment;
            int more = dgram_batch_next_run(&batch, 7, &data, &size);
            EXPECT_EQ(std::string(data, std::size_t(more * size)), run.substr(at, std::size_t(more * size)));
            at += std::size_t(more * size);
            in_runs += more;
        }
        // One, then up to seven more, a pass: 17 of the 20 in runs; never the shorter last.
        EXPECT_EQ(in_runs, refused ? 0 : 17);
        EXPECT_EQ(dgram_batch_next(&batch, &data, &details), NET_TIMEOUT);
        dgram_batch_close(&batch);
        dgram_close(receiver);
    }
#endif
}
