#include "davedove/verorariv/immutable/sorted_map.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/array_sorted_map.h"
#include "davedove/verorariv/immutable/llrb_node.h"
#include "davedove/verorariv/immutable/tests/tree_checker.h"
#include "davedove/verorariv/immutable/tree_sorted_map.h"

namespace davedove {
namespace verorariv {
namespace immutable {
namespace {

using IntMap = SortedMap<int, int>;
using IntTree = TreeSortedMap<int, int, util::Comparator<int>>;

// A comparator with state: ascending or descending.
struct DirectedLess {
  bool descending = false;
  bool operator()(int a, int b) const { return descending ? b < a : a < b; }
};

IntMap MapOfRange(int from, int to) {
  IntMap map;
  for (int i = from; i < to; ++i) map = map.insert(i, i * 10);
  return map;
}

template <typename Map>
std::vector<std::pair<int, int>> Entries(const Map& map) {
  return std::vector<std::pair<int, int>>(map.begin(), map.end());
}

std::vector<std::pair<int, int>> Entries(const std::map<int, int>& map) {
  return std::vector<std::pair<int, int>>(map.begin(), map.end());
}

TEST(SortedMapTest, ConstantsAndEmptyMap) {
  EXPECT_EQ(SortedMapBase::kFixedSize, 25u);
  EXPECT_EQ(SortedMapBase::npos, 4294967295u);
  IntMap empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.begin(), empty.end());
  EXPECT_EQ(empty.max(), empty.end());
  EXPECT_EQ(empty.find_index(3), SortedMapBase::npos);
  EXPECT_EQ(empty.erase(3).size(), 0u);
}

TEST(SortedMapTest, SwitchesToTreeOnlyOnInsertIntoFullArray) {
  IntMap map = MapOfRange(0, 24);
  EXPECT_FALSE(map.is_tree());
  IntMap full = map.insert(24, 240);  // the 25th entry
  EXPECT_FALSE(full.is_tree());
  EXPECT_EQ(full.size(), 25u);

  IntMap grown = full.insert(100, 1000);  // the 26th
  EXPECT_TRUE(grown.is_tree());
  EXPECT_EQ(grown.size(), 26u);
  EXPECT_FALSE(full.is_tree());  // the receiver is untouched

  IntMap replaced = full.insert(3, 31);  // replacing a value still converts
  EXPECT_TRUE(replaced.is_tree());
  EXPECT_EQ(replaced.size(), 25u);
  EXPECT_EQ(replaced.find(3)->second, 31);
  EXPECT_EQ(full.find(3)->second, 30);

  IntMap same_value = full.insert(3, 30);  // even the identical entry converts a full array
  EXPECT_TRUE(same_value.is_tree());
  EXPECT_EQ(Entries(same_value), Entries(full));
}

TEST(SortedMapTest, TreeStaysTreeUntilEmptiedAndKeepsComparator) {
  SortedMap<int, int, DirectedLess> map(DirectedLess{true});
  for (int i = 0; i < 30; ++i) map = map.insert(i, i);
  ASSERT_TRUE(map.is_tree());
  EXPECT_EQ(map.begin()->first, 29);  // descending order

  for (int i = 0; i < 29; ++i) map = map.erase(i);
  EXPECT_TRUE(map.is_tree());
  EXPECT_EQ(map.size(), 1u);

  map = map.erase(29);
  EXPECT_FALSE(map.is_tree());
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.comparator().descending);
  map = map.insert(1, 1).insert(2, 2);
  EXPECT_EQ(map.begin()->first, 2);
}

TEST(SortedMapTest, UnchangedArrayMapsShareStorage) {
  IntMap map = MapOfRange(0, 10);
  IntMap absent = map.erase(99);
  EXPECT_EQ(&*absent.begin(), &*map.begin());

  IntMap same = map.insert(4, 40);
  EXPECT_EQ(&*same.begin(), &*map.begin());

  IntMap changed = map.insert(4, 41);
  EXPECT_NE(&*changed.begin(), &*map.begin());
  EXPECT_EQ(changed.find(4)->second, 41);
  EXPECT_EQ(map.find(4)->second, 40);

  IntMap emptied = IntMap().insert(1, 1).erase(1);
  EXPECT_EQ(&*emptied.begin(), &*IntMap().begin());  // the one shared empty array
}

TEST(SortedMapTest, FindIndexAndMaxInBothForms) {
  for (int count : {10, 25, 200}) {
    SCOPED_TRACE(count);
    IntMap map;
    for (int i = 0; i < count; ++i) map = map.insert(i * 2, i);
    EXPECT_EQ(map.find_index(0), 0u);
    EXPECT_EQ(map.find_index((count - 1) * 2), map.size() - 1);
    EXPECT_EQ(map.find_index(7), SortedMapBase::npos);
    EXPECT_EQ(map.find_index(-1), SortedMapBase::npos);
    EXPECT_EQ(map.find(7), map.end());
    EXPECT_EQ(map.lower_bound(7)->first, 8);
    EXPECT_EQ(map.lower_bound(count * 2), map.end());

    auto max = map.max();
    ASSERT_NE(max, map.end());
    EXPECT_EQ(max->first, (count - 1) * 2);
    EXPECT_EQ(++max, map.end());
    EXPECT_EQ(map.min()->first, 0);
  }
}

TEST(SortedMapTest, IteratorEqualityAcrossTreesAndForms) {
  IntMap tree_a = MapOfRange(0, 40);
  IntMap tree_b = MapOfRange(0, 50).erase(45);
  ASSERT_TRUE(tree_a.is_tree());
  ASSERT_TRUE(tree_b.is_tree());
  EXPECT_EQ(tree_a.find(7), tree_b.find(7));  // different trees, equal keys
  EXPECT_NE(tree_a.find(7), tree_b.find(8));
  EXPECT_NE(tree_a.find(7), tree_b.end());
  EXPECT_EQ(tree_a.end(), tree_b.end());

  IntMap array = MapOfRange(0, 10);
  EXPECT_NE(array.find(7), tree_a.find(7));
  EXPECT_NE(array.end(), tree_a.end());
}

TEST(SortedMapTest, KeyRange) {
  for (int count : {20, 100}) {
    IntMap map = MapOfRange(0, count);
    std::vector<int> keys;
    for (const auto& entry : map.range(5, 9)) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<int>{5, 6, 7, 8}));

