// Multicast and broadcast, run only inside the private network namespace
// that netns_run.sh makes: nothing here may reach a real network.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "catchel_start.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"
#include "process.h"

namespace {

const char* skip_reason() {
    const char* marked = std::getenv("NETLAYER_PRIVATE_NETNS");
    if (marked != nullptr && std::strcmp(marked, "1") == 0) return nullptr;
    return "needs the private network namespace of netns_run.sh (root with unshare and ip)";
}

#define REQUIRE_PRIVATE_NAMESPACE()                     \
    do {                                                \
        if (const char* why = skip_reason()) GTEST_SKIP() << why; \
    } while (0)

// A plain socket on `port` of every local address, member of `group`.
plain_udp group_member(std::uint32_t group, std::uint16_t port) {
    plain_udp udp{socket(AF_INET, SOCK_DGRAM, 0), port};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    EXPECT_EQ(bind(udp.sock, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    EXPECT_EQ(setsockopt(udp.sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                         sizeof request),
              0);
    return udp;
}

}  // namespace

TEST(PrivateNamespace, PitchelReachesAGroupMember) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (const char* group : {"239.1.2.3", "230.1.2.3", "225.0.0.1"}) {
        SCOPED_TRACE(group);
        std::uint16_t port = plain_free_port();
        plain_udp member = group_member(net_resolve(group), port);
        process_output r = run_program(PITCHEL_PATH, {group, std::to_string(port), "hello"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        std::string data;
        ASSERT_TRUE(plain_udp_receive(&member, &data, 5000));
        EXPECT_EQ(data, std::string("hello\0", 6));
        plain_udp_close(&member);
    }
}

TEST(PrivateNamespace, JoinAndLeaveAGroup) {
    REQUIRE_PRIVATE_NAMESPACE();
    net_endpoint* ep = nullptr;
    ASSERT_EQ(dgram_open(&ep, 0, plain_free_port(), DGRAM_MULTIPOINT), NET_OK);
    std::uint32_t group = net_make_ipv4(239, 1, 1, 1);
    EXPECT_EQ(dgram_join_group(ep, group), NET_OK);
    EXPECT_EQ(dgram_join_group(ep, group), NET_ERROR);  // already a member
    EXPECT_EQ(dgram_leave_group(ep, group), NET_OK);
    EXPECT_EQ(dgram_leave_group(ep, group), NET_ERROR);  // no longer one
    dgram_close(ep);
}

TEST(PrivateNamespace, BroadcastWithoutTheOptionIsAFailedSend) {
    REQUIRE_PRIVATE_NAMESPACE();
    process_output r = run_program(PITCHEL_PATH, {"255.255.255.255", "9", "hi"});
    EXPECT_EQ(r.out, text_output("cannot send err -2\n"));
    EXPECT_EQ(r.status, exit_status(-1));
}

TEST(PrivateNamespace, CatchelPrintsWhatPitchelSendsToItsGroup) {
    REQUIRE_PRIVATE_NAMESPACE();
    for (const char* group : {"239.1.1.1", "230.1.2.3"}) {
        SCOPED_TRACE(group);
        std::uint16_t port = 0;
        running_program* child = start_catchel({group}, &port);
        ASSERT_NE(child, nullptr);
        process_output sent = run_program(PITCHEL_PATH, {group, std::to_string(port), "to the group"});
        EXPECT_EQ(sent.status, 0);
        EXPECT_TRUE(wait_for_output(child, text_output(" sz 13 :\n\nto the group\n"), 10000));
        // The namespace's loopback offers no source address for groups, so any is shown.
        EXPECT_EQ(output_so_far(child).rfind("udp 1 from ", 0), 0u);
        process_output rest = stop_program(child);
        EXPECT_EQ(rest.err, "");
    }
}

TEST(PrivateNamespace, SecondGroupReceiverOnTheSamePortFails) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::uint16_t port = 0;
    running_program* first = start_catchel({"239.1.1.1"}, &port);
    ASSERT_NE(first, nullptr);
    process_output second = run_program(CATCHEL_PATH, {"239.1.1.1", std::to_string(port)});
    EXPECT_EQ(second.out, text_output("cannot initialize socket err -2\n"));
    EXPECT_EQ(second.status, exit_status(-1));
    stop_program(first);
}
