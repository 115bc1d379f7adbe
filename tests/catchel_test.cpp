// catchel as a user runs it: its exact output for datagrams from plain
// sockets and from pitchel, and every way it refuses to start.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "catchel_start.h"
#include "formats.h"
#include "plain_udp.h"
#include "process.h"

namespace {

const std::string usage =
    "Usage: catchel [-bind <ip>] <port>\n"
    "       catchel [-bind <ip>] <multicast ip> <port>\n";
const std::string timeout_line = text_output("timeout/error err -1\n");
constexpr int output_wait_ms = 10000;

process_output catchel(const std::vector<std::string>& args) { return run_program(CATCHEL_PATH, args); }

void expect_output(const process_output& r, const std::string& out, int status) {
    EXPECT_EQ(r.out, text_output(out));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, exit_status(status));
}

std::string record(int number, std::uint16_t from_port, const std::string& text, std::size_t size) {
    return text_output("udp " + std::to_string(number) + " from 127.0.0.1:" + std::to_string(from_port) + " sz " +
                       std::to_string(size) + " :\n\n" + text + "\n");
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A catchel listening on a free port, fed by a plain socket.
class CatchelPrints : public testing::Test {
protected:
    void SetUp() override {
        sender = plain_udp_open();
        child = start_catchel({}, &port);
        ASSERT_NE(child, nullptr);
    }
    void TearDown() override {
        if (child != nullptr) {
            EXPECT_EQ(stop_program(child).err, "");
        }
        plain_udp_close(&sender);
    }
    void send(const std::string& data) { ASSERT_TRUE(plain_udp_send(&sender, data, port)); }
    void expect_output_becomes(const std::string& expected) {
        EXPECT_TRUE(wait_for_output(child, expected, output_wait_ms));
        EXPECT_EQ(output_so_far(child), expected);
    }
    std::uint16_t port = 0;
    plain_udp sender{};
    running_program* child = nullptr;
};

}  // namespace

TEST_F(CatchelPrints, RecordOfOneDatagram) {
    send(std::string("hello\0", 6));
    expect_output_becomes(record(1, sender.port, "hello", 6));
}

TEST_F(CatchelPrints, SilenceIsReportedOnceUntilTheNextDatagram) {
    send("first");
    send("second");
    std::string two_records = record(1, sender.port, "first", 5) + record(2, sender.port, "second", 6);
    ASSERT_TRUE(wait_for_output(child, two_records, output_wait_ms));
    // Over two seconds of silence: at least two waits run out, one line tells it.
    read_output_for(child, 2500);
    EXPECT_EQ(output_so_far(child), two_records + timeout_line);
    send("third");
    expect_output_becomes(two_records + timeout_line + record(3, sender.port, "third", 5) + timeout_line);
}

TEST_F(CatchelPrints, TextEndsAtTheFirstZeroByteButSizeCountsAll) {
    send(std::string("ab\0cd", 5));
    expect_output_becomes(record(1, sender.port, "ab", 5));
}

TEST_F(CatchelPrints, EmptyDatagram) {
    send("");
    expect_output_becomes(record(1, sender.port, "", 0));
}

TEST_F(CatchelPrints, LargestDatagramArrivesWhole) {
    std::string big(65507, 'x');
    send(big);
    expect_output_becomes(record(1, sender.port, big, big.size()));
}

// While catchel is held in a write to a full pipe, datagrams queue up on its
// socket; once it can write again it reads them one after another and
// their records leave together. Each must still come out whole, in order,
// with its own size, across more output than one write takes.
TEST_F(CatchelPrints, QueuedDatagramsComeOutWholeAndInOrder) {
    std::string expected;
    int number = 0;
    auto send_and_expect = [&](std::string data, std::size_t text_len) {
        std::size_t size = data.size();
        if (text_len < size) data[text_len] = '\0';
        send(data);
        expected += record(++number, sender.port, data.substr(0, text_len), size);
    };
    // More output than a pipe holds, with nothing read from it yet.
    for (int i = 0; i < 12; ++i) send_and_expect(std::string(8000, 'F'), 8000);
    const std::size_t sizes[] = {0, 7, 64, 1500, 1999, 5, 2000, 1, 1024, 333};
    for (int i = 0; i < 30; ++i) {
        std::size_t size = sizes[i % 10];
        // Every third one has a zero byte inside: its text stops there.
        send_and_expect(std::string(size, static_cast<char>('a' + i % 26)), i % 3 == 0 ? size / 2 : size);
    }
    expect_output_becomes(expected);
}