    auto backwards = map.range(9, 5);
    EXPECT_EQ(backwards.begin(), map.end());
    EXPECT_EQ(backwards.end(), map.end());
    auto same = map.range(5, 5);
    EXPECT_EQ(same.begin(), same.end());
  }
}

TEST(SortedMapTest, CopiesAndAssignmentsBetweenForms) {
  IntMap array = MapOfRange(0, 5);
  IntMap tree = MapOfRange(0, 40);
  IntMap target = array;
  target = tree;
  EXPECT_TRUE(target.is_tree());
  EXPECT_EQ(Entries(target), Entries(tree));
  target = array;
  EXPECT_FALSE(target.is_tree());
  EXPECT_EQ(Entries(target), Entries(array));
  IntMap moved = std::move(target);
  EXPECT_EQ(Entries(moved), Entries(array));
  moved = IntMap(tree);
  EXPECT_EQ(Entries(moved), Entries(tree));
}

TEST(SortedMapTest, TreeFromArrayEntriesIsSound) {
  IntMap full = MapOfRange(0, 25);
  IntMap tree = full.insert(25, 250);
  ASSERT_TRUE(tree.is_tree());
  IntTree direct = IntTree::Create(Entries(full), util::Comparator<int>());
  testing::TreeChecker<int, int, util::Comparator<int>> checker{util::Comparator<int>()};
  EXPECT_EQ(checker.Check(direct.root()), "");
  EXPECT_EQ(Entries(direct), Entries(full));
}

// Keys, colours and sizes in pre-order; empty subtrees as ".".
std::string Shape(const LlrbNode<int, int>& node) {
  if (node.empty()) return ".";
  return "(" + std::to_string(node.key()) + (node.red() ? "r" : "b") + std::to_string(node.size()) +
         Shape(node.left()) + Shape(node.right()) + ")";
}

