// Link headers, IPv4 and IPv6 with their extension headers, UDP. Lengths
// are checked against each other and against what was captured; checksums
// are left alone, since captures on the sending host hold whatever the
// offloading card was to fill in.
#include "packet.h"

#include <cstring>

#include "bytes.h"

namespace {

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr std::uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr std::uint16_t ETHERTYPE_QINQ = 0x88a8;
constexpr std::uint8_t UDP_PROTOCOL = 17;

// Bytes missing at the end: lost to the capture's length limit, or never there.
packet_verdict short_of(const captured_frame* frame) {
    return frame->cut ? PACKET_TRUNCATED : PACKET_MALFORMED;
}

// `size`: the UDP header and what follows it as IP's length gives them.
packet_verdict udp(const std::uint8_t* at, std::size_t size, capture_datagram* datagram) {
    if (size < 8) return PACKET_MALFORMED;
    const std::uint16_t length = load_be16(at + 4);
    if (length < 8 || length > size) return PACKET_MALFORMED;
    datagram->source.port = load_be16(at);
    datagram->destination.port = load_be16(at + 2);
    datagram->payload = at + 8;
    datagram->size = length - 8u;
    return PACKET_UDP;
}

void set_addresses(capture_datagram* datagram, capture_family family, const std::uint8_t* source,
                   const std::uint8_t* destination, std::size_t size) {
    datagram->source.address = capture_address{family, {}};
    datagram->destination.address = capture_address{family, {}};
    std::memcpy(datagram->source.address.bytes, source, size);
    std::memcpy(datagram->destination.address.bytes, destination, size);
}

packet_verdict ipv4(const captured_frame* frame, const std::uint8_t* at, std::size_t captured,
                    capture_datagram* datagram) {
    if (captured < 20) return short_of(frame);
    const std::size_t header_size = (at[0] & 0x0fu) * 4;
    const std::uint16_t total = load_be16(at + 2);
    if (at[0] >> 4 != 4 || header_size < 20 || total < header_size) return PACKET_MALFORMED;
    if (load_be16(at + 6) & 0x3fff) return PACKET_FRAGMENT;  // more fragments, or an offset
    if (at[9] != UDP_PROTOCOL) return PACKET_NOT_UDP;
    if (total > captured) return short_of(frame);
    datagram->has_traffic_class = true;
    datagram->traffic_class = at[1];
    datagram->has_hop_limit = true;
    datagram->hop_limit = at[8];
    set_addresses(datagram, CAPTURE_IPV4, at + 12, at + 16, 4);
    return udp(at + header_size, total - header_size, datagram);
}

packet_verdict ipv6(const captured_frame* frame, const std::uint8_t* at, std::size_t captured,
                    capture_datagram* datagram) {
    if (captured < 40) return short_of(frame);
    if (at[0] >> 4 != 6) return PACKET_MALFORMED;
    const std::size_t end = 40 + std::size_t{load_be16(at + 4)};
    // The headers are walked in what was captured, so that a packet cut
    // short is still told apart by its protocol.
    const std::size_t walk_end = end < captured ? end : captured;
    std::uint8_t next = at[6];
    std::size_t offset = 40;
    while (next == 0 || next == 43 || next == 60) {  // hop-by-hop, routing, destination options
        if (offset + 8 > walk_end) return end > captured ? short_of(frame) : PACKET_MALFORMED;
        next = at[offset];
        offset += (at[offset + 1] + 1u) * 8;
    }
    if (next == 44) return PACKET_FRAGMENT;
    if (next != UDP_PROTOCOL) return PACKET_NOT_UDP;
    if (end > captured) return short_of(frame);
    if (offset > end) return PACKET_MALFORMED;
    datagram->has_traffic_class = true;
    datagram->traffic_class = static_cast<std::uint8_t>(load_be16(at) >> 4);
    datagram->has_hop_limit = true;
    datagram->hop_limit = at[7];
    set_addresses(datagram, CAPTURE_IPV6, at + 8, at + 24, 16);
    return udp(at + offset, end - offset, datagram);
}

// `version`: what the link header said the packet is, 0 when it did not say.
packet_verdict ip(const captured_frame* frame, std::size_t offset, int version, capture_datagram* datagram) {
    if (offset > frame->captured) return short_of(frame);
    const std::uint8_t* at = frame->bytes + offset;
    const std::size_t captured = frame->captured - offset;
    if (version == 0) {
        if (captured < 1) return short_of(frame);
        version = at[0] >> 4;
    }
    if (version == 4) return ipv4(frame, at, captured, datagram);
    if (version == 6) return ipv6(frame, at, captured, datagram);
    return PACKET_NOT_UDP;
}

packet_verdict by_ethertype(const captured_frame* frame, std::size_t offset, std::uint16_t type,
                            capture_datagram* datagram) {
    if (type == ETHERTYPE_IPV4) return ip(frame, offset, 4, datagram);
    if (type == ETHERTYPE_IPV6) return ip(frame, offset, 6, datagram);
    return PACKET_NOT_UDP;
}

packet_verdict ethernet(const captured_frame* frame, capture_datagram* datagram) {
    std::size_t offset = 14;
    if (frame->captured < offset) return short_of(frame);
    std::uint16_t type = load_be16(frame->bytes + 12);
    while (type == ETHERTYPE_VLAN || type == ETHERTYPE_QINQ) {  // a tag: its TCI, then the type it wraps
        if (frame->captured < offset + 4) return short_of(frame);
        type = load_be16(frame->bytes + offset + 2);
        offset += 4;
    }
    return by_ethertype(frame, offset, type, datagram);
}

// A loopback header: the sender's AF_ value in 32 bits, the BSDs' and
// macOS's numbers for IPv6 all taken.
packet_verdict loopback(const captured_frame* frame, std::uint32_t family, capture_datagram* datagram) {
    if (family == 2) return ip(frame, 4, 4, datagram);
    if (family == 24 || family == 28 || family == 30) return ip(frame, 4, 6, datagram);
    return PACKET_NOT_UDP;
}

// BSD loopback has the family in the sender's order. The file's order is
// usually that host's; when it is not (a capture moved between tools), the
// value's top half being set gives it away.
packet_verdict bsd_loopback(const captured_frame* frame, capture_datagram* datagram) {
    if (frame->captured < 4) return short_of(frame);
    std::uint32_t family = load_file32(frame->bytes, frame->swapped);
    if (family > 0xffff) family = swap32(family);
    return loopback(frame, family, datagram);
}

packet_verdict openbsd_loopback(const captured_frame* frame, capture_datagram* datagram) {
    if (frame->captured < 4) return short_of(frame);
    return loopback(frame, load_be32(frame->bytes), datagram);
}

}  // namespace

packet_verdict packet_udp(const captured_frame* frame, capture_datagram* datagram) {
    switch (frame->link_type) {
    case CAPTURE_LINK_NULL: return bsd_loopback(frame, datagram);
    case CAPTURE_LINK_LOOP: return openbsd_loopback(frame, datagram);
    case CAPTURE_LINK_ETHERNET: return ethernet(frame, datagram);
    case CAPTURE_LINK_RAW:
    case CAPTURE_LINK_RAW_BSD:
    case CAPTURE_LINK_RAW_OPENBSD: return ip(frame, 0, 0, datagram);
    case CAPTURE_LINK_IPV4: return ip(frame, 0, 4, datagram);
    case CAPTURE_LINK_IPV6: return ip(frame, 0, 6, datagram);
    case CAPTURE_LINK_SLL:  // the protocol follows the packet type, link type and address fields
        return frame->captured < 16 ? short_of(frame) : by_ethertype(frame, 16, load_be16(frame->bytes + 14), datagram);
    case CAPTURE_LINK_SLL2:  // the protocol comes first
        return frame->captured < 20 ? short_of(frame) : by_ethertype(frame, 20, load_be16(frame->bytes), datagram);
    default: return PACKET_OTHER_LINK;
    }
}