TEST(CatchelSource, PortAbove32767IsPrintedPositive) {
    std::uint16_t port = 0;
    running_program* child = start_catchel({}, &port);
    ASSERT_NE(child, nullptr);
    std::uint16_t high = 0;
    for (std::uint16_t candidate = 40000; high == 0 && candidate < 40100; ++candidate) {
        if (!plain_port_held(loopback_ip, candidate)) high = candidate;
    }
    ASSERT_NE(high, 0);
    plain_udp sender = plain_udp_open(high);
    ASSERT_TRUE(plain_udp_send(&sender, "hi", port));
    EXPECT_TRUE(wait_for_output(child, "from 127.0.0.1:" + std::to_string(high) + " sz 2 :", output_wait_ms));
    stop_program(child);
    plain_udp_close(&sender);
}

// A mapped address is the IPv4 address it maps, to either program.
TEST(CatchelBind, BoundReceiverPrintsWhatReachesItsAddress) {
    for (const char* bound : {"127.0.0.1", "::ffff:127.0.0.1"}) {
        SCOPED_TRACE(bound);
        std::uint16_t port = 0;
        running_program* child = start_catchel({"-bind", bound}, &port, loopback_ip);
        ASSERT_NE(child, nullptr);
        plain_udp sender = plain_udp_open();
        ASSERT_TRUE(plain_udp_send(&sender, "bound", port));
        EXPECT_TRUE(wait_for_output(child, record(1, sender.port, "bound", 5), output_wait_ms));
        EXPECT_EQ(run_program(PITCHEL_PATH, {"-bind", bound, "127.0.0.1", std::to_string(port), "sent"}).status, 0);
        EXPECT_TRUE(wait_for_output(child, text_output(" sz 5 :\n\nsent\n"), output_wait_ms));
        stop_program(child);
        plain_udp_close(&sender);
    }
}

#ifdef __linux__
// The size the kernel reports, against the cap the test reads itself: past
// it only with CAP_NET_ADMIN, which setpriv takes away.
TEST(CatchelBuffer, ForcedPastTheCapOnlyWhereTheSystemLetsIt) {
    long long cap = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
    if (geteuid() != 0 || cap <= 0 || cap > (1 << 28)) GTEST_SKIP() << "needs root, and a cap that doubled fits";
    const std::vector<std::string> args = {"-v", "-rcvbuf", std::to_string(cap + 4096), "-rcvbuf-force", "-w", "1",
                                           std::to_string(plain_free_port())};
    std::vector<std::string> without = {"--inh-caps=-net_admin", "--bounding-set=-net_admin", CATCHEL_PATH};
    without.insert(without.end(), args.begin(), args.end());
    EXPECT_EQ(run_program(CATCHEL_PATH, args).out,
              "receive buffer " + std::to_string(2 * (cap + 4096)) + " bytes\n" + timeout_line);
    process_output refused = run_program("/usr/bin/setpriv", without);
    EXPECT_EQ(refused.out, "cannot force receive buffer\nreason: Operation not permitted (1)\nreceive buffer " +
                               std::to_string(2 * cap) + " bytes\n" + timeout_line);
}
#endif

TEST(CatchelFailures, UsageWithoutAPort) {
    expect_output(catchel({}), usage, -2);
    expect_output(catchel({"-bind"}), usage, -2);
    expect_output(catchel({"-bind", "127.0.0.1"}), usage, -2);
}

