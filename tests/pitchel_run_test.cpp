// pitchel driven in-process, so that the boundary shows which options it
// set and failures that sockets cannot produce on demand can be planned.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "fault.h"
#include "formats.h"
#include "in_process.h"
#include "pitchel.h"
#include "plain_udp.h"

namespace {

using run_result = in_process_result;

run_result run_pitchel(std::vector<std::string> args) { return run_in_process("pitchel", args, [](int argc, char** argv, std::FILE* out) {
        return pitchel_run(argc, argv, out, nullptr);
    }); }

std::vector<fault_call> calls_of(fault_op op) {
    std::vector<fault_call> found;
    for (const fault_call& call : fault_calls()) {
        if (call.op == op) found.push_back(call);
    }
    return found;
}

std::atomic<int> interrupted{0};

const std::atomic<int>* watch_interrupted() { return &interrupted; }

std::uint64_t big_endian(const std::string& bytes, std::size_t at, std::size_t length) {
    std::uint64_t value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::uint64_t utc_now_us() {
    auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_1970).count());
}

// Sends each datagram back to its source, `count` of them at most.
void echo(plain_udp* peer, int count) {
    std::string data;
    std::uint16_t from_port = 0;
    for (int i = 0; i < count && plain_udp_receive(peer, &data, 5000, &from_port); ++i) {
        plain_udp_send(peer, data, from_port);
    }
}

// Echoes each of `count` probes but those numbered in `dropped`, the one
// numbered `late` 1.2 s late.
void echo_but(plain_udp* peer, int count, std::vector<std::uint64_t> dropped, std::uint64_t late) {
    using steady = std::chrono::steady_clock;
    const steady::time_point give_up = steady::now() + std::chrono::seconds(20);
    std::string held;
    std::uint16_t from_port = 0;
    steady::time_point held_until{};
    for (int got = 0; (got < count || !held.empty()) && steady::now() < give_up;) {
        if (!held.empty() && steady::now() >= held_until) {
            plain_udp_send(peer, held, from_port);
            held.clear();
        }
        std::string data;
        if (!plain_udp_receive(peer, &data, 20, &from_port)) continue;
        ++got;
        std::uint64_t sequence = big_endian(data, 8, 8);
        if (sequence == late) {
            held = data;
            held_until = steady::now() + std::chrono::milliseconds(1200);
        } else if (std::find(dropped.begin(), dropped.end(), sequence) == dropped.end()) {
            plain_udp_send(peer, data, from_port);
        }
    }
}

// A capture of `count` datagrams "p" to `port`, 10 s apart, after one of
// `large` bytes over IPv6 where it is not 0; the file's name.
std::string write_capture(std::uint16_t port, int count, std::size_t large) {
    std::string path = testing::TempDir() + "pitchel_run_" + std::to_string(port) + ".pcap";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::uint8_t header[CAPTURE_FILE_HEADER_SIZE];
    capture_file_header(header);
    std::fwrite(header, 1, sizeof header, file);
    capture_record record;
    capture_record_open(&record, nullptr);
    std::vector<std::uint8_t> payload(std::max<std::size_t>(large, 1), 'p');
    const capture_address ipv6{CAPTURE_IPV6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    const capture_address ipv4{CAPTURE_IPV4, {127, 0, 0, 1}};
    for (int i = large != 0 ? -1 : 0; i < count; ++i) {
        const capture_address& at = i < 0 ? ipv6 : ipv4;
        std::uint64_t time_us = 1700000000000000 + std::uint64_t(i + 1) * 10000000;
        capture_datagram d{time_us, {at, 40000}, {at, port}, false, 0, false, 0, payload.data(), i < 0 ? large : 1};
        capture_record_build(&record, &d);
        std::fwrite(capture_record_bytes(&record), 1, record.size, file);
    }
    capture_record_close(&record);
    std::fclose(file);
    return path;
}

}  // namespace

using PitchelRun = balanced_test;

