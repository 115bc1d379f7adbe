// catchel's output forms and its ends of itself, as a user runs it: each
// form read back with the tests' own references, the times against this
// test's clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "catchel_start.h"
#include "formats.h"
#include "plain_udp.h"
#include "process.h"

namespace {

constexpr int end_wait_ms = 20000;
constexpr std::int64_t time_bound_us = 300000000;  // generous: only a wrong clock or calendar is off by more

const std::string usage =
    "Usage: catchel [-bind <ip>] <port>\n"
    "       catchel [-bind <ip>] <multicast ip> <port>\n";

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct fed_run {
    process_output result;
    std::uint16_t sender_port;
    std::uint16_t port;  // catchel's
};

// catchel with `args` and a free port, sent `datagrams` from a plain
// socket, until it ends by itself.
fed_run run_fed(const std::vector<std::string>& args, const std::vector<std::string>& datagrams) {
    std::uint16_t port = 0;
    running_program* child = start_catchel(args, &port);
    if (child == nullptr) return fed_run{process_output{-1000, "", ""}, 0, 0};
    plain_udp sender = plain_udp_open();
    for (const std::string& data : datagrams) EXPECT_TRUE(plain_udp_send(&sender, data, port));
    fed_run run{wait_program(child, end_wait_ms), sender.port, port};
    plain_udp_close(&sender);
    return run;
}

std::string header(int number, std::uint16_t from_port, std::size_t size, const std::string& to = "") {
    return "udp " + std::to_string(number) + " from 127.0.0.1:" + std::to_string(from_port) + to + " sz " +
           std::to_string(size) + " :\n\n";
}

}  // namespace

TEST(CatchelForms, HexDumpShowsEveryByte) {
    std::vector<std::string> sent = {std::string("hello\0", 6), "", random_bytes(1500, 2)};
    fed_run run = run_fed({"-x", "-c", "3"}, sent);
    std::string expected;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        expected += header(static_cast<int>(i + 1), run.sender_port, sent[i].size()) + hex_reference(sent[i]);
    }
    EXPECT_EQ(run.result.out, text_output(expected));
    EXPECT_EQ(run.result.status, 0);
}

TEST(CatchelForms, JsonLinesCarryEveryByteWhateverTheOtherForms) {
    std::vector<std::string> sent = {std::string("hello\0", 6), "", random_bytes(65507, 3)};
#ifdef _WIN32
    const std::vector<std::string> keys = {"n", "time", "from", "port", "to", "size", "data"};  // no drop count
#else
    const std::vector<std::string> keys = {"n", "time", "from", "port", "to", "size", "dropped", "data"};
#endif
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-json", "-c", "3"}, {"-x", "-t", "-v", "-json", "-c", "3"}}) {
        SCOPED_TRACE(args.size());
        std::int64_t before = now_us();
        fed_run run = run_fed(args, sent);
        EXPECT_EQ(run.result.status, 0);
        std::vector<std::string> lines = lines_of(run.result.out);
        ASSERT_EQ(lines.size(), sent.size()) << run.result.out;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            json_object object;
            ASSERT_TRUE(parse_json_line(lines[i], &object)) << lines[i];
            // The arrival marks come with -v alone, where a platform gives them.
            bool marks_asked = args.size() > 3;
            EXPECT_EQ(marks_asked ? keys_without_marks(object) : keys_of(object), keys);
            EXPECT_EQ(value_of(object, "n"), std::to_string(i + 1));
            EXPECT_EQ(value_of(object, "from"), "127.0.0.1");
            EXPECT_EQ(value_of(object, "port"), std::to_string(run.sender_port));
            EXPECT_EQ(value_of(object, "to"), "127.0.0.1");
            EXPECT_EQ(value_of(object, "size"), std::to_string(sent[i].size()));
            EXPECT_EQ(base64_decode(value_of(object, "data")), sent[i]);
            std::int64_t time_us = 0;
            ASSERT_TRUE(parse_utc(value_of(object, "time"), &time_us)) << lines[i];
            EXPECT_GT(time_us, before - time_bound_us);
            EXPECT_LT(time_us, now_us() + time_bound_us);
        }
    }
}

TEST(CatchelForms, TimeAndDestinationInTheHeaderButNotInTheTimeOutLine) {
    std::int64_t before = now_us();
    fed_run run = run_fed({"-t", "-v", "-w", "1"}, {"hi"});
    EXPECT_EQ(run.result.status, 0);
    std::vector<std::string> lines = lines_of(run.result.out);
    ASSERT_EQ(lines.size(), 4u) << run.result.out;
    std::int64_t time_us = 0;
    ASSERT_TRUE(parse_utc(lines[0].substr(0, 27), &time_us)) << lines[0];
    EXPECT_GT(time_us, before - time_bound_us);
    EXPECT_LT(time_us, now_us() + time_bound_us);
    std::string expected = " ";
    expected += header(1, run.sender_port, 2, " to 127.0.0.1");
    expected += "hi\n";
    EXPECT_EQ(without_marks(lines[0].substr(27)) + "\n\n" + lines[2] + "\n", expected);
    EXPECT_EQ(lines[3], "timeout/error err -1");
}

