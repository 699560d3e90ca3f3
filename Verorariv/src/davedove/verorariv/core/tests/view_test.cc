// Views over the local documents and the server's target state, and the listeners' filtering.
#include "davedove/verorariv/core/view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "davedove/verorariv/core/event_manager.h"
#include "davedove/verorariv/core/tests/core_testutil.h"

namespace davedove {
namespace verorariv {
namespace core {
namespace {

using model::DocumentKeySet;
using model::DocumentPtr;
using model::MaybeDocumentMap;
using testutil::Doc;
using testutil::Filter;
using testutil::Int;
using testutil::Key;
using testutil::OrderBy;
using testutil::Query;
using testutil::Str;
using Type = DocumentViewChange::Type;

MaybeDocumentMap Changes(const std::vector<model::MaybeDocumentPtr>& docs) {
  MaybeDocumentMap map;
  for (const auto& doc : docs) map = map.insert(doc->key(), doc);
  return map;
}

DocumentPtr LocalDoc(const std::string& path, const std::map<std::string, model::FieldValuePtr>& fields,
                     model::DocumentState state = model::DocumentState::LocalMutations,
                     int64_t version = 1) {
  return model::VRVDocument::documentWithData(testutil::Obj(fields), Key(path),
                                              model::SnapshotVersion(Timestamp(version, 0)), state);
}

std::vector<std::string> Keys(const model::DocumentSet& set) {
  std::vector<std::string> keys;
  for (const DocumentPtr& doc : set) keys.push_back(doc->key().ToString());
  return keys;
}

remote::TargetChange Ack(DocumentKeySet added, bool current) {
  return remote::TargetChange("token", current, std::move(added), DocumentKeySet(), DocumentKeySet());
}

TEST(ViewTest, KeepsMatchingDocumentsInQueryOrderAndReportsEachChangeOnce) {
  QueryPtr query = Query("users")
                       ->queryByAddingFilter(Filter("userId", VRVRelationFilterOperator::Equal, Str("u1")))
                       ->queryByAddingSortOrder(OrderBy("n", false));
  View view(query, DocumentKeySet());

  DocumentPtr a = Doc("users/a", {{"userId", Str("u1")}, {"n", Int(1)}});
  DocumentPtr b = Doc("users/b", {{"userId", Str("u1")}, {"n", Int(2)}});
  DocumentPtr other = Doc("users/c", {{"userId", Str("u2")}, {"n", Int(3)}});
  ViewChange first = view.ApplyChanges(view.ComputeDocumentChanges(Changes({a, b, other})));
  ASSERT_TRUE(first.snapshot);
  EXPECT_EQ(Keys(first.snapshot->documents()), (std::vector<std::string>{"users/b", "users/a"}));
  EXPECT_TRUE(first.snapshot->from_cache());
  EXPECT_EQ(first.snapshot->document_changes().size(), 2u);

  // b stops matching, a changes value and moves: one removal, one modification.
  DocumentPtr b2 = Doc("users/b", {{"userId", Str("u2")}, {"n", Int(2)}}, 2);
  DocumentPtr a2 = Doc("users/a", {{"userId", Str("u1")}, {"n", Int(5)}}, 2);
  ViewChange second = view.ApplyChanges(view.ComputeDocumentChanges(Changes({b2, a2})));
  ASSERT_TRUE(second.snapshot);
  EXPECT_EQ(second.snapshot->document_changes(),
            (std::vector<DocumentViewChange>{DocumentViewChange(b, Type::Removed),
                                             DocumentViewChange(a2, Type::Modified)}));
  EXPECT_EQ(Keys(second.snapshot->documents()), (std::vector<std::string>{"users/a"}));

  // The same data again changes nothing.
  ViewChange same = view.ApplyChanges(view.ComputeDocumentChanges(Changes({a2})));
  EXPECT_FALSE(same.snapshot);
}

TEST(ViewTest, ServerStateDecidesCurrencyAndLimbo) {
  View view(Query("pin"), DocumentKeySet());
  DocumentPtr cached = Doc("pin/a", {{"x", Int(1)}});
  DocumentPtr synced = Doc("pin/b", {{"x", Int(2)}});
  DocumentPtr pending = LocalDoc("pin/c", {{"x", Int(3)}});
  view.ApplyChanges(view.ComputeDocumentChanges(Changes({cached, synced, pending})));

  // The server says the target holds only b and is current: a is in limbo, c is explained by
  // its local write.
  ViewChange acked = view.ApplyChanges(view.ComputeDocumentChanges(MaybeDocumentMap()),
                                       Ack(DocumentKeySet().insert(Key("pin/b")), true));
  EXPECT_EQ(acked.limbo_changes,
            (std::vector<LimboDocumentChange>{
                LimboDocumentChange(LimboDocumentChange::Type::Added, Key("pin/a"))}));
  // Limbo documents keep the view from being synced, so there is nothing new to tell.
  EXPECT_FALSE(acked.snapshot);

  // The limbo resolution finds a deleted: it leaves the view and the view is in sync.
  MaybeDocumentMap deleted = Changes({model::VRVDeletedDocument::documentWithKey(
      Key("pin/a"), model::SnapshotVersion(Timestamp(3, 0)), false)});
  ViewChange resolved = view.ApplyChanges(view.ComputeDocumentChanges(deleted));
  ASSERT_TRUE(resolved.snapshot);
  EXPECT_FALSE(resolved.snapshot->from_cache());
  EXPECT_EQ(resolved.limbo_changes,
            (std::vector<LimboDocumentChange>{
                LimboDocumentChange(LimboDocumentChange::Type::Removed, Key("pin/a"))}));
  EXPECT_EQ(Keys(resolved.snapshot->documents()), (std::vector<std::string>{"pin/b", "pin/c"}));

  // Going offline turns the result into one from the cache once.
  ViewChange offline = view.ApplyOfflineState();
  ASSERT_TRUE(offline.snapshot);
  EXPECT_TRUE(offline.snapshot->from_cache());
  EXPECT_TRUE(offline.snapshot->document_changes().empty());
  EXPECT_FALSE(view.ApplyOfflineState().snapshot);
}

// A write the server acknowledged but whose result the listen has not brought back yet is pending
// in a view that saw it made and in one that started only after the acknowledgement, and leaves
// both with the server's copy.
TEST(ViewTest, AnAcknowledgedWriteIsPendingInEveryViewUntilTheServersCopyArrives) {
  DocumentPtr before = Doc("users/a", {{"n", Int(1)}}, 1);
  DocumentPtr written = LocalDoc("users/a", {{"n", Int(2)}});
  DocumentPtr acknowledged =
      LocalDoc("users/a", {{"n", Int(2)}}, model::DocumentState::CommittedMutations, 2);
  DocumentPtr serversCopy = Doc("users/a", {{"n", Int(2)}}, 2);

  View document(Query("users/a"), DocumentKeySet());
  document.ApplyChanges(document.ComputeDocumentChanges(Changes({before})));
  ViewChange local = document.ApplyChanges(document.ComputeDocumentChanges(Changes({written})));
  ASSERT_TRUE(local.snapshot);
  EXPECT_TRUE(local.snapshot->mutated_keys().contains(Key("users/a")));
  EXPECT_FALSE(document.ApplyChanges(document.ComputeDocumentChanges(Changes({acknowledged}))).snapshot)
      << "nothing to tell until the server's copy arrives";

  View collection(Query("users"), DocumentKeySet());
  ViewChange started = collection.ApplyChanges(collection.ComputeDocumentChanges(Changes({acknowledged})));
  ASSERT_TRUE(started.snapshot);
  EXPECT_TRUE(started.snapshot->mutated_keys().contains(Key("users/a")));
  EXPECT_TRUE(started.snapshot->has_pending_writes());

  for (View* view : {&document, &collection}) {
    ViewChange synced = view->ApplyChanges(view->ComputeDocumentChanges(Changes({serversCopy})));
    ASSERT_TRUE(synced.snapshot);
    EXPECT_EQ(synced.snapshot->document_changes(),
              (std::vector<DocumentViewChange>{DocumentViewChange(serversCopy, Type::Metadata)}));
    EXPECT_FALSE(synced.snapshot->has_pending_writes());
  }
}

TEST(QueryListenerTest, RaisesTheFirstResultOnceKnownAndLeavesOutMetadataOnlyChanges) {
  QueryPtr query = Query("users/u1");
  std::vector<ViewSnapshot> raised;
  QueryListener listener(query, ListenOptions(), [&](util::StatusOr<ViewSnapshot> snapshot) {
    ASSERT_TRUE(snapshot.ok());
    raised.push_back(snapshot.value());
  });
  View view(query, DocumentKeySet());

  // Online and the cache knows nothing: wait for the server.
  listener.OnOnlineStateChanged(model::OnlineState::Online);
  EXPECT_FALSE(listener.OnViewSnapshot(*view.ApplyChanges(view.ComputeDocumentChanges(MaybeDocumentMap())).snapshot));
  EXPECT_TRUE(raised.empty());

  // A local write shows at once, as a document with pending writes.
  DocumentPtr local = LocalDoc("users/u1", {{"n", Int(1)}});
  EXPECT_TRUE(listener.OnViewSnapshot(
      *view.ApplyChanges(view.ComputeDocumentChanges(Changes({local}))).snapshot));
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_TRUE(raised[0].has_pending_writes());

  // The server confirms the same data: only metadata changed, so nothing is raised.
  DocumentPtr confirmed = Doc("users/u1", {{"n", Int(1)}}, 2);
  auto confirmedChange =
      view.ApplyChanges(view.ComputeDocumentChanges(Changes({confirmed})),
                        Ack(DocumentKeySet().insert(Key("users/u1")), true));
  ASSERT_TRUE(confirmedChange.snapshot);
  EXPECT_FALSE(listener.OnViewSnapshot(*confirmedChange.snapshot));
  EXPECT_EQ(raised.size(), 1u);

  // A real change goes through.
  DocumentPtr changed = Doc("users/u1", {{"n", Int(2)}}, 3);
  EXPECT_TRUE(listener.OnViewSnapshot(
      *view.ApplyChanges(view.ComputeDocumentChanges(Changes({changed}))).snapshot));
  ASSERT_EQ(raised.size(), 2u);
  EXPECT_FALSE(raised[1].from_cache());
  EXPECT_EQ(raised[1].documents().GetDocument(Key("users/u1")), changed);
}

TEST(QueryListenerTest, OfflineRaisesTheCachedResult) {
  QueryPtr query = Query("users/u1");
  int raised = 0;
  QueryListener listener(query, ListenOptions(), [&](util::StatusOr<ViewSnapshot>) { raised++; });
  View view(query, DocumentKeySet());
  EXPECT_FALSE(listener.OnViewSnapshot(*view.ApplyChanges(view.ComputeDocumentChanges(MaybeDocumentMap())).snapshot));
  EXPECT_TRUE(listener.OnOnlineStateChanged(model::OnlineState::Offline));
  EXPECT_EQ(raised, 1);
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
