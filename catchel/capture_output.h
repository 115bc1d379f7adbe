// catchel's capture: every datagram received as a classic pcap record, the
// records gathered and written out whole beside catchel's own, so that the
// file always ends where a record ends: a write the system takes only in
// part (a full disk) is cut back to its last whole record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "capture/capture.h"
#include "netlayer/netlayer.h"

// Records gather in memory until catchel is about to wait, or until this
// much is gathered, and are written out then: in a flood, once every nine
// thousand or so small records, some two batches of coalesced reads.
constexpr std::size_t CAPTURE_OUTPUT_STAGING = std::size_t{1} << 20;

struct capture_output {
    const char* path;  // as given: "-" for standard output
    std::FILE* to;
    bool owns_file;
    bool replaces_records;  // the capture goes to standard output, where records would
    net_address bound;      // the destination of a datagram whose receive tells none
    std::uint16_t bound_port;
    capture_run run;  // the headers of the records being built
    bool run_begun;
    dgram_details run_details;  // those of the run's first datagram
    std::uint8_t* pending;      // CAPTURE_OUTPUT_STAGING bytes
    std::size_t used;
    std::uint64_t whole_length;  // the bytes written so far, which end where a record ends
    bool failed;  // a write failed: nothing more is written, and a file is cut back to `whole_length`
    int error_number;  // errno of the open or write that failed; 0: none told
};

// Opens `path` ("-": `standard_output`) and writes the file's header. The
// endpoint is to keep arrival times, destinations and marks, bound already. False, with
// nothing left to close, when the file cannot be opened or written or no
// memory is to be had; `error_number` then holds the system's reason, if any.
bool capture_output_open(capture_output* capture, const char* path, std::FILE* standard_output, net_endpoint* ep);

// The record of a datagram received, with its details, `size` bytes at `data`.
void capture_output_add(capture_output* capture, const dgram_details* details, const void* data, int size);

// Writes out every record gathered; false once a write has failed, with
// `error_number` its reason.
bool capture_output_write_out(capture_output* capture);

void capture_output_close(capture_output* capture);
