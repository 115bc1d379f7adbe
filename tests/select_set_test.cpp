#include <gtest/gtest.h>

#include "netlayer/netlayer.h"

namespace {

net_select_set set_of(std::initializer_list<net_socket> members) {
    net_select_set set{};
    for (net_socket s : members) set.sockets[set.count++] = s;
    return set;
}

std::vector<net_socket> members(const net_select_set& set) {
    return {set.sockets, set.sockets + set.count};
}

}  // namespace

TEST(SelectSet, AddKeepsOrderAndIgnoresRepeats) {
    net_select_set set{};
    set_add(&set, 7);
    set_add(&set, 3);
    set_add(&set, 7);
    set_add(&set, 9);
    EXPECT_EQ(members(set), (std::vector<net_socket>{7, 3, 9}));
    EXPECT_TRUE(set_contains(&set, 3));
    EXPECT_FALSE(set_contains(&set, 4));
}

TEST(SelectSet, SixtyFifthSocketLeavesFullSetUnchanged) {
    net_select_set set{};
    for (net_socket s = 100; s < 164; ++s) set_add(&set, s);
    ASSERT_EQ(set.count, 64u);
    set_add(&set, 500);
    EXPECT_EQ(set.count, 64u);
    EXPECT_FALSE(set_contains(&set, 500));
    EXPECT_EQ(set.sockets[63], 163);
}

TEST(SelectSet, RemoveShiftsLaterEntriesDown) {
    net_select_set set = set_of({4, 5, 6, 7});
    set_remove(&set, 5);
    EXPECT_EQ(members(set), (std::vector<net_socket>{4, 6, 7}));
    set_remove(&set, 7);
    set_remove(&set, 4);
    EXPECT_EQ(members(set), (std::vector<net_socket>{6}));
}

TEST(SelectSet, RemoveTakesOnlyTheFirstOfEqualEntries) {
    net_select_set set = set_of({2, 8, 2});
    set_remove(&set, 2);
    EXPECT_EQ(members(set), (std::vector<net_socket>{8, 2}));
}

TEST(SelectSet, RemovingAnAbsentSocketChangesNothing) {
    net_select_set set = set_of({1, 2});
    set_remove(&set, 3);
    EXPECT_EQ(members(set), (std::vector<net_socket>{1, 2}));
    net_select_set empty{};
    set_remove(&empty, 1);
    EXPECT_EQ(empty.count, 0u);
}

TEST(SelectSet, MembershipLooksOnlyAtEntriesInUse) {
    net_select_set set = set_of({1, 2});
    set.sockets[2] = 42;  // stale slot beyond the count
    EXPECT_FALSE(set_contains(&set, 42));
}
