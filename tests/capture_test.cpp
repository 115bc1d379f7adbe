// Capture files against what does not share the library's code: tcpdump
// reads what it writes, a plain RFC 1071 sum checks its checksums, and
// files laid out field by field here feed its reader.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "process.h"

namespace {

constexpr std::uint64_t BASE_US = 1700000000123456;

struct datagram_row {
    const char* source;
    std::uint16_t source_port;
    const char* destination;
    std::uint16_t destination_port;
    std::string payload;
};

capture_endpoint endpoint(const char* text, std::uint16_t port) {
    capture_endpoint e{};
    e.address.family = std::strchr(text, ':') != nullptr ? CAPTURE_IPV6 : CAPTURE_IPV4;
    inet_pton(e.address.family == CAPTURE_IPV6 ? AF_INET6 : AF_INET, text, e.address.bytes);
    e.port = port;
    return e;
}

// As tcpdump -n names an endpoint.
std::string text_of(const capture_endpoint& e) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(e.address.family == CAPTURE_IPV6 ? AF_INET6 : AF_INET, e.address.bytes, text, sizeof text);
    return std::string(text) + "." + std::to_string(e.port);
}

// Each datagram written carries TTL 5 and type of service 0xb8.
capture_datagram datagram_of(const datagram_row& row, std::uint64_t time_us) {
    return capture_datagram{time_us, endpoint(row.source, row.source_port), endpoint(row.destination, row.destination_port),
                            true, 5, true, 0xb8, reinterpret_cast<const std::uint8_t*>(row.payload.data()), row.payload.size()};
}

std::string describe(const capture_datagram& d) {
    return text_of(d.source) + " > " + text_of(d.destination) + " '" +
           std::string(reinterpret_cast<const char*>(d.payload), d.size) + "' @" + std::to_string(d.time_us) + " ttl " +
           std::to_string(d.hop_limit) + " tos " + std::to_string(d.traffic_class);
}

// RFC 1071 as it reads: big-endian 16-bit words, an odd byte padded, carries folded in at the end.
std::uint16_t rfc1071_sum(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        sum += static_cast<std::uint8_t>(bytes[i]) << 8 | (i + 1 < bytes.size() ? static_cast<std::uint8_t>(bytes[i + 1]) : 0);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

void expect_valid_checksums(const std::string& packet) {
    const bool ipv4 = static_cast<std::uint8_t>(packet[0]) >> 4 == 4;
    const std::string udp = packet.substr(ipv4 ? 20 : 40);
    const std::string length = udp.substr(4, 2);
    const std::string pseudo = ipv4 ? packet.substr(12, 8) + std::string("\0\x11", 2) + length
                                    : packet.substr(8, 32) + std::string(2, '\0') + length + std::string("\0\0\0\x11", 4);
    if (ipv4) {
        EXPECT_EQ(rfc1071_sum(packet.substr(0, 20)), 0xffff);
    }
    EXPECT_EQ(rfc1071_sum(pseudo + udp), 0xffff);
    EXPECT_NE(udp.substr(6, 2), std::string(2, '\0'));  // which would say "none" over IPv4, and is invalid over IPv6
}

// The record of `row`; `in_place`: as a payload received where the record keeps it.
std::string build(capture_record* record, const datagram_row& row, std::uint64_t time_us, bool in_place = false) {
    capture_datagram d = datagram_of(row, time_us);
    if (in_place) {
        std::memcpy(capture_record_payload(record), row.payload.data(), row.payload.size());
        d.payload = capture_record_payload(record);
    }
    EXPECT_EQ(capture_record_build(record, &d), CAPTURE_OK);
    return std::string(reinterpret_cast<const char*>(capture_record_bytes(record)), record->size);
}

std::string ip_packet(const datagram_row& row) {
    capture_record record;
    capture_record_open(&record, nullptr);
    const std::string packet = build(&record, row, 0).substr(16);
    capture_record_close(&record);
    return packet;
}

// A payload whose last word is the checksum it had as zero: the sum then comes to 0, sent as 0xffff.
std::vector<datagram_row> written_rows() {
    std::vector<datagram_row> rows = {{"192.0.2.1", 40000, "198.51.100.7", 40001, "odd"},
                                      {"2001:db8::1", 40002, "2001:db8::2", 40003, "six!"},
                                      {"192.0.2.1", 40000, "198.51.100.7", 40001, std::string(CAPTURE_IPV4_PAYLOAD_MAX, 'x')},
                                      {"2001:db8::1", 40002, "2001:db8::2", 40003, std::string(4, '\0')}};
    rows.back().payload.replace(2, 2, ip_packet(rows.back()).substr(40 + 6, 2));
    return rows;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// The file of `rows`, one millisecond apart; gives each packet without its record header.
std::vector<std::string> write_capture(const std::string& path, const std::vector<datagram_row>& rows) {
    std::uint8_t header[CAPTURE_FILE_HEADER_SIZE];
    capture_file_header(header);
    std::string file(header, header + sizeof header);
    std::vector<std::uint8_t> room(CAPTURE_RECORD_ROOM);
    capture_record record;
    capture_record_open(&record, room.data());
    std::vector<std::string> packets;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        file += build(&record, rows[i], BASE_US + i * 1000, i % 2 == 1);
        packets.push_back(file.substr(file.size() - record.size + 16));
    }
    write_file(path, file);
    return packets;
}

// A field as a host of the given order writes it.
std::string field(std::uint64_t value, int size, bool big) {
    std::string bytes;
    for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> 8 * (big ? size - 1 - i : i));
    return bytes;
}

using frame = std::pair<std::string, std::size_t>;  // its bytes, and its length before capture when longer

// Record i at BASE_US plus i seconds, in the magic's resolution.
std::string pcap_file(bool big, bool nanoseconds, std::uint32_t link, const std::vector<frame>& frames) {
    std::string file = field(nanoseconds ? 0xa1b23c4d : 0xa1b2c3d4, 4, big) + field(2, 2, big) + field(4, 2, big) +
                       field(0, 8, big) + field(65535, 4, big) + field(link, 4, big);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::uint64_t fraction = BASE_US % 1000000 * (nanoseconds ? 1000 : 1);
        file += field(BASE_US / 1000000 + i, 4, big) + field(fraction, 4, big) + field(frames[i].first.size(), 4, big) +
                field(frames[i].second != 0 ? frames[i].second : frames[i].first.size(), 4, big) + frames[i].first;
    }
    return file;
}

std::string block(bool big, std::uint32_t type, std::string body) {
    body.resize((body.size() + 3) / 4 * 4, '\0');
    const std::string length = field(body.size() + 12, 4, big);
    return field(type, 4, big) + length + body + length;
}

std::string section(bool big) {
    return block(big, 0x0a0d0d0a, field(0x1a2b3c4d, 4, big) + field(1, 2, big) + field(0, 2, big) + field(~0ull, 8, big));
}

// With its if_tsresol option, then the end of options.
std::string interface_block(bool big, std::uint16_t link, std::uint8_t resolution) {
    return block(big, 1, field(link, 2, big) + field(0, 6, big) + field(9, 2, big) + field(1, 2, big) +
                             field(resolution, 1, big) + field(0, 3, big) + field(0, 4, big));
}

std::string enhanced(bool big, std::uint32_t interface_id, std::uint64_t ticks, const std::string& bytes) {
    return block(big, 6, field(interface_id, 4, big) + field(ticks >> 32, 4, big) + field(ticks & 0xffffffff, 4, big) +
                             field(bytes.size(), 4, big) + field(bytes.size(), 4, big) + bytes);
}

#ifndef _WIN32
// Status 127 when there is no tcpdump.
process_output tcpdump_of(const std::string& path) {
    return run_program("/bin/sh", {"-c", "command -v tcpdump >/dev/null || exit 127; exec tcpdump -n -vv -r \"$0\"", path});
}
#endif

struct read_outcome {
    std::vector<std::string> delivered;
    std::vector<std::uint64_t> skipped;  // fragments, not UDP, truncated, malformed, other link
    int last;
    std::string message;
};

read_outcome read_all(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    capture_reader reader;
    read_outcome out{};
    capture_datagram d;
    int result = capture_reader_open(&reader, file);
    while (result == CAPTURE_OK && (result = capture_reader_next(&reader, &d)) == CAPTURE_OK) out.delivered.push_back(describe(d));
    const capture_skipped& s = reader.skipped;
    out.skipped = {s.fragments, s.not_udp, s.truncated, s.malformed, s.other_link};
    out.last = result;
    out.message = reader.message;
    capture_reader_close(&reader);
    std::fclose(file);
    return out;
}

}  // namespace

TEST(Capture, WrittenPacketsCarryValidChecksumsAndReadBack) {
    const std::vector<datagram_row> rows = written_rows();
    const std::string path = testing::TempDir() + "capture_written.pcap";
    for (const std::string& packet : write_capture(path, rows)) expect_valid_checksums(packet);
    const read_outcome back = read_all(path);
    ASSERT_EQ(back.delivered.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(back.delivered[i], describe(datagram_of(rows[i], BASE_US + i * 1000)));
    EXPECT_EQ(back.last, CAPTURE_END);
}

TEST(Capture, PayloadsBeyondAUdpLengthAreRefused) {
    capture_record record;
    ASSERT_EQ(capture_record_open(&record, nullptr), CAPTURE_OK);
    for (const datagram_row& row : {datagram_row{"192.0.2.1", 1, "192.0.2.2", 2, std::string(CAPTURE_IPV4_PAYLOAD_MAX + 1, 'x')},
                                    datagram_row{"::1", 1, "::1", 2, std::string(CAPTURE_IPV6_PAYLOAD_MAX + 1, 'x')}}) {
        const capture_datagram d = datagram_of(row, 0);
        EXPECT_EQ(capture_record_build(&record, &d), CAPTURE_TOO_LARGE) << row.source;
    }
    capture_record_close(&record);
}

TEST(Capture, TcpdumpReadsWhatIsWrittenWithoutComplaint) {
#ifdef _WIN32
    GTEST_SKIP() << "tcpdump is looked for on POSIX systems only";
#else
    const std::vector<datagram_row> rows = written_rows();
    const std::string path = testing::TempDir() + "capture_for_tcpdump.pcap";
    write_capture(path, rows);
    process_output dump = tcpdump_of(path);
    if (dump.status == exit_status(127)) GTEST_SKIP() << "tcpdump is not installed";
    EXPECT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.err.find("warning"), std::string::npos) << dump.err;
    EXPECT_EQ(dump.out.find("bad"), std::string::npos) << dump.out;
    std::size_t at = 0;
    for (const datagram_row& row : rows) {
        const std::string seen = text_of(endpoint(row.source, row.source_port)) + " > " +
                                 text_of(endpoint(row.destination, row.destination_port)) +
                                 ": [udp sum ok] UDP, length " + std::to_string(row.payload.size());
        at = dump.out.find(seen, at);
        ASSERT_NE(at, std::string::npos) << seen << "\n" << dump.out;
    }
#endif
}

TEST(Capture, ReaderFindsTheDatagramsOfEachFormatAndLink) {
    const datagram_row four{"192.0.2.1", 40000, "198.51.100.7", 40001, "four"};
    const datagram_row six{"2001:db8::1", 40002, "2001:db8::2", 40003, "six"};
    const std::string p4 = ip_packet(four), p6 = ip_packet(six), ipv4_type("\x08\x00", 2), ipv6_type("\x86\xdd", 2);
    std::string fragment = p4, tcp = p4, hop_by_hop = p6;
    fragment[6] = 0x20;  // more fragments
    tcp[9] = 6;
    hop_by_hop.insert(40, std::string("\x11\0\0\0\0\0\0\0", 8));
    hop_by_hop[6] = 0;
    hop_by_hop[5] = static_cast<char>(hop_by_hop[5] + 8);
    const std::string tags("\x88\xa8\0\x05\x81\0\0\x07", 8), mac_addresses(12, '\x02'), sll2_fields(18, '\0');
    std::string cut = pcap_file(false, false, CAPTURE_LINK_RAW, {{p4, 0}, {p6, 0}});
    cut.resize(cut.size() - 3);
    std::string whole_second = pcap_file(true, true, CAPTURE_LINK_RAW, {{p4, 0}, {p6, 0}});
    whole_second.replace(24 + 16 + p4.size() + 4, 4, field(1000000000, 4, true));
    std::string interfaces = section(false);
    for (std::size_t i = 0; i < CAPTURE_INTERFACES_MAX; ++i) interfaces += interface_block(false, CAPTURE_LINK_RAW, 6);
    interfaces += enhanced(false, CAPTURE_INTERFACES_MAX - 1, BASE_US, p4) + interface_block(false, CAPTURE_LINK_RAW, 6);
    auto at = [](const datagram_row& row, std::uint64_t time_us) { return describe(datagram_of(row, time_us)); };
    struct reader_row {
        const char* name;
        std::string file;
        std::vector<std::string> delivered;
        std::vector<std::uint64_t> skipped;
        int last;
        std::string says = "";  // a part of the line that ends the reading
    };
    const reader_row rows[] = {
        {"pcap big-endian in nanoseconds, raw IP", pcap_file(true, true, CAPTURE_LINK_RAW, {{p4, 0}, {p6, 0}}),
         {at(four, BASE_US), at(six, BASE_US + 1000000)}, {0, 0, 0, 0, 0}, CAPTURE_END},
        {"pcap, Ethernet with stacked tags; a fragment and TCP skipped",
         pcap_file(false, false, CAPTURE_LINK_ETHERNET,
                   {{mac_addresses + tags + ipv4_type + p4, 0}, {mac_addresses + ipv4_type + fragment, 0}, {mac_addresses + ipv4_type + tcp, 0}}),
         {at(four, BASE_US)}, {1, 1, 0, 0, 0}, CAPTURE_END},
        {"Linux cooked v2: IPv6 past a hop-by-hop header; a packet the snap length cut",
         pcap_file(false, false, CAPTURE_LINK_SLL2,
                   {{ipv6_type + sll2_fields + hop_by_hop, 0}, {ipv4_type + sll2_fields + p4.substr(0, 30), 20 + p4.size()}}),
         {at(six, BASE_US)}, {0, 0, 1, 0, 0}, CAPTURE_END},
        {"pcapng: sections in both orders, interfaces of their own link and resolution, a simple packet, a block passed over",
         section(true) + interface_block(true, CAPTURE_LINK_RAW, 9) + interface_block(true, 105, 6) + block(true, 0xbad, "not read") +
             enhanced(true, 0, BASE_US * 1000, p4) + enhanced(true, 1, BASE_US, p4) +
             block(true, 3, field(p6.size(), 4, true) + p6) + section(false) + interface_block(false, CAPTURE_LINK_IPV6, 0x80 | 20) +
             enhanced(false, 0, 1700000002ull << 20 | 1 << 19, p6),
         {at(four, BASE_US), at(six, BASE_US), at(six, 1700000002500000)}, {0, 0, 0, 0, 1}, CAPTURE_END},
        {"BSD loopback in a big-endian file, its family in the file's order or the other", pcap_file(true, false, CAPTURE_LINK_NULL,
         {{field(30, 4, true) + p6, 0}, {field(2, 4, false) + p4, 0}}), {at(six, BASE_US), at(four, BASE_US + 1000000)}, {0, 0, 0, 0, 0}, CAPTURE_END},
        {"raw IP as most BSDs numbered it", pcap_file(false, false, 12, {{p4, 0}, {p6, 0}}),
         {at(four, BASE_US), at(six, BASE_US + 1000000)}, {0, 0, 0, 0, 0}, CAPTURE_END},
        {"raw IP as OpenBSD numbered it", pcap_file(true, false, 14, {{p6, 0}}), {at(six, BASE_US)}, {0, 0, 0, 0, 0}, CAPTURE_END},
        {"OpenBSD loopback in a little-endian file, its family in network order",
         pcap_file(false, false, 108, {{field(24, 4, true) + p6, 0}, {field(2, 4, true) + p4, 0}}),
         {at(six, BASE_US), at(four, BASE_US + 1000000)}, {0, 0, 0, 0, 0}, CAPTURE_END},
        {"a record whose nanoseconds make a whole second", whole_second, {at(four, BASE_US)}, {0, 0, 0, 0, 0}, CAPTURE_MALFORMED,
         "record at byte " + std::to_string(24 + 16 + p4.size()) + " gives 1000000000 nanoseconds past its second"},
        {"a packet block whose length is the largest a block can give",
         section(true) + interface_block(true, CAPTURE_LINK_RAW, 6) + field(6, 4, true) + field(0xfffffffc, 4, true) + p4, {},
         {0, 0, 0, 0, 0}, CAPTURE_MALFORMED, "the enhanced packet block at byte 60 gives its length as 4294967292 bytes"},
        {"one interface more than a section may describe", interfaces, {at(four, BASE_US)}, {0, 0, 0, 0, 0},
         CAPTURE_TOO_MANY_INTERFACES, "block at byte " + std::to_string(interfaces.size() - 32) + " describes one past the 65536"},
        {"a file cut inside its second record", cut, {at(four, BASE_US)}, {0, 0, 0, 0, 0}, CAPTURE_CUT_SHORT},
        {"a file that is not a capture", "<!DOCTYPE html>\n<html></html>\n", {}, {0, 0, 0, 0, 0}, CAPTURE_NOT_A_CAPTURE},
    };
    const std::string path = testing::TempDir() + "capture_by_hand";
    for (const reader_row& row : rows) {
        write_file(path, row.file);
        const read_outcome out = read_all(path);
        EXPECT_EQ(out.delivered, row.delivered) << row.name;
        EXPECT_EQ(out.skipped, row.skipped) << row.name;
        EXPECT_EQ(out.last, row.last) << row.name << ": " << out.message;
        EXPECT_NE(out.message.find(row.says), std::string::npos) << row.name << ": " << out.message;
        EXPECT_TRUE(row.last == CAPTURE_END || (!out.message.empty() && out.message.find('\n') == std::string::npos)) << row.name;
    }
}

// The same layouts as the reader's rows for them.
TEST(Capture, TcpdumpReadsTheBsdLinkTypesAlike) {
#ifdef _WIN32
    GTEST_SKIP() << "tcpdump is looked for on POSIX systems only";
#else
    const std::string packet = ip_packet({"192.0.2.1", 40000, "198.51.100.7", 40001, "bsd"}), path = testing::TempDir() + "bsd_link";
    for (const std::string& file : {pcap_file(false, false, 12, {{packet, 0}}), pcap_file(false, false, 108, {{field(2, 4, true) + packet, 0}})}) {
        write_file(path, file);
        const process_output dump = tcpdump_of(path);
        if (dump.status == exit_status(127)) GTEST_SKIP() << "tcpdump is not installed";
        EXPECT_NE(dump.out.find("192.0.2.1.40000 > 198.51.100.7.40001: [udp sum ok] UDP, length 3"), std::string::npos) << dump.out << dump.err;
    }
#endif
}
