// What a soak sender puts in each datagram, made from three numbers so that
// the checker can rebuild any datagram without a log of its bytes.
#pragma once

#include <cstdint>
#include <vector>

constexpr std::uint32_t soak_largest = 65507;  // the largest IPv4 UDP payload

struct soak_random {
    std::uint64_t state;
};

// splitmix64: small, fast, and the same on every build.
inline std::uint64_t soak_next(soak_random* r) {
    std::uint64_t z = (r->state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

inline soak_random soak_start(std::uint64_t seed, std::uint32_t sender, std::uint64_t seq) {
    soak_random r{seed ^ (std::uint64_t{sender} << 48) ^ seq};
    soak_next(&r);
    return r;
}

// The size of datagram `seq` of `sender`. Most sizes are spread over the
// whole range; some are pinned to the edges, which a uniform draw would
// almost never reach: the empty datagram, a few bytes, the largest.
inline std::uint32_t soak_size(soak_random* r) {
    std::uint64_t kind = soak_next(r) % 16;
    if (kind == 0) return static_cast<std::uint32_t>(soak_next(r) % 17);
    if (kind == 1) return soak_largest;
    return static_cast<std::uint32_t>(soak_next(r) % (soak_largest + 1));
}

// The whole datagram. Bytes are random, zero bytes included; one datagram
// in 32 has no zero byte at all, so that catchel prints all of it as text,
// and one in 32 starts with one, so that its text is empty.
inline void soak_payload(std::uint64_t seed, std::uint32_t sender, std::uint64_t seq, std::vector<unsigned char>* out) {
    soak_random r = soak_start(seed, sender, seq);
    std::uint32_t size = soak_size(&r);
    std::uint64_t shape = soak_next(&r) % 32;
    out->resize(size);
    for (std::uint32_t i = 0; i < size; i += 8) {
        std::uint64_t bits = soak_next(&r);
        for (std::uint32_t j = i; j < size && j < i + 8; ++j, bits >>= 8) {
            auto byte = static_cast<unsigned char>(bits);
            (*out)[j] = shape == 0 && byte == 0 ? 'z' : byte;
        }
    }
    if (shape == 1 && size > 0) (*out)[0] = 0;
}

// The size alone, cheaper when the checker only needs to rule a datagram out.
inline std::uint32_t soak_payload_size(std::uint64_t seed, std::uint32_t sender, std::uint64_t seq) {
    soak_random r = soak_start(seed, sender, seq);
    return soak_size(&r);
}
