#include "key_index.h"

#include <cstdlib>
#include <cstring>

bool key_index_init(probe_key_index* index, std::size_t capacity) {
    *index = probe_key_index{};
    if (capacity > std::size_t{1} << 30) return false;
    std::size_t slots = 1;
    while (slots < 2 * capacity) slots *= 2;
    index->slots = static_cast<std::uint32_t*>(std::calloc(slots, sizeof(std::uint32_t)));
    if (index->slots == nullptr) return false;
    index->slot_mask = slots - 1;
    index->capacity = capacity;
    return true;
}

void key_index_free(probe_key_index* index) {
    std::free(index->slots);
    *index = probe_key_index{};
}

// FNV-1a over the fields, padding left out.
std::size_t key_hash(const probe_key* key) {
    std::uint32_t hash = 2166136261u;
    auto mix = [&hash](std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i, value >>= 8) hash = (hash ^ (value & 0xff)) * 16777619u;
    };
    mix(key->family, 1);
    for (std::uint8_t byte : key->address) mix(byte, 1);
    mix(key->scope, 4);
    mix(key->port, 2);
    mix(key->run, 4);
    return hash;
}

bool key_equal(const probe_key* a, const probe_key* b) {
    return a->family == b->family && a->scope == b->scope && a->port == b->port && a->run == b->run &&
           std::memcmp(a->address, b->address, sizeof a->address) == 0;
}

bool key_index_full(probe_key_index* index) {
    if (index->count < index->capacity) return false;
    ++index->refused;
    return true;
}

std::size_t key_index_take(probe_key_index* index, std::uint32_t* slot) {
    *slot = static_cast<std::uint32_t>(index->count + 1);
    return index->count++;
}
