// Finding a table's entry by its key. Entries hold their key in a member
// named `key`.
#pragma once

#include <cstdlib>

#include "probes/probes.h"

bool key_index_init(probe_key_index* index, std::size_t capacity);
void key_index_free(probe_key_index* index);

// The index and its zeroed entries, one room at least; false when either
// could not be had.
template <typename Entry>
bool key_table_init(probe_key_index* index, Entry** entries, std::size_t capacity) {
    *entries = static_cast<Entry*>(std::calloc(capacity > 0 ? capacity : 1, sizeof(Entry)));
    return key_index_init(index, capacity) && *entries != nullptr;
}

std::size_t key_hash(const probe_key* key);
bool key_equal(const probe_key* a, const probe_key* b);

// The slot of `key`: holding its entry's number + 1, or else the empty one
// where it is to go. One is always empty, the slots outnumbering the entries.
template <typename Entry>
std::uint32_t* key_index_slot(const probe_key_index* index, const Entry* entries, const probe_key* key) {
    std::size_t at = key_hash(key) & index->slot_mask;
    while (index->slots[at] != 0 && !key_equal(&entries[index->slots[at] - 1].key, key)) {
        at = (at + 1) & index->slot_mask;
    }
    return &index->slots[at];
}

// Whether a new key is refused, counting it when it is.
bool key_index_full(probe_key_index* index);

// Gives the next entry's number to `slot`, that key_index_slot found empty.
std::size_t key_index_take(probe_key_index* index, std::uint32_t* slot);
