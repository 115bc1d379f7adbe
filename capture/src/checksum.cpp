// The internet checksum's sum, RFC 1071: 16-bit words in network order,
// carries folded back in.
#include "checksum.h"

#include <bit>
#include <cstring>

#include "capture/capture.h"

namespace {

std::uint16_t fold(std::uint64_t total) {
    while (total >> 16) total = (total & 0xffff) + (total >> 16);
    return static_cast<std::uint16_t>(total);
}

// The sum does not depend on the order of the bytes within its words
// (RFC 1071, 2(B)): the words are added as the machine reads them, eight
// bytes at a time in two independent halves, and the folded sum is turned
// to network order once, at the end. With `Copy`, each word read is stored
// at `to` on the way.
template <bool Copy>
std::uint16_t sum_words(std::uint8_t* to, const std::uint8_t* at, std::size_t size, std::uint16_t sum) {
    // 64-bit totals cannot overflow before the fold, whatever the size.
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (std::uint64_t words = 0; i + 8 <= size; i += 8) {
        std::memcpy(&words, at + i, sizeof words);
        if constexpr (Copy) std::memcpy(to + i, &words, sizeof words);
        low += words & 0xffffffff;
        high += words >> 32;
    }
    std::uint8_t rest[8] = {};
    for (std::size_t j = 0; i + j < size; ++j) {
        rest[j] = at[i + j];
        if constexpr (Copy) to[i + j] = rest[j];
    }
    std::uint64_t last = 0;
    std::memcpy(&last, rest, sizeof last);
    std::uint16_t machine_order = fold(low + high + (last & 0xffffffff) + (last >> 32));
    if constexpr (std::endian::native == std::endian::little) {
        machine_order = static_cast<std::uint16_t>(machine_order >> 8 | machine_order << 8);
    }
    return fold(std::uint64_t{machine_order} + sum);
}

}  // namespace

std::uint16_t capture_ones_sum(const void* bytes, std::size_t size, std::uint16_t sum) {
    return sum_words<false>(nullptr, static_cast<const std::uint8_t*>(bytes), size, sum);
}

std::uint16_t ones_sum_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t size, std::uint16_t sum) {
    return sum_words<true>(to, from, size, sum);
}
