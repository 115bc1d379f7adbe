// Endpoints opened while more than FD_SETSIZE descriptors are in use. A wait
// built on select() and an fd_set would write past the set for these; the
// layer's waits must send, wait and receive on them like on any other.
// POSIX only: Winsock sockets are handles, kept in counted sets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include "netlayer/netlayer.h"
#include "plain_udp.h"

namespace {

constexpr std::uint32_t localhost = 0x7f000001;
constexpr std::uint32_t short_wait_us = 20000;
constexpr std::uint32_t long_wait_us = 5000000;

constexpr int filled_below = FD_SETSIZE + 100;

// Fills every descriptor below `filled_below` with /dev/null, raising the
// soft descriptor limit first where it is lower, so that the next socket
// the layer makes lies above FD_SETSIZE.
class ManyDescriptors : public testing::Test {
protected:
    void SetUp() override {
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlim_t wanted = filled_below + 64;
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
            if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
                GTEST_SKIP() << "the hard descriptor limit " << limit.rlim_max << " is below " << wanted;
            }
            limit.rlim_cur = wanted;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        }
        low = open_endpoint();  // before the filling, for waits that mix low and high descriptors
        int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(null_fd, 0);
        fillers.push_back(null_fd);
        while (fillers.back() < filled_below) {
            int fd = fcntl(null_fd, F_DUPFD_CLOEXEC, 0);
            ASSERT_GE(fd, 0);
            fillers.push_back(fd);
        }
    }
    void TearDown() override {
        for (net_endpoint* ep : opened) dgram_close(ep);
        for (int fd : fillers) close(fd);
    }
    net_endpoint* open_endpoint() {
        net_endpoint* ep = nullptr;
        EXPECT_EQ(dgram_open(&ep, localhost, plain_free_port(), 0), NET_OK);
        if (ep != nullptr) opened.push_back(ep);
        return ep;
    }
    // An endpoint whose socket lies above FD_SETSIZE.
    net_endpoint* open_high_endpoint() {
        net_endpoint* ep = open_endpoint();
        EXPECT_NE(ep, nullptr);
        if (ep != nullptr) {
            EXPECT_GT(ep->sock, FD_SETSIZE);
        }
        return ep;
    }
    static std::uint16_t port_of(net_endpoint* ep) {
        std::uint16_t port = 0;
        EXPECT_EQ(net_local_address(ep, nullptr, &port), NET_OK);
        return port;
    }

    std::vector<int> fillers;
    std::vector<net_endpoint*> opened;
    net_endpoint* low = nullptr;
    char buf[100000] = {};
};

}  // namespace

TEST_F(ManyDescriptors, EndpointAboveTheSetSizeSendsWaitsAndReceives) {
    net_endpoint* receiver = open_high_endpoint();
    net_endpoint* sender = open_high_endpoint();
    ASSERT_FALSE(HasFailure());
    const std::string message = "above the set size";
    const int size = static_cast<int>(message.size());
    ASSERT_EQ(dgram_send_to(sender, message.data(), size, localhost, port_of(receiver), long_wait_us), NET_OK);
    ASSERT_EQ(dgram_wait(&receiver, 1, nullptr, long_wait_us), NET_OK);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_EQ(dgram_receive_from(receiver, buf, sizeof buf, &ip, &port, long_wait_us, 0), size);
    EXPECT_EQ(std::string(buf, message.size()), message);
    EXPECT_EQ(ip, localhost);
    EXPECT_EQ(port, port_of(sender));
    // Nothing more is queued: the wait runs its time and says so.
    EXPECT_EQ(dgram_receive(receiver, buf, sizeof buf, short_wait_us, 0), NET_TIMEOUT);
}

TEST_F(ManyDescriptors, WaitOverLowAndHighEndpointsFindsTheReadyOne) {
    ASSERT_NE(low, nullptr);
    ASSERT_LT(low->sock, FD_SETSIZE);
    net_endpoint* high = open_high_endpoint();
    net_endpoint* other_high = open_high_endpoint();
    ASSERT_FALSE(HasFailure());
    plain_udp sender = plain_udp_open();
    net_endpoint* order[3] = {low, high, other_high};
    int index = -1;
    ASSERT_TRUE(plain_udp_send(&sender, "to the last", port_of(other_high)));
    ASSERT_EQ(dgram_receive_any(order, 3, &index, buf, sizeof buf, long_wait_us, 0), 11);
    EXPECT_EQ(index, 2);
    ASSERT_TRUE(plain_udp_send(&sender, "to the low one", port_of(low)));
    ASSERT_EQ(dgram_receive_any(order, 3, &index, buf, sizeof buf, long_wait_us, 0), 14);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(dgram_wait(order, 3, &index, short_wait_us), NET_TIMEOUT);
    plain_udp_close(&sender);
}
