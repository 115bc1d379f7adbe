// From a captured frame to its UDP datagram, through the link header, IP
// and UDP.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/capture.h"

enum packet_verdict { PACKET_UDP, PACKET_FRAGMENT, PACKET_NOT_UDP, PACKET_TRUNCATED, PACKET_MALFORMED, PACKET_OTHER_LINK };

struct captured_frame {
    std::uint32_t link_type;
    bool swapped;  // the file's order, which a BSD loopback header may be in
    const std::uint8_t* bytes;
    std::size_t captured;
    bool cut;  // the capture holds less than the frame had
};

// Fills the addresses, ports, hop limit, traffic class and payload of
// `datagram` when the verdict is PACKET_UDP.
packet_verdict packet_udp(const captured_frame* frame, capture_datagram* datagram);
