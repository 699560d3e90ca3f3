#include <gtest/gtest.h>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/local/memory_index_manager.h"
#include "davedove/verorariv/local/tests/memory_testutil.h"

namespace davedove {
namespace verorariv {
namespace local {
namespace {

using testutil::Deleted;
using testutil::Doc;
using testutil::Field;
using testutil::Int;
using testutil::Key;
using testutil::Keys;
using testutil::Obj;
using testutil::Query;
using testutil::Target;
using testutil::Unknown;

class MemoryCachesTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  std::shared_ptr<VRVMemoryPersistence> persistence_ = VRVMemoryPersistence::persistenceWithEagerGC();
  MemoryQueryCache* targets_ = persistence_->queryCache();
  MemoryRemoteDocumentCache* documents_ = persistence_->remoteDocumentCache();
};

TEST_F(MemoryCachesTest, HighestValuesOnlyRise) {
  EXPECT_EQ(0, targets_->highest_target_id());
  EXPECT_EQ(0, targets_->highest_listen_sequence_number());
  targets_->AddTarget(Target("rooms", 8, 20));
  targets_->AddTarget(Target("halls", 4, 10));
  EXPECT_EQ(8, targets_->highest_target_id());
  EXPECT_EQ(20, targets_->highest_listen_sequence_number());
  targets_->RemoveTarget(targets_->GetTarget(*Query("rooms")));
  EXPECT_EQ(8, targets_->highest_target_id());
  EXPECT_EQ(20, targets_->highest_listen_sequence_number());
  EXPECT_EQ(1u, targets_->size());
  targets_->UpdateTarget(Target("halls", 4, 30));
  EXPECT_EQ(30, targets_->highest_listen_sequence_number());
}

TEST_F(MemoryCachesTest, TargetsAreFoundByEqualQueries) {
  auto target = Target("rooms", 2, 1);
  targets_->AddTarget(target);
  // A different query object with the same meaning finds it.
  EXPECT_EQ(target, targets_->GetTarget(*Query("rooms")));
  EXPECT_EQ(nullptr, targets_->GetTarget(*Query("halls")));
  auto filtered = Query("rooms")->queryByAddingFilter(core::VRVFilter::filterWithField(
      Field("v"), core::VRVRelationFilterOperator::Equal, Int(1)));
  EXPECT_EQ(nullptr, targets_->GetTarget(*filtered));

  auto updated = target->queryDataByReplacingSnapshotVersion(testutil::Version(4), "tok", 3);
  targets_->UpdateTarget(updated);
  EXPECT_EQ(1u, targets_->size());
  EXPECT_EQ(*updated, *targets_->GetTarget(*Query("rooms")));

  int seen = 0;
  targets_->EnumerateTargets([&](const QueryDataPtr& data) {
    EXPECT_EQ(*updated, *data);
    ++seen;
  });
  EXPECT_EQ(1, seen);
}

TEST_F(MemoryCachesTest, MatchingKeysPerTarget) {
  persistence_->run()("keys", [&] {
    targets_->AddMatchingKeys(Keys({"rooms/a", "rooms/b"}), 2);
    targets_->AddMatchingKeys(Keys({"rooms/b"}), 4);
    EXPECT_EQ(Keys({"rooms/a", "rooms/b"}), targets_->GetMatchingKeys(2));
    EXPECT_TRUE(targets_->Contains(Key("rooms/b")));
    targets_->RemoveMatchingKeys(Keys({"rooms/b"}), 2);
    EXPECT_EQ(Keys({"rooms/a"}), targets_->GetMatchingKeys(2));
    EXPECT_TRUE(targets_->Contains(Key("rooms/b")));
    targets_->RemoveMatchingKeys(Keys({"rooms/b"}), 4);
    EXPECT_FALSE(targets_->Contains(Key("rooms/b")));
  });
  auto target = Target("rooms", 2, 1);
  targets_->AddTarget(target);
  targets_->RemoveTarget(target);
  EXPECT_TRUE(targets_->GetMatchingKeys(2).empty());
  EXPECT_FALSE(targets_->Contains(Key("rooms/a")));
}

TEST_F(MemoryCachesTest, RemoveTargetsSparesLiveTargetsAtTheBound) {
  auto live = Target("rooms", 2, 5);
  targets_->AddTarget(live);
  targets_->AddTarget(Target("halls", 4, 5));
  targets_->AddTarget(Target("later", 6, 6));
  persistence_->run()("keys", [&] { targets_->AddMatchingKeys(Keys({"halls/h"}), 4); });

  LiveQueryMap liveTargets{{2, live}};
  EXPECT_EQ(1, targets_->RemoveTargets(5, liveTargets));
  EXPECT_NE(nullptr, targets_->GetTarget(*Query("rooms")));
  EXPECT_EQ(nullptr, targets_->GetTarget(*Query("halls")));
  EXPECT_NE(nullptr, targets_->GetTarget(*Query("later")));
  EXPECT_FALSE(targets_->Contains(Key("halls/h")));
  // Not live any more: the same bound removes it.
  EXPECT_EQ(1, targets_->RemoveTargets(5, {}));
  EXPECT_EQ(1u, targets_->size());
}

TEST_F(MemoryCachesTest, LastRemoteSnapshotVersion) {
  EXPECT_EQ(model::SnapshotVersion::None(), targets_->GetLastRemoteSnapshotVersion());
  targets_->SetLastRemoteSnapshotVersion(testutil::Version(7));
  EXPECT_EQ(testutil::Version(7), targets_->GetLastRemoteSnapshotVersion());
}

TEST_F(MemoryCachesTest, DocumentsAreStoredByKey) {
  documents_->Add(Doc("rooms/a", 1, Obj({{"v", Int(1)}})));
  documents_->Add(Doc("rooms/a", 2, Obj({{"v", Int(2)}})));
  EXPECT_EQ(testutil::Version(2), documents_->Get(Key("rooms/a"))->version());
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/b")));

  model::MaybeDocumentMap all = documents_->GetAll(Keys({"rooms/a", "rooms/b", "rooms/c"}));
  ASSERT_EQ(3u, all.size());
  EXPECT_NE(nullptr, all.find(Key("rooms/a"))->second);
  EXPECT_EQ(nullptr, all.find(Key("rooms/b"))->second);
  EXPECT_EQ(nullptr, all.find(Key("rooms/c"))->second);

  documents_->Remove(Key("rooms/a"));
  documents_->Remove(Key("rooms/a"));
  EXPECT_EQ(nullptr, documents_->Get(Key("rooms/a")));
}

TEST_F(MemoryCachesTest, GetMatchingScansOneCollectionAndAppliesTheQuery) {
  documents_->Add(Doc("rooms/a", 1, Obj({{"v", Int(1)}})));
  documents_->Add(Doc("rooms/b", 1, Obj({{"v", Int(2)}})));
  documents_->Add(Deleted("rooms/c", 1));
  documents_->Add(Unknown("rooms/d", 1));
  documents_->Add(Doc("rooms/a/messages/m", 1, Obj({{"v", Int(1)}})));
  documents_->Add(Doc("roomsX/a", 1, Obj({{"v", Int(1)}})));
  documents_->Add(Doc("halls/a", 1, Obj({{"v", Int(1)}})));

  model::DocumentMap rooms = documents_->GetMatching(*Query("rooms"));
  std::vector<std::string> keys;
  for (const auto& entry : rooms) keys.push_back(entry.first.ToString());
  EXPECT_EQ((std::vector<std::string>{"rooms/a", "rooms/b"}), keys);

  auto filtered = Query("rooms")->queryByAddingFilter(core::VRVFilter::filterWithField(
      Field("v"), core::VRVRelationFilterOperator::Equal, Int(2)));
  model::DocumentMap matching = documents_->GetMatching(*filtered);
  ASSERT_EQ(1u, matching.size());
  EXPECT_TRUE(matching.contains(Key("rooms/b")));

  EXPECT_DEATH(documents_->GetMatching(*core::VRVQuery::queryWithPath(model::ResourcePath(), "rooms")),
               "CollectionGroup queries should be handled in LocalDocumentsView");
}

TEST_F(MemoryCachesTest, DocumentsRecordCollectionParents) {
  MemoryIndexManager* index = persistence_->indexManager();
  documents_->Add(Doc("rooms/a", 1, Obj()));
  documents_->Add(Doc("rooms/b/messages/m", 1, Obj()));
  documents_->Add(Doc("halls/h/messages/m", 1, Obj()));
  EXPECT_EQ(std::vector<model::ResourcePath>{model::ResourcePath()},
            index->GetCollectionParents("rooms"));
  EXPECT_EQ((std::vector<model::ResourcePath>{model::ResourcePath::FromString("halls/h"),
                                              model::ResourcePath::FromString("rooms/b")}),
            index->GetCollectionParents("messages"));
  EXPECT_TRUE(index->GetCollectionParents("none").empty());
}

TEST(MemoryCollectionParentIndexTest, AddReportsNewParentsOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  MemoryCollectionParentIndex index;
  EXPECT_TRUE(index.Add(model::ResourcePath::FromString("rooms")));
  EXPECT_FALSE(index.Add(model::ResourcePath::FromString("rooms")));
  EXPECT_TRUE(index.Add(model::ResourcePath::FromString("a/b/rooms")));
  EXPECT_EQ(2u, index.GetEntries("rooms").size());
  EXPECT_DEATH(index.Add(model::ResourcePath::FromString("rooms/a")), "Expected a collection path.");
}

}  // namespace
}  // namespace local
}  // namespace verorariv
}  // namespace davedove
