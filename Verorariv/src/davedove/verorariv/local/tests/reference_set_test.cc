#include "davedove/verorariv/local/reference_set.h"

#include <gtest/gtest.h>

#include <functional>

#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Key;
using testutil::Keys;

TEST(DocumentKeyReferenceTest, OrdersByKeyOrById) {
  DocumentKeyReference a1(Key("c/a"), 1);
  DocumentKeyReference a2(Key("c/a"), 2);
  DocumentKeyReference b1(Key("c/b"), 1);
  DocumentKeyReference::ByKey byKey;
  DocumentKeyReference::ById byId;
  EXPECT_TRUE(byKey(a1, a2));
  EXPECT_TRUE(byKey(a2, b1));
  EXPECT_FALSE(byKey(b1, a2));
  EXPECT_TRUE(byId(a1, b1));
  EXPECT_TRUE(byId(b1, a2));
  EXPECT_FALSE(byId(a2, b1));
  EXPECT_FALSE(byKey(a1, a1));
}

TEST(DocumentKeyReferenceTest, EqualityHashAndText) {
  DocumentKeyReference ref(Key("rooms/eros"), 7);
  EXPECT_EQ(ref, DocumentKeyReference(Key("rooms/eros"), 7));
  EXPECT_NE(ref, DocumentKeyReference(Key("rooms/eros"), 8));
  EXPECT_NE(ref, DocumentKeyReference(Key("rooms/other"), 7));
  size_t expected = std::hash<std::string>()("rooms/eros") * 31 + 7;
  EXPECT_EQ(expected, ref.Hash());
  EXPECT_EQ("<DocumentKeyReference: key=rooms/eros, id=7>", ref.ToString());
}

TEST(ReferenceSetTest, AddTwiceRemoveOnceLeavesNothing) {
  ReferenceSet set;
  EXPECT_FALSE(set.ContainsKey(Key("c/k")));
  set.AddReference(Key("c/k"), 1);
  set.AddReference(Key("c/k"), 1);
  EXPECT_TRUE(set.ContainsKey(Key("c/k")));
  set.RemoveReference(Key("c/k"), 1);
  EXPECT_FALSE(set.ContainsKey(Key("c/k")));
  EXPECT_TRUE(set.empty());
  // Removing what is not there is no error.
  set.RemoveReference(Key("c/k"), 1);
  EXPECT_TRUE(set.empty());
}

TEST(ReferenceSetTest, RemoveReferencesByIdReturnsItsKeysAndKeepsOthers) {
  ReferenceSet set;
  set.AddReference(Key("c/a"), 2);
  set.AddReference(Key("c/b"), 2);
  set.AddReference(Key("c/a"), 4);
  set.AddReference(Key("c/z"), 3);

  EXPECT_EQ(Keys({"c/a", "c/b"}), set.RemoveReferences(2));
  EXPECT_TRUE(set.ContainsKey(Key("c/a")));
  EXPECT_FALSE(set.ContainsKey(Key("c/b")));
  EXPECT_EQ(Keys({"c/a"}), set.ReferencedKeys(4));
  EXPECT_EQ(Keys({"c/z"}), set.ReferencedKeys(3));
  EXPECT_TRUE(set.ReferencedKeys(2).empty());
  EXPECT_TRUE(set.RemoveReferences(2).empty());
}

TEST(ReferenceSetTest, KeysOfNeighbouringIdsAndPrefixKeysStaySeparate) {
  ReferenceSet set;
  set.AddReferences(Keys({"c/a", "c/a/sub/x"}), 1);
  set.AddReference(Key("c/ab"), 0);
  EXPECT_EQ(Keys({"c/a", "c/a/sub/x"}), set.ReferencedKeys(1));
  EXPECT_EQ(Keys({"c/ab"}), set.ReferencedKeys(0));
  EXPECT_TRUE(set.ReferencedKeys(5).empty());

  set.RemoveReferences(Keys({"c/a"}), 1);
  EXPECT_FALSE(set.ContainsKey(Key("c/a")));
  EXPECT_TRUE(set.ContainsKey(Key("c/a/sub/x")));
  EXPECT_TRUE(set.ContainsKey(Key("c/ab")));
}

TEST(ReferenceSetTest, RemoveAllReferencesEmptiesBothOrders) {
  ReferenceSet set;
  // Beyond the array size, so the sets become trees.
  for (int i = 0; i < 40; ++i) {
    set.AddReference(Key("c/d" + std::to_string(i)), i % 3);
  }
  EXPECT_EQ(14u, set.ReferencedKeys(0).size());
  set.RemoveAllReferences();
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.ReferencedKeys(0).empty());
  EXPECT_FALSE(set.ContainsKey(Key("c/d0")));
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
