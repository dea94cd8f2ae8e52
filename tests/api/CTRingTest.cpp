#include "api/CTRing.h"

#include <gtest/gtest.h>

namespace veltcam {
namespace {

struct Entry {
    uint64_t key;
    int value;
};

using Ring = CTRing<Entry>;

// Walks the ring from current and checks both link directions agree.
std::vector<uint32_t> KeysFromCurrent(const Ring& ring) {
    std::vector<uint32_t> keys;
    auto* node = ring.Current();
    if (node == nullptr) return keys;
    do {
        EXPECT_EQ(node->next->prev, node);
        keys.push_back(static_cast<uint32_t>(node->data.key));
        node = node->next;
    } while (node != ring.Current());
    return keys;
}

TEST(CTRing, SingleNodeLinksToItself) {
    Ring ring;
    ring.Add({7, 1});
    ASSERT_NE(ring.Current(), nullptr);
    EXPECT_EQ(ring.Current()->next, ring.Current());
    EXPECT_EQ(ring.Current()->prev, ring.Current());
    EXPECT_EQ(ring.Count(), 1);
    EXPECT_TRUE(ring.Find(7));
}

TEST(CTRing, NewNodeGoesBeforeCurrentAndBecomesCurrent) {
    Ring ring;
    ring.Add({1, 0});
    ring.Add({2, 0});
    ring.Add({3, 0});
    EXPECT_EQ(KeysFromCurrent(ring), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(ring.Count(), 3);
}

TEST(CTRing, FindRotatesToTheMatchAndMatchesAgainAtOnce) {
    Ring ring;
    ring.Add({10, 0});
    ring.Add({20, 0});
    ASSERT_TRUE(ring.Find(10));
    EXPECT_EQ(ring.Current()->data.key, 10u);
    auto* found = ring.Current();
    ASSERT_TRUE(ring.Find(10));
    EXPECT_EQ(ring.Current(), found);
}

TEST(CTRing, MissInRingOfThreeVisitsEveryNodeOnceAndStopsBeforeStart) {
    Ring ring;
    ring.Add({1, 0});
    ring.Add({2, 0});
    ring.Add({3, 0});  // ring from current: 3, 2, 1
    auto* start = ring.Current();
    EXPECT_FALSE(ring.Find(99));
    // Current rests on the node that preceded the starting point.
    EXPECT_EQ(ring.Current(), start->prev);
    EXPECT_EQ(ring.Count(), 3);
}

TEST(CTRing, OnlyLowThirtyTwoBitsIdentifyAKey) {
    Ring ring;
    ring.Add({0x1'0000'0005ull, 0});
    EXPECT_TRUE(ring.Find(5));
}

TEST(CTRing, RemovingTheOnlyNodeEmptiesTheRing) {
    Ring ring;
    ring.Add({4, 0});
    EXPECT_TRUE(ring.Remove(4));
    EXPECT_EQ(ring.Current(), nullptr);
    EXPECT_EQ(ring.Count(), 0);
    EXPECT_FALSE(ring.Find(4));
    EXPECT_FALSE(ring.RemoveCurrent());
}

TEST(CTRing, RemoveUnlinksAndMovesToNext) {
    Ring ring;
    ring.Add({1, 0});
    ring.Add({2, 0});
    ring.Add({3, 0});
    ASSERT_TRUE(ring.Remove(2));
    EXPECT_EQ(ring.Count(), 2);
    EXPECT_EQ(ring.Current()->data.key, 1u);
    EXPECT_EQ(KeysFromCurrent(ring), (std::vector<uint32_t>{1, 3}));
    EXPECT_FALSE(ring.Remove(2));
}

}  // namespace
}  // namespace veltcam
