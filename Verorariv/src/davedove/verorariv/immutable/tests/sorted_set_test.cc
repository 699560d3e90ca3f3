#include "davedove/verorariv/immutable/sorted_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace davedove {
namespace verorariv {
namespace immutable {
namespace {

using IntSet = SortedSet<int>;

// A key ordered by `order` only; `tag` tells stored objects apart.
struct Tagged {
  int order = 0;
  int tag = 0;
  bool operator==(const Tagged& other) const {
    return order == other.order && tag == other.tag;
  }
};

struct ByOrder {
  bool operator()(const Tagged& a, const Tagged& b) const { return a.order < b.order; }
};

std::vector<int> Keys(const IntSet& set) { return std::vector<int>(set.begin(), set.end()); }

TEST(SortedSetTest, ListConstructionAndEquality) {
  IntSet set{5, 1, 3, 1};
  EXPECT_EQ(Keys(set), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(set, (IntSet{3, 5, 1}));
  EXPECT_NE(set, (IntSet{1, 3}));
  EXPECT_NE(set, (IntSet{1, 3, 6}));
  EXPECT_EQ(IntSet(), IntSet{});

  // Equality uses the keys' own ==, not the comparator.
  using TaggedSet = SortedSet<Tagged, ByOrder>;
  TaggedSet a{Tagged{1, 1}, Tagged{2, 1}};
  TaggedSet b{Tagged{1, 1}, Tagged{2, 2}};
  EXPECT_NE(a, b);
  EXPECT_EQ(a, (TaggedSet{Tagged{2, 1}, Tagged{1, 1}}));
}

TEST(SortedSetTest, KeepsTheStoredElementInBothForms) {
  using TaggedSet = SortedSet<Tagged, ByOrder>;
  for (int count : {5, 24, 25, 60}) {
    SCOPED_TRACE(count);
    TaggedSet set;
    for (int i = 0; i < count; ++i) set = set.insert(Tagged{i, 0});
    TaggedSet again = set.insert(Tagged{3, 99});
    EXPECT_EQ(again.size(), set.size());
    EXPECT_EQ(again.find(Tagged{3, 0})->tag, 0);
  }
}

TEST(SortedSetTest, ExtremesRangesAndIndexes) {
  for (int count : {10, 80}) {
    IntSet set;
    for (int i = 0; i < count; ++i) set = set.insert(i * 3);
    EXPECT_EQ(*set.min(), 0);
    EXPECT_EQ(*set.max(), (count - 1) * 3);
    EXPECT_EQ(++set.max(), set.end());
    EXPECT_EQ(set.find_index(3), 1u);
    EXPECT_EQ(set.find_index(4), SortedMapBase::npos);
    std::vector<int> in_range;
    for (int key : set.range(4, 13)) in_range.push_back(key);
    EXPECT_EQ(in_range, (std::vector<int>{6, 9, 12}));
    IntSet without = set.erase(3);
    EXPECT_EQ(without.find(3), without.end());
    EXPECT_EQ(without.size(), set.size() - 1);
    EXPECT_TRUE(set.contains(3));
  }
  IntSet empty;
  EXPECT_EQ(empty.max(), empty.end());
}

TEST(SortedSetTest, RandomOperationsMatchStdSet) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> key_of(0, 199);
  std::uniform_int_distribution<int> choice(0, 99);
  IntSet set;
  std::set<int> model;
  std::vector<std::pair<IntSet, std::set<int>>> versions;
  for (int step = 0; step < 3000; ++step) {
    int key = key_of(random);
    if (choice(random) < 55) {
      set = set.insert(key);
      model.insert(key);
    } else {
      set = set.erase(key);
      model.erase(key);
    }
    ASSERT_EQ(set.size(), model.size());
    int probe = key_of(random);
    ASSERT_EQ(set.contains(probe), model.count(probe) == 1);
    std::vector<int> from_set(set.lower_bound(probe), set.end());
    std::vector<int> from_model(model.lower_bound(probe), model.end());
    ASSERT_EQ(from_set, from_model);
    if (step % 11 == 0) versions.emplace_back(set, model);
  }
  for (const auto& version : versions) {
    ASSERT_EQ(Keys(version.first), std::vector<int>(version.second.begin(), version.second.end()));
  }
}

}  // namespace
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove
