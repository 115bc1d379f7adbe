// The checksum's sum taken while the bytes are copied: one pass over them.
#pragma once

#include <cstddef>
#include <cstdint>

// As capture_ones_sum over `size` bytes at `from`, which are copied to `to`
// on the way; the two do not overlap.
std::uint16_t ones_sum_copy(std::uint8_t* to, const std::uint8_t* from, std::size_t size, std::uint16_t sum);
