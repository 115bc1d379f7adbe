// records: what catchel prints of each datagram, and its lines for
// time-outs and failures, gathered so that a run of them leaves in one
// write. Bytes and numbers in, text out: the receive, the drop count and
// the write belong to the program. The loop's own state (the count, the
// last code reported) stays with the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netlayer/address.h"
#include "records/lines.h"

// The largest datagram a record takes: more than any IPv4 datagram.
constexpr int RECORD_DATA_CAPACITY = 100000;
// Room for any address as a JSON string's contents, each byte escaped at worst.
constexpr std::size_t RECORD_JSON_TEXT_GROWTH = 6;
constexpr std::size_t RECORD_JSON_ADDRESS_ROOM = RECORD_JSON_TEXT_GROWTH * NET_ADDRESS_TEXT_ROOM;
// Room for the longest header of any form, the kernel's drop line before it
// included, with the longest addresses of either family (escaped in JSON),
// an echo's round trip and the marks a datagram arrived with.
constexpr std::size_t RECORD_HEADER_ROOM = 1088;
// What is gathered is written out once it reaches this much; a larger record still goes whole.
constexpr std::size_t RECORD_BATCH = 16384;
// One line of a hex dump, `hexdump -C -v` style, with its line end; each shows 16 bytes.
constexpr std::size_t RECORD_HEX_LINE = 79;
// The longest record: a hex dump of a whole datagram, the longest of the forms.
constexpr std::size_t RECORD_ROOM =
    RECORD_HEADER_ROOM + (RECORD_DATA_CAPACITY + 15) / 16 * RECORD_HEX_LINE + 1;

// How each datagram is shown. All false is the plain record.
struct record_format {
    bool hex;          // all its bytes as a hex dump instead of its text
    bool time;         // the header begins with the arrival time
    bool destination;  // the header names the address it was sent to; kernel drops get a line
    bool json;         // one JSON object per line instead of a record; the others then change nothing
};

// One datagram as it arrived. The details a platform does not give are absent.
struct record_datagram {
    std::uint64_t number;
    int size;
    dgram_details details;  // its source, and what else the receive told of it
    bool is_echo;           // it carries back a probe of the reader's own: its number and round trip
    std::uint64_t sequence;
    std::uint64_t rtt_us;
};

// What a receive loop carries from one result to the next; start it at zero.
struct record_run {
    std::uint64_t received;  // datagrams recorded so far
    int last_reported;       // code of the last time-out or failure line; 0 after a datagram
};

// A zone's text as the layer writes it ("%eth0", or "%7" where no name
// fits), kept for the run: asking the system costs a call per datagram on
// Linux and milliseconds on Windows. Index 0: the slot is empty.
struct record_zone {
    std::uint32_t index;
    char text[NET_ADDRESS_TEXT_ROOM];
};
// Slots chosen by the index: a few interfaces take link-local traffic at once.
constexpr std::size_t RECORD_ZONE_SLOTS = 4;

// Below the batch, then one more record of any form.
constexpr std::size_t RECORD_OUTPUT_ROOM = RECORD_BATCH + RECORD_ROOM;

// Records and lines waiting to be written, each one whole. Its fields are
// the functions' own: the program takes the text with record_take.
struct record_output {
    char* bytes;  // RECORD_OUTPUT_ROOM bytes on the heap
    std::size_t used;
    std::size_t data_offset;  // where a datagram is received, from the start of its record
    bool to_terminal;         // bytes that are not valid UTF-8 text are shown as `cat -v` shows them
    record_format format;
    std::uint32_t dropped_told;  // the kernel drops the lines so far account for
    record_zone zones[RECORD_ZONE_SLOTS];
};

// False when its room could not be had.
bool record_output_init(record_output* out, bool to_terminal, record_format format);
void record_output_free(record_output* out);

// Where the next datagram is to be received, RECORD_DATA_CAPACITY bytes: its
// record is put together around it.
char* record_data(record_output* out);

// Whether the format tells the kernel's drops.
bool record_shows_drops(const record_format* format);

// The record of the datagram lying at record_data(). Plain, it is "udp <n>
// from <a.b.c.d>:<port> sz <size> :" ("from [<IPv6>]:<port>" for IPv6), an
// empty line, its text up to the first zero byte, a line end; a probe (or
// an echo of one) shows " seq <n>" before " sz" and the text after its
// header. The format may put the time before the header, " to <address>"
// (bare), an echo's " rtt <ms with three decimals> ms" and " ttl <n> tos
// 0x<hh>" before " sz", a line
// "kernel dropped <n> datagrams" before the record, a hex dump in place of
// the text; or make it one JSON object: {"n":..,"time":..,"from":..,
// "port":..,"to":..,"seq":..,"rtt_us":..,"ttl":..,"tos":..,"size":..,
// "dropped":..,"data":<base64>}, absent details left out.
void record_add(record_output* out, const record_datagram* datagram);

// At the end of a run, the drops the kernel made since the last told, where
// the form shows drops: `dropped` counts all of them so far. A line
// "kernel dropped <n> datagrams", or in JSON {"dropped":<all so far>}.
void record_add_late_drops(record_output* out, std::uint32_t dropped);

// "timeout/error err <code>", or {"err":<code>} in JSON.
void record_add_report(record_output* out, int code);

// What the receive gave, `n`: the record of its datagram, numbered on
// from the run's count; or, for a code, its line when it opens a run of
// that code, since each run of the same code is reported once.
void record_add_result(record_output* out, record_run* run, record_datagram* datagram, int n);

// A datagram that gets no record, counted as record_add_result counts one
// that does, so that the run numbers its records after it; its number.
std::uint64_t record_count(record_run* run);

bool record_batch_full(const record_output* out);

// `text` as the contents of a JSON string: '"', '\\' and control bytes
// escaped, and each byte that is not part of valid UTF-8 as \u00XX (its
// Latin-1 reading), so that any JSON parser reads it: a zone's name may hold
// any of them. At most RECORD_JSON_TEXT_GROWTH bytes for each of text's;
// returns where it ends.
char* record_put_json_text(char* at, const char* text);

// All that is gathered, to be written out; the output is empty after it,
// and the text lasts until the next record is added.
struct record_text {
    const char* bytes;
    std::size_t length;
};
record_text record_take(record_output* out);
