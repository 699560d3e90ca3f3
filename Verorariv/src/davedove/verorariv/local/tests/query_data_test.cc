#include "davedove/verorariv/local/VRVQueryData.h"

#include <gtest/gtest.h>

#include "davedove/verorariv/core/view_snapshot.h"
#include "davedove/verorariv/local/VRVLocalViewChanges.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Doc;
using testutil::Key;
using testutil::Keys;
using testutil::Obj;
using testutil::Query;
using testutil::Version;

TEST(QueryDataTest, ShortInitialiserHasNoVersionAndEmptyToken) {
  VRVQueryData data(Query("rooms"), 4, 9, VRVQueryPurposeListen);
  EXPECT_EQ(model::SnapshotVersion::None(), data.snapshotVersion());
  EXPECT_TRUE(data.resumeToken().empty());
  EXPECT_EQ(4, data.targetID());
  EXPECT_EQ(9, data.sequenceNumber());
}

TEST(QueryDataTest, EqualityComparesEveryField) {
  VRVQueryData base(Query("rooms"), 4, 9, VRVQueryPurposeListen, Version(3), "tok");
  EXPECT_EQ(base, VRVQueryData(Query("rooms"), 4, 9, VRVQueryPurposeListen, Version(3), "tok"));
  EXPECT_EQ(base.Hash(),
            VRVQueryData(Query("rooms"), 4, 9, VRVQueryPurposeListen, Version(3), "tok").Hash());

  VRVQueryData otherToken(Query("rooms"), 4, 9, VRVQueryPurposeListen, Version(3), "tok2");
  EXPECT_NE(base, otherToken);
  EXPECT_NE(base.Hash(), otherToken.Hash());

  EXPECT_NE(base, VRVQueryData(Query("halls"), 4, 9, VRVQueryPurposeListen, Version(3), "tok"));
  EXPECT_NE(base, VRVQueryData(Query("rooms"), 6, 9, VRVQueryPurposeListen, Version(3), "tok"));
  EXPECT_NE(base, VRVQueryData(Query("rooms"), 4, 8, VRVQueryPurposeListen, Version(3), "tok"));
  EXPECT_NE(base, VRVQueryData(Query("rooms"), 4, 9, VRVQueryPurposeLimboResolution, Version(3),
                               "tok"));
  EXPECT_NE(base, VRVQueryData(Query("rooms"), 4, 9, VRVQueryPurposeListen, Version(3, 1), "tok"));
}

TEST(QueryDataTest, HashFollowsTheFieldOrder) {
  VRVQueryData data(Query("rooms"), 4, 9, VRVQueryPurposeExistenceFilterMismatch, Version(3, 5),
                    "tok");
  uint64_t expected = data.query()->Hash();
  expected = expected * 31 + 4;
  expected = expected * 31 + 9;
  expected = expected * 31 + 1;
  expected = expected * 31 + (3 * 37 + 5);
  expected = expected * 31 + std::hash<std::string>()("tok");
  EXPECT_EQ(static_cast<size_t>(expected), data.Hash());
}

TEST(QueryDataTest, ReplacingKeepsQueryTargetAndPurpose) {
  VRVQueryData limbo(Query("rooms/a"), 3, 1, VRVQueryPurposeLimboResolution);
  QueryDataPtr replaced = limbo.queryDataByReplacingSnapshotVersion(Version(5), "next", 12);
  EXPECT_EQ(VRVQueryPurposeLimboResolution, replaced->purpose());
  EXPECT_EQ(3, replaced->targetID());
  EXPECT_EQ(*limbo.query(), *replaced->query());
  EXPECT_EQ(Version(5), replaced->snapshotVersion());
  EXPECT_EQ("next", replaced->resumeToken());
  EXPECT_EQ(12, replaced->sequenceNumber());
}

TEST(QueryDataTest, DescriptionText) {
  VRVQueryData data(Query("rooms"), 4, 9, VRVQueryPurposeLimboResolution, Version(3),
                    std::string("\x01\x02\x03\x04\xff", 5));
  EXPECT_EQ("<VRVQueryData: query:" + data.query()->ToString() +
                " target:4 purpose:2 version:" + Version(3).ToString() +
                " resumeToken:<01020304 ff>)>",
            data.ToString());
}

TEST(LocalViewChangesTest, TakesAddedAndRemovedKeysOnly) {
  using Type = core::DocumentViewChange::Type;
  auto doc = [](const std::string& path) { return Doc(path, 1, Obj()); };
  core::ViewSnapshot snapshot({core::DocumentViewChange(doc("c/a"), Type::Added),
                               core::DocumentViewChange(doc("c/b"), Type::Modified),
                               core::DocumentViewChange(doc("c/c"), Type::Removed),
                               core::DocumentViewChange(doc("c/d"), Type::Metadata),
                               core::DocumentViewChange(doc("c/e"), Type::Added)});
  VRVLocalViewChanges changes = VRVLocalViewChanges::changesForViewSnapshot(snapshot, 8);
  EXPECT_EQ(8, changes.targetID());
  EXPECT_EQ(Keys({"c/a", "c/e"}), changes.addedKeys());
  EXPECT_EQ(Keys({"c/c"}), changes.removedKeys());

  core::ViewSnapshot modifiedOnly({core::DocumentViewChange(doc("c/b"), Type::Modified)});
  VRVLocalViewChanges none = VRVLocalViewChanges::changesForViewSnapshot(modifiedOnly, 2);
  EXPECT_TRUE(none.addedKeys().empty());
  EXPECT_TRUE(none.removedKeys().empty());
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
