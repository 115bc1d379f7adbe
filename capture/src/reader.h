// What the two file formats' readers share: reads that say where a file
// was cut, one growing buffer, the interfaces, timestamps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/capture.h"
#include "packet.h"

struct read_frame {
    captured_frame frame;
    std::uint64_t time_us;
};

// Sets the reader's message and gives `code`.
int reader_fail(capture_reader* reader, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reads `size` bytes of the `unit` ("record", "block") that began at the
// reader's record_start. Gives CAPTURE_END instead of a cut when
// `end_allowed` and the file ended before its first byte.
int reader_read(capture_reader* reader, void* to, std::size_t size, const char* unit, bool end_allowed);

// A failure naming the `unit` at the reader's record_start when the
// `length` it gives is beyond any capture tool's.
int reader_check_length(capture_reader* reader, const char* unit, std::uint64_t length);

// Makes the block buffer hold at least `size` bytes.
int reader_make_room(capture_reader* reader, std::size_t size);

int reader_add_interface(capture_reader* reader, const capture_interface* interface);

// `ticks` in the interface's resolution, from 1970, as microseconds.
std::uint64_t reader_time_us(const capture_interface* interface, std::uint64_t ticks);

// The formats' own parts: a pcap file's header after its magic and its
// records; a pcapng section header after its block type, and its blocks.
int pcap_open(capture_reader* reader, bool nanoseconds);
int pcap_next_frame(capture_reader* reader, read_frame* frame);
int pcapng_read_section(capture_reader* reader);
int pcapng_next_frame(capture_reader* reader, read_frame* frame);