TEST_F(PitchelRun, MulticastOptionsOnlyForFirstOctets225To238) {
    struct destination {
        const char* address;
        bool multicast;
    };
    for (destination d : {destination{"224.0.0.1", false}, {"225.0.0.1", true}, {"230.1.2.3", true},
                          {"238.255.255.255", true}, {"239.1.2.3", false}}) {
        SCOPED_TRACE(d.address);
        fault_reset();
        fault_plan(fault_op::sendto, 3);  // taken at the boundary: nothing reaches the network
        run_result r = run_pitchel({d.address, "9", "hi"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        std::vector<fault_call> options = calls_of(fault_op::setsockopt);
        if (!d.multicast) {
            EXPECT_TRUE(options.empty());
            continue;
        }
        ASSERT_EQ(options.size(), 2u);
        EXPECT_EQ(options[0].name, IP_MULTICAST_TTL);
        EXPECT_EQ(options[0].value, 1);
        EXPECT_EQ(options[1].name, IP_MULTICAST_LOOP);
        EXPECT_EQ(options[1].value, 1);
        EXPECT_EQ(fault_calls().back().op, fault_op::cleanup);
    }
}

TEST_F(PitchelRun, OptionsAreSetBeforeTheSend) {
    fault_plan(fault_op::sendto, 3);
    ASSERT_EQ(run_pitchel({"230.1.2.3", "9", "hi"}).status, 0);
    std::size_t last_option = 0;
    std::size_t send = 0;
    const std::vector<fault_call>& calls = fault_calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == fault_op::setsockopt) last_option = i;
        if (calls[i].op == fault_op::sendto) send = i;
    }
    EXPECT_LT(last_option, send);
}

TEST_F(PitchelRun, FailedMulticastOptionClosesAndSendsNothing) {
    fault_plan(fault_op::setsockopt, -1, 1);
    run_result r = run_pitchel({"230.1.2.3", "9", "hi"});
    EXPECT_EQ(r.out, "cannot set multicast parameter err -2\n");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(fault_count(fault_op::sendto), 0);
}

TEST_F(PitchelRun, FailedOpenIsReported) {
    fault_plan(fault_op::socket, 0);
    run_result r = run_pitchel({"127.0.0.1", "9", "hi"});
    EXPECT_EQ(r.out, "cannot initialize socket err -2\n");
    EXPECT_EQ(r.status, -1);
}

TEST_F(PitchelRun, SendThatTimesOutOrFailsIsAFailure) {
    plain_udp peer = plain_udp_open();
    std::string port = std::to_string(peer.port);
    fault_plan(fault_op::select, 0);
    run_result timed_out = run_pitchel({"127.0.0.1", port, "hi"});
    EXPECT_EQ(timed_out.out, "cannot send err -1\n");
    EXPECT_EQ(timed_out.status, -1);
    fault_plan(fault_op::sendto, 2);
    run_result short_send = run_pitchel({"127.0.0.1", port, "hi"});
    EXPECT_EQ(short_send.out, "cannot send err -2\n");
    EXPECT_EQ(short_send.status, -1);
    std::string got;
    EXPECT_FALSE(plain_udp_receive(&peer, &got, 200));
    plain_udp_close(&peer);
}

