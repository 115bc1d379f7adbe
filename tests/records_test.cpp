// The record forms against the tests' own references, at the sizes that
// strain the output's room; hexdump, where installed, vouches for the
// hex reference.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "formats.h"
#include "records/records.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

struct writer {
    record_output output{};
    record_output* out = &output;
    explicit writer(record_format format, bool to_terminal = false) {
        EXPECT_TRUE(record_output_init(out, to_terminal, format));
    }
    ~writer() { record_output_free(out); }
    writer(const writer&) = delete;
    writer& operator=(const writer&) = delete;
    void add(record_datagram d, const std::string& data) {
        std::memcpy(record_data(out), data.data(), data.size());
        d.size = static_cast<int>(data.size());
        record_add(out, &d);
    }
    std::string text() const { return std::string(out->bytes, out->used); }
};

record_datagram datagram(std::uint64_t number) {
    return record_datagram{number, 0,
                           dgram_details{net_address_from_ipv4(0x7f000001), 40312, false, {}, false, 0, false, 0,
                                         false, 0, false, 0},
                           false, 0, 0};
}

const std::string header = "udp 1 from 127.0.0.1:40312 sz ";
constexpr record_format hex{true, false, false, false};

#ifndef _WIN32
std::string hexdump_of(const std::string& bytes) {
    std::string path = testing::TempDir() + "records_hexdump_input";
    std::FILE* input = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), input);
    std::fclose(input);
    std::FILE* tool = popen(("hexdump -C -v " + path).c_str(), "r");
    std::string dump;
    for (int c; (c = std::fgetc(tool)) != EOF;) dump.push_back(static_cast<char>(c));
    pclose(tool);
    std::remove(path.c_str());
    return dump.erase(dump.rfind('\n', dump.size() - 2) + 1);  // its closing offset line
}
#endif

}  // namespace

TEST(Records, HexDumpOfAllBytesWhateverTheSize) {
    for (std::size_t size : {0, 1, 17, 65507, RECORD_DATA_CAPACITY}) {
        SCOPED_TRACE(size);
        std::string bytes = random_bytes(size, static_cast<unsigned>(size));
        writer w(hex);
        w.add(datagram(1), bytes);
        EXPECT_EQ(w.text(), header + std::to_string(size) + " :\n\n" + hex_reference(bytes));
    }
    writer w(hex);
    w.add(datagram(1), std::string("hello\0", 6));
    EXPECT_EQ(w.text(), header + "6 :\n\n00000000  68 65 6c 6c 6f 00                                 |hello.|\n");
#ifndef _WIN32
    if (std::system("command -v hexdump >/dev/null 2>&1") != 0) GTEST_SKIP() << "hexdump is not installed";
    std::string bytes = random_bytes(4099, 7);
    EXPECT_EQ(hex_reference(bytes), hexdump_of(bytes));
#endif
}

TEST(Records, TimeReadsBackAsTheCalendarHasIt) {
    for (std::uint64_t time_us : {0ull, 951782400000001ull, 4107542399999999ull, 1709164800500000ull,
                                  1796675581123456ull, 2147483648000042ull}) {
        SCOPED_TRACE(time_us);
        writer w(record_format{false, true, false, false});
        record_datagram d = datagram(1);
        d.details.has_time = true;
        d.details.time_us = time_us;
        w.add(d, "hi");
        std::int64_t read_back = 0;
        EXPECT_TRUE(parse_utc(w.text().substr(0, 27), &read_back)) << w.text();
        EXPECT_EQ(read_back, static_cast<std::int64_t>(time_us));
        EXPECT_EQ(w.text().substr(27), " " + header + "2 :\n\nhi\n");
    }
}

TEST(Records, DropLineTellsTheDropsSinceTheLastOneTold) {
    writer w(record_format{false, false, true, false});
    struct row {
        std::uint32_t total;
        const char* line_before;
    };
    std::string expected;
    for (row r : {row{0, ""}, {5, "kernel dropped 5 datagrams\n"}, {5, ""}, {7, "kernel dropped 2 datagrams\n"}}) {
        record_datagram d = datagram(1);
        d.details.has_dropped = true;
        d.details.dropped = r.total;
        w.add(d, "");
        expected += r.line_before + header + "0 :\n\n\n";
    }
    EXPECT_EQ(w.text(), expected);
}

TEST(Records, AbsentDetailsAreLeftOut) {
    writer text(record_format{false, true, true, false});
    text.add(datagram(1), "x");
    EXPECT_EQ(text.text(), header + "1 :\n\nx\n");
    writer json(record_format{false, false, false, true});
    json.add(datagram(1), std::string("hello\0", 6));
    EXPECT_EQ(json.text(), "{\"n\":1,\"from\":\"127.0.0.1\",\"port\":40312,\"size\":6,\"data\":\"aGVsbG8A\"}\n");
}

TEST(Records, Ipv6AddressesBracketedWithThePortAndBareAlone) {
    record_datagram d = datagram(1);
    ASSERT_EQ(net_address_parse(&d.details.from, "fe80::1%4000000000", nullptr), NET_OK);  // no such interface
    ASSERT_EQ(net_address_parse(&d.details.to, "ff02::1:3", nullptr), NET_OK);
    d.details.has_to = true;
    writer text(record_format{false, false, true, false});
    text.add(d, "x");
    EXPECT_EQ(text.text(), "udp 1 from [fe80::1%4000000000]:40312 to ff02::1:3 sz 1 :\n\nx\n");
    writer json(record_format{false, false, false, true});
    json.add(d, "x");
    EXPECT_EQ(json.text(),
              "{\"n\":1,\"from\":\"fe80::1%4000000000\",\"port\":40312,\"to\":\"ff02::1:3\",\"size\":1,\"data\":\"eA==\"}\n");
    // A zone's name may hold any byte but '/', ':' and white space: JSON
    // escapes each one that a string cannot hold, and keeps valid UTF-8.
    writer odd_zone(record_format{false, false, false, true});
    d.details.from.scope_id = 4000000001;
    d.details.has_to = false;
    odd_zone.out->zones[4000000001 % RECORD_ZONE_SLOTS] = record_zone{4000000001, "%b\\y\"\x01\xff\xc3\xa9"};
    odd_zone.add(d, "x");
    EXPECT_EQ(odd_zone.text(), "{\"n\":1,\"from\":\"fe80::1%b\\\\y\\\"\\u0001\\u00ff\xc3\xa9\",\"port\":40312,\"size\":1,"
                               "\"data\":\"eA==\"}\n");    // Zones kept for the run: one that takes another's slot is its own, and so is the first again.
    writer zones(record_format{false, false, false, false});
    std::string expected;
    for (const char* zone : {"4000000004", "4000000000", "4000000004"}) {
        ASSERT_EQ(net_address_parse(&d.details.from, (std::string("fe80::1%") + zone).c_str(), nullptr), NET_OK);
        zones.add(d, "x");
        expected += std::string("udp 1 from [fe80::1%") + zone + "]:40312 sz 1 :\n\nx\n";
    }
    EXPECT_EQ(zones.text(), expected);
}

// A probe's number in the header and its message as text; its echo's round
// trip beside them; JSON and the hex dump keep every byte.
TEST(Records, EchoShowsItsRoundTripBeforeTheSize) {
    const std::string bytes = probe(9, 17, 1) + std::string("\0tail", 5);
    for (std::uint64_t rtt_us : {std::uint64_t{5}, std::uint64_t{1234}, std::uint64_t{70000}}) {
        record_datagram d = datagram(1);
        d.is_echo = true;
        d.sequence = 17;
        d.rtt_us = rtt_us;
        char ms[32];
        std::snprintf(ms, sizeof ms, "%.3f", static_cast<double>(rtt_us) / 1000);
        writer text(record_format{false, false, false, false});
        text.add(d, bytes);
        EXPECT_EQ(text.text(), std::string("udp 1 from 127.0.0.1:40312 seq 17 rtt ") + ms + " ms sz 34 :\n\nprobe\n");
        writer json(record_format{false, false, false, true});
        json.add(d, bytes);
        json_object object;
        ASSERT_TRUE(parse_json_line(json.text().substr(0, json.text().size() - 1), &object));
        EXPECT_EQ(value_of(object, "seq"), "17");
        EXPECT_EQ(value_of(object, "rtt_us"), std::to_string(rtt_us));
        EXPECT_EQ(base64_decode(value_of(object, "data")), bytes);
    }
    writer dump(hex);
    dump.add(datagram(1), bytes);
    EXPECT_EQ(dump.text().rfind(header + "34 :\n\n00000000  53 45 51 31 ", 0), 0u) << dump.text();
}

// The largest record of each form, after a batch that is all but full,
// still goes whole and leaves what came before it alone.
TEST(Records, LargestRecordAfterAnAlmostFullBatch) {
    std::string bytes = random_bytes(RECORD_DATA_CAPACITY, 3);
    for (record_format format : {record_format{false, false, false, false}, record_format{true, true, true, false},
                                 record_format{false, false, false, true}}) {
        for (bool terminal : {false, true}) {
            writer w(format, terminal);
            while (w.out->used + RECORD_HEADER_ROOM < RECORD_BATCH) w.add(datagram(1), "filler");
            std::string before = w.text();
            record_datagram longest = datagram(UINT64_MAX);
            longest.is_echo = true;
            longest.sequence = longest.rtt_us = UINT64_MAX;
            w.add(longest, bytes);
            writer alone(format, terminal);
            alone.add(longest, bytes);
            EXPECT_EQ(w.text(), before + alone.text());
            if (format.json) {
                json_object object;
                ASSERT_TRUE(parse_json_line(alone.text().substr(0, alone.text().size() - 1), &object));
                EXPECT_EQ(base64_decode(value_of(object, "data")), bytes);
            }
        }
    }
}
