// Multicast and broadcast, run only inside the private network namespace
// that netns_run.sh makes: nothing here may reach a real network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "catchel_start.h"
#include "formats.h"
#include "netlayer/netlayer.h"
#include "plain_udp.h"
#include "process.h"
#include "wine.h"

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

// A plain socket on `port` of every local address, as broadcasts need;
// several of them may share the port.
plain_udp any_address_receiver(std::uint16_t port) {
    plain_udp udp{socket(AF_INET, SOCK_DGRAM, 0), port};
    int on = 1;
    EXPECT_EQ(setsockopt(udp.sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on), 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    EXPECT_EQ(bind(udp.sock, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    return udp;
}

// A member of `group` on the interface that holds `interface_ip`; 0 lets the system pick.
plain_udp group_member(std::uint32_t group, std::uint16_t port, std::uint32_t interface_ip = 0) {
    plain_udp udp = any_address_receiver(port);
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interface_ip);
    EXPECT_EQ(setsockopt(udp.sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&request),
                         sizeof request),
              0);
    return udp;
}

// pitchel with `args`, which must send and say nothing.
void pitchel_sends(const std::vector<std::string>& args) {
    process_output r = run_program(PITCHEL_PATH, args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
}

#ifndef _WIN32
// The time-to-live the datagram arrived with, as IP_RECVTTL reports it; -1 without one.
int received_ttl(const plain_udp* udp) {
    if (!plain_wait_readable(udp->sock, 5000)) return -1;
    char data[256];
    iovec part{data, sizeof data};
    alignas(cmsghdr) char control[64];
    msghdr message{.msg_name = nullptr, .msg_namelen = 0, .msg_iov = &part, .msg_iovlen = 1,
                   .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
    if (recvmsg(udp->sock, &message, 0) < 0) return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_TTL) continue;
        int ttl = 0;
        std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
        return ttl;
    }
    return -1;
}
#endif

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
    return wait_program(child, 20000);
}

// The text of each plain record, in order.
std::vector<std::string> texts_shown(std::string out) {
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());  // Windows' line ends
    std::vector<std::string> shown;
    for (std::size_t at = 0; (at = out.find(" :\n\n", at)) != std::string::npos; at += 4) {
        shown.push_back(out.substr(at + 4, out.find('\n', at + 4) - at - 4));
    }
    return shown;
}

// IPv6 groups need the veth pair: the kernel discards their datagrams on loopback.
#define REQUIRE_IPV6_PAIR()                                                                          \
    do {                                                                                              \
        REQUIRE_PRIVATE_NAMESPACE();                                                                  \
        if (std::getenv("NETLAYER_NETNS_PEER_IP6") == nullptr) GTEST_SKIP() << "no IPv6 veth pair made"; \
    } while (0)

// catchel with `args` before its port, fed by pitchel out of netns0 to
// `group`, each datagram from its source (empty: the system's pick), until a
// second passes without one.
process_output catchel_fed_ipv6(const std::vector<std::string>& args,
                                const std::vector<std::pair<std::string, std::string>>& datagrams,
                                const std::string& group) {
    std::uint16_t port = 0;
    running_program* child = start_catchel(args, &port);
    if (child == nullptr) return process_output{-1000, "", ""};
    for (const auto& [source, text] : datagrams) {
        std::vector<std::string> sent = {"-if", "netns0", group, std::to_string(port), text};
        if (!source.empty()) sent.insert(sent.begin(), {"-bind", source});
        pitchel_sends(sent);
    }
    return wait_program(child, 20000);
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

TEST(PrivateNamespace, ChosenTimeToLiveIsWhatTheMemberReceives) {
    REQUIRE_PRIVATE_NAMESPACE();
#ifdef _WIN32
    GTEST_SKIP() << "Winsock reports no received time-to-live";
#else
    struct row {
        const char* group;
        std::vector<std::string> options;
        int ttl;
    };
    const row rows[] = {
        {"230.1.2.3", {}, 1},
        {"230.1.2.3", {"-ttl", "7"}, 7},
        {"239.1.2.3", {"-ttl", "200"}, 200},
        {"239.1.2.3", {"-ttl", "0"}, 0},
        {"225.0.0.1", {"-ttl", "3", "-if", "127.0.0.1", "-loop", "1"}, 3},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.group) + " ttl " + std::to_string(r.ttl));
        std::uint16_t port = plain_free_port();
        plain_udp member = group_member(net_resolve(r.group), port);
        int on = 1;
        ASSERT_EQ(setsockopt(member.sock, IPPROTO_IP, IP_RECVTTL, &on, sizeof on), 0);
        std::vector<std::string> args = r.options;
        args.insert(args.end(), {r.group, std::to_string(port), "hi"});
        pitchel_sends(args);
        EXPECT_EQ(received_ttl(&member), r.ttl);
        plain_udp_close(&member);
    }
#endif
}

// On the loopback device every multicast datagram comes back whatever the
// loopback option says; only a datagram that leaves by another interface
// shows it: the copy for this host's members is the one the option keeps.
TEST(PrivateNamespace, InterfaceAndLoopbackDecideWhetherALocalMemberHears) {
    REQUIRE_PRIVATE_NAMESPACE();
    const char* veth = std::getenv("NETLAYER_NETNS_VETH_IP");
    if (veth == nullptr) GTEST_SKIP() << "netns_run.sh could not make its veth pair";
    struct row {
        const char* group;
        const char* loop;
        bool heard;
    };
    for (row r : {row{"230.1.2.3", "1", true}, {"230.1.2.3", "0", false}, {"239.1.2.3", "1", true},
                  {"239.1.2.3", "0", false}}) {
        SCOPED_TRACE(std::string(r.group) + " loop " + r.loop);
        std::uint16_t port = plain_free_port();
        plain_udp member = group_member(net_resolve(r.group), port, net_resolve(veth));
        pitchel_sends({"-if", veth, "-loop", r.loop, r.group, std::to_string(port), "hi"});
        std::string data;
        EXPECT_EQ(plain_udp_receive(&member, &data, r.heard ? 5000 : 300), r.heard);
        plain_udp_close(&member);
    }
}

TEST(PrivateNamespace, BroadcastOptionReachesAReceiver) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::uint16_t port = plain_free_port();
    plain_udp receiver = any_address_receiver(port);
    process_output refused = run_program(PITCHEL_PATH, {"127.255.255.255", std::to_string(port), "hi"});
    EXPECT_EQ(refused.out, text_output("cannot send err -2\n"));
    pitchel_sends({"-broadcast", "127.255.255.255", std::to_string(port), "hi"});
    std::string data;
    ASSERT_TRUE(plain_udp_receive(&receiver, &data, 5000));
    EXPECT_EQ(data, std::string("hi\0", 3));
    plain_udp_close(&receiver);
}

TEST(PrivateNamespace, BroadcastRequestListsEveryAnswer) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::uint16_t port = plain_free_port();
    plain_udp devices[2] = {any_address_receiver(port), any_address_receiver(port)};
    running_program* child =
        start_program(PITCHEL_PATH, {"-broadcast", "-reply", "1", "127.255.255.255", std::to_string(port), "who"});
    const char* answers[2] = {"device one", "device two"};
    for (int i = 0; i < 2; ++i) {
        std::string request;
        std::uint16_t from_port = 0;
        ASSERT_TRUE(plain_udp_receive(&devices[i], &request, 5000, &from_port));
        EXPECT_EQ(request, std::string("who\0", 4));
        EXPECT_TRUE(plain_udp_send(&devices[i], answers[i], from_port));
    }
    process_output r = wait_program(child);
    std::string from = " from 127.0.0.1:" + std::to_string(port) + " sz 10 :\n\n";
    EXPECT_EQ(r.out, text_output("udp 1" + from + "device one\nudp 2" + from + "device two\n"));
    EXPECT_EQ(r.status, 0);
    for (plain_udp& device : devices) plain_udp_close(&device);
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
                         {{"-json", "-w", "1", "239.1.1.1"}, "\"to\":\"239.1.1.1\","}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        process_output result = catchel_fed(r.args, {{&sender, "hi"}}, group);
        result.out = without_marks(result.out);  // the marks' own proof is pitchel's replay
        EXPECT_NE(result.out.find(text_output(r.expected)), std::string::npos) << result.out;
        EXPECT_EQ(result.status, 0);
    }
    plain_udp_close(&sender);
}

// Wine hands a source membership to Linux with its source and interface
// swapped (Windows orders the fields otherwise): with the interface left to
// the system it takes nothing, and a foreign interface goes unnoticed.
const char* const wine_source_membership = "wine swaps the source and interface of a source membership";

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
        if (wine_version() != nullptr && r.args[0] == "-source" && r.args[2] != "-if") {
            std::printf("skipped under wine: %s\n", wine_source_membership);
            continue;
        }
        process_output result =
            catchel_fed(r.args, {{&other, "one"}, {&chosen, "two"}, {&other, "three"}, {&chosen, "four"}}, group);
        EXPECT_EQ(texts_shown(result.out), r.shown) << result.out;
        EXPECT_EQ(result.status, 0);
    }
    plain_udp_close(&chosen);
    plain_udp_close(&other);
}

TEST(PrivateNamespace, JoinOnAnInterfaceThatIsNotHereFails) {
    REQUIRE_PRIVATE_NAMESPACE();
    std::string port = std::to_string(plain_free_port());
#ifdef _WIN32
    const std::string reason_re = "reason: .+ \\([0-9]+\\)\r\n";
#else
    const std::string reason_re = std::string("reason: ") + std::strerror(ENODEV) + " \\(" + std::to_string(ENODEV) + "\\)\n";
#endif
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-if", "10.9.9.9", "239.1.1.1", port},
                                                 {"-source", "127.0.0.1", "-if", "10.9.9.9", "239.1.1.1", port},
                                                 {"-v", "-if", "10.9.9.9", "239.1.1.1", port}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        if (wine_version() != nullptr && args[0] == "-source") {
            std::printf("skipped under wine: %s\n", wine_source_membership);
            continue;
        }
        process_output result = run_program(CATCHEL_PATH, args);
        std::string failure = text_output("cannot join multicast group err -2\n");
        EXPECT_EQ(result.out.substr(0, failure.size()), failure);
        std::string reason = result.out.substr(std::min(failure.size(), result.out.size()));
        EXPECT_TRUE(args[0] == "-v" ? std::regex_match(reason, std::regex(reason_re)) : reason.empty()) << reason;
        EXPECT_EQ(result.status, exit_status(-2));
    }
}

