// Fixed-width fields at any alignment: the wire's big-endian ones, and a
// capture file's, in the order of the host that wrote it.
#pragma once

#include <cstdint>
#include <cstring>

inline std::uint16_t load_be16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* at) {
    return std::uint32_t{load_be16(at)} << 16 | load_be16(at + 2);
}

inline void store_be16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

inline std::uint16_t swap16(std::uint16_t value) {
    return static_cast<std::uint16_t>(value << 8 | value >> 8);
}

inline std::uint32_t swap32(std::uint32_t value) {
    return value >> 24 | (value >> 8 & 0xff00) | (value << 8 & 0xff0000) | value << 24;
}

inline std::uint16_t load_file16(const std::uint8_t* at, bool swapped) {
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return swapped ? swap16(value) : value;
}

inline std::uint32_t load_file32(const std::uint8_t* at, bool swapped) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return swapped ? swap32(value) : value;
}

// Two 32-bit halves, the high one first, each in the file's order: how
// pcapng lays out its 64-bit fields.
inline std::uint64_t load_file64(const std::uint8_t* at, bool swapped) {
    return std::uint64_t{load_file32(at, swapped)} << 32 | load_file32(at + 4, swapped);
}
