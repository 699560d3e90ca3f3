#include "davedove/verorariv/model/document_set.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using util::ComparisonResult;

DocumentPtr Doc(const std::string& path, int64_t sort, int64_t version = 1) {
  auto data = std::make_shared<const VRVObjectValue>(
      std::map<std::string, FieldValuePtr>{{"sort", VRVIntegerValue::integerValue(sort)}});
  return VRVDocument::documentWithData(data, DocumentKey::FromPathString(path),
                                       SnapshotVersion(Timestamp(version, 0)),
                                       DocumentState::Synced);
}

// By the "sort" field, then by key: a query's kind of order.
ComparisonResult BySortThenKey(const VRVDocument& a, const VRVDocument& b) {
  ComparisonResult result = a.fieldForPath(FieldPath{"sort"})->compare(
      *b.fieldForPath(FieldPath{"sort"}));
  if (result != ComparisonResult::Same) return result;
  return util::Compare(a.key(), b.key());
}

ComparisonResult ByKey(const VRVDocument& a, const VRVDocument& b) {
  return util::Compare(a.key(), b.key());
}

std::vector<std::string> Keys(const DocumentSet& set) {
  std::vector<std::string> keys;
  for (const DocumentPtr& doc : set) keys.push_back(doc->key().ToString());
  return keys;
}

TEST(DocumentSetTest, KeepsComparatorOrderAndIndexesByKey) {
  DocumentPtr a = Doc("c/a", 3);
  DocumentPtr b = Doc("c/b", 1);
  DocumentPtr c = Doc("c/c", 2);
  DocumentSet set = DocumentSet(BySortThenKey).insert(a).insert(b).insert(c);

  EXPECT_EQ(set.size(), 3u);
  EXPECT_FALSE(set.empty());
  EXPECT_EQ(Keys(set), (std::vector<std::string>{"c/b", "c/c", "c/a"}));
  EXPECT_TRUE(set.ContainsKey(a->key()));
  EXPECT_FALSE(set.ContainsKey(DocumentKey::FromPathString("c/z")));
  EXPECT_EQ(set.GetDocument(c->key()), c);
  EXPECT_EQ(set.GetDocument(DocumentKey::FromPathString("c/z")), nullptr);
  EXPECT_EQ(set.IndexOf(b->key()), 0u);
  EXPECT_EQ(set.IndexOf(a->key()), set.size() - 1);
  EXPECT_EQ(set.IndexOf(DocumentKey::FromPathString("c/z")), 4294967295u);
  EXPECT_EQ(DocumentSet::npos, 4294967295u);
  EXPECT_EQ(set.GetFirstDocument(), b);
  EXPECT_EQ(set.GetLastDocument(), a);
}

TEST(DocumentSetTest, InsertReplacesAndEraseRemoves) {
  DocumentSet set = DocumentSet(BySortThenKey).insert(Doc("c/a", 1)).insert(Doc("c/b", 2));
  DocumentSet before = set;

  // A new version of c/a that sorts last moves there; only one document per key remains.
  DocumentPtr moved = Doc("c/a", 9, 2);
  DocumentSet replaced = set.insert(moved);
  EXPECT_EQ(replaced.size(), 2u);
  EXPECT_EQ(Keys(replaced), (std::vector<std::string>{"c/b", "c/a"}));
  EXPECT_EQ(replaced.GetDocument(moved->key()), moved);
  EXPECT_EQ(replaced.IndexOf(moved->key()), 1u);

  DocumentSet erased = replaced.erase(moved->key());
  EXPECT_EQ(Keys(erased), (std::vector<std::string>{"c/b"}));
  EXPECT_FALSE(erased.ContainsKey(moved->key()));

  EXPECT_EQ(set.insert(nullptr), set);
  EXPECT_EQ(set.erase(DocumentKey::FromPathString("c/z")), set);
  // The receiver never changes.
  EXPECT_EQ(set, before);
  EXPECT_EQ(Keys(set), (std::vector<std::string>{"c/a", "c/b"}));
}

TEST(DocumentSetTest, EmptySet) {
  DocumentSet set(BySortThenKey);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.GetFirstDocument(), nullptr);
  EXPECT_EQ(set.GetLastDocument(), nullptr);
  EXPECT_EQ(set.Hash(), 0u);
  EXPECT_EQ(set.ToString(), "[]");
  std::ostringstream out;
  out << set;
  EXPECT_EQ(out.str(), "[]");
  DocumentSet emptied = set.insert(Doc("c/a", 1)).erase(DocumentKey::FromPathString("c/a"));
  EXPECT_TRUE(emptied.empty());
  EXPECT_EQ(emptied, set);
}

TEST(DocumentSetTest, EqualityHashAndText) {
  DocumentPtr a = Doc("c/a", 1);
  DocumentPtr b = Doc("c/b", 2);
  // Different comparators, same documents in the same order: equal.
  DocumentSet bySort = DocumentSet(BySortThenKey).insert(b).insert(a);
  DocumentSet byKey = DocumentSet(ByKey).insert(a).insert(b);
  EXPECT_EQ(bySort, byKey);
  EXPECT_EQ(bySort.Hash(), byKey.Hash());
  EXPECT_EQ(bySort.Hash(), 31 * a->Hash() + b->Hash());
  EXPECT_EQ(bySort.ToString(), absl::StrCat("[", a->ToString(), ", ", b->ToString(), "]"));

  // Same documents in another order, or another version of one, are not equal.
  DocumentSet reversed = DocumentSet(BySortThenKey).insert(Doc("c/a", 2)).insert(Doc("c/b", 1));
  EXPECT_NE(bySort, reversed);
  EXPECT_NE(bySort, bySort.insert(Doc("c/a", 1, 7)));
  EXPECT_NE(bySort, bySort.erase(a->key()));
}

TEST(DocumentSetTest, GrowsPastTheArrayForm) {
  std::vector<int> sorts(60);
  for (int i = 0; i < 60; ++i) sorts[i] = i;
  std::shuffle(sorts.begin(), sorts.end(), std::mt19937(7));

  DocumentSet set(BySortThenKey);
  for (int sort : sorts) set = set.insert(Doc(absl::StrCat("c/d", sort), 100 - sort));
  ASSERT_EQ(set.size(), 60u);

  // Descending by sort value 100 - i, i.e. ascending i reversed.
  int position = 0;
  for (const DocumentPtr& doc : set) {
    int expected = 59 - position;
    EXPECT_EQ(doc->key().ToString(), absl::StrCat("c/d", expected));
    EXPECT_EQ(set.IndexOf(doc->key()), static_cast<DocumentSet::size_type>(position));
    ++position;
  }
  EXPECT_EQ(set.GetFirstDocument()->key().ToString(), "c/d59");
  EXPECT_EQ(set.GetLastDocument()->key().ToString(), "c/d0");

  for (int i = 0; i < 60; i += 2) set = set.erase(DocumentKey::FromPathString(absl::StrCat("c/d", i)));
  EXPECT_EQ(set.size(), 30u);
  EXPECT_EQ(set.IndexOf(DocumentKey::FromPathString("c/d1")), 29u);
  EXPECT_EQ(set.IndexOf(DocumentKey::FromPathString("c/d2")), DocumentSet::npos);
}

TEST(DocumentSetTest, ReplacingInTheTreeFormMovesTheDocument) {
  DocumentSet set(BySortThenKey);
  for (int i = 0; i < 40; ++i) set = set.insert(Doc(absl::StrCat("c/d", i), i));
  const DocumentSet before = set;

  // c/d3 moves from position 3 to the end, c/d39 to the front.
  DocumentSet moved = set.insert(Doc("c/d3", 100, 2)).insert(Doc("c/d39", -1, 2));
  ASSERT_EQ(moved.size(), 40u);
  EXPECT_EQ(moved.IndexOf(DocumentKey::FromPathString("c/d3")), 39u);
  EXPECT_EQ(moved.IndexOf(DocumentKey::FromPathString("c/d39")), 0u);
  EXPECT_EQ(moved.IndexOf(DocumentKey::FromPathString("c/d4")), 4u);  // d39 ahead, d3 gone
  EXPECT_EQ(moved.GetLastDocument()->version(), SnapshotVersion(Timestamp(2, 0)));
  EXPECT_EQ(Keys(moved).size(), 40u);
  EXPECT_EQ(set, before);

  // The same documents reached by another path are equal and hash alike.
  DocumentSet rebuilt(ByKey);
  for (const DocumentPtr& doc : moved) rebuilt = rebuilt.insert(doc);
  DocumentSet resorted(BySortThenKey);
  for (const DocumentPtr& doc : rebuilt) resorted = resorted.insert(doc);
  EXPECT_EQ(resorted, moved);
  EXPECT_EQ(resorted.Hash(), moved.Hash());
  EXPECT_NE(rebuilt, moved);  // key order differs from sort order here

  // Erasing down to empty from the tree form.
  for (int i = 0; i < 40; ++i) moved = moved.erase(DocumentKey::FromPathString(absl::StrCat("c/d", i)));
  EXPECT_TRUE(moved.empty());
  EXPECT_EQ(moved.GetFirstDocument(), nullptr);
  EXPECT_EQ(moved.Hash(), 0u);
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
