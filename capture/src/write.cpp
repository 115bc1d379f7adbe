// Classic pcap records of RAW IP packets, each built ahead of its payload
// so that it leaves in one write.
#include <cstdlib>
#include <cstring>

#include "bytes.h"
#include "capture/capture.h"
#include "checksum.h"

namespace {

constexpr std::uint8_t UDP_PROTOCOL = 17;
constexpr std::uint8_t DEFAULT_HOP_LIMIT = 64;
constexpr std::size_t RECORD_HEADER_SIZE = 16;
constexpr std::size_t UDP_HEADER_SIZE = 8;

template <typename T>
std::uint8_t* put_host(std::uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

// The IPv4 header; gives the pseudo-header's sum (RFC 768).
std::uint16_t put_ipv4(std::uint8_t* ip, const capture_datagram* d, std::uint8_t hop_limit,
                       std::uint8_t traffic_class, std::uint16_t udp_length) {
    std::memset(ip, 0, 20);
    ip[0] = 0x45;  // version 4, no options
    ip[1] = traffic_class;
    store_be16(ip + 2, static_cast<std::uint16_t>(20 + udp_length));
    ip[8] = hop_limit;
    ip[9] = UDP_PROTOCOL;
    std::memcpy(ip + 12, d->source.address.bytes, 4);
    std::memcpy(ip + 16, d->destination.address.bytes, 4);
    store_be16(ip + 10, static_cast<std::uint16_t>(~capture_ones_sum(ip, 20, 0)));
    const std::uint8_t rest[4] = {0, UDP_PROTOCOL, static_cast<std::uint8_t>(udp_length >> 8),
                                  static_cast<std::uint8_t>(udp_length)};
    return capture_ones_sum(rest, sizeof rest, capture_ones_sum(ip + 12, 8, 0));
}

// The IPv6 header; gives the pseudo-header's sum (RFC 8200).
std::uint16_t put_ipv6(std::uint8_t* ip, const capture_datagram* d, std::uint8_t hop_limit,
                       std::uint8_t traffic_class, std::uint16_t udp_length) {
    ip[0] = static_cast<std::uint8_t>(0x60 | traffic_class >> 4);
    ip[1] = static_cast<std::uint8_t>(traffic_class << 4);  // the flow label's top bits stay 0
    ip[2] = 0;
    ip[3] = 0;
    store_be16(ip + 4, udp_length);
    ip[6] = UDP_PROTOCOL;
    ip[7] = hop_limit;
    std::memcpy(ip + 8, d->source.address.bytes, 16);
    std::memcpy(ip + 24, d->destination.address.bytes, 16);
    const std::uint8_t rest[8] = {0, 0, static_cast<std::uint8_t>(udp_length >> 8),
                                  static_cast<std::uint8_t>(udp_length), 0, 0, 0, UDP_PROTOCOL};
    return capture_ones_sum(rest, sizeof rest, capture_ones_sum(ip + 8, 32, 0));
}

std::size_t ip_header_size(capture_family family) { return family == CAPTURE_IPV4 ? 20 : 40; }

int check_datagram(const capture_datagram* datagram) {
    const capture_family family = datagram->source.address.family;
    if ((family != CAPTURE_IPV4 && family != CAPTURE_IPV6) || datagram->destination.address.family != family)
        return CAPTURE_BAD_ADDRESS;
    if (datagram->size > (family == CAPTURE_IPV4 ? CAPTURE_IPV4_PAYLOAD_MAX : CAPTURE_IPV6_PAYLOAD_MAX))
        return CAPTURE_TOO_LARGE;
    return CAPTURE_OK;
}

void put_time(std::uint8_t* header, std::uint64_t time_us) {
    put_host(put_host(header, static_cast<std::uint32_t>(time_us / 1000000)),
             static_cast<std::uint32_t>(time_us % 1000000));
}

// The record header, IP header and UDP header of a checked datagram at
// `at`, the UDP checksum left 0; gives their size and, in `sum`, the UDP
// checksum's sum over all but the payload.
std::size_t put_headers(std::uint8_t* at, const capture_datagram* datagram, std::uint16_t* sum) {
    const bool ipv4 = datagram->source.address.family == CAPTURE_IPV4;
    const std::size_t ip_size = ip_header_size(datagram->source.address.family);
    std::uint8_t* ip = at + RECORD_HEADER_SIZE;
    std::uint8_t* udp = ip + ip_size;
    const auto udp_length = static_cast<std::uint16_t>(UDP_HEADER_SIZE + datagram->size);
    const std::uint8_t hop_limit = datagram->has_hop_limit ? datagram->hop_limit : DEFAULT_HOP_LIMIT;
    const std::uint8_t traffic_class = datagram->has_traffic_class ? datagram->traffic_class : 0;
    const std::uint16_t pseudo_sum = ipv4 ? put_ipv4(ip, datagram, hop_limit, traffic_class, udp_length)
                                          : put_ipv6(ip, datagram, hop_limit, traffic_class, udp_length);
    store_be16(udp, datagram->source.port);
    store_be16(udp + 2, datagram->destination.port);
    store_be16(udp + 4, udp_length);
    store_be16(udp + 6, 0);
    const auto packet_size = static_cast<std::uint32_t>(ip_size + udp_length);
    put_time(at, datagram->time_us);
    put_host(put_host(at + 8, packet_size), packet_size);
    *sum = capture_ones_sum(udp, UDP_HEADER_SIZE, pseudo_sum);
    return RECORD_HEADER_SIZE + ip_size + UDP_HEADER_SIZE;
}

// The UDP checksum at `at`, from the sum over the datagram and its pseudo-header.
void put_checksum(std::uint8_t* at, std::uint16_t sum) {
    auto checksum = static_cast<std::uint16_t>(~sum);
    // Over IPv4 a 0 says "no checksum"; over IPv6 it is invalid: the sum's other zero stands for it.
    store_be16(at, checksum == 0 ? 0xffff : checksum);
}

}  // namespace

void capture_file_header(std::uint8_t header[CAPTURE_FILE_HEADER_SIZE]) {
    std::uint8_t* at = put_host(header, std::uint32_t{0xa1b2c3d4});  // microseconds
    at = put_host(at, std::uint16_t{2});
    at = put_host(at, std::uint16_t{4});
    at = put_host(at, std::int32_t{0});   // times are UTC
    at = put_host(at, std::uint32_t{0});  // accuracy, which no reader uses
    at = put_host(at, CAPTURE_SNAPLEN);
    put_host(at, std::uint32_t{CAPTURE_LINK_RAW});
}

int capture_record_open(capture_record* record, std::uint8_t* room) {
    record->owned = room == nullptr;
    record->room = room != nullptr ? room : static_cast<std::uint8_t*>(std::malloc(CAPTURE_RECORD_ROOM));
    record->start = 0;
    record->size = 0;
    return record->room != nullptr ? CAPTURE_OK : CAPTURE_NO_MEMORY;
}

void capture_record_close(capture_record* record) {
    if (record->owned) std::free(record->room);
    record->room = nullptr;
}

std::uint8_t* capture_record_payload(const capture_record* record) {
    return record->room + CAPTURE_HEADERS_ROOM;
}

const std::uint8_t* capture_record_bytes(const capture_record* record) {
    return record->room + record->start;
}

int capture_record_build(capture_record* record, const capture_datagram* datagram) {
    const int checked = check_datagram(datagram);
    if (checked != CAPTURE_OK) return checked;
    std::uint8_t* payload = capture_record_payload(record);
    if (datagram->size > 0 && datagram->payload != payload) std::memmove(payload, datagram->payload, datagram->size);
    std::uint8_t* at = payload - (RECORD_HEADER_SIZE + ip_header_size(datagram->source.address.family) + UDP_HEADER_SIZE);
    std::uint16_t sum = 0;
    const std::size_t headers_size = put_headers(at, datagram, &sum);
    put_checksum(at + headers_size - 2, capture_ones_sum(payload, datagram->size, sum));
    record->start = static_cast<std::size_t>(at - record->room);
    record->size = headers_size + datagram->size;
    return CAPTURE_OK;
}

int capture_run_begin(capture_run* run, const capture_datagram* datagram) {
    const int checked = check_datagram(datagram);
    if (checked != CAPTURE_OK) return checked;
    run->size = datagram->size;
    run->headers_size = put_headers(run->headers, datagram, &run->sum);
    return CAPTURE_OK;
}

std::size_t capture_run_put(const capture_run* run, std::uint64_t time_us, const std::uint8_t* payload,
                            std::uint8_t* at) {
    // The whole room is copied, fixed in size: the bytes past the headers are the payload's, copied over next.
    std::memcpy(at, run->headers, sizeof run->headers);
    put_time(at, time_us);
    std::uint8_t* copy = at + run->headers_size;
    put_checksum(copy - 2, ones_sum_copy(copy, payload, run->size, run->sum));
    return run->headers_size + run->size;
}

std::size_t capture_records_whole(const std::uint8_t* records, std::size_t size) {
    std::size_t whole = 0;
    while (size - whole >= RECORD_HEADER_SIZE) {
        std::uint32_t packet_size = 0;
        std::memcpy(&packet_size, records + whole + 8, sizeof packet_size);
        if (size - whole - RECORD_HEADER_SIZE < packet_size) break;
        whole += RECORD_HEADER_SIZE + packet_size;
    }
    return whole;
}
