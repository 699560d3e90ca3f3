// The watch-change aggregator over scripted sequences of watch changes, as the watch stream
// decodes them.
#include "davedove/verorariv/remote/watch_change_aggregator.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/tests/value_testutil.h"

namespace davedove {
namespace verorariv {
namespace remote {
namespace {

using core::TargetId;
using model::DocumentKeySet;
using namespace model::testutil;  // NOLINT

// The listened targets and the keys the client already holds for them.
class Targets : public TargetMetadataProvider {
 public:
  void Listen(TargetId id, const std::string& path,
              local::VRVQueryPurpose purpose = local::VRVQueryPurposeListen) {
    queries_[id] = std::make_shared<local::VRVQueryData>(
        core::VRVQuery::queryWithPath(model::ResourcePath::FromString(path)), id, 1, purpose);
  }
  void Unlisten(TargetId id) { queries_.erase(id); }
  void SetKeys(TargetId id, const std::vector<std::string>& paths) {
    DocumentKeySet keys;
    for (const auto& p : paths) keys = keys.insert(Key(p));
    keys_[id] = keys;
  }
  // What the local store does with an event: added keys join, removed keys leave.
  void Apply(const RemoteEvent& event) {
    for (const auto& [id, change] : event.target_changes()) {
      DocumentKeySet keys = keys_[id];
      for (const auto& k : change.added_documents()) keys = keys.insert(k);
      for (const auto& k : change.removed_documents()) keys = keys.erase(k);
      keys_[id] = keys;
    }
  }

  DocumentKeySet GetRemoteKeysForTarget(TargetId id) const override {
    auto it = keys_.find(id);
    return it == keys_.end() ? DocumentKeySet() : it->second;
  }
  local::QueryDataPtr GetQueryDataForTarget(TargetId id) const override {
    auto it = queries_.find(id);
    return it == queries_.end() ? nullptr : it->second;
  }

 private:
  std::map<TargetId, local::QueryDataPtr> queries_;
  std::map<TargetId, DocumentKeySet> keys_;
};

std::vector<std::string> Paths(const DocumentKeySet& keys) {
  std::vector<std::string> out;
  for (const auto& k : keys) out.push_back(k.ToString());
  return out;
}

using Strings = std::vector<std::string>;

WatchTargetChange TargetChangeOf(WatchTargetChangeState state, std::vector<TargetId> ids,
                                 std::string token = {}) {
  return WatchTargetChange(state, std::move(ids), std::move(token));
}

DocumentWatchChange Update(const std::string& path, int64_t version, std::vector<TargetId> ids) {
  return DocumentWatchChange(std::move(ids), {}, Key(path), Doc(path, version, Obj({{"v", Int(version)}})));
}

class WatchChangeAggregatorTest : public ::testing::Test {
 protected:
  WatchChangeAggregatorTest() : aggregator_(&targets_) {}

  // Listens as the remote store does: the target becomes known and its add request pending.
  void Listen(TargetId id, const std::string& path,
              local::VRVQueryPurpose purpose = local::VRVQueryPurposeListen) {
    targets_.Listen(id, path, purpose);
    aggregator_.RecordPendingTargetRequest(id);
  }
  RemoteEvent Event(int64_t version) {
    RemoteEvent event = aggregator_.CreateRemoteEvent(Version(version));
    targets_.Apply(event);
    return event;
  }

  Targets targets_;
  WatchChangeAggregator aggregator_;
};

TEST_F(WatchChangeAggregatorTest, TargetsCollectAddedModifiedRemovedAndDeletedDocumentsWithTheirTokens) {
  Listen(1, "coll");
  Listen(2, "coll/a");
  // Sent before the server saw our request: not part of the target yet.
  aggregator_.HandleDocumentChange(Update("coll/early", 1, {1}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1, 2}));
  aggregator_.HandleDocumentChange(Update("coll/a", 1, {1, 2}));
  aggregator_.HandleDocumentChange(Update("coll/b", 1, {1}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Current, {1, 2}, "token-1"));

  RemoteEvent first = Event(1);
  EXPECT_EQ(first.snapshot_version(), Version(1));
  ASSERT_EQ(first.target_changes().size(), 2u);
  const TargetChange& query = first.target_changes().at(1);
  EXPECT_EQ(Paths(query.added_documents()), (Strings{"coll/a", "coll/b"}));
  EXPECT_TRUE(query.modified_documents().empty());
  EXPECT_TRUE(query.current());
  EXPECT_EQ(query.resume_token(), "token-1");
  EXPECT_EQ(Paths(first.target_changes().at(2).added_documents()), (Strings{"coll/a"}));
  EXPECT_EQ(first.document_updates().size(), 2u);
  EXPECT_EQ(first.document_updates().count(Key("coll/early")), 0u);
  EXPECT_TRUE(first.limbo_document_changes().empty());

  // Next snapshot: a changed, b leaves the query, c comes and goes again, d is deleted.
  targets_.SetKeys(1, {"coll/a", "coll/b", "coll/d"});
  aggregator_.HandleDocumentChange(Update("coll/a", 2, {1, 2}));
  aggregator_.HandleDocumentChange(DocumentWatchChange({}, {1}, Key("coll/b"), nullptr));
  aggregator_.HandleDocumentChange(Update("coll/c", 2, {1}));
  aggregator_.HandleDocumentChange(DocumentWatchChange({}, {1}, Key("coll/c"), nullptr));
  aggregator_.HandleDocumentChange(DocumentWatchChange({}, {1}, Key("coll/d"), Deleted("coll/d", 2)));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::NoChange, {}, "token-2"));