// Loss, duplicates and reorder of sequences 1,2,4,3,3,6, in text and JSON;
// the jitter and delays against RFC 3550's own words over the arrival times
// the records tell.
TEST(CatchelFigures, StreamOfProbesCountedAsSentAndTimedAsTheRecordsSay) {
    const std::uint64_t sequences[] = {1, 2, 4, 3, 3, 6};
    std::vector<std::string> sent;
    std::int64_t start_us = now_us();
    for (std::size_t i = 0; i < 6; ++i) sent.push_back(probe(0xc0ffee, sequences[i], start_us + 1000 * i * i));
    fed_run text = run_fed({"-stats", "-c", "6"}, sent);
    std::vector<std::string> text_lines = lines_of(text.result.out);
    ASSERT_GE(text_lines.size(), 2u);
    EXPECT_EQ(text_lines[text_lines.size() - 2].rfind("stream from 127.0.0.1 port " + std::to_string(text.sender_port) +
                                                          " run 12648430 received 6 lost 1 duplicates 1 reordered 1 "
                                                          "outside 0 first 1 highest 6 jitter_us ",
                                                      0),
              0u)
        << text.result.out;

    fed_run json = run_fed({"-json", "-stats", "-c", "6"}, sent);
    std::vector<std::string> lines = lines_of(json.result.out);
    ASSERT_EQ(lines.size(), 8u) << json.result.out;
    double jitter = 0;
    std::int64_t delays[6];
    for (std::size_t i = 0; i < 6; ++i) {
        json_object record;
        std::int64_t arrival_us = 0;
        ASSERT_TRUE(parse_json_line(lines[i], &record) && parse_utc(value_of(record, "time"), &arrival_us));
        delays[i] = arrival_us - static_cast<std::int64_t>(start_us + 1000 * i * i);
        // J(i) = J(i-1) + (|D(i-1,i)| - J(i-1))/16
        if (i > 0) jitter += (std::fabs(static_cast<double>(delays[i] - delays[i - 1])) - jitter) / 16;
    }
    json_object outer;
    json_object stream;
    ASSERT_TRUE(parse_json_line(lines[6], &outer) && parse_json_line(value_of(outer, "stream"), &stream)) << lines[6];
    for (auto [key, expected] : {std::pair<const char*, const char*>{"received", "6"}, {"lost", "1"},
                                 {"duplicates", "1"}, {"reordered", "1"}, {"first", "1"}, {"highest", "6"}}) {
        EXPECT_EQ(value_of(stream, key), expected) << key;
    }
    EXPECT_NEAR(std::stod(value_of(stream, "jitter_us")), jitter, 0.001);
    json_object delay;
    ASSERT_TRUE(parse_json_line(value_of(stream, "delay_us"), &delay));
    EXPECT_EQ(std::stoll(value_of(delay, "min")), *std::min_element(delays, delays + 6));
    EXPECT_EQ(std::stoll(value_of(delay, "max")), *std::max_element(delays, delays + 6));
    json_object total;
    ASSERT_TRUE(parse_json_line(lines[7], &outer) && parse_json_line(value_of(outer, "total"), &total)) << lines[7];
    EXPECT_EQ(value_of(total, "datagrams"), "6");
    EXPECT_EQ(value_of(total, "bytes"), std::to_string(6 * sent[0].size()));
}