// The conversion builds its tree in place; it must come out exactly as inserting the entries one by
// one would, and later inserts must leave it as it was.
TEST(SortedMapTest, TreeBuiltInPlaceMatchesRepeatedInserts) {
  std::vector<std::pair<int, int>> entries;
  std::mt19937 random(7);
  for (int i = 0; i < 25; ++i) entries.emplace_back(static_cast<int>(random() % 1000), i);
  IntTree stepwise;
  for (const auto& entry : entries) stepwise = stepwise.insert(entry.first, entry.second);
  IntTree direct = IntTree::Create(entries, util::Comparator<int>());
  const std::string shape = Shape(direct.root());
  EXPECT_EQ(shape, Shape(stepwise.root()));
  IntTree later = direct;
  for (int i = 0; i < 50; ++i) later = later.insert(static_cast<int>(random() % 1000), -i);
  for (int i = 0; i < 50; ++i) later = later.erase(static_cast<int>(random() % 1000));
  EXPECT_EQ(Shape(direct.root()), shape);
}

// A random walk of inserts and erases over one map, against std::map, keeping every version.
class SortedMapRandomTest : public ::testing::TestWithParam<int> {};

TEST_P(SortedMapRandomTest, MatchesStdMapAndKeepsEveryVersion) {
  const int key_space = GetParam();
  std::mt19937 random(static_cast<unsigned>(key_space) * 7919u);
  std::uniform_int_distribution<int> key_of(0, key_space - 1);
  std::uniform_int_distribution<int> choice(0, 99);

  IntMap map;
  std::map<int, int> model;
  std::vector<std::pair<IntMap, std::map<int, int>>> versions;
  versions.emplace_back(map, model);

  for (int step = 0; step < 3000; ++step) {
    int key = key_of(random);
    if (choice(random) < 60) {
      int value = choice(random);
      map = map.insert(key, value);
      model[key] = value;
    } else {
      map = map.erase(key);
      model.erase(key);
    }
    if (step % 7 == 0) versions.emplace_back(map, model);

    ASSERT_EQ(map.size(), model.size()) << "step " << step;
    ASSERT_TRUE(model.size() <= SortedMapBase::kFixedSize || map.is_tree());
    ASSERT_TRUE(!model.empty() || !map.is_tree());

    int probe = key_of(random);
    auto found = map.find(probe);
    auto expected = model.find(probe);
    ASSERT_EQ(found == map.end(), expected == model.end());
    ASSERT_EQ(map.contains(probe), expected != model.end());
    if (expected != model.end()) {
      ASSERT_EQ(found->second, expected->second);
      ASSERT_EQ(map.find_index(probe),
                static_cast<uint32_t>(std::distance(model.begin(), expected)));
    } else {
      ASSERT_EQ(map.find_index(probe), SortedMapBase::npos);
    }

    // Iteration from a key to the end.
    std::vector<std::pair<int, int>> from_map(map.lower_bound(probe), map.end());
    std::vector<std::pair<int, int>> from_model(model.lower_bound(probe), model.end());
    ASSERT_EQ(from_map, from_model);

    if (!model.empty()) {
      ASSERT_EQ(map.min()->first, model.begin()->first);
      ASSERT_EQ(map.max()->first, model.rbegin()->first);
    }
  }

  for (const auto& version : versions) {
    ASSERT_EQ(Entries(version.first), Entries(version.second));
    ASSERT_EQ(version.first.size(), version.second.size());
  }
}

INSTANTIATE_TEST_SUITE_P(KeySpaces, SortedMapRandomTest, ::testing::Values(20, 40, 500));