TEST(CatchelFailures, AddressesThatDoNotResolve) {
    expect_output(catchel({"-bind", "0.0.0.0", "9"}), "invalid host/ip 0.0.0.0\n", -2);
    expect_output(catchel({"0.0.0.0", "9"}), "invalid ip address 0.0.0.0\n", -2);
}

TEST(CatchelFailures, ImpossiblePorts) {
    struct row {
        const char* port;
        const char* shown;
    };
    for (row r : {row{"0", "0"}, {"-1", "-1"}, {"65536", "65536"}, {"abc", "0"}, {"99999999999", "2147483647"}}) {
        SCOPED_TRACE(r.port);
        expect_output(catchel({r.port}), std::string("impossible port ") + r.shown + "\n", 1);
        expect_output(catchel({"239.1.1.1", r.port}), std::string("impossible port ") + r.shown + "\n", 1);
    }
}

// A capture that cannot be opened, or whose header cannot be written: its
// line, and under -v the system's reason.
TEST(CatchelFailures, CaptureThatCannotBeWritten) {
    const std::string missing = testing::TempDir() + "no-such-directory/capture.pcap";
    std::vector<std::string> paths = {missing};
#ifndef _WIN32
    paths.push_back("/dev/full");
#endif
    for (const std::string& path : paths) {
        for (bool verbose : {false, true}) {
            SCOPED_TRACE(path + (verbose ? " -v" : ""));
            std::vector<std::string> args = {"-pcap", path, std::to_string(plain_free_port())};
            if (verbose) args.insert(args.begin(), "-v");
            process_output result = catchel(args);
            std::string line = text_output("cannot write capture " + path + "\n");
            EXPECT_EQ(result.out.rfind(line, 0), 0u) << result.out;
            std::string rest = result.out.substr(std::min(line.size(), result.out.size()));
            EXPECT_EQ(rest.rfind("reason: ", 0) == 0, verbose) << rest;
            EXPECT_EQ(result.status, exit_status(-1));
        }
    }
}

TEST(CatchelFailures, PortAlreadyTaken) {
    plain_udp holder = plain_udp_open();
    std::string port = std::to_string(holder.port);
    expect_output(catchel({"-bind", "127.0.0.1", port}), "cannot initialize socket err -2\n", -1);
    // The bind fails before any group is joined.
    expect_output(catchel({"-bind", "127.0.0.1", "239.1.1.1", port}), "cannot initialize socket err -2\n", -1);
    plain_udp_close(&holder);
}

TEST(CatchelFailures, SecondReceiverOnTheSamePort) {
    std::uint16_t port = 0;
    running_program* first = start_catchel({}, &port);
    ASSERT_NE(first, nullptr);
    expect_output(catchel({std::to_string(port)}), "cannot initialize socket err -2\n", -1);
    process_output rest = stop_program(first);
    EXPECT_EQ(rest.out.find("cannot"), std::string::npos);
}

TEST(CatchelFailures, GroupThatCannotBeJoined) {
    // Not a group address: the system refuses the membership before anything is sent.
    expect_output(catchel({"127.0.0.1", std::to_string(plain_free_port())}), "cannot join multicast group err -2\n",
                  -2);
}

TEST(EndToEnd, PitchelMessageShowsUpAtCatchel) {
    std::uint16_t port = 0;
    running_program* child = start_catchel({}, &port);
    ASSERT_NE(child, nullptr);
    process_output sent = run_program(PITCHEL_PATH, {"127.0.0.1", std::to_string(port), "hello"});
    EXPECT_EQ(sent.status, 0);
    EXPECT_TRUE(wait_for_output(child, text_output(" sz 6 :\n\nhello\n"), output_wait_ms));
    EXPECT_EQ(output_so_far(child).rfind("udp 1 from 127.0.0.1:", 0), 0u);
    stop_program(child);
}

TEST(EndToEnd, PitchelFileShowsUpAtCatchel) {
    std::uint16_t port = 0;
    running_program* child = start_catchel({}, &port);
    ASSERT_NE(child, nullptr);
    std::filesystem::path file = std::filesystem::temp_directory_path() / ("catchel-file-" + std::to_string(port));
    std::ofstream(file, std::ios::binary) << "line one\nline two";
    EXPECT_EQ(run_program(PITCHEL_PATH, {"127.0.0.1", std::to_string(port), "-f", file.string()}).status, 0);
    EXPECT_TRUE(wait_for_output(child, text_output(" sz 17 :\n\nline one\nline two\n"), output_wait_ms));
    EXPECT_EQ(occurrences(output_so_far(child), "udp "), 1u);
    stop_program(child);
    std::filesystem::remove(file);
}

TEST(CatchelBind, DualStackShowsIpv4AsBeforeAndIpv6InBrackets) {
    std::uint16_t port = 0;
    running_program* child = start_catchel({"-6"}, &port);
    ASSERT_NE(child, nullptr);
    plain_udp four = plain_udp_open();
    plain_udp six = plain_udp_open_ipv6();
    ASSERT_TRUE(plain_udp_send(&four, "four", port));
    std::string expected = record(1, four.port, "four", 4);
    EXPECT_TRUE(wait_for_output(child, expected, output_wait_ms));
    ASSERT_TRUE(plain_udp_send_ipv6(&six, "six", port));
    expected += text_output("udp 2 from [::1]:" + std::to_string(six.port) + " sz 3 :\n\nsix\n");
    EXPECT_TRUE(wait_for_output(child, expected, output_wait_ms));
    EXPECT_EQ(output_so_far(child), expected);
    stop_program(child);
    plain_udp_close(&four);
    plain_udp_close(&six);
}

#ifndef _WIN32
namespace {

// One datagram to 127.0.0.1:`to_port` that claims to come from
// 127.0.0.1:`from_port`: its UDP header written here, through a raw
// socket. False when this process may not open one.
bool send_forged(std::uint16_t from_port, std::uint16_t to_port, const std::string& payload) {
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    if (raw < 0) return false;
    std::string datagram = {char(from_port >> 8), char(from_port & 0xff), char(to_port >> 8), char(to_port & 0xff),
                            char((payload.size() + 8) >> 8), char((payload.size() + 8) & 0xff), 0, 0};
    datagram += payload;  // a checksum of 0: none, which IPv4 allows
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool sent = sendto(raw, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                static_cast<ssize_t>(datagram.size());
    close(raw);
    return sent;
}

}  // namespace
#endif

// A probe forged to come from another reflector, or from the reflector
// itself: at most one echo, not a loop between them.
TEST(CatchelEcho, OneForgedProbeMakesOneEchoAtMost) {
#ifdef _WIN32
    GTEST_SKIP() << "a forged source needs a raw socket, which Windows keeps from UDP";
#else
    struct row {
        bool from_itself;
        const char* received_by_first;  // the total lines' counts
        const char* received_by_second;
    };
    const std::vector<std::string> args = {"-echo", "-q", "-stats", "-c", "20", "-w", "1"};
    for (const row& r : {row{false, "total datagrams 1 ", "total datagrams 1 "},
                         row{true, "total datagrams 1 ", "total datagrams 0 "}}) {
        SCOPED_TRACE(r.from_itself);
        std::uint16_t first_port = 0, second_port = 0;
        running_program* first = start_catchel(args, &first_port);
        running_program* second = start_catchel(args, &second_port);
        ASSERT_TRUE(first != nullptr && second != nullptr);
        if (!send_forged(r.from_itself ? first_port : second_port, first_port, probe(7, 1, 1))) {
            stop_program(first);
            stop_program(second);
            GTEST_SKIP() << "no raw socket: not root";
        }
        EXPECT_NE(wait_program(first, 20000).out.find(r.received_by_first), std::string::npos);
        EXPECT_NE(wait_program(second, 20000).out.find(r.received_by_second), std::string::npos);
    }
#endif
}
