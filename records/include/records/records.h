// records: what catchel prints of each datagram, and its lines for
// time-outs and failures, gathered so that a run of them leaves in one
// write. The loop's own state (the count, the last code reported) stays
// with the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The largest datagram a record takes: more than any IPv4 datagram.
constexpr int RECORD_DATA_CAPACITY = 100000;
// Room for the longest header, "udp 18446744073709551615 from 255.255.255.255:65535 sz 100000 :\n\n".
constexpr std::size_t RECORD_HEADER_ROOM = 72;
// What is gathered is written out once it reaches this much; a larger record still goes whole.
constexpr std::size_t RECORD_BATCH = 16384;

struct record_datagram {
    std::uint64_t number;
    std::uint32_t from_ip;
    std::uint16_t from_port;
    int size;
};

// Records and lines waiting to be written, each one whole.
struct record_output {
    // Below the batch, then one more record: its header and its datagram,
    // with room for the text to grow to twice the datagram's size.
    char bytes[RECORD_BATCH + RECORD_HEADER_ROOM + 2 * RECORD_DATA_CAPACITY + 1];
    std::size_t used;
    std::size_t data_offset;  // where a datagram is received, from the start of its record
    bool to_terminal;         // control bytes are shown as `cat -v` shows them
};

void record_output_init(record_output* out, bool to_terminal);

// Where the next datagram is to be received, RECORD_DATA_CAPACITY bytes: its
// record is put together around it.
char* record_data(record_output* out);

// The record of the datagram lying at record_data(): "udp <n> from
// <a.b.c.d>:<port> sz <size> :", an empty line, its text up to the first
// zero byte, a line end.
void record_add(record_output* out, const record_datagram* datagram);

// "timeout/error err <code>".
void record_add_report(record_output* out, int code);

bool record_batch_full(const record_output* out);

// Writes out all that is gathered; false when the write failed.
bool record_write_out(record_output* out, std::FILE* to);
