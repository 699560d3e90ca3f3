#include "davedove/verorariv/immutable/VRVImmutableSortedDictionary.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/immutable/VRVArraySortedDictionary.h"
#include "davedove/verorariv/immutable/VRVLLRBEmptyNode.h"
#include "davedove/verorariv/immutable/VRVLLRBValueNode.h"
#include "davedove/verorariv/immutable/VRVTreeSortedDictionary.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace immutable {
namespace {

using util::ComparisonResult;
using Dict = VRVImmutableSortedDictionary<int, std::string>;
using ArrayDict = VRVArraySortedDictionary<int, std::string>;
using TreeDict = VRVTreeSortedDictionary<int, std::string>;
using ValueNode = VRVLLRBValueNode<int, std::string>;
using EmptyNode = VRVLLRBEmptyNode<int, std::string>;

ComparisonResult CompareInts(const int& a, const int& b) {
  return a < b ? ComparisonResult::Ascending
               : (b < a ? ComparisonResult::Descending : ComparisonResult::Same);
}

// Orders by tens, so 11 and 12 are the same key.
ComparisonResult CompareTens(const int& a, const int& b) { return CompareInts(a / 10, b / 10); }

Dict::Entries EntriesOf(const std::vector<int>& keys) {
  Dict::Entries entries;
  for (int key : keys) entries.emplace_back(key, "v" + std::to_string(key));
  return entries;
}

std::vector<int> Range(int from, int to, int step = 1) {
  std::vector<int> keys;
  for (int i = from; i < to; i += step) keys.push_back(i);
  return keys;
}

Dict::Ptr DictOf(const std::vector<int>& keys) {
  return Dict::dictionaryWithDictionary(EntriesOf(keys), CompareInts);
}

bool IsTree(const Dict::Ptr& dict) { return dynamic_cast<const TreeDict*>(dict.get()) != nullptr; }
bool IsArray(const Dict::Ptr& dict) {
  return dynamic_cast<const ArrayDict*>(dict.get()) != nullptr;
}

std::vector<int> Drain(Dict::EnumeratorPtr enumerator) {
  std::vector<int> keys;
  while (std::optional<int> key = enumerator->nextObject()) keys.push_back(*key);
  return keys;
}

// Black depth of a tree dictionary's root; raises the "check" exception when broken.
int CheckTree(const Dict::Ptr& dict) {
  auto tree = std::dynamic_pointer_cast<const TreeDict>(dict);
  if (!tree) return -1;
  if (tree->root()->isRed()) return -2;
  return tree->root()->check();
}

// Runs the call and returns "name: reason" of the platform exception it raises, or "".
template <typename F>
std::string RaisedBy(F&& call) {
  try {
    call();
  } catch (const platform::Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "";
}

TEST(VRVImmutableSortedDictionaryTest, FormFollowsTheThreshold) {
  EXPECT_EQ(kSortedDictionaryArrayToRBTreeSizeThreshold, 25);
  EXPECT_EQ(kVRVNotFound, 9223372036854775807ull);
  EXPECT_TRUE(IsArray(Dict::dictionaryWithComparator(CompareInts)));
  EXPECT_TRUE(IsArray(DictOf(Range(0, 25))));
  EXPECT_TRUE(IsTree(DictOf(Range(0, 26))));

  Dict::Ptr full = DictOf(Range(0, 25));
  Dict::Ptr grown = full->dictionaryBySettingObject("new", 100);
  EXPECT_TRUE(IsTree(grown));
  EXPECT_EQ(grown->count(), 26u);
  EXPECT_EQ(full->count(), 25u);

  Dict::Ptr replaced = full->dictionaryBySettingObject("new", 3);
  EXPECT_TRUE(IsArray(replaced));
  EXPECT_EQ(*replaced->objectForKey(3), "new");
  EXPECT_EQ(*full->objectForKey(3), "v3");

  Dict::Ptr shrunk = DictOf(Range(0, 40));
  for (int i = 0; i < 39; ++i) shrunk = shrunk->dictionaryByRemovingObjectForKey(i);
  EXPECT_TRUE(IsTree(shrunk));
  EXPECT_EQ(shrunk->count(), 1u);
  EXPECT_EQ(shrunk->minKey(), 39);
}

TEST(VRVImmutableSortedDictionaryTest, RemovingAbsentKeepsReceiverSettingAlwaysMakesNew) {
  for (int count : {5, 40}) {
    Dict::Ptr dict = DictOf(Range(0, count));
    EXPECT_EQ(dict->dictionaryByRemovingObjectForKey(1000), dict);
    Dict::Ptr same = dict->dictionaryBySettingObject("v1", 1);
    EXPECT_NE(same, dict);
    EXPECT_TRUE(same->isEqual(*dict));
    EXPECT_EQ(dict->objectForKeyedSubscript(2), "v2");
    EXPECT_FALSE(dict->objectForKey(1000).has_value());
    EXPECT_FALSE(dict->containsKey(-1));
    EXPECT_TRUE(dict->containsKey(0));
  }
  Dict::Ptr empty = Dict::dictionaryWithComparator(CompareInts);
  EXPECT_TRUE(empty->isEmpty());
  EXPECT_FALSE(empty->minKey().has_value());
  EXPECT_FALSE(empty->maxKey().has_value());
  EXPECT_EQ(empty->dictionaryByRemovingObjectForKey(1), empty);
}

TEST(VRVImmutableSortedDictionaryTest, KeysWithSameOrdering) {
  const std::string raised =
      "NSInvalidArgumentException: Can't create VRVImmutableSortedDictionary with keys with same "
      "ordering!";
  std::vector<int> keys = {10, 20, 30, 11};
  EXPECT_EQ(RaisedBy([&] { Dict::dictionaryWithDictionary(EntriesOf(keys), CompareTens); }), raised);
  EXPECT_EQ(RaisedBy([&] { TreeDict::fromDictionary(EntriesOf(keys), CompareTens); }), raised);

  // From 26 keys on, the later of two keys that compare the same wins silently.
  std::vector<int> many;
  for (int i = 0; i < 26; ++i) many.push_back(i * 10);
  many.push_back(51);
  Dict::Ptr dict;
  EXPECT_EQ(RaisedBy([&] { dict = Dict::dictionaryWithDictionary(EntriesOf(many), CompareTens); }),
            "");
  ASSERT_TRUE(dict);
  EXPECT_EQ(dict->count(), 26u);
  EXPECT_EQ(*dict->objectForKey(50), "v51");
}

TEST(VRVImmutableSortedDictionaryTest, IndexesInBothForms) {
  for (int count : {10, 60}) {
    Dict::Ptr dict = DictOf(Range(0, count * 2, 2));
    EXPECT_EQ(dict->indexOfKey(0), 0u);
    EXPECT_EQ(dict->indexOfKey((count - 1) * 2), dict->count() - 1);
    EXPECT_EQ(dict->indexOfKey(6), 3u);
    EXPECT_EQ(dict->indexOfKey(7), kVRVNotFound);
    EXPECT_EQ(dict->indexOfKey(-5), kVRVNotFound);
  }
}

TEST(VRVImmutableSortedDictionaryTest, KeyEnumeratorsInBothForms) {
  for (int count : {10, 60}) {
    SCOPED_TRACE(count);
    Dict::Ptr dict = DictOf(Range(0, count * 2, 2));  // even keys
    EXPECT_EQ(Drain(dict->keyEnumeratorFrom(4, 10)), (std::vector<int>{4, 6, 8}));
    EXPECT_EQ(Drain(dict->keyEnumeratorFrom(5, 11)), (std::vector<int>{6, 8, 10}));
    EXPECT_EQ(Drain(dict->keyEnumeratorFrom(10, 4)), std::vector<int>{});
    std::vector<int> tail = Drain(dict->keyEnumeratorFrom(count * 2 - 5));
    EXPECT_EQ(tail, (std::vector<int>{count * 2 - 4, count * 2 - 2}));
    EXPECT_EQ(Drain(dict->keyEnumeratorFrom(count * 2)), std::vector<int>{});

    std::vector<int> all = Range(0, count * 2, 2);
    EXPECT_EQ(Drain(dict->keyEnumerator()), all);
    std::vector<int> reversed(all.rbegin(), all.rend());
    EXPECT_EQ(Drain(dict->reverseKeyEnumerator()), reversed);

    EXPECT_EQ(Drain(dict->reverseKeyEnumeratorFrom(6)), (std::vector<int>{6, 4, 2, 0}));
    EXPECT_EQ(Drain(dict->reverseKeyEnumeratorFrom(5)), (std::vector<int>{4, 2, 0}));
    EXPECT_EQ(Drain(dict->reverseKeyEnumeratorFrom(-1)), std::vector<int>{});
    EXPECT_EQ(Drain(dict->reverseKeyEnumeratorFrom(count * 2 + 7)), reversed);
  }
  Dict::Ptr empty = Dict::dictionaryWithComparator(CompareInts);
  EXPECT_EQ(Drain(empty->reverseKeyEnumerator()), std::vector<int>{});
  EXPECT_EQ(Drain(empty->reverseKeyEnumeratorFrom(3)), std::vector<int>{});
}

TEST(VRVImmutableSortedDictionaryTest, EnumerationStopsWhenAsked) {
  for (int count : {10, 60}) {
    Dict::Ptr dict = DictOf(Range(0, count));
    for (bool reverse : {false, true}) {
      std::vector<int> visited;
      dict->enumerateKeysAndObjectsReverse(reverse, [&](const int& key, const std::string& value,
                                                        bool* stop) {
        visited.push_back(key);
        EXPECT_EQ(value, "v" + std::to_string(key));
        *stop = true;
      });
      EXPECT_EQ(visited, std::vector<int>{reverse ? count - 1 : 0});
    }
    std::vector<int> all;
    dict->enumerateKeysAndObjectsUsingBlock(
        [&](const int& key, const std::string&, bool*) { all.push_back(key); });
    EXPECT_EQ(all, Range(0, count));
  }
}

TEST(VRVImmutableSortedDictionaryTest, EqualityHashAndDescriptionAcrossForms) {
  Dict::Ptr array = DictOf({1, 2});
  Dict::Ptr tree = std::make_shared<const TreeDict>(CompareInts)
                       ->dictionaryBySettingObject("v2", 2)
                       ->dictionaryBySettingObject("v1", 1);
  EXPECT_TRUE(array->isEqual(*tree));
  EXPECT_TRUE(*tree == *array);
  EXPECT_EQ(array->Hash(), tree->Hash());
  EXPECT_EQ(array->ToString(), "{ 1: v1, 2: v2 }");
  EXPECT_EQ(tree->ToString(), "{ 1: v1, 2: v2 }");
  EXPECT_FALSE(array->isEqual(*DictOf({1})));
  EXPECT_FALSE(array->isEqual(*array->dictionaryBySettingObject("x", 2)));
  EXPECT_FALSE(array->isEqual(*DictOf({1, 3})));

  Dict::Ptr empty = Dict::dictionaryWithComparator(CompareInts);
  EXPECT_EQ(empty->Hash(), 0u);
  EXPECT_EQ(empty->ToString(), "{  }");

  // h = 17 * (31 * h + hash(key)) + hash(value), in wrapping 64-bit arithmetic.
  using IntDict = VRVImmutableSortedDictionary<int, int>;
  IntDict::Ptr ints = IntDict::dictionaryWithDictionary({{1, 2}, {3, 4}}, CompareInts);
  uint64_t h = 17 * (31 * 0 + 1) + 2;
  h = 17 * (31 * h + 3) + 4;
  EXPECT_EQ(ints->Hash(), h);
}

TEST(VRVImmutableSortedDictionaryTest, SharedObjectValuesCompareByIdentityOrValue) {
  using Obj = std::shared_ptr<const std::string>;
  using ObjDict = VRVImmutableSortedDictionary<int, Obj>;
  Obj a = std::make_shared<const std::string>("a");
  Obj a_copy = std::make_shared<const std::string>("a");
  ObjDict::Ptr first = ObjDict::dictionaryWithDictionary({{1, a}}, CompareInts);
  ObjDict::Ptr second = ObjDict::dictionaryWithDictionary({{1, a_copy}}, CompareInts);
  EXPECT_TRUE(first->isEqual(*second));
  EXPECT_FALSE(first->isEqual(*ObjDict::dictionaryWithDictionary(
      {{1, std::make_shared<const std::string>("b")}}, CompareInts)));
  EXPECT_EQ(first->ToString(), "{ 1: a }");
}

TEST(VRVImmutableSortedDictionaryTest, AbstractOperationsRaise) {
  struct Bare : Dict {};
  auto bare = std::make_shared<const Bare>();
  EXPECT_EQ(RaisedBy([&] { bare->count(); }),
            "NSInternalInconsistencyException: You must override "
            "-[VRVImmutableSortedDictionary count] in a subclass");
  EXPECT_EQ(RaisedBy([&] { bare->objectForKeyedSubscript(1); }),
            "NSInternalInconsistencyException: You must override "
            "-[VRVImmutableSortedDictionary objectForKey:] in a subclass");
  EXPECT_EQ(RaisedBy([&] { bare->keyEnumeratorFrom(1, 2); }),
            "NSInternalInconsistencyException: You must override "
            "-[VRVImmutableSortedDictionary keyEnumeratorFrom:to:] in a subclass");
}

TEST(VRVLLRBNodeTest, CheckReportsBrokenTrees) {
  auto leaf = [](int key, VRVLLRBColor color) {
    return std::make_shared<const ValueNode>(key, "v" + std::to_string(key), color, nullptr,
                                             nullptr);
  };
  auto red_red = std::make_shared<const ValueNode>(2, "v2", VRVLLRBColorRed,
                                                   leaf(1, VRVLLRBColorRed), nullptr);
  EXPECT_EQ(RaisedBy([&] { red_red->check(); }), "check: Red node has a red child");
  auto red_right = std::make_shared<const ValueNode>(2, "v2", VRVLLRBColorBlack, nullptr,
                                                     leaf(3, VRVLLRBColorRed));
  EXPECT_EQ(RaisedBy([&] { red_right->check(); }), "check: Right child is red");
  auto lopsided = std::make_shared<const ValueNode>(2, "v2", VRVLLRBColorBlack,
                                                    leaf(1, VRVLLRBColorBlack), nullptr);
  EXPECT_EQ(RaisedBy([&] { lopsided->check(); }),
            "check: (v2 -> black)blackDepth: 1 ; self.right check: 0");

  auto sound = std::make_shared<const ValueNode>(2, "v2", VRVLLRBColorBlack,
                                                 leaf(1, VRVLLRBColorRed), nullptr);
  EXPECT_EQ(sound->check(), 1);
  EXPECT_TRUE(sound->checkMaxDepth());
  EXPECT_EQ(sound->count(), 2u);
  EXPECT_EQ(sound->description(), "[key=2 val=v2 color=black]");
  EXPECT_EQ(leaf(1, VRVLLRBColorUnspecified)->description(), "[key=1 val=v1 color=red]");
  EXPECT_EQ(EmptyNode::emptyNode()->description(), "[empty node]");
  EXPECT_EQ(EmptyNode::emptyNode()->count(), 0u);
  EXPECT_EQ(EmptyNode::emptyNode()->check(), 0);
  EXPECT_EQ(EmptyNode::emptyNode()->remove(1, CompareInts), EmptyNode::emptyNode());
  EXPECT_EQ(VRVLLRBColorDescription(VRVLLRBColorUnspecified), "unspecified");
}

TEST(VRVTreeSortedDictionaryTest, BalancedBulkBuildIsSound) {
  for (int n = 0; n <= 140; ++n) {
    SCOPED_TRACE(n);
    std::vector<int> keys = Range(0, n);
    std::vector<int> shuffled(keys.rbegin(), keys.rend());
    Dict::Ptr dict = TreeDict::fromDictionary(EntriesOf(shuffled), CompareInts);
    ASSERT_EQ(dict->count(), static_cast<uint64_t>(n));
    ASSERT_EQ(Drain(dict->keyEnumerator()), keys);
    ASSERT_GE(CheckTree(dict), 0);
    auto tree = std::dynamic_pointer_cast<const TreeDict>(dict);
    if (n > 0) {
      ASSERT_TRUE(std::static_pointer_cast<const ValueNode>(tree->root())->checkMaxDepth());
      ASSERT_EQ(dict->indexOfKey(n - 1), static_cast<uint64_t>(n - 1));
    }
    // The built tree keeps working under updates.
    Dict::Ptr changed = dict->dictionaryBySettingObject("x", n / 2)->dictionaryByRemovingObjectForKey(0);
    ASSERT_GE(CheckTree(changed), 0);
  }
}

// Random updates against std::map, with the red-black rules checked after every step and every
// earlier version compared again at the end.
TEST(VRVImmutableSortedDictionaryTest, RandomOperationsMatchStdMap) {
  std::mt19937 random(2024);
  std::uniform_int_distribution<int> key_of(0, 149);
  std::uniform_int_distribution<int> choice(0, 99);
  Dict::Ptr dict = Dict::dictionaryWithComparator(CompareInts);
  std::map<int, std::string> model;
  std::vector<std::pair<Dict::Ptr, std::map<int, std::string>>> versions;

  for (int step = 0; step < 2500; ++step) {
    int key = key_of(random);
    if (choice(random) < 60) {
      std::string value = std::to_string(step);
      dict = dict->dictionaryBySettingObject(value, key);
      model[key] = value;
    } else {
      dict = dict->dictionaryByRemovingObjectForKey(key);
      model.erase(key);
    }
    ASSERT_EQ(dict->count(), model.size());
    if (IsTree(dict)) {
      ASSERT_GE(CheckTree(dict), 0) << "step " << step;
    }

    int probe = key_of(random);
    auto found = model.find(probe);
    ASSERT_EQ(dict->containsKey(probe), found != model.end());
    if (found != model.end()) {
      ASSERT_EQ(*dict->objectForKey(probe), found->second);
      ASSERT_EQ(dict->indexOfKey(probe),
                static_cast<uint64_t>(std::distance(model.begin(), found)));
    }
    // Predecessor (the greatest key not after probe) and successor.
    auto upper = model.upper_bound(probe);
    std::optional<int> predecessor;
    if (upper != model.begin()) predecessor = std::prev(upper)->first;
    ASSERT_EQ(dict->reverseKeyEnumeratorFrom(probe)->nextObject(), predecessor);
    auto lower = model.lower_bound(probe);
    std::optional<int> successor;
    if (lower != model.end()) successor = lower->first;
    ASSERT_EQ(dict->keyEnumeratorFrom(probe)->nextObject(), successor);
    if (!model.empty()) {
      ASSERT_EQ(dict->minKey(), model.begin()->first);
      ASSERT_EQ(dict->maxKey(), model.rbegin()->first);
    }
    if (step % 50 == 0) {
      std::vector<int> reversed;
      for (auto it = model.rbegin(); it != model.rend(); ++it) reversed.push_back(it->first);
      ASSERT_EQ(Drain(dict->reverseKeyEnumerator()), reversed);
      int end = key_of(random);
      std::vector<int> expected;
      for (auto it = model.lower_bound(probe); it != model.end() && it->first < end; ++it) {
        expected.push_back(it->first);
      }
      ASSERT_EQ(Drain(dict->keyEnumeratorFrom(probe, end)), expected);
    }
    if (step % 9 == 0) versions.emplace_back(dict, model);
  }
  for (const auto& version : versions) {
    using Entry = std::pair<int, std::string>;
    std::vector<Entry> entries;
    version.first->enumerateKeysAndObjectsUsingBlock(
        [&](const int& key, const std::string& value, bool*) { entries.emplace_back(key, value); });
    std::vector<Entry> expected(version.second.begin(), version.second.end());
    ASSERT_EQ(entries, expected);
  }
}

}  // namespace
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove
