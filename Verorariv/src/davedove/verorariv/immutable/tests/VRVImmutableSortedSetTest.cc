#include "davedove/verorariv/immutable/VRVImmutableSortedSet.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace immutable {
namespace {

using util::ComparisonResult;
using Set = VRVImmutableSortedSet<std::string>;
using Strings = std::vector<std::string>;

ComparisonResult CompareStrings(const std::string& a, const std::string& b) {
  return util::Compare(a, b);
}

std::vector<std::string> Elements(const Set& set) {
  std::vector<std::string> elements;
  set.enumerateObjectsUsingBlock([&](const std::string& e, bool*) { elements.push_back(e); });
  return elements;
}

std::vector<std::string> Letters(int count) {
  std::vector<std::string> letters;
  for (int i = 0; i < count; ++i) letters.push_back(std::string(1, static_cast<char>('A' + i)));
  return letters;
}

TEST(VRVImmutableSortedSetTest, AddRemoveAndReceiverReuse) {
  Set::Ptr empty = Set::setWithComparator(CompareStrings);
  EXPECT_TRUE(empty->isEmpty());
  EXPECT_FALSE(empty->firstObject().has_value());
  Set::Ptr set = empty->setByAddingObject("b")->setByAddingObject("a")->setByAddingObject("c");
  EXPECT_EQ(Elements(*set), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(set->count(), 3u);
  EXPECT_EQ(set->firstObject(), "a");
  EXPECT_EQ(set->lastObject(), "c");
  EXPECT_EQ(set->indexOfObject("c"), 2u);
  EXPECT_EQ(set->indexOfObject("z"), kVRVNotFound);
  EXPECT_TRUE(set->containsObject("b"));

  EXPECT_EQ(set->setByRemovingObject("z"), set);  // nothing removed: the same set
  Set::Ptr again = set->setByAddingObject("a");
  EXPECT_NE(again, set);
  EXPECT_TRUE(again->isEqual(*set));
  Set::Ptr fewer = set->setByRemovingObject("b");
  EXPECT_EQ(Elements(*fewer), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Elements(*set), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(VRVImmutableSortedSetTest, EqualityHashAndDescription) {
  Set::Ptr a = Set::setWithKeysFromDictionary(Strings{"x", "y"}, CompareStrings);
  Set::Ptr b = Set::setWithComparator(CompareStrings)->setByAddingObject("y")->setByAddingObject("x");
  EXPECT_TRUE(*a == *b);
  EXPECT_EQ(a->Hash(), b->Hash());
  EXPECT_TRUE(*a != *a->setByAddingObject("z"));
  EXPECT_EQ(a->ToString(), "VRVImmutableSortedSet ( x, y )");
  EXPECT_EQ(Set::setWithComparator(CompareStrings)->ToString(), "VRVImmutableSortedSet (  )");
  EXPECT_EQ(Set::setWithComparator(CompareStrings)->Hash(), 0u);
  EXPECT_THROW(Set::setWithKeysFromDictionary(Strings{"x", "x"}, CompareStrings), platform::Exception);
}

TEST(VRVImmutableSortedSetTest, RangesAndEnumeratorsInBothForms) {
  for (int count : {10, 30}) {
    SCOPED_TRACE(count);
    Set::Ptr set = Set::setWithKeysFromDictionary(Letters(count), CompareStrings);
    std::vector<std::string> walked;
    set->enumerateObjectsFrom("C", std::string("F"), [&](const std::string& e, bool*) {
      walked.push_back(e);
    });
    EXPECT_EQ(walked, (std::vector<std::string>{"C", "D", "E"}));

    walked.clear();
    set->enumerateObjectsFrom("Bz", std::nullopt, [&](const std::string& e, bool* stop) {
      walked.push_back(e);
      *stop = walked.size() == 2;
    });
    EXPECT_EQ(walked, (std::vector<std::string>{"C", "D"}));

    walked.clear();
    set->enumerateObjectsReverse(true, [&](const std::string& e, bool* stop) {
      walked.push_back(e);
      *stop = true;
    });
    EXPECT_EQ(walked, std::vector<std::string>{Letters(count).back()});

    auto enumerator = set->objectEnumeratorFrom("D");
    EXPECT_EQ(enumerator->nextObject(), "D");
    EXPECT_EQ(enumerator->nextObject(), "E");
    auto all = set->objectEnumerator();
    int seen = 0;
    while (all->nextObject()) ++seen;
    EXPECT_EQ(seen, count);
  }
}

}  // namespace
}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove
