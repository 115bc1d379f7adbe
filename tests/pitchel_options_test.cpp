// pitchel's options as a user gives them: the bytes and the count a plain
// socket receives, the replies it prints, and the lines that refuse a
// command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "capture/capture.h"
#include "catchel_start.h"
#include "formats.h"
#include "plain_udp.h"
#include "process.h"

namespace {

const std::string usage =
    "Usage: pitchel [-bind <ip>] <host/ip> <port> <msg>\n"
    "       pitchel [-bind <ip>] <host/ip> <port> -f <file>\n";

std::vector<std::string> with_destination(std::vector<std::string> options, std::uint16_t port,
                                          const std::vector<std::string>& rest) {
    options.push_back("127.0.0.1");
    options.push_back(std::to_string(port));
    options.insert(options.end(), rest.begin(), rest.end());
    return options;
}

// catchel's record of a datagram, written out here as its format reads:
// the header, an empty line, the text up to its first zero byte.
std::string record(int number, std::uint16_t port, const std::string& data) {
    return "udp " + std::to_string(number) + " from 127.0.0.1:" + std::to_string(port) + " sz " +
           std::to_string(data.size()) + " :\n\n" + data.substr(0, data.find('\0')) + "\n";
}

class PitchelOptions : public testing::Test {
protected:
    void SetUp() override { peer = plain_udp_open(); }
    void TearDown() override { plain_udp_close(&peer); }

    process_output pitchel(const std::vector<std::string>& options, const std::vector<std::string>& rest) {
        return run_program(PITCHEL_PATH, with_destination(options, peer.port, rest));
    }
    // Every datagram that arrives until none has for a while.
    std::vector<std::string> all_received() {
        std::vector<std::string> got;
        for (std::string data; plain_udp_receive(&peer, &data, got.empty() ? 5000 : 300);) got.push_back(data);
        return got;
    }
    plain_udp peer{};
};

void expect_quiet_success(const process_output& r) {
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

}  // namespace

TEST_F(PitchelOptions, CountSendsThatManyOfTheSameDatagram) {
    for (std::vector<std::string> options :
         {std::vector<std::string>{"-n", "5"}, {"-n", "4", "-r", "1000"}, {"-n", "3", "-x"}}) {
        SCOPED_TRACE(options.back());
        std::string sent = options.back() == "-x" ? "" : std::string("again\0", 6);  // -x "": an empty datagram
        expect_quiet_success(pitchel(options, {sent.empty() ? "" : "again"}));
        EXPECT_EQ(all_received(), std::vector<std::string>(std::stoul(options[1]), sent));
    }
}

TEST_F(PitchelOptions, PayloadForms) {
    struct row {
        std::vector<std::string> options;
        const char* message;
        std::string sent;
    };
    const row rows[] = {
        {{"-nozero"}, "hello", "hello"},
        {{"-x"}, "48690aFF00", std::string("Hi\n\xff\0", 5)},
        {{"-x"}, "", ""},
        {{"-x", "-nozero"}, "0001", std::string("\0\1", 2)},
        {{}, "hello", std::string("hello\0", 6)},
        {{"-size", "3"}, "hello", "hel"},
        {{"-size", "8"}, "hi", std::string("hi\0\0\0\0\0\0", 8)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        expect_quiet_success(pitchel(r.options, {r.message}));
        EXPECT_EQ(all_received(), std::vector<std::string>{r.sent});
    }
}

TEST_F(PitchelOptions, HexThatIsNotHexIsRefusedAndNothingSent) {
    for (const char* text : {"abc", "0g", "12 34", "0x12", "-1", "1"}) {
        SCOPED_TRACE(text);
        process_output r = pitchel({"-x", "-n", "2"}, {text});
        EXPECT_EQ(r.out, text_output(std::string("invalid hex message ") + text + "\n"));
        EXPECT_EQ(r.status, 1);
        std::string data;
        EXPECT_FALSE(plain_udp_receive(&peer, &data, 200)) << "a datagram arrived";
    }
}

TEST_F(PitchelOptions, DashAloneReadsStandardInput) {
    // The runner gives the child the null device as its standard input.
    expect_quiet_success(pitchel({}, {"-f", "-"}));
    EXPECT_EQ(all_received(), std::vector<std::string>{""});
}

TEST_F(PitchelOptions, AFileCalledDashIsReadByItsPath) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("pitchel-dash-" + std::to_string(peer.port));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "-", std::ios::binary) << "from the file";
    expect_quiet_success(pitchel({}, {"-f", (dir / "-").string()}));
    EXPECT_EQ(all_received(), std::vector<std::string>{"from the file"});
    std::filesystem::remove_all(dir);
}

