// The internet checksum's sum, RFC 1071: 16-bit words in network order,
// carries folded back in.
#include <bit>
#include <cstring>

#include "capture/capture.h"

namespace {

std::uint16_t fold(std::uint64_t total) {
    while (total >> 16) total = (total & 0xffff) + (total >> 16);
    return static_cast<std::uint16_t>(total);
}

}  // namespace

// The sum does not depend on the order of the bytes within its words
// (RFC 1071, 2(B)): the words are added four bytes at a time as the machine
// reads them, and the folded sum is turned to network order once, at the end.
std::uint16_t capture_ones_sum(const void* bytes, std::size_t size, std::uint16_t sum) {
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    // A 64-bit total cannot overflow before the fold, whatever the size.
    std::uint64_t total = 0;
    std::size_t i = 0;
    for (std::uint32_t word = 0; i + 4 <= size; i += 4) {
        std::memcpy(&word, at + i, sizeof word);
        total += word;
    }
    std::uint8_t rest[4] = {};
    std::memcpy(rest, at + i, size - i);
    std::uint32_t last = 0;
    std::memcpy(&last, rest, sizeof last);
    std::uint16_t machine_order = fold(total + last);
    if constexpr (std::endian::native == std::endian::little) {
        machine_order = static_cast<std::uint16_t>(machine_order >> 8 | machine_order << 8);
    }
    return fold(std::uint64_t{machine_order} + sum);
}