// The same walk on the tree form alone, checking the red-black rules after every step.
TEST(TreeSortedMapTest, RandomWalkKeepsInvariantsAndOldVersions) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> key_of(0, 399);
  std::uniform_int_distribution<int> choice(0, 99);
  util::Comparator<int> less;
  testing::TreeChecker<int, int, util::Comparator<int>> checker(less);

  IntTree tree;
  std::map<int, int> model;
  std::vector<std::pair<IntTree, std::map<int, int>>> versions;
  for (int step = 0; step < 4000; ++step) {
    int key = key_of(random);
    if (choice(random) < 55) {
      tree = tree.insert(key, step);
      model[key] = step;
    } else {
      tree = tree.erase(key);  // absent keys too
      model.erase(key);
    }
    ASSERT_EQ(checker.Check(tree.root()), "") << "step " << step;
    ASSERT_EQ(tree.size(), model.size());
    if (step % 13 == 0) versions.emplace_back(tree, model);
  }
  for (const auto& version : versions) {
    ASSERT_EQ(checker.Check(version.first.root()), "");
    ASSERT_EQ(Entries(version.first), Entries(version.second));
  }
  // Ascending and descending bulk orders, the worst cases for an unbalanced tree.
  IntTree ascending;
  IntTree descending;
  for (int i = 0; i < 1000; ++i) {
    ascending = ascending.insert(i, i);
    descending = descending.insert(1000 - i, i);
  }
  EXPECT_EQ(checker.Check(ascending.root()), "");
  EXPECT_EQ(checker.Check(descending.root()), "");
  for (int i = 0; i < 1000; i += 2) ascending = ascending.erase(i);
  EXPECT_EQ(checker.Check(ascending.root()), "");
  EXPECT_EQ(ascending.size(), 500u);
}

// Maps that share nodes are changed and dropped on several threads at once; the shared nodes'
// reference counts must keep every thread's view whole.
TEST(SortedMapTest, SharedStorageAcrossThreads) {
  const IntMap shared = MapOfRange(0, 300);
  const std::vector<std::pair<int, int>> expected = Entries(shared);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, &failures, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      std::uniform_int_distribution<int> key_of(0, 599);
      for (int round = 0; round < 20; ++round) {
        IntMap mine = shared;
        std::map<int, int> model(shared.begin(), shared.end());
        for (int step = 0; step < 200; ++step) {
          int key = key_of(random);
          if (step % 3 == 0) {
            mine = mine.erase(key);
            model.erase(key);
          } else {
            mine = mine.insert(key, t);
            model[key] = t;
          }
        }
        if (Entries(mine) != Entries(model)) ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  EXPECT_EQ(Entries(shared), expected);
}

// Nodes made on a thread that has ended are freed on another, and the reverse; freed nodes are
// kept per thread for reuse, so both directions must neither lose nor double-free a node.
TEST(SortedMapTest, MapsOutliveTheThreadsThatMadeOrDroppedThem) {
  std::vector<IntMap> made(3);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&made, t] {
      IntMap map = MapOfRange(0, 400);
      for (int i = 0; i < 400; i += 2) map = map.erase(i).insert(i + 1000 * (t + 1), t);
      made[static_cast<size_t>(t)] = map;
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 3; ++t) {
    IntMap map = made[static_cast<size_t>(t)];
    ASSERT_EQ(map.size(), 400u);
    EXPECT_EQ(map.find(1000 * (t + 1) + 398)->second, t);
    EXPECT_FALSE(map.contains(398));
  }

  IntMap mine = MapOfRange(0, 500);
  std::thread dropper([moved = std::move(mine), copy = made[0]]() mutable {
    moved = IntMap();
    copy = copy.insert(-1, -1);
  });
  dropper.join();
  made.clear();
  IntMap again = MapOfRange(0, 500);
  EXPECT_EQ(again.size(), 500u);
}

TEST(SortedMapDeathTest, BrokenInvariantsStopTheProcess) {
  using Entry = std::pair<int, int>;
  EXPECT_DEATH(
      {
        FixedArray<Entry> array;
        for (int i = 0; i <= 25; ++i) array.append(Entry(i, i));
      },
      "VERORARIV INTERNAL ASSERTION FAILED: new_size <= SortedMapBase::kFixedSize");
  EXPECT_DEATH(
      {
        FixedArray<Entry> array;
        std::vector<Entry> many(26);
        array.append(many.begin(), many.end());
      },
      "new_size <= SortedMapBase::kFixedSize");

  IntTree tree = IntTree().insert(1, 1);
  EXPECT_DEATH({ (void)*tree.end(); }, "VERORARIV INTERNAL ASSERTION FAILED: !is_end\\(\\)");
  EXPECT_DEATH(
      {
        auto it = tree.end();
        ++it;
      },
      "!is_end\\(\\)");
}

}  // namespace
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove
