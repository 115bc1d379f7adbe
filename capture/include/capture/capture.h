// capture: UDP datagrams to and from packet capture files. Writes classic
// pcap with link type RAW, each datagram as an IPv4 or IPv6 packet with a
// UDP header and valid checksums; reads pcap and pcapng, streaming, and
// hands back the UDP datagrams found in them. No sockets here: the caller
// moves the bytes to and from its files and endpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The same numbers, and the same 16-byte layout, as the network layer's
// addresses, so that fields copy across.
enum capture_family : std::uint8_t { CAPTURE_NONE = 0, CAPTURE_IPV4 = 4, CAPTURE_IPV6 = 6 };

struct capture_address {
    capture_family family;
    std::uint8_t bytes[16];  // network order; an IPv4 address in the first four
};

struct capture_endpoint {
    capture_address address;
    std::uint16_t port;  // host order
};

// One UDP datagram, as written or as read back; one read back has its hop
// limit and traffic class.
struct capture_datagram {
    std::uint64_t time_us;  // since 1970-01-01 00:00 UTC
    capture_endpoint source;
    capture_endpoint destination;  // of the source's family
    bool has_hop_limit;
    std::uint8_t hop_limit;  // IPv4 TTL or IPv6 hop limit; written as 64 when absent
    bool has_traffic_class;
    std::uint8_t traffic_class;  // IPv4 type of service or IPv6 traffic class; 0 when absent
    const std::uint8_t* payload;
    std::size_t size;
};

enum capture_result {
    CAPTURE_OK = 0,
    CAPTURE_END,            // the reader is past the last packet
    CAPTURE_NOT_A_CAPTURE,  // neither pcap nor pcapng
    CAPTURE_CUT_SHORT,      // the file ends inside a header, record or block
    CAPTURE_MALFORMED,      // a header or block no writer would make
    CAPTURE_READ_FAILED,
    CAPTURE_NO_MEMORY,
    CAPTURE_TOO_LARGE,    // the payload does not fit a UDP length of its family
    CAPTURE_BAD_ADDRESS,  // no family, or source and destination of different ones
    CAPTURE_TOO_MANY_INTERFACES,  // a pcapng section describes more than CAPTURE_INTERFACES_MAX
};

// One line naming `result`, without a line end.
const char* capture_result_text(int result);

// Link types the reader takes, RAW the one written; packets of others are
// skipped and counted.
enum capture_link : std::uint16_t {
    CAPTURE_LINK_NULL = 0,  // BSD loopback: a protocol family in the writer's order
    CAPTURE_LINK_ETHERNET = 1,
    // Raw IP as BSD systems numbered it in their files before RAW took
    // its own number: most of them, and OpenBSD.
    CAPTURE_LINK_RAW_BSD = 12,
    CAPTURE_LINK_RAW_OPENBSD = 14,
    CAPTURE_LINK_RAW = 101,  // the IP header first
    CAPTURE_LINK_LOOP = 108,  // OpenBSD loopback: a protocol family in network order
    CAPTURE_LINK_SLL = 113,  // Linux cooked
    CAPTURE_LINK_IPV4 = 228,
    CAPTURE_LINK_IPV6 = 229,
    CAPTURE_LINK_SLL2 = 276,
};

// --- Writing ---------------------------------------------------------------

constexpr std::size_t CAPTURE_FILE_HEADER_SIZE = 24;
// Above the largest packet a record holds, as tcpdump writes its own files.
constexpr std::uint32_t CAPTURE_SNAPLEN = 262144;
// The largest payloads the 16-bit IPv4 total length and UDP length allow.
constexpr std::size_t CAPTURE_IPV4_PAYLOAD_MAX = 65535 - 20 - 8;
constexpr std::size_t CAPTURE_IPV6_PAYLOAD_MAX = 65535 - 8;
// The headers ahead of a payload at most: record header, IPv6, UDP.
constexpr std::size_t CAPTURE_HEADERS_ROOM = 16 + 40 + 8;
constexpr std::size_t CAPTURE_RECORD_ROOM = CAPTURE_HEADERS_ROOM + CAPTURE_IPV6_PAYLOAD_MAX;

// The file's header, written once ahead of every record: microsecond
// timestamps, the magic and version in this host's order as libpcap writes
// them, link type RAW.
void capture_file_header(std::uint8_t header[CAPTURE_FILE_HEADER_SIZE]);

// Room for one record on the heap. The payload has a fixed place in it and
// the headers are laid out just ahead, so a datagram received there needs
// no copy, and the built record leaves in one write.
struct capture_record {
    std::uint8_t* room;  // CAPTURE_RECORD_ROOM bytes
    bool owned;
    std::size_t start;  // the record built last: `size` bytes from room + start
    std::size_t size;
};

// `room`: the caller's CAPTURE_RECORD_ROOM bytes, or nullptr for the
// record's own. Fails only with CAPTURE_NO_MEMORY.
int capture_record_open(capture_record* record, std::uint8_t* room);
void capture_record_close(capture_record* record);

// Where a payload lies without being copied: CAPTURE_IPV6_PAYLOAD_MAX bytes.
std::uint8_t* capture_record_payload(const capture_record* record);

// The record of `datagram`: its record header, IPv4 (identification 0,
// fragment bits clear) or IPv6 (flow label 0) header, UDP header, payload.
// The payload may lie anywhere, capture_record_payload() included. A
// payload over its family's maximum has no UDP length to carry it and
// gives CAPTURE_TOO_LARGE, with nothing built: a record cut to fit would
// be a different datagram. Timestamps are whole seconds in 32 bits, as
// the format has them.
int capture_record_build(capture_record* record, const capture_datagram* datagram);

const std::uint8_t* capture_record_bytes(const capture_record* record);

// Records built one after another into the writer's own memory. A flood's
// datagrams come in runs between the same endpoints, with the same marks
// and size, whose records differ only in time and payload: a run keeps the
// headers of its datagrams' records, so that each record costs a copy of
// them and one pass over its payload, copied as it is summed. Which
// datagrams make a run the caller tells, by beginning a new one where one
// of those differs.
struct capture_run {
    std::size_t size;          // the payload size of the run's datagrams
    std::size_t headers_size;  // of its records: record header, IP, UDP
    std::uint16_t sum;         // the UDP checksum's sum over all but the payload
    std::uint8_t headers[CAPTURE_HEADERS_ROOM];
};

// A run of datagrams like `datagram`, whose time and payload are not used.
// Fails as capture_record_build does.
int capture_run_begin(capture_run* run, const capture_datagram* datagram);

// The record of a datagram of the run arrived at `time_us`, with run->size
// bytes of `payload`, as capture_record_build makes it, at `at`, which has
// room for CAPTURE_HEADERS_ROOM + run->size bytes that the payload does not
// overlap. Gives the record's length.
std::size_t capture_run_put(const capture_run* run, std::uint64_t time_us, const std::uint8_t* payload,
                            std::uint8_t* at);

// Of `size` bytes of records built here one after another, the length of
// those that lie there whole: where a write taken only in part may end.
std::size_t capture_records_whole(const std::uint8_t* records, std::size_t size);

// The ones' complement sum of RFC 1071 over `bytes`, continued from `sum`;
// a header's checksum is its complement. Only the last piece summed may
// have an odd length.
std::uint16_t capture_ones_sum(const void* bytes, std::size_t size, std::uint16_t sum);

// --- Reading ---------------------------------------------------------------

// The packets read and not handed back, by their reason.
struct capture_skipped {
    std::uint64_t fragments;   // IPv4 fragments, IPv6 packets with a fragment header
    std::uint64_t not_udp;     // other protocols, inside IP or instead of it
    // The capture holds less of the packet than its lengths say. One whose
    // datagram lies whole in what was captured is handed back, whatever
    // was lost after it (an Ethernet trailer, a frame check sequence).
    std::uint64_t truncated;
    std::uint64_t malformed;   // lengths that contradict each other
    std::uint64_t other_link;  // link types not read
};

std::uint64_t capture_skipped_total(const capture_skipped* skipped);

struct capture_interface {
    std::uint32_t link_type;
    std::uint8_t resolution;  // as pcapng's if_tsresol: 10^-n seconds, or 2^-n with the top bit set
    std::int64_t offset_s;    // pcapng's if_tsoffset
    std::uint32_t snaplen;
};

// A pcapng section describing more interfaces than this ends the reading
// there: a table without a bound would let a small file take any memory.
constexpr std::size_t CAPTURE_INTERFACES_MAX = 65536;

// Reads one packet at a time: memory stays within the largest record (a
// record of over 16 MiB is taken for a broken file) and the interfaces'
// table.
// Checksums are not verified: captures taken on the sending host often
// hold what checksum offload left there, zero or wrong.
struct capture_reader {
    std::FILE* from;
    bool pcapng;
    bool swapped;  // the file's order is not this host's
    capture_interface* interfaces;  // a pcap file has one; a pcapng section, those it describes
    std::size_t interface_count;
    std::size_t interface_room;
    std::uint8_t* block;  // the record or block being read
    std::size_t block_room;
    std::uint64_t offset;        // bytes read so far
    std::uint64_t record_start;  // where the record or block being read begins
    std::uint32_t block_type;    // pcapng: the type of the block being read, which its messages name
    std::uint64_t packets;  // packet records and blocks read so far, skipped ones included
    std::uint64_t last_time_us;  // a pcapng simple packet carries no time: it takes this one
    capture_skipped skipped;
    char message[256];  // after a failure: one line saying what and where, without a line end
};

// Reads the file's header, or its first section header. The reader does
// not close `from`.
int capture_reader_open(capture_reader* reader, std::FILE* from);

// The next UDP datagram, its payload valid until the next call. Every
// whole packet before a cut or a malformed block is handed back before
// that result, which ends the reading.
int capture_reader_next(capture_reader* reader, capture_datagram* datagram);

// Frees what the reader holds; after a failed open too.
void capture_reader_close(capture_reader* reader);