// A name costs one lookup, found or not.
TEST_F(PitchelRun, AddressNameIsLookedUpOnce) {
    plain_udp peer = plain_udp_open();
    run_result r = run_pitchel({"-bind", "localhost", "127.0.0.1", std::to_string(peer.port), "hi"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fault_count(fault_op::lookup) + fault_count(fault_op::lookup_address), 1);
    std::vector<fault_call> binds = calls_of(fault_op::bind);
    EXPECT_EQ(binds.size(), 1u);
    std::string got;
    EXPECT_TRUE(plain_udp_receive(&peer, &got, 5000));
    plain_udp_close(&peer);
    fault_reset();
    fault_plan(fault_op::lookup_address, EAI_NONAME);  // no resolver is asked
    run_result unknown = run_pitchel({"-v", "no-such-host", "9", "hi"});
    EXPECT_EQ(unknown.out.rfind("invalid host/ip no-such-host\nreason: ", 0), 0u) << unknown.out;
    EXPECT_EQ(unknown.status, -2);
    EXPECT_EQ(fault_count(fault_op::lookup) + fault_count(fault_op::lookup_address), 1);
}

namespace {

struct option_call {
    int level;
    int name;
    int value;  // as the boundary shows it: an int, or the four bytes of an address
};

}  // namespace

TEST_F(PitchelRun, SendOptionsReachTheSocket) {
    struct row {
        std::vector<std::string> args;
        std::vector<option_call> calls;
    };
    const int loop_on = 1;
    const auto loopback = static_cast<int>(htonl(0x7f000001));
    const row rows[] = {
        {{"-ttl", "1", "127.0.0.1"}, {{IPPROTO_IP, IP_TTL, 1}}},
        {{"-ttl", "255", "127.0.0.1"}, {{IPPROTO_IP, IP_TTL, 255}}},
        {{"-loop", "0", "-if", "127.0.0.1", "127.0.0.1"}, {}},
        {{"-ttl", "5", "230.1.2.3"}, {{IPPROTO_IP, IP_MULTICAST_LOOP, loop_on}, {IPPROTO_IP, IP_MULTICAST_TTL, 5}}},
        {{"-loop", "0", "230.1.2.3"}, {{IPPROTO_IP, IP_MULTICAST_TTL, 1}, {IPPROTO_IP, IP_MULTICAST_LOOP, 0}}},
        {{"-ttl", "0", "239.1.2.3"}, {{IPPROTO_IP, IP_MULTICAST_TTL, 0}}},
        {{"-ttl", "255", "239.1.2.3"}, {{IPPROTO_IP, IP_MULTICAST_TTL, 255}}},
        {{"-loop", "1", "224.0.0.1"}, {{IPPROTO_IP, IP_MULTICAST_LOOP, 1}}},
        {{"-if", "localhost", "239.1.2.3"}, {{IPPROTO_IP, IP_MULTICAST_IF, loopback}}},
        {{"-broadcast", "127.0.0.1"}, {{SOL_SOCKET, SO_BROADCAST, 1}}},
        {{"-ttl", "5", "::1"}, {{IPPROTO_IPV6, IPV6_V6ONLY, 1}, {IPPROTO_IPV6, IPV6_UNICAST_HOPS, 5}}},
        {{"ff15::1"},
         {{IPPROTO_IPV6, IPV6_V6ONLY, 1}, {IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 1}, {IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 1}}},
        {{"-ttl", "0", "-loop", "0", "-if", "1", "ff15::1"},
         {{IPPROTO_IPV6, IPV6_V6ONLY, 1},
          {IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0},
          {IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 0},
          {IPPROTO_IPV6, IPV6_MULTICAST_IF, 1}}},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        SCOPED_TRACE(args.front() + " " + args.back());
        args.insert(args.end(), {"9", "hi"});
        fault_reset();
        fault_plan(fault_op::sendto, 3);  // taken at the boundary: nothing reaches the network
        run_result result = run_pitchel(args);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
        std::vector<fault_call> options = calls_of(fault_op::setsockopt);
        ASSERT_EQ(options.size(), r.calls.size());
        for (std::size_t i = 0; i < options.size(); ++i) {
            EXPECT_EQ(options[i].level, r.calls[i].level);
            EXPECT_EQ(options[i].name, r.calls[i].name);
            EXPECT_EQ(options[i].value, r.calls[i].value);
        }
    }
}

TEST_F(PitchelRun, RefusedSendOptionClosesAndSendsNothing) {
    struct row {
        std::vector<std::string> args;
        const char* out;
    };
    const row rows[] = {
        {{"-ttl", "9", "127.0.0.1"}, "cannot set time-to-live err -2\n"},
        {{"-ttl", "9", "230.1.2.3"}, "cannot set multicast parameter err -2\n"},
        {{"-if", "127.0.0.1", "239.1.2.3"}, "cannot set multicast parameter err -2\n"},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = r.args;
        SCOPED_TRACE(args.front() + " " + args.back());
        args.insert(args.end(), {"9", "hi"});
        fault_reset();
        // The last option set is refused.
        fault_plan(fault_op::setsockopt, -1, static_cast<int>(args.back() == "230.1.2.3"));
        run_result result = run_pitchel(args);
        EXPECT_EQ(result.out, r.out);
        EXPECT_EQ(result.status, -1);
        EXPECT_EQ(fault_count(fault_op::sendto), 0);
        EXPECT_EQ(fault_calls().back().op, fault_op::cleanup);
    }
}

TEST_F(PitchelRun, CountStopsAtTheFirstFailedSend) {
    plain_udp peer = plain_udp_open();
    fault_plan(fault_op::send_batch, -1, 2);
    // Paced, each datagram is a batch of its own.
    run_result r = run_pitchel({"-n", "5", "-r", "10", "127.0.0.1", std::to_string(peer.port), "hi"});
    EXPECT_EQ(r.out, "cannot send err -2\n");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(fault_count(fault_op::send_batch), 3);
    std::string got;
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(plain_udp_receive(&peer, &got, 5000));
    EXPECT_FALSE(plain_udp_receive(&peer, &got, 200));
    plain_udp_close(&peer);
}

TEST_F(PitchelRun, DashReadsTheFirst9999BytesOfStandardInput) {
    std::string contents;
    for (int i = 0; i < 12000; ++i) contents.push_back(static_cast<char>(i * 13 % 256));
    std::string path = testing::TempDir() + "pitchel-stdin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::fclose(file);
    // This case runs in a process of its own: its standard input is its to change.
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
    plain_udp peer = plain_udp_open();
    run_result r = run_pitchel({"-n", "2", "127.0.0.1", std::to_string(peer.port), "-f", "-"});
    EXPECT_EQ(r.status, 0);
    std::string got;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
        EXPECT_EQ(got, contents.substr(0, 9999));
    }
    plain_udp_close(&peer);
    std::remove(path.c_str());
}

