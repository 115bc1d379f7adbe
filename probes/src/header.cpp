#include <cstring>

#include "probes/probes.h"

namespace {

constexpr unsigned char probe_magic[4] = {'S', 'E', 'Q', '1'};
constexpr unsigned char echo_magic[4] = {'E', 'C', 'H', '1'};

void put_big_endian(unsigned char* at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
}

std::uint64_t get_big_endian(const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | at[i];
    return value;
}

}  // namespace

void probe_encode(const probe_header* header, void* to) {
    auto* at = static_cast<unsigned char*>(to);
    std::memcpy(at, header->echo ? echo_magic : probe_magic, sizeof probe_magic);
    put_big_endian(at + 4, header->run, 4);
    put_big_endian(at + 8, header->sequence, 8);
    put_big_endian(at + 16, header->send_us, 8);
}

bool probe_decode(const void* data, std::size_t size, probe_header* header) {
    const auto* at = static_cast<const unsigned char*>(data);
    if (size < PROBE_HEADER_SIZE) return false;
    header->echo = std::memcmp(at, echo_magic, sizeof echo_magic) == 0;
    if (!header->echo && std::memcmp(at, probe_magic, sizeof probe_magic) != 0) return false;
    header->run = static_cast<std::uint32_t>(get_big_endian(at + 4, 4));
    header->sequence = get_big_endian(at + 8, 8);
    header->send_us = get_big_endian(at + 16, 8);
    return true;
}
