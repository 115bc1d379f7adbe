// Multicast and broadcast, run only inside the private network namespace
// that netns_run.sh makes: nothing here may reach a real network.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// A plain socket bound to `ip` on a free port, to send from that address.
plain_udp sender_on(std::uint32_t ip) {
    plain_udp udp{socket(AF_INET, SOCK_DGRAM, 0), 0};
    sockaddr_in local = plain_address(ip, 0);
    EXPECT_EQ(bind(udp.sock, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    udp.port = plain_local_port(udp.sock);
    return udp;
}

// catchel with `args` before its port, fed each datagram from the sender
// beside it, until a second passes without one.
process_output catchel_fed(const std::vector<std::string>& args,
                           const std::vector<std::pair<const plain_udp*, std::string>>& datagrams,
                           std::uint32_t group) {
    std::uint16_t port = 0;
    running_program* child = start_catchel(args, &port);
    if (child == nullptr) return process_output{-1000, "", ""};
    for (const auto& [sender, data] : datagrams) EXPECT_TRUE(plain_udp_send(sender, data, port, group));
    return wait_for_end(child, 20000);
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

TEST(PrivateNamespace, CatchelNamesTheGroupADatagramWasSentTo) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::uint32_t group = net_make_ipv4(239, 1, 1, 1);
    plain_udp sender = sender_on(loopback_ip);
    struct row {
        std::vector<std::string> args;
        std::string expected;
    };
    std::string from = "from 127.0.0.1:" + std::to_string(sender.port);
    for (const row& r : {row{{"-v", "-w", "1", "239.1.1.1"}, "udp 1 " + from + " to 239.1.1.1 sz 2 :\n\nhi\n"},
                         {{"-if", "127.0.0.1", "-v", "-w", "1", "239.1.1.1"},
                          "udp 1 " + from + " to 239.1.1.1 sz 2 :\n\nhi\n"},
                         {{"-json", "-w", "1", "239.1.1.1"}, "\"to\":\"239.1.1.1\",\"size\":2,"}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        process_output result = catchel_fed(r.args, {{&sender, "hi"}}, group);
        EXPECT_NE(result.out.find(r.expected), std::string::npos) << result.out;
        EXPECT_EQ(result.status, 0);
    }
    plain_udp_close(&sender);
}

// Only the named source's datagrams to the group are delivered: those of a
// second address of the same loopback are not, though without the option
// they are.
TEST(PrivateNamespace, SourceMembershipTakesThatSourceAlone) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::uint32_t group = net_make_ipv4(239, 1, 1, 1);
    plain_udp chosen = sender_on(loopback_ip);
    plain_udp other = sender_on(net_make_ipv4(127, 0, 0, 2));
    struct row {
        std::vector<std::string> args;
        std::vector<std::string> shown;
    };
    for (const row& r : {row{{"-source", "127.0.0.1", "-w", "1", "239.1.1.1"}, {"two", "four"}},
                         {{"-source", "127.0.0.1", "-if", "127.0.0.1", "-w", "1", "239.1.1.1"}, {"two", "four"}},
                         {{"-w", "1", "239.1.1.1"}, {"one", "two", "three", "four"}}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        process_output result =
            catchel_fed(r.args, {{&other, "one"}, {&chosen, "two"}, {&other, "three"}, {&chosen, "four"}}, group);
        std::string shown;
        for (std::size_t at = 0; (at = result.out.find(" :\n\n", at)) != std::string::npos; at += 4) {
            shown += result.out.substr(at + 4, result.out.find('\n', at + 4) - at - 4) + " ";
        }
        std::string expected;
        for (const std::string& text : r.shown) expected += text + " ";
        EXPECT_EQ(shown, expected) << result.out;
        EXPECT_EQ(result.status, 0);
    }
    plain_udp_close(&chosen);
    plain_udp_close(&other);
}

TEST(PrivateNamespace, JoinOnAnInterfaceThatIsNotHereFails) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::string port = std::to_string(plain_free_port());
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-if", "10.9.9.9", "239.1.1.1", port},
                                                 {"-source", "127.0.0.1", "-if", "10.9.9.9", "239.1.1.1", port}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        process_output result = run_program(CATCHEL_PATH, args);
        EXPECT_EQ(result.out, "cannot join multicast group err -2\n");
        EXPECT_EQ(result.status, exit_status(-2));
    }
}