TEST(PitchelOptionErrors, NameTheOptionAndItsValueThenTheUsage) {
    struct row {
        std::vector<std::string> options;
        std::string line;
    };
    const row rows[] = {
        {{"-n", "0"}, "-n 0 needs -r: an endless flood must be paced"},
        {{"-n", "-3"}, "invalid value -3 for -n"},
        {{"-n", "many"}, "invalid value many for -n"},
        {{"-n", "4294967296"}, "invalid value 4294967296 for -n"},
        {{"-n", "2", "-r", "0"}, "invalid value 0 for -r"},
        {{"-n", "2", "-r", "1000000001"}, "invalid value 1000000001 for -r"},
        {{"-r", "10"}, "-r needs -n"},
        {{"-ttl", "256"}, "invalid value 256 for -ttl"},
        {{"-ttl", "-1"}, "invalid value -1 for -ttl"},
        {{"-ttl", "0"}, "invalid value 0 for -ttl"},  // to 127.0.0.1: not a group
        {{"-loop", "2"}, "invalid value 2 for -loop"},
        {{"-reply", "0"}, "invalid value 0 for -reply"},
        {{"-reply", "3601"}, "invalid value 3601 for -reply"},
        {{"-reply", "1.5"}, "invalid value 1.5 for -reply"},
        {{"-seq", "-size", "23"}, "invalid value 23 for -size"},  // below the probe header
        {{"-size", "65508"}, "invalid value 65508 for -size"},    // above IPv4's largest datagram
        {{"-size", "65528"}, "invalid value 65528 for -size"},
        {{"-c", "3"}, "-c needs -reply"},
        {{"-seq", "-i", "1"}, "-i needs -seq and -reply"},
        {{"-reply", "1", "-i", "1"}, "-i needs -seq and -reply"},
        {{"-seq", "-pcap", "a.pcap"}, "-seq needs a message, not -pcap"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        process_output result = run_program(PITCHEL_PATH, with_destination(r.options, 9, {"hi"}));
        EXPECT_EQ(result.out, text_output(r.line + "\n" + usage));
        EXPECT_EQ(result.status, 1);
    }
}

TEST(PitchelOptionErrors, MissingValueIsNamed) {
    for (const char* option : {"-n", "-r", "-ttl", "-loop", "-if", "-reply"}) {
        SCOPED_TRACE(option);
        process_output result = run_program(PITCHEL_PATH, {option});
        EXPECT_EQ(result.out, text_output(std::string("missing value for ") + option + "\n" + usage));
        EXPECT_EQ(result.status, 1);
    }
}

TEST(PitchelOptionErrors, InterfaceThatDoesNotResolve) {
    process_output result = run_program(PITCHEL_PATH, {"-if", "0.0.0.0", "239.1.2.3", "9", "hi"});
    EXPECT_EQ(result.out, text_output("invalid host/ip 0.0.0.0\n"));
    EXPECT_EQ(result.status, exit_status(-2));
}

class PitchelReplies : public PitchelOptions {
protected:
    // pitchel sending `message` with `options` and -reply 1, and the port it sent from.
    running_program* start(const std::vector<std::string>& options, const std::string& message,
                           std::uint16_t* from_port) {
        std::vector<std::string> args = {"-reply", "1"};
        args.insert(args.end(), options.begin(), options.end());
        running_program* child = start_program(PITCHEL_PATH, with_destination(args, peer.port, {message}));
        std::string data;
        EXPECT_TRUE(plain_udp_receive(&peer, &data, 5000, from_port)) << "pitchel sent nothing";
        return child;
    }
};

TEST_F(PitchelReplies, OneReplyIsPrintedAsCatchelPrintsIt) {
    const std::string reply("pong\0tail", 9);
    const std::string header = "udp 1 from 127.0.0.1:" + std::to_string(peer.port) + " sz 9 :\n\n";
    // -x: a binary request is mostly answered in binary, shown as catchel -x shows it.
    for (bool hex : {false, true}) {
        std::uint16_t pitchel_port = 0;
        running_program* child = hex ? start({"-x"}, "70696e67", &pitchel_port) : start({}, "ping", &pitchel_port);
        ASSERT_TRUE(plain_udp_send(&peer, reply, pitchel_port));
        process_output r = wait_program(child);
        EXPECT_EQ(r.out, text_output(hex ? header + hex_reference(reply) : record(1, peer.port, reply)));
        EXPECT_EQ(r.status, 0);
    }
}

TEST_F(PitchelReplies, RepliesFromSeveralSocketsAreNumberedInTurn) {
    std::uint16_t pitchel_port = 0;
    running_program* child = start({"-n", "2"}, "who is there", &pitchel_port);
    plain_udp others[2] = {plain_udp_open(), plain_udp_open()};
    ASSERT_TRUE(plain_udp_send(&peer, "first", pitchel_port));
    ASSERT_TRUE(plain_udp_send(&others[0], "second", pitchel_port));
    ASSERT_TRUE(plain_udp_send(&others[1], "third", pitchel_port));
    process_output r = wait_program(child);
    EXPECT_EQ(r.out, text_output(record(1, peer.port, "first") + record(2, others[0].port, "second") +
                                 record(3, others[1].port, "third")));
    EXPECT_EQ(r.status, 0);
    for (plain_udp& other : others) plain_udp_close(&other);
}

TEST_F(PitchelReplies, SilenceIsStatus2AndPrintsNothing) {
    std::uint16_t pitchel_port = 0;
    process_output r = wait_program(start({}, "anyone?", &pitchel_port));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 2);
}

