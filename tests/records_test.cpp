// The record forms checked against the tests' own references and, where
// it is installed, hexdump itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats.h"
#include "records/records.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
    return bytes;
}

// The record_output is too large for a test's stack frame.
struct writer {
    std::unique_ptr<record_output> out = std::make_unique<record_output>();
    explicit writer(record_format format, bool to_terminal = false) {
        record_output_init(out.get(), to_terminal, format);
    }
    void add(record_datagram d, const std::string& data) {
        std::memcpy(record_data(out.get()), data.data(), data.size());
        d.size = static_cast<int>(data.size());
        record_add(out.get(), &d);
    }
    std::string text() const { return std::string(out->bytes, out->used); }
};

record_datagram datagram(std::uint64_t number) {
    return record_datagram{number, 0x7f000001, 40312, 0, false, 0, false, 0, false, 0};
}

const std::string header = "udp 1 from 127.0.0.1:40312 sz ";

}  // namespace

TEST(Records, HexDumpMatchesAPrintfReference) {
    for (std::size_t size : {0, 1, 6, 15, 16, 17, 31, 32, 1000, 65507, RECORD_DATA_CAPACITY}) {
        SCOPED_TRACE(size);
        std::string bytes = random_bytes(size, static_cast<unsigned>(size));
        writer w(record_format{true, false, false, false});
        w.add(datagram(1), bytes);
        EXPECT_EQ(w.text(), header + std::to_string(size) + " :\n\n" + hex_reference(bytes));
    }
}

TEST(Records, HexDumpOfHelloAsTheExampleShowsIt) {
    writer w(record_format{true, false, false, false});
    w.add(datagram(1), std::string("hello\0", 6));
    EXPECT_EQ(w.text(), header + "6 :\n\n00000000  68 65 6c 6c 6f 00                                 |hello.|\n");
}

#ifndef _WIN32
TEST(Records, HexDumpMatchesHexdumpItself) {
    if (std::system("command -v hexdump >/dev/null 2>&1") != 0) GTEST_SKIP() << "hexdump is not installed";
    std::string bytes = random_bytes(4099, 7);
    std::string path = testing::TempDir() + "records_hexdump_input";
    std::FILE* input = std::fopen(path.c_str(), "wb");
    ASSERT_NE(input, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), input);
    std::fclose(input);
    std::FILE* tool = popen(("hexdump -C -v " + path).c_str(), "r");
    ASSERT_NE(tool, nullptr);
    std::string dump;
    for (int c; (c = std::fgetc(tool)) != EOF;) dump.push_back(static_cast<char>(c));
    ASSERT_EQ(pclose(tool), 0);
    std::remove(path.c_str());
    dump.erase(dump.rfind('\n', dump.size() - 2) + 1);  // its closing offset line
    writer w(record_format{true, false, false, false});
    w.add(datagram(1), bytes);
    EXPECT_EQ(w.text(), header + "4099 :\n\n" + dump);
}
#endif

TEST(Records, TimeIsTheCalendarsUtcWithMicroseconds) {
    struct row {
        std::int64_t seconds;
        int micros;
    };
    for (row r : {row{0, 0}, {951782400, 1}, {4107542399, 999999}, {1709164800, 500000}, {1796675581, 123456},
                  {946684799, 999999}, {2147483648, 42}}) {
        SCOPED_TRACE(r.seconds);
        writer w(record_format{false, true, false, false});
        record_datagram d = datagram(1);
        d.has_time = true;
        d.time_us = static_cast<std::uint64_t>(r.seconds) * 1000000 + static_cast<std::uint64_t>(r.micros);
        w.add(d, "hi");
        EXPECT_EQ(w.text(), utc_reference(r.seconds, r.micros) + " " + header + "2 :\n\nhi\n");
    }
}

TEST(Records, DestinationAndTheKernelsDropsSinceTheLastRecord) {
    writer w(record_format{false, false, true, false});
    struct row {
        std::uint32_t dropped_total;
        const char* line_before;
    };
    std::string expected;
    std::uint64_t number = 0;
    for (row r : {row{0, ""}, {5, "kernel dropped 5 datagrams\n"}, {5, ""}, {7, "kernel dropped 2 datagrams\n"}}) {
        record_datagram d = datagram(++number);
        d.has_to = true;
        d.to_ip = 0xef010101;
        d.has_dropped = true;
        d.dropped = r.dropped_total;
        w.add(d, "x");
        expected += std::string(r.line_before) + "udp " + std::to_string(number) +
                    " from 127.0.0.1:40312 to 239.1.1.1 sz 1 :\n\nx\n";
    }
    EXPECT_EQ(w.text(), expected);
}

TEST(Records, AbsentDetailsAreLeftOutOfTheHeader) {
    writer w(record_format{false, true, true, false});
    w.add(datagram(1), "x");
    EXPECT_EQ(w.text(), header + "1 :\n\nx\n");
}

TEST(Records, JsonLineCarriesEveryByteAndTheDetailsInOrder) {
    for (std::size_t size : {0, 1, 2, 3, 4, 1000, 65507, RECORD_DATA_CAPACITY}) {
        SCOPED_TRACE(size);
        std::string bytes = random_bytes(size, static_cast<unsigned>(size) + 1);
        writer w(record_format{true, true, true, true});
        record_datagram d = datagram(3);
        d.has_time = true;
        d.time_us = 1796675581123456;
        d.has_to = true;
        d.to_ip = 0xef010101;
        d.has_dropped = true;
        d.dropped = 9;
        w.add(d, bytes);
        std::string text = w.text();
        ASSERT_EQ(text.back(), '\n');
        json_object object;
        ASSERT_TRUE(parse_json_line(text.substr(0, text.size() - 1), &object)) << text.substr(0, 200);
        EXPECT_EQ(keys_of(object),
                  (std::vector<std::string>{"n", "time", "from", "port", "to", "size", "dropped", "data"}));
        EXPECT_EQ(object[0].second, "3");
        EXPECT_EQ(object[1].second, utc_reference(1796675581, 123456));
        EXPECT_EQ(object[2].second, "127.0.0.1");
        EXPECT_EQ(object[3].second, "40312");
        EXPECT_EQ(object[4].second, "239.1.1.1");
        EXPECT_EQ(object[5].second, std::to_string(size));
        EXPECT_EQ(object[6].second, "9");
        EXPECT_EQ(object[7].second.size(), (size + 2) / 3 * 4);
        EXPECT_EQ(base64_decode(object[7].second), bytes);
    }
}

TEST(Records, JsonLeavesOutWhatThePlatformDidNotGive) {
    writer w(record_format{false, false, false, true});
    w.add(datagram(1), std::string("hello\0", 6));
    EXPECT_EQ(w.text(), "{\"n\":1,\"from\":\"127.0.0.1\",\"port\":40312,\"size\":6,\"data\":\"aGVsbG8A\"}\n");
}

TEST(Records, ReportLinesInEachForm) {
    for (bool json : {false, true}) {
        writer w(record_format{false, false, false, json});
        record_add_report(w.out.get(), -2);
        EXPECT_EQ(w.text(), json ? "{\"err\":-2}\n" : "timeout/error err -2\n");
    }
}

// The largest record of each form, after a batch that is all but full,
// still goes whole and leaves what came before it alone.
TEST(Records, LargestRecordAfterAnAlmostFullBatch) {
    std::string bytes = random_bytes(RECORD_DATA_CAPACITY, 3);
    for (record_format format : {record_format{false, false, false, false}, record_format{true, true, true, false},
                                 record_format{false, false, false, true}}) {
        for (bool terminal : {false, true}) {
            writer w(format, terminal);
            std::uint64_t number = 0;
            while (w.out->used + RECORD_HEADER_ROOM < RECORD_BATCH) {
                w.add(datagram(++number), "filler");
            }
            ASSERT_FALSE(record_batch_full(w.out.get()));
            std::string before = w.text();
            w.add(datagram(++number), bytes);
            writer alone(format, terminal);
            alone.add(datagram(number), bytes);
            EXPECT_EQ(w.text(), before + alone.text());
        }
    }
}