  RemoteEvent second = Event(2);
  const TargetChange& changed = second.target_changes().at(1);
  EXPECT_TRUE(changed.added_documents().empty()) << "c came and went within the snapshot";
  EXPECT_EQ(Paths(changed.modified_documents()), (Strings{"coll/a"}));
  EXPECT_EQ(Paths(changed.removed_documents()), (Strings{"coll/b", "coll/d"}));
  EXPECT_EQ(changed.resume_token(), "token-2");
  EXPECT_EQ(Paths(second.target_changes().at(2).modified_documents()), (Strings{"coll/a"}));
  EXPECT_EQ(second.target_changes().at(2).resume_token(), "token-2") << "a token for every target";
  ASSERT_EQ(second.document_updates().count(Key("coll/d")), 1u);
  EXPECT_TRUE(SameDoc(second.document_updates().at(Key("coll/d")), Deleted("coll/d", 2)));
  EXPECT_EQ(second.document_updates().count(Key("coll/b")), 0u) << "b still exists, it only left";

  // Nothing new: no target reports, and the kept token stays with the target.
  RemoteEvent quiet = Event(3);
  EXPECT_TRUE(quiet.target_changes().empty());
  aggregator_.HandleDocumentChange(Update("coll/a", 4, {2}));
  EXPECT_EQ(Event(4).target_changes().at(2).resume_token(), "token-2");
}

TEST_F(WatchChangeAggregatorTest, ExistenceFilterMismatchResetsTheQueryTargetOnly) {
  Listen(1, "coll");
  Listen(2, "coll/missing");
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1, 2}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Current, {1, 2}, "token-1"));
  Event(1);
  targets_.SetKeys(1, {"coll/a", "coll/b", "coll/c"});

  aggregator_.HandleExistenceFilter(ExistenceFilterWatchChange(3, 1));
  aggregator_.HandleDocumentChange(Update("coll/d", 2, {1}));
  // With d the target holds four documents: a filter of four matches, three does not.
  aggregator_.HandleExistenceFilter(ExistenceFilterWatchChange(4, 1));
  EXPECT_TRUE(aggregator_.TakeTargetsToReset().empty());
  aggregator_.HandleExistenceFilter(ExistenceFilterWatchChange(3, 1));
  EXPECT_EQ(aggregator_.TakeTargetsToReset(), (std::vector<TargetId>{1}));
  EXPECT_TRUE(aggregator_.TakeTargetsToReset().empty());
  // A document target whose filter counts none: its document is gone, nothing is reset.
  aggregator_.HandleExistenceFilter(ExistenceFilterWatchChange(0, 2));
  EXPECT_TRUE(aggregator_.TakeTargetsToReset().empty());

  RemoteEvent event = Event(2);
  const TargetChange& reset = event.target_changes().at(1);
  EXPECT_EQ(Paths(reset.removed_documents()), (Strings{"coll/a", "coll/b", "coll/c"}));
  EXPECT_TRUE(reset.added_documents().empty()) << "d was dropped with the reset";
  EXPECT_FALSE(reset.current()) << "a reset target is not in sync until the server says so";
  EXPECT_TRUE(reset.resume_token().empty());
  ASSERT_EQ(event.document_updates().count(Key("coll/missing")), 1u);
  EXPECT_TRUE(dynamic_cast<const model::VRVDeletedDocument*>(
      event.document_updates().at(Key("coll/missing")).get()));
}

TEST_F(WatchChangeAggregatorTest, CurrentDocumentTargetsWithoutADocumentResolveLimboAsDeleted) {
  Listen(1, "coll");
  Listen(7, "coll/limbo", local::VRVQueryPurposeLimboResolution);
  Listen(9, "coll/shared", local::VRVQueryPurposeLimboResolution);
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1, 7, 9}));
  aggregator_.HandleDocumentChange(Update("coll/shared", 5, {1, 9}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Current, {1, 7, 9}, "t"));

  RemoteEvent event = Event(5);
  ASSERT_EQ(event.document_updates().count(Key("coll/limbo")), 1u);
  EXPECT_TRUE(SameDoc(event.document_updates().at(Key("coll/limbo")), Deleted("coll/limbo", 5)));
  // Only limbo targets spoke of "limbo"; "shared" also matches a listen, so it is no resolution.
  EXPECT_EQ(Paths(event.limbo_document_changes()), (Strings{"coll/limbo"}));
}

TEST_F(WatchChangeAggregatorTest, TargetsBeingRemovedOrRejectedIgnoreChanges) {
  Listen(1, "coll");
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Current, {1}, "t1"));
  Event(1);

  // Unlisten: from the request on, changes the server still sends for the target are dropped.
  targets_.Unlisten(1);
  aggregator_.RecordPendingTargetRequest(1);
  aggregator_.HandleDocumentChange(Update("coll/late", 2, {1}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Removed, {1}));
  RemoteEvent event = Event(2);
  EXPECT_TRUE(event.target_changes().empty());
  EXPECT_TRUE(event.document_updates().empty());

  // Listened again with the same id: a request answered twice (remove, then add) counts as one.
  Listen(1, "coll");
  aggregator_.RecordPendingTargetRequest(1);
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1}));
  aggregator_.HandleDocumentChange(Update("coll/ignored", 3, {1}));
  aggregator_.HandleTargetChange(TargetChangeOf(WatchTargetChangeState::Added, {1}));
  aggregator_.HandleDocumentChange(Update("coll/kept", 3, {1}));
  event = Event(3);
  EXPECT_EQ(Paths(event.target_changes().at(1).added_documents()), (Strings{"coll/kept"}));
}

}  // namespace
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