TEST_F(PitchelRun, FailedReplyWaitIsPrintedOnceAndIsNoReply) {
    plain_udp peer = plain_udp_open();
    // The first select is the send's; the three after it are reply waits.
    fault_plan(fault_op::select, -1, 1, 3);
    run_result r = run_pitchel({"-reply", "1", "127.0.0.1", std::to_string(peer.port), "hi"});
    EXPECT_EQ(r.out, "timeout/error err -2\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_GE(fault_count(fault_op::select), 5);
    plain_udp_close(&peer);
}

TEST_F(PitchelRun, ProbesCarryTheirHeaderThenTheMessage) {
    struct row {
        std::vector<std::string> size;
        std::string body;
        const char* to;
    };
    const row rows[] = {{{}, std::string("hi\0", 3), "127.0.0.1"},
                        {{"-size", "26"}, "hi", "127.0.0.1"},
                        {{"-size", "30"}, std::string("hi\0\0\0\0", 6), "127.0.0.1"},
                        {{}, std::string("hi\0", 3), "::1"}};
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.to) + " " + std::to_string(r.body.size()));
        plain_udp peer = r.to[0] == ':' ? plain_udp_open_ipv6() : plain_udp_open();
        std::vector<std::string> args{"-seq", "-n", "3"};
        args.insert(args.end(), r.size.begin(), r.size.end());
        for (const char* rest : {r.to, "", "hi"}) args.push_back(rest);
        args[args.size() - 2] = std::to_string(peer.port);
        std::uint64_t before_us = utc_now_us();
        run_result result = run_pitchel(args);
        std::uint64_t after_us = utc_now_us();
        EXPECT_EQ(result.out, "sent 3 datagrams\n");
        EXPECT_EQ(result.status, 0);
        std::uint64_t run = 0;
        for (std::uint64_t sequence = 1; sequence <= 3; ++sequence) {
            std::string got;
            ASSERT_TRUE(plain_udp_receive(&peer, &got, 5000));
            ASSERT_EQ(got.size(), 24 + r.body.size());
            EXPECT_EQ(got.substr(0, 4), "SEQ1");
            if (sequence == 1) run = big_endian(got, 4, 4);
            EXPECT_EQ(big_endian(got, 4, 4), run);
            EXPECT_EQ(big_endian(got, 8, 8), sequence);
            EXPECT_GE(big_endian(got, 16, 8) + 1000, before_us);  // the run's clock may round a millisecond apart
            EXPECT_LE(big_endian(got, 16, 8), after_us + 1000);
            EXPECT_EQ(got.substr(24), r.body);
        }
        plain_udp_close(&peer);
    }
}