TEST(PrivateNamespace, CatchelShowsIpv6GroupsTheirSourcesAndZones) {
    REQUIRE_IPV6_PAIR();
    const std::string veth = std::getenv("NETLAYER_NETNS_VETH_IP6");
    struct row {
        std::vector<std::string> args;
        std::string group;
        std::string pattern;  // of a part of the output
    };
    const std::string from_veth = "udp 1 from \\[" + veth + "\\]:[0-9]+";
    for (const row& r : {row{{"-v", "-if", "netns1", "-w", "1"}, "ff15::7:1", from_veth + " to ff15::7:1 sz 4 :\n\none\n"},
                         {{"-json", "-if", "netns1", "-w", "1"}, "ff15::7:1", "\"to\":\"ff15::7:1\""},
                         // A link-scope group takes a link-local source, which only its zone makes whole.
                         {{"-if", "netns1", "-w", "1"}, "ff12::7:2", "udp 1 from \\[fe80::[0-9a-f:]+%netns1\\]:[0-9]+ sz 4 :\n\none\n"}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        std::vector<std::string> args = r.args;
        args.push_back(r.group);
        std::string source = r.group == "ff12::7:2" ? "" : veth;
        process_output result = catchel_fed_ipv6(args, {{source, "one"}}, r.group);
        std::string out = without_marks(result.out);
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        EXPECT_TRUE(std::regex_search(out, std::regex(r.pattern))) << out;
        EXPECT_EQ(result.status, 0);
    }
}

TEST(PrivateNamespace, Ipv6SourceMembershipTakesThatSourceAlone) {
    REQUIRE_IPV6_PAIR();
    if (const char* wine = wine_version()) GTEST_SKIP() << "wine does not implement MCAST_JOIN_SOURCE_GROUP: " << wine;
    const std::string chosen = std::getenv("NETLAYER_NETNS_VETH_IP6");
    const std::string other = std::getenv("NETLAYER_NETNS_PEER_IP6");
    // Without -source the other's datagrams arrive: the option is what keeps them out.
    for (bool only_chosen : {true, false}) {
        std::vector<std::string> args = {"-if", "netns1", "-w", "1", "ff15::7:3"};
        if (only_chosen) args.insert(args.begin(), {"-source", chosen});
        process_output result = catchel_fed_ipv6(
            args, {{other, "one"}, {chosen, "two"}, {other, "three"}, {chosen, "four"}}, "ff15::7:3");
        std::vector<std::string> expected = {"two", "four"};
        if (!only_chosen) expected = {"one", "two", "three", "four"};
        EXPECT_EQ(texts_shown(result.out), expected) << result.out;
        EXPECT_EQ(result.status, 0);
    }
}

TEST(PrivateNamespace, SharingReceiversOfAGroupEachPrintEveryDatagram) {
    REQUIRE_PRIVATE_NAMESPACE();
    const std::vector<std::string> args = {"-reuse", "-v", "-rcvbuf", "65536", "-c", "2", "239.1.1.3"};
    std::uint16_t port = 0;
    running_program* receivers[2] = {start_catchel(args, &port), nullptr};
    ASSERT_NE(receivers[0], nullptr);
    receivers[1] = start_program(CATCHEL_PATH, {"-reuse", "-v", "-rcvbuf", "65536", "-c", "2", "239.1.1.3",
                                                std::to_string(port)});
    // Told once the group is joined.
    for (running_program* receiver : receivers) {
        EXPECT_TRUE(wait_for_output(receiver, text_output(" bytes\n"), 10000));
    }
    pitchel_sends({"239.1.1.3", std::to_string(port), "one"});
    pitchel_sends({"239.1.1.3", std::to_string(port), "two"});
    for (running_program* receiver : receivers) {
        process_output r = wait_program(receiver);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("receive buffer ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(text_output(" sz 4 :\n\none\n")), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(text_output(" sz 4 :\n\ntwo\n")), std::string::npos) << r.out;
    }
}

// The datagram never leaves: the send itself fails, as the veth's MTU is 1500.
TEST(PrivateNamespace, DontFragmentFailsADatagramLargerThanTheLink) {
    REQUIRE_PRIVATE_NAMESPACE();
    if (std::getenv("NETLAYER_NETNS_VETH_IP") == nullptr) GTEST_SKIP() << "netns_run.sh could not make its veth pair";
    process_output r = run_program(PITCHEL_PATH, {"-df", "-v", "-x", "198.51.100.2", "9", std::string(4000, 'a')});
#ifdef _WIN32
    const std::string reason;  // Winsock's own words for WSAEMSGSIZE
#else
    const std::string reason = std::string(std::strerror(EMSGSIZE)) + " (" + std::to_string(EMSGSIZE) + ")\n";
#endif
    EXPECT_EQ(r.out.rfind(text_output("cannot send err -2\nreason: " + reason), 0), 0u) << r.out;
    EXPECT_EQ(r.status, exit_status(-1));
}

// Two members of a link-scope group echo each probe, one on either end of
// the pair; their echoes leave by different links, so from different
// link-local sources: the summary tells each responder apart.
TEST(PrivateNamespace, EchoesOfAGroupsMembersAreTheirOwnResponders) {
    REQUIRE_IPV6_PAIR();
    const std::string group = "ff12::7:4";
    std::vector<std::string> args = {"-q", "-echo", "-reuse", "-v", "-rcvbuf", "65536", "-w", "2", "-if", "netns0", group};
    std::uint16_t port = 0;
    running_program* members[2] = {start_catchel(args, &port), nullptr};
    ASSERT_NE(members[0], nullptr);
    args[9] = "netns1";
    args.push_back(std::to_string(port));
    members[1] = start_program(CATCHEL_PATH, args);
    for (running_program* member : members) EXPECT_TRUE(wait_for_output(member, text_output(" bytes\n"), 10000));
    process_output sender = run_program(
        PITCHEL_PATH, {"-seq", "-n", "3", "-r", "20", "-reply", "1", "-if", "netns0", group, std::to_string(port), "hi"});
    for (running_program* member : members) EXPECT_EQ(wait_program(member).status, 0);
    std::regex responder("\\[fe80::[0-9a-f:]+%netns[01]\\]:" + std::to_string(port) + " replies 3 lost 0 ");
    std::vector<std::string> lines = lines_of(sender.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_search(l, responder); }),
              2) << sender.out;
    EXPECT_EQ(sender.status, 0);
}
