#include "davedove/verorariv/model/document_key.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "davedove/verorariv/model/VRVDocumentKey.h"
#include "davedove/verorariv/model/database_id.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace model {
namespace {

using testing::HasSubstr;
using util::ComparisonResult;

TEST(DocumentKeyTest, EmptyAndDefaultKeysReadAsTheEmptyPath) {
  EXPECT_TRUE(DocumentKey{}.path().empty());
  EXPECT_TRUE(DocumentKey::Empty().path().empty());
  EXPECT_EQ(&DocumentKey::Empty(), &DocumentKey::Empty());
  EXPECT_EQ(DocumentKey{}, DocumentKey::Empty());
  EXPECT_EQ(DocumentKey{ResourcePath{}}, DocumentKey{});
  EXPECT_EQ("", DocumentKey{}.ToString());
}

TEST(DocumentKeyTest, CopiesSharePathAndCompareByPath) {
  const DocumentKey key = DocumentKey::FromPathString("rooms/eros");
  const DocumentKey copy = key;
  EXPECT_EQ(&key.path(), &copy.path());
  EXPECT_EQ(key, DocumentKey::FromSegments({"rooms", "eros"}));
  EXPECT_NE(key, DocumentKey::FromSegments({"rooms", "other"}));
  EXPECT_EQ("rooms/eros", key.ToString());
}

TEST(DocumentKeyTest, OrderAndThreeWayCompare) {
  const DocumentKey a = DocumentKey::FromPathString("a/b");
  const DocumentKey a_long = DocumentKey::FromPathString("a/b/c/d");
  const DocumentKey b = DocumentKey::FromPathString("b/a");
  EXPECT_LT(a, a_long);
  EXPECT_LT(a_long, b);
  EXPECT_TRUE(util::Comparator<DocumentKey>{}(a, b));
  EXPECT_FALSE(util::Comparator<DocumentKey>{}(b, a));
  EXPECT_EQ(ComparisonResult::Ascending, util::Compare(a, b));
  EXPECT_EQ(ComparisonResult::Descending, util::Compare(b, a_long));
  EXPECT_EQ(ComparisonResult::Same, util::Compare(a, DocumentKey::FromPathString("a/b")));
}

TEST(DocumentKeyTest, TwoHashes) {
  const DocumentKey key = DocumentKey::FromPathString("rooms/eros");
  EXPECT_EQ(key.path().Hash(), DocumentKeyHash{}(key));
  EXPECT_EQ(std::hash<std::string>{}("rooms/eros"), key.Hash());
  EXPECT_EQ(0u, DocumentKeyHash{}(DocumentKey{}));

  std::unordered_map<DocumentKey, int, DocumentKeyHash> map;
  map[key] = 1;
  map[DocumentKey::FromPathString("rooms/other")] = 2;
  EXPECT_EQ(1, map[DocumentKey::FromSegments({"rooms", "eros"})]);
  EXPECT_EQ(2u, map.size());
}

TEST(DatabaseIdTest, AccessorsEqualityAndOrder) {
  const DatabaseId id{"project", DatabaseId::kDefault};
  EXPECT_EQ("project", id.project_id());
  EXPECT_EQ("(default)", id.database_id());
  EXPECT_EQ(id, (DatabaseId{"project", "(default)"}));
  EXPECT_NE(id, (DatabaseId{"project", "other"}));
  EXPECT_NE(id, (DatabaseId{"other", "(default)"}));

  EXPECT_LT(id, (DatabaseId{"project", "abc"}));  // '(' sorts before letters
  EXPECT_FALSE((DatabaseId{"project", "abc"}) < id);
  EXPECT_LT((DatabaseId{"a", "z"}), (DatabaseId{"b", "a"}));  // project decides first
  EXPECT_FALSE(id < id);
}

TEST(VRVDocumentKeyTest, WrapsKeyWithObjectEqualityHashAndText) {
  const DocumentKey key = DocumentKey::FromPathString("rooms/eros");
  std::shared_ptr<const VRVDocumentKey> wrapper = VRVDocumentKey::keyWithDocumentKey(key);
  EXPECT_EQ(&key.path(), &wrapper->key().path());
  EXPECT_EQ(*wrapper, VRVDocumentKey(DocumentKey::FromSegments({"rooms", "eros"})));
  EXPECT_EQ(wrapper->Hash(), VRVDocumentKey(DocumentKey::FromSegments({"rooms", "eros"})).Hash());
  EXPECT_EQ(key.Hash(), wrapper->Hash());
  EXPECT_NE(*wrapper, VRVDocumentKey(DocumentKey::FromPathString("rooms/other")));
  EXPECT_EQ("<VRVDocumentKey: rooms/eros>", wrapper->ToString());
  EXPECT_TRUE(VRVDocumentKey().key().path().empty());
  EXPECT_EQ("<VRVDocumentKey: >", VRVDocumentKey().ToString());
}

using DocumentKeyDeathTest = testing::Test;

TEST(DocumentKeyDeathTest, InvalidKeysAndDatabaseIds) {
  EXPECT_DEATH(DocumentKey{ResourcePath{"rooms"}},
               HasSubstr("VERORARIV INTERNAL ASSERTION FAILED: invalid document key path: rooms"));
  EXPECT_DEATH(DocumentKey::FromPathString("rooms/eros/messages"),
               HasSubstr("invalid document key path: rooms/eros/messages"));
  EXPECT_DEATH((DatabaseId{"", "(default)"}),
               HasSubstr("VERORARIV INTERNAL ASSERTION FAILED: !project_id_.empty()"));
  EXPECT_DEATH((DatabaseId{"project", ""}),
               HasSubstr("VERORARIV INTERNAL ASSERTION FAILED: !database_id_.empty()"));
}

}  // namespace
}  // namespace model
}  // namespace verorariv
}  // namespace davedove