TEST_F(PitchelReplies, JsonPrintsEachReplyAsOneLine) {
    std::uint16_t pitchel_port = 0;
    running_program* child = start({"-json"}, "ping", &pitchel_port);
    const std::string replies[] = {std::string("bin\0\xff\n", 6), "", "ab"};
    for (const std::string& reply : replies) ASSERT_TRUE(plain_udp_send(&peer, reply, pitchel_port));
    process_output r = wait_program(child);
    EXPECT_EQ(r.status, 0);
    // As catchel -json prints them: the keys in its order, the bytes in base64.
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        json_object object;
        ASSERT_TRUE(parse_json_line(lines[i], &object));
        std::vector<std::string> keys = keys_without_marks(object);
        keys.erase(std::remove(keys.begin(), keys.end(), "dropped"), keys.end());  // only where the system counts
        EXPECT_EQ(keys, (std::vector<std::string>{"n", "time", "from", "port", "to", "size", "data"}));
        EXPECT_EQ(value_of(object, "n"), std::to_string(i + 1));
        EXPECT_EQ(value_of(object, "from"), "127.0.0.1");
        EXPECT_EQ(value_of(object, "port"), std::to_string(peer.port));
        EXPECT_EQ(value_of(object, "size"), std::to_string(replies[i].size()));
        EXPECT_EQ(base64_decode(value_of(object, "data")), replies[i]);
    }
}

TEST_F(PitchelOptions, JsonWithoutReplyChangesNothing) {
    expect_quiet_success(pitchel({"-json"}, {"hello"}));
    EXPECT_EQ(all_received(), std::vector<std::string>{std::string("hello\0", 6)});
}