// With -c 2 the sends end with the second reply, some probes perhaps
// unanswered; -q leaves the summary alone.
TEST_F(PitchelRun, EchoesGiveOneRoundTripEachAndTheSummaryCountsThem) {
    for (auto [wanted, quiet] : {std::pair{5, false}, {2, false}, {5, true}}) {
        SCOPED_TRACE(wanted);
        plain_udp peer = plain_udp_open();
        std::thread echoing(echo, &peer, 5);
        run_result result = run_pitchel({quiet ? "-q" : "-seq", "-seq", "-json", "-n", "5", "-c",
                                         std::to_string(wanted), "-reply", "5", "127.0.0.1",
                                         std::to_string(peer.port), "hi"});
        plain_udp_send(&peer, "", peer.port);  // the echo may still wait for probes that were never sent
        echoing.join();
        EXPECT_EQ(result.status, 0);
        std::vector<std::string> lines;
        for (std::size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1) {
            lines.push_back(result.out.substr(at, end - at));
        }
        int records = quiet ? 0 : wanted;
        ASSERT_EQ(lines.size(), std::size_t(records) + 2);
        for (int i = 0; i < records; ++i) {
            EXPECT_NE(lines[std::size_t(i)].find(",\"seq\":" + std::to_string(i + 1) + ",\"rtt_us\":"), std::string::npos)
                << lines[std::size_t(i)];
        }
        int sent = 0;
        ASSERT_EQ(std::sscanf(lines[std::size_t(records)].c_str(), "{\"sent\":%d}", &sent), 1);
        EXPECT_GE(sent, wanted);
        std::string counts = "\"port\":" + std::to_string(peer.port) + ",\"replies\":" + std::to_string(wanted) +
                             ",\"lost\":" + std::to_string(sent - wanted) + ",\"duplicates\":0";
        EXPECT_NE(lines.back().find(counts), std::string::npos) << lines.back();
        plain_udp_close(&peer);
    }
}

TEST_F(PitchelRun, InterruptedProbesEndWithTheSummaryOfWhatWasSent) {
    plain_udp peer = plain_udp_open();
    interrupted.store(0);
    fault_on_call(fault_op::send_batch, [] { interrupted.store(1); }, 2);
    run_result r = run_in_process("pitchel", {"-seq", "-n", "100", "-r", "100", "127.0.0.1", std::to_string(peer.port), "hi"},
                                  [](int argc, char** argv, std::FILE* out) {
                                      return pitchel_run(argc, argv, out, watch_interrupted);
                                  });
    EXPECT_EQ(r.out, "sent 3 datagrams\n");
    plain_udp_close(&peer);
}

