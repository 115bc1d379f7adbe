#include "capture_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cmdline/cmdline.h"
#include "file_cut.h"

namespace {

capture_endpoint endpoint_of(const net_address& address, std::uint16_t port) {
    capture_endpoint endpoint{};
    endpoint.address.family = static_cast<capture_family>(address.family);
    std::memcpy(endpoint.address.bytes, address.bytes, sizeof endpoint.address.bytes);
    endpoint.port = port;
    return endpoint;
}

// Unbuffered, the file takes each write-out in one write: a run stopped
// at any moment leaves whole records behind. A write of `records` that the
// system took only in part is cut back to the last whole record in it, on
// a best effort, since the write's failure is the one to tell.
bool write_bytes(capture_output* capture, const std::uint8_t* bytes, std::size_t size, bool records) {
    if (capture->failed) return false;
    errno = 0;
    std::size_t written = std::fwrite(bytes, 1, size, capture->to);
    if (written == size) {
        capture->whole_length += size;
        return true;
    }
    capture->failed = true;
    capture->error_number = errno;
    if (records) capture->whole_length += capture_records_whole(bytes, written);
    if (capture->owns_file) file_cut(capture->to, capture->whole_length);
    return false;
}

// Every byte, not only those an IPv4 address uses: stricter than equality,
// which at worst begins a run anew.
bool same_address(const net_address& a, const net_address& b) {
    std::uint64_t halves[4];
    std::memcpy(halves, a.bytes, 16);
    std::memcpy(halves + 2, b.bytes, 16);
    return a.family == b.family && a.scope_id == b.scope_id && halves[0] == halves[2] && halves[1] == halves[3];
}

// Whether the record of a datagram with `details` and `size` bytes has the
// headers of the run's: the datagrams split from one coalesced read do.
bool in_run(const capture_output* capture, const dgram_details* details, int size) {
    const dgram_details& first = capture->run_details;
    return capture->run_begun && static_cast<std::size_t>(size) == capture->run.size &&
           details->from_port == first.from_port && details->has_to == first.has_to &&
           details->has_hop_limit == first.has_hop_limit && details->hop_limit == first.hop_limit &&
           details->has_traffic_class == first.has_traffic_class && details->traffic_class == first.traffic_class &&
           same_address(details->from, first.from) && (!details->has_to || same_address(details->to, first.to));
}

bool begin_run(capture_output* capture, const dgram_details* details, int size) {
    capture_datagram datagram{};
    datagram.source = endpoint_of(details->from, details->from_port);
    datagram.destination = endpoint_of(details->has_to ? details->to : capture->bound, capture->bound_port);
    datagram.has_hop_limit = details->has_hop_limit;
    datagram.hop_limit = details->hop_limit;
    datagram.has_traffic_class = details->has_traffic_class;
    datagram.traffic_class = details->traffic_class;
    datagram.size = static_cast<std::size_t>(size);
    // A datagram of one family told to a socket of the other has no packet to stand for it.
    capture->run_begun = capture_run_begin(&capture->run, &datagram) == CAPTURE_OK;
    capture->run_details = *details;
    return capture->run_begun;
}

}  // namespace

bool capture_output_open(capture_output* capture, const char* path, std::FILE* standard_output, net_endpoint* ep) {
    *capture = capture_output{};
    capture->path = path;
    capture->replaces_records = std::strcmp(path, "-") == 0;
    capture->owns_file = !capture->replaces_records;
    errno = 0;
    capture->to = capture->replaces_records ? standard_output : std::fopen(path, "wb");
    if (capture->to == nullptr) {
        capture->error_number = errno;
        return false;
    }
    if (capture->replaces_records) {
        cli_binary_output(capture->to);
    } else {
        std::setvbuf(capture->to, nullptr, _IONBF, 0);
    }
    capture->pending = static_cast<std::uint8_t*>(std::malloc(CAPTURE_OUTPUT_STAGING));
    std::uint8_t header[CAPTURE_FILE_HEADER_SIZE];
    capture_file_header(header);
    if (capture->pending == nullptr || dgram_local_address(ep, &capture->bound, &capture->bound_port, nullptr) != NET_OK ||
        !write_bytes(capture, header, sizeof header, false)) {
        int error_number = capture->error_number;
        capture_output_close(capture);
        capture->error_number = error_number;
        return false;
    }
    // Each page of the room touched now, while nothing waits: the system maps
    // a page in when it is first written, and in the middle of a flood each
    // of those waits costs datagrams.
    std::memset(capture->pending, 0, CAPTURE_OUTPUT_STAGING);
    return true;
}

void capture_output_add(capture_output* capture, const dgram_details* details, const void* data, int size) {
    if (!in_run(capture, details, size) && !begin_run(capture, details, size)) return;
    if (CAPTURE_OUTPUT_STAGING - capture->used < CAPTURE_HEADERS_ROOM + capture->run.size) {
        capture_output_write_out(capture);
    }
    capture->used += capture_run_put(&capture->run, details->time_us, static_cast<const std::uint8_t*>(data),
                                     capture->pending + capture->used);
}

bool capture_output_write_out(capture_output* capture) {
    std::size_t length = capture->used;
    capture->used = 0;
    if (length == 0) return !capture->failed;
    if (!write_bytes(capture, capture->pending, length, true)) return false;
    // Standard output may be buffered by whoever runs catchel in-process.
    if (!capture->owns_file && std::fflush(capture->to) != 0) capture->failed = true;
    return !capture->failed;
}

void capture_output_close(capture_output* capture) {
    if (capture->owns_file && capture->to != nullptr) std::fclose(capture->to);
    std::free(capture->pending);
    *capture = capture_output{};
}
