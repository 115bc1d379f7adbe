#include "netlayer/netlayer.h"

namespace {

// Index of the first entry equal to `s`, or the count when there is none.
std::uint32_t find_member(const net_select_set* set, net_socket s) {
    std::uint32_t i = 0;
    while (i < set->count && set->sockets[i] != s) ++i;
    return i;
}

}  // namespace

void set_add(net_select_set* set, net_socket s) {
    if (find_member(set, s) < set->count || set->count >= NET_SELECT_SET_SIZE) return;
    set->sockets[set->count++] = s;
}

void set_remove(net_select_set* set, net_socket s) {
    std::uint32_t i = find_member(set, s);
    if (i == set->count) return;
    for (--set->count; i < set->count; ++i) set->sockets[i] = set->sockets[i + 1];
}

bool set_contains(const net_select_set* set, net_socket s) { return find_member(set, s) < set->count; }