// Probes go every 100 ms for 2 s, each awaited for 2 s. Probe 6 (sent at
// 0.5 s) and 16 (1.5 s) are never answered: each is lost in the interval
// in which its wait runs out. Probe 4 is answered 1.2 s late, within its
// wait: it is lost nowhere, and its round trip counts where it arrived.
TEST_F(PitchelRun, IntervalsCountAProbeLostOnceItsWaitHasPassed) {
    plain_udp peer = plain_udp_open();
    std::thread echoing(echo_but, &peer, 20, std::vector<std::uint64_t>{6, 16}, 4);
    run_result result = run_pitchel({"-seq", "-n", "20", "-r", "10", "-reply", "2", "-q", "-json", "-i", "1",
                                     "127.0.0.1", std::to_string(peer.port), "hi"});
    echoing.join();
    plain_udp_close(&peer);
    std::vector<std::int64_t> lost;
    std::vector<double> slowest_ms;
    std::uint64_t replies = 0;
    for (std::size_t at = 0, end; (end = result.out.find('\n', at)) != std::string::npos; at = end + 1) {
        json_object outer;
        json_object line;
        ASSERT_TRUE(parse_json_line(result.out.substr(at, end - at), &outer)) << result.out;
        if (!parse_json_line(value_of(outer, "interval"), &line) || value_of(line, "from").empty()) continue;
        std::int64_t time_us = 0;
        EXPECT_TRUE(parse_utc(value_of(line, "time"), &time_us)) << value_of(line, "time");
        lost.push_back(std::stoll(value_of(line, "lost")));
        replies += std::stoull(value_of(line, "replies"));
        json_object rtt;
        ASSERT_TRUE(parse_json_line(value_of(line, "rtt_ms"), &rtt));
        slowest_ms.push_back(std::stod(value_of(rtt, "max")));
    }
    ASSERT_GE(lost.size(), 4u) << result.out;
    EXPECT_EQ(std::vector<std::int64_t>(lost.begin(), lost.begin() + 4), (std::vector<std::int64_t>{0, 0, 1, 1}))
        << result.out;
    EXPECT_EQ(std::count(lost.begin() + 4, lost.end(), 0), std::ptrdiff_t(lost.size() - 4)) << result.out;
    EXPECT_GE(slowest_ms[1], 1200) << result.out;
    EXPECT_EQ(replies, 18u);
    EXPECT_NE(result.out.find("\"replies\":18,\"lost\":2,"), std::string::npos) << result.out;
}

// An interrupt or the replies wanted end a replay mid-gap (a replay that
// waited a gap out would pass the test's time limit); a datagram too large
// for IPv4 is skipped; a replay that sent nothing says so; counts lost are
// a failed write.
TEST_F(PitchelRun, ReplayEndsEarlyAndTellsWhatItSkipped) {
    struct row {
        std::vector<std::string> options;
        std::size_t large;
        int count;
        bool interrupt, replied, lost;
        std::string told;
        std::size_t arrivals;
        int status;
    };
    const std::vector<row> rows = {
        {{"-v", "-r", "1000"}, 65527, 3, false, false, false,
         "packet 1: 65527 bytes, too large to send: skipped\nsent 3 datagrams, skipped 1\n", 3, 0},
        {{}, 65527, 0, false, false, false, "sent 0 datagrams, skipped 1\n", 0, 0},
        {{"-v"}, 0, 3, true, false, false, "sent 1 datagrams, skipped 0\n", 1, 0},
        {{"-reply", "9", "-c", "1"}, 0, 3, false, true, false, "", 1, 0},
#ifndef _WIN32
        {{"-v"}, 0, 1, false, false, true, "", 1, 3},
#endif
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.told);
        plain_udp peer = plain_udp_open();
        std::string path = write_capture(peer.port, r.count, r.large);
        std::thread echoing;
        if (r.replied) echoing = std::thread(echo, &peer, 1);
        interrupted.store(0);
        if (r.interrupt) fault_on_call(fault_op::sendto, [] { interrupted.store(1); });
        std::vector<std::string> args = r.options;
        for (std::string rest : {std::string("-pcap"), path, std::string("127.0.0.1"), std::to_string(peer.port)}) {
            args.push_back(rest);
        }
        run_result result = run_in_process("pitchel", args, [&r](int argc, char** argv, std::FILE* out) {
            std::FILE* full = r.lost ? std::fopen("/dev/full", "w") : nullptr;
            if (full != nullptr) std::setvbuf(full, nullptr, _IONBF, 0);
            int status = pitchel_run(argc, argv, full != nullptr ? full : out, watch_interrupted);
            if (full != nullptr) std::fclose(full);
            return status;
        });
        if (r.replied) echoing.join();
        std::string reply = "udp 1 from 127.0.0.1:" + std::to_string(peer.port) + " sz 1 :\n\np\n";
        EXPECT_EQ(result.out, (r.replied ? reply : "") + r.told);
        EXPECT_EQ(result.status, r.status);
        std::size_t arrivals = r.replied ? 1 : 0;
        for (std::string got; plain_udp_receive(&peer, &got, 200);) ++arrivals;
        EXPECT_EQ(arrivals, r.arrivals);
        plain_udp_close(&peer);
        std::remove(path.c_str());
    }
}
