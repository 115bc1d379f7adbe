// The internet checksum's sum, RFC 1071: 16-bit words in network order,
// carries folded back in.
#include "capture/capture.h"

std::uint16_t capture_ones_sum(const void* bytes, std::size_t size, std::uint16_t sum) {
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    // A 64-bit total cannot overflow before the fold, whatever the size.
    std::uint64_t total = sum;
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) total += std::uint32_t{at[i]} << 8 | at[i + 1];
    if (i < size) total += std::uint32_t{at[i]} << 8;
    while (total >> 16) total = (total & 0xffff) + (total >> 16);
    return static_cast<std::uint16_t>(total);
}
