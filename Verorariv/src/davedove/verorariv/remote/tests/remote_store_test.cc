// The remote store end to end: its streams against the backend stand-in's document service on
// loopback, over the real local store.
#include "davedove/verorariv/remote/remote_store.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "backend/src/TokenSigner.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/tests/value_testutil.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/remote/tests/remote_harness.h"

namespace davedove {
namespace verorariv {
namespace remote {
namespace {

using model::OnlineState;
using model::testutil::Field;
using model::testutil::Key;
using model::testutil::Obj;
using model::testutil::Str;
using testing::RemoteClient;
using json = nlohmann::json;

constexpr char kPassword[] = "remote-store-pass";

core::QueryPtr DocumentQuery(const std::string& path) {
  return core::VRVQuery::queryWithPath(model::ResourcePath::FromString(path));
}

core::QueryPtr OwnedBy(const std::string& collection, const std::string& uid) {
  return DocumentQuery(collection)->queryByAddingFilter(
      core::VRVFilter::filterWithField(Field("userId"), core::VRVRelationFilterOperator::Equal, Str(uid)));
}

// The string field of a document in an update, or "" when it is no document.
std::string FieldOf(const model::MaybeDocumentPtr& doc, const std::string& field) {
  auto document = std::dynamic_pointer_cast<const model::VRVDocument>(doc);
  if (!document) return "";
  auto value = document->fieldForPath(Field(field));
  return value ? value->ToString() : "";
}

std::set<std::string> Paths(const model::DocumentKeySet& keys) {
  std::set<std::string> out;
  for (const auto& k : keys) out.insert(k.ToString());
  return out;
}

class RemoteStoreTest : public ::testing::Test {
 protected:
  RemoteStoreTest()
      : backend_({backend::SeedUser{"", "alice@example.com", kPassword}, backend::SeedUser{"", "bob@example.com", kPassword}},
                 {}, json{{"dnsServers/default", {{"primary", "192.0.2.1"}}}}) {}

  void SetUp() override {
    alice_uid_ = backend_.identity().userByEmail("alice@example.com")->uid;
    bob_uid_ = backend_.identity().userByEmail("bob@example.com")->uid;
  }

  std::unique_ptr<RemoteClient> Alice() {
    return std::make_unique<RemoteClient>(&backend_, "alice@example.com", kPassword);
  }

  backend::TestBackend backend_;
  std::string alice_uid_;
  std::string bob_uid_;
};

TEST_F(RemoteStoreTest, ListensGetTheCurrentStateThenEveryCloudChange) {
  ASSERT_TRUE(backend_.setDocument("customBlacklist/a", {{"userId", alice_uid_}, {"host", "a.test"}}));
  ASSERT_TRUE(backend_.setDocument("customBlacklist/b", {{"userId", alice_uid_}, {"host", "b.test"}}));
  ASSERT_TRUE(backend_.setDocument("customBlacklist/theirs", {{"userId", bob_uid_}, {"host", "x.test"}}));
  auto client = Alice();
  auto& syncer = *client->syncer;

  core::QueryPtr doc_query = DocumentQuery("dnsServers/default");
  core::QueryPtr owned_query = OwnedBy("customBlacklist", alice_uid_);
  core::TargetId doc_target = client->Listen(doc_query);
  core::TargetId query_target = client->Listen(owned_query);
  ASSERT_TRUE(client->WaitForRemoteKeys(doc_target, {"dnsServers/default"}));
  ASSERT_TRUE(client->WaitForRemoteKeys(query_target, {"customBlacklist/a", "customBlacklist/b"}));
  syncer.Read([&] {
    std::set<core::TargetId> current;
    for (const auto& e : syncer.events_)
      for (const auto& [id, change] : e.target_changes())
        if (change.current() && !change.resume_token().empty()) current.insert(id);
    EXPECT_EQ(current, (std::set<core::TargetId>{doc_target, query_target}));
    return 0;
  });
  EXPECT_EQ(client->OnQueue([&] { return FieldOf(client->local_store->readDocument(Key("customBlacklist/a")), "host"); }),
            "a.test");
  EXPECT_EQ(client->remote_store->online_state(), OnlineState::Online);

  // Changes made in the cloud arrive as events.
  size_t seen = syncer.Read([&] { return syncer.events_.size(); });
  ASSERT_TRUE(backend_.mergeDocument("dnsServers/default", {{"primary", "198.51.100.7"}}));
  ASSERT_TRUE(syncer.WaitFor([&] {
    for (size_t i = seen; i < syncer.events_.size(); ++i) {
      auto it = syncer.events_[i].document_updates().find(Key("dnsServers/default"));
      if (it != syncer.events_[i].document_updates().end()) {
        auto changes = syncer.events_[i].target_changes();
        return FieldOf(it->second, "primary") == "198.51.100.7" &&
               changes.count(doc_target) && changes.at(doc_target).modified_documents().size() == 1;
      }
    }
    return false;
  }));

  ASSERT_TRUE(backend_.setDocument("customBlacklist/c", {{"userId", alice_uid_}, {"host", "c.test"}}));
  ASSERT_TRUE(backend_.setDocument("customBlacklist/bobs", {{"userId", bob_uid_}}));
  ASSERT_TRUE(backend_.deleteDocument("customBlacklist/a"));
  ASSERT_TRUE(backend_.mergeDocument("customBlacklist/b", {{"userId", bob_uid_}}));  // given away
  ASSERT_TRUE(client->WaitForRemoteKeys(query_target, {"customBlacklist/c"}));
  syncer.Read([&] {
    bool deleted = false;
    for (const auto& e : syncer.events_) {
      EXPECT_EQ(e.document_updates().count(Key("customBlacklist/bobs")), 0u) << "not Alice's to see";
      auto it = e.document_updates().find(Key("customBlacklist/a"));
      deleted = deleted || (it != e.document_updates().end() &&
                            dynamic_cast<const model::VRVDeletedDocument*>(it->second.get()));
    }
    EXPECT_TRUE(deleted) << "a deletion reaches the client as a deleted document";
    return 0;
  });
  EXPECT_TRUE(syncer.rejected_listens_.empty());

  // Nothing listened to: the stream closes once its idle time is up, and opens again on demand.
  client->OnQueue([&] {
    client->remote_store->StopListening(doc_target);
    client->remote_store->StopListening(query_target);
    client->local_store->releaseQuery(doc_query);
    client->local_store->releaseQuery(owned_query);
  });
  ASSERT_TRUE(client->queue->IsScheduled(util::TimerId::WatchStreamIdle));
  client->queue->RunScheduledOperationsUntil(util::TimerId::WatchStreamIdle);
  EXPECT_FALSE(client->OnQueue([&] { return client->remote_store->watch_stream()->IsStarted(); }));
  EXPECT_EQ(client->OnQueue([&] { return client->remote_store->online_state(); }), OnlineState::Unknown);
  size_t before = syncer.Read([&] { return syncer.events_.size(); });
  core::TargetId again = client->Listen(DocumentQuery("dnsServers/default"));
  ASSERT_TRUE(syncer.WaitFor([&] {
    for (size_t i = before; i < syncer.events_.size(); ++i) {
      auto changes = syncer.events_[i].target_changes();
      if (changes.count(again) && changes.at(again).current()) return true;
    }
    return false;
  }));
}

}  // namespace
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