namespace {

template <typename Number>
std::string host_order(Number value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

struct captured {
    std::uint32_t offset_us;
    std::uint16_t port;
    char payload;
};

// A capture of this host's datagrams to itself, made by the library's
// writer as pcap, or rewrapped by hand as pcapng: a section, an interface,
// an enhanced packet block for each.
std::string capture_of(const std::vector<captured>& packets, bool pcapng) {
    const std::string one_zero = host_order<std::uint16_t>(1) + host_order<std::uint16_t>(0);
    std::uint8_t header[CAPTURE_FILE_HEADER_SIZE];
    capture_file_header(header);
    std::string file = pcapng ? host_order(0x0a0d0d0au) + host_order(28u) + host_order(0x1a2b3c4du) + one_zero +
                                    std::string(8, '\xff') + host_order(28u) + host_order(1u) + host_order(20u) +
                                    host_order<std::uint16_t>(101) + host_order<std::uint16_t>(0) + host_order(0u) +
                                    host_order(20u)
                              : std::string(header, header + sizeof header);
    capture_record record;
    capture_record_open(&record, nullptr);
    const capture_address loopback{CAPTURE_IPV4, {127, 0, 0, 1}};
    for (const captured& p : packets) {
        std::uint64_t t = 1700000000000000 + p.offset_us;
        auto payload = reinterpret_cast<const std::uint8_t*>(&p.payload);
        capture_datagram d{t, {loopback, 40000}, {loopback, p.port}, false, 0, false, 0, payload, 1};
        capture_record_build(&record, &d);
        std::string built(reinterpret_cast<const char*>(capture_record_bytes(&record)), record.size);
        auto block = static_cast<std::uint32_t>(32 + 32);  // a 29-byte packet padded to 32
        file += pcapng ? host_order(6u) + host_order(block) + host_order(0u) + host_order(std::uint32_t(t >> 32)) +
                             host_order(std::uint32_t(t)) + built.substr(8, 8) + built.substr(16) +
                             std::string(3, '\0') + host_order(block)
                       : built;
    }
    capture_record_close(&record);
    return file;
}

}  // namespace

// The gaps are checked from the first datagram's arrival, as pitchel keeps
// them from its first send; the lower bound is the tighter. Each datagram
// leaves with the marks asked for.
TEST(PitchelReplay, CaptureGapsAndMarksKeptToCatchelAndACutEndsIt) {
    struct row {
        bool pcapng;
        std::size_t cut;
        int status;
        std::string told;
    };
    for (const row& r : {row{false, 0, 0, "sent 3 datagrams, skipped 1\n"},
                         {true, 0, 0, "sent 3 datagrams, skipped 1\n"},
                         {false, 5, 1, "sent 2 datagrams, skipped 1\n"}}) {
        SCOPED_TRACE(std::to_string(r.pcapng) + " cut " + std::to_string(r.cut));
        std::uint16_t port = 0;
        running_program* catchel = start_catchel({"-t", "-v", "-c", "3", "-w", "2"}, &port);
        ASSERT_NE(catchel, nullptr);
        const std::vector<captured> packets = {{0, port, 'a'},
                                               {100000, static_cast<std::uint16_t>(port + 1), 'x'},
                                               {150000, port, 'b'},
                                               {400000, port, 'c'}};
        std::string file = capture_of(packets, r.pcapng);
        std::string path = testing::TempDir() + "pitchel_replay.cap";
        std::ofstream(path, std::ios::binary) << file.substr(0, file.size() - r.cut);
        process_output sent = run_program(
            PITCHEL_PATH, {"-v", "-tos", "184", "-ttl", "9", "-port", std::to_string(port), "-pcap", path, "127.0.0.1",
                           std::to_string(port)});
        process_output got = wait_program(catchel);
        EXPECT_EQ(sent.status, r.status);
        EXPECT_EQ(sent.out.find("cut short") != std::string::npos, r.cut != 0) << sent.out;
        std::string told = text_output(r.told);
        EXPECT_EQ(sent.out.substr(sent.out.size() - std::min(sent.out.size(), told.size())), told);
        std::vector<std::string> lines = lines_of(got.out);
        std::vector<std::int64_t> arrivals;
        for (std::size_t i = 0; i + 2 < lines.size(); i += 3) {
            std::int64_t time_us = 0;
            ASSERT_TRUE(parse_utc(lines[i].substr(0, 27), &time_us)) << got.out;
            arrivals.push_back(time_us);
#ifndef _WIN32  // which marks Winsock tells, and sends, depends on the Windows
            EXPECT_NE(lines[i].find(" to 127.0.0.1 ttl 9 tos 0xb8 sz 1 :"), std::string::npos) << lines[i];
#endif
            EXPECT_EQ(lines[i + 2], std::string(1, static_cast<char>('a' + arrivals.size() - 1))) << got.out;
        }
        ASSERT_EQ(arrivals.size(), r.cut == 0 ? 3u : 2u) << got.out;
        const std::int64_t offsets[] = {0, 150000, 400000};
        for (std::size_t i = 1; i < arrivals.size(); ++i) {
            EXPECT_GE(arrivals[i] - arrivals[0], offsets[i] - 20000);
            EXPECT_LE(arrivals[i] - arrivals[0], offsets[i] + 250000);
        }
    }
}

TEST(PitchelReplay, DashReadsStandardInput) {
    // The runner gives the child the null device as its standard input: no capture in it.
    process_output r = run_program(PITCHEL_PATH, {"-pcap", "-", "127.0.0.1", "9"});
    EXPECT_EQ(r.out.rfind("-: ", 0), 0u) << r.out;
    EXPECT_EQ(r.status, 1);
}