TEST(CatchelLimits, CountAndIdleTimeEndTheRun) {
    struct row {
        std::vector<std::string> args;
        int sent;
        int records;
        std::size_t other_lines;
        std::string last_line;  // how it begins
        int status;
    };
    // A summary's figures but the first few vary with the times.
    const std::string summary = "total datagrams 2 bytes 4 seconds ";
    for (const row& r : {row{{"-c", "2"}, 3, 2, 0, "hi", 0},
                         {{"-c", "1", "-w", "1"}, 1, 1, 0, "hi", 0},
                         {{"-w", "1"}, 0, 0, 1, "timeout/error err -1", 2},
                         {{"-w", "1"}, 2, 2, 1, "timeout/error err -1", 0},
                         {{"-c", "5", "-w", "1"}, 1, 1, 1, "timeout/error err -1", 0},
                         {{"-json", "-w", "1"}, 0, 0, 1, "{\"err\":-1}", 2},
                         {{"-stats", "-c", "2"}, 3, 2, 1, summary, 0},
                         {{"-stats", "-w", "1"}, 2, 2, 2, summary, 0},
                         {{"-q", "-stats", "-w", "1"}, 2, 0, 1, summary, 0},
                         // One arrival is no time at all: no rate.
                         {{"-q", "-stats", "-w", "1"}, 1, 0, 1, "total datagrams 1 bytes 2 seconds 0.000000", 0}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        fed_run run = run_fed(r.args, std::vector<std::string>(static_cast<std::size_t>(r.sent), "hi"));
        std::vector<std::string> lines = lines_of(run.result.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(r.last_line, 0), 0u) << lines.back();
        EXPECT_EQ(lines.back().find("seconds 0.000000 datagrams_per_second"), std::string::npos) << lines.back();
        std::size_t records = 0;
        for (const std::string& line : lines) records += line.rfind("udp ", 0) == 0;
        EXPECT_EQ(records, static_cast<std::size_t>(r.records)) << run.result.out;
        EXPECT_EQ(lines.size(), 3 * records + r.other_lines) << run.result.out;
        EXPECT_EQ(run.result.status, exit_status(r.status));
    }
}

TEST(CatchelFailures, NewOptionsRefusedWithTheUsage) {
    struct row {
        std::vector<std::string> args;
        const char* line;
    };
    for (const row& r : {row{{"-if", "127.0.0.1", "9"}, "-if needs a multicast group\n"},
                         {{"-source", "127.0.0.1", "-x", "9"}, "-source needs a multicast group\n"},
                         {{"-rcvbuf-force", "9"}, "-rcvbuf-force needs -rcvbuf\n"},
                         {{"-c", "0", "9"}, "invalid value 0 for -c\n"},
                         {{"-w", "-1", "9"}, "invalid value -1 for -w\n"},
                         {{"-w", "1s", "9"}, "invalid value 1s for -w\n"},
                         {{"-c"}, "missing value for -c\n"}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        process_output result = run_program(CATCHEL_PATH, r.args);
        EXPECT_EQ(result.out, text_output(r.line + usage));
        EXPECT_EQ(result.status, exit_status(-2));
    }
}

TEST(CatchelFailures, MembershipOptionsThatCannotBeResolvedOrJoined) {
    std::string port = std::to_string(plain_free_port());
    struct row {
        std::vector<std::string> args;
        const char* out;
    };
    // 127.0.0.1 is no group: the system refuses each membership before anything is sent.
    for (const row& r : {row{{"-if", "0.0.0.0", "239.1.1.1", port}, "invalid host/ip 0.0.0.0\n"},
                         {{"-source", "0.0.0.0", "239.1.1.1", port}, "invalid host/ip 0.0.0.0\n"},
                         {{"-if", "127.0.0.1", "127.0.0.1", port}, "cannot join multicast group err -2\n"},
                         {{"-source", "127.0.0.1", "127.0.0.1", port}, "cannot join multicast group err -2\n"},
                         {{"-source", "127.0.0.1", "-if", "127.0.0.1", "127.0.0.1", port},
                          "cannot join multicast group err -2\n"}}) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        process_output result = run_program(CATCHEL_PATH, r.args);
        EXPECT_EQ(result.out, text_output(r.out));
        EXPECT_EQ(result.status, exit_status(-2));
    }
}

// The capture laid open field by field here, in this host's order as it is
// written; tcpdump checks the checksums.
TEST(CatchelCapture, EachDatagramWithItsAddressesPortsAndArrival) {
    // The last two alike but for their bytes: the second's headers serve the third.
    const std::vector<std::string> sent = {"one", std::string("two\0\xff", 5), std::string("six\0\x01", 5)};
    const std::string path = testing::TempDir() + "catchel_capture.pcap";
    auto number = [](const std::string& bytes, std::size_t at) {
        std::uint32_t n = 0;
        std::memcpy(&n, bytes.data() + at, 4);
        return std::int64_t{n};
    };
    auto ports = [](std::uint16_t from, std::uint16_t to) {
        return std::string{char(from >> 8), char(from & 0xff), char(to >> 8), char(to & 0xff)};
    };
    for (const std::string& target : {path, std::string("-")}) {
        SCOPED_TRACE(target);
        std::int64_t before = now_us();
        fed_run run = run_fed({"-pcap", target, "-c", "3"}, sent);
        std::int64_t after = now_us();
        EXPECT_EQ(run.result.status, 0);
        std::ifstream saved(path, std::ios::binary);
        std::string file = target == "-" ? run.result.out : std::string(std::istreambuf_iterator<char>(saved), {});
        // Records go on beside a capture in a file.
        std::string records = header(1, run.sender_port, 3) + "one\n" + header(2, run.sender_port, 5) + "two\n" +
                              header(3, run.sender_port, 5) + "six\n";
        EXPECT_TRUE(target == "-" || run.result.out == text_output(records)) << run.result.out;
        ASSERT_GE(file.size(), 24u);
        EXPECT_EQ(number(file, 20), 101);  // raw IP
        std::size_t at = 24;
        for (const std::string& data : sent) {
            ASSERT_LE(at + 16 + 28, file.size());
            std::int64_t time_us = number(file, at) * 1000000 + number(file, at + 4);
            EXPECT_TRUE(time_us >= before && time_us <= after) << time_us;
            std::string packet = file.substr(at + 16, static_cast<std::size_t>(number(file, at + 8)));
            std::string loopback("\x7f\0\0\x01", 4);
            EXPECT_EQ(packet.substr(12, 12), loopback + loopback + ports(run.sender_port, run.port));
            EXPECT_EQ(packet.substr(28), data);
            at += 16 + packet.size();
        }
        EXPECT_EQ(at, file.size());
    }
#ifndef _WIN32
    process_output dump =
        run_program("/bin/sh", {"-c", "command -v tcpdump >/dev/null || exit 127; exec tcpdump -n -vv -r \"$0\"", path});
    if (dump.status == exit_status(127)) GTEST_SKIP() << "tcpdump is not installed";
    EXPECT_EQ(dump.err.find("warning"), std::string::npos) << dump.err;
    EXPECT_EQ(dump.out.find("bad"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("[udp sum ok] UDP, length 3\n"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("[udp sum ok] UDP, length 5\n"), std::string::npos) << dump.out;
#endif
}

// A 64 KB tmpfs, mounted only inside a mount namespace of the test's own,
// fills up partway through a record: the capture ends at the record before,
// is told once and given up, and the run counts every datagram. Paced, each
// record leaves in a write of its own; sent at once, many leave together,
// and the write is cut back within itself.
TEST(CatchelCapture, AFullDiskEndsTheCaptureAtAWholeRecordAndTheRunGoesOn) {
#ifdef _WIN32
    GTEST_SKIP() << "a small disk is made with a Linux mount namespace";
#else
    if (run_program("/bin/sh", {"-c", "exec unshare --mount true"}).status != 0) GTEST_SKIP() << "no unshare --mount";
    const std::string disk = testing::TempDir() + "small_disk";
    const std::string copy = testing::TempDir() + "small_disk_copy.pcap";
    // The capture is copied out before the namespace, and its tmpfs, go.
    const char* inside = "mkdir -p \"$0\" && mount -t tmpfs -o size=64k tmpfs \"$0\" || exit 99; "
                         "\"$1\" -v -q -stats -c 100 -pcap \"$0/cap.pcap\" \"$2\"; status=$?; "
                         "cp \"$0/cap.pcap\" \"$3\"; exit $status";
    for (const std::vector<std::string>& pace : {std::vector<std::string>{"-r", "500"}, std::vector<std::string>{}}) {
        SCOPED_TRACE(::testing::PrintToString(pace));
        std::uint16_t port = plain_free_port();
        running_program* child = start_program(
            "/bin/sh", {"-c", "exec unshare --mount --propagation private /bin/sh -c \"$0\" \"$@\"", inside, disk,
                        CATCHEL_PATH, std::to_string(port), copy});
        for (int waited = 0; waited < end_wait_ms && !plain_port_held(0, port); waited += 10) read_output_for(child, 10);
        // 1001 bytes each (pitchel ends a message with a 0).
        std::vector<std::string> args = {"-n", "100", "127.0.0.1", std::to_string(port), std::string(1000, 'c')};
        args.insert(args.begin(), pace.begin(), pace.end());
        run_program(PITCHEL_PATH, args);
        process_output result = wait_program(child, end_wait_ms);
        EXPECT_EQ(result.status, exit_status(4));
        std::string told = "cannot write capture " + disk + "/cap.pcap\nreason: " + std::strerror(ENOSPC) + " (" +
                           std::to_string(ENOSPC) + ")\ntotal datagrams 100 bytes 100100 ";
        EXPECT_EQ(result.out.rfind(told, 0), 0u) << result.out;
        process_output dump = run_program("/bin/sh", {"-c", "command -v tcpdump >/dev/null || exit 127; "
                                                            "tcpdump -n -r \"$0\" | grep -c 'UDP, length 1001'", copy});
        if (dump.status == exit_status(127)) GTEST_SKIP() << "tcpdump is not installed";
        EXPECT_EQ(dump.err.find("truncated"), std::string::npos) << dump.err;
        // Every record that fitted is kept: the file header and one record more would not have.
        std::size_t records = std::strtoul(dump.out.c_str(), nullptr, 10);
        EXPECT_GT(24 + (records + 1) * (16 + 28 + 1001), 64u * 1024) << records;
    }
#endif
}
