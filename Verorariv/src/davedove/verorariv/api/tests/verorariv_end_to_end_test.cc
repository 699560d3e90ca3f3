// The document database as the application uses it, end to end: public API, sync core, local
// store, remote layer and the backend stand-in's document service on loopback, with a user
// signed in through the real authentication client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "auth/tests/AuthTestSupport.h"
#include "backend/src/SlowLink.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVFieldValue.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/DAVQuery.h"
#include "davedove/verorariv/api/DAVQuerySnapshot.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/api/DAVVerorarivExceptions.h"
#include "davedove/verorariv/api/DAVWriteBatch.h"
#include "davedove/verorariv/api/tests/dead_first_address.h"
#include "davedove/verorariv/api/tests/verorariv_test_support.h"
#include "davedove/verorariv/auth/davedove_credentials_provider.h"
#include "davedove/verorariv/core/VRVVerorarivClient.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/executor_libdispatch.h"
#include "davedove/verorariv/util/verorariv_error_code.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Exception.h"
#include "platform/utilities/Logger.h"
#include "variru/verorariv/v1/write.pb.h"

namespace {

using vrvtest::Spin;
using vrvtest::SetNetwork;
using vrvtest::SpinPolling;
using Code = davedove::verorariv::util::VerorarivErrorCode;

// Every snapshot a listener received, checked to arrive on the main thread. The block keeps the
// record alive, so a listener left running (its handle released) never writes to freed memory.
template <typename Snapshot>
struct Recorder {
  struct Log {
    std::vector<std::shared_ptr<Snapshot>> snapshots;
    std::vector<platform::ErrorPtr> errors;
    bool offMainThread = false;
  };
  std::shared_ptr<Log> log = std::make_shared<Log>();
  std::vector<std::shared_ptr<Snapshot>>& snapshots = log->snapshots;
  std::vector<platform::ErrorPtr>& errors = log->errors;
  bool& offMainThread = log->offMainThread;

  std::function<void(std::shared_ptr<Snapshot>, platform::ErrorPtr)> block() {
    return [log = log](std::shared_ptr<Snapshot> snapshot, platform::ErrorPtr error) {
      if (!platform::dispatch::isMainThread()) log->offMainThread = true;
      if (error) {
        log->errors.push_back(error);
      } else {
        log->snapshots.push_back(std::move(snapshot));
      }
    };
  }
};

std::optional<int64_t> IntField(const std::shared_ptr<DAVDocumentSnapshot>& snapshot,
                                const std::string& field) {
  std::optional<DAVValue> value = (*snapshot)[field];
  if (!value || !value->asInteger()) return std::nullopt;
  return *value->asInteger();
}

std::string Reason(const std::function<void()>& action, std::string* name = nullptr) {
  try {
    action();
  } catch (const platform::Exception& exception) {
    if (name) *name = exception.name();
    return exception.reason();
  }
  return "<nothing raised>";
}

class VerorarivEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standIn_ = std::make_unique<vrvtest::StandIn>(
        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
    alice_ = standIn_->aliceUid;
    bob_ = standIn_->bobUid;
  }
  void TearDown() override { standIn_.reset(); }

  backend::TestBackend& backend() { return standIn_->backend(); }

  // The server's answer to a write with a completion, or the code of its error.
  static Code WaitForWrite(const std::function<void(DAVVerorarivErrorBlock)>& write) {
    bool done = false;
    platform::ErrorPtr error;
    write([&](platform::ErrorPtr e) {
      error = e;
      done = true;
    });
    EXPECT_TRUE(Spin([&] { return done; }));
    return error ? static_cast<Code>(error->code()) : Code::Ok;
  }

  std::unique_ptr<vrvtest::StandIn> standIn_;
  std::string alice_;
  std::string bob_;
};

TEST_F(VerorarivEndToEndTest, DocumentListenerSeesCurrentStateThenCloudChangesUntilRemoved) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
  auto db = standIn_->Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  EXPECT_EQ(doc->documentID(), alice_);

  Recorder<DAVDocumentSnapshot> first;
  auto registration = doc->addSnapshotListener(first.block());
  ASSERT_TRUE(Spin([&] { return !first.snapshots.empty(); }));
  EXPECT_TRUE(first.snapshots[0]->exists());
  EXPECT_FALSE(first.snapshots[0]->metadata().isFromCache());
  EXPECT_EQ(IntField(first.snapshots[0], "n"), 1);
  EXPECT_EQ(first.snapshots[0]->documentID(), alice_);

  backend().mergeDocument("users/" + alice_, {{"n", 2}});
  ASSERT_TRUE(Spin([&] { return first.snapshots.size() == 2; }));
  EXPECT_EQ(IntField(first.snapshots[1], "n"), 2);
  EXPECT_EQ(first.snapshots[1]->data()->at("userId"), DAVValue(alice_));

  // Removed: nothing more, while a listener still registered sees the next change. Both ride
  // the same watch stream, so once the second one has it the first would have had it too.
  registration->remove();
  Recorder<DAVDocumentSnapshot> second;
  auto secondRegistration = doc->addSnapshotListener(second.block());
  ASSERT_TRUE(Spin([&] { return second.snapshots.size() == 1; }));
  backend().mergeDocument("users/" + alice_, {{"n", 3}});
  ASSERT_TRUE(Spin([&] { return second.snapshots.size() == 2; }));
  EXPECT_EQ(IntField(second.snapshots[1], "n"), 3);
  EXPECT_EQ(first.snapshots.size(), 2u);
  EXPECT_TRUE(first.errors.empty());
  EXPECT_FALSE(first.offMainThread || second.offMainThread);

  // Releasing the handle leaves the listener running.
  secondRegistration.reset();
  backend().mergeDocument("users/" + alice_, {{"n", 4}});
  ASSERT_TRUE(Spin([&] { return second.snapshots.size() == 3; }));
  EXPECT_EQ(IntField(second.snapshots[2], "n"), 4);
}

TEST_F(VerorarivEndToEndTest, QueryListenerOnTheUsersIdFollowsItsDocuments) {
  backend().setDocument("customBlacklist/b1", {{"userId", alice_}, {"domain", "a.example"}});
  backend().setDocument("customBlacklist/b2", {{"userId", alice_}, {"domain", "b.example"}});
  backend().setDocument("customBlacklist/b3", {{"userId", bob_}, {"domain", "c.example"}});
  auto db = standIn_->Database(false);
  auto query = db->collectionWithPath("customBlacklist")->queryWhereField("userId", alice_);

  Recorder<DAVQuerySnapshot> recorder;
  auto registration = query->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
  auto documents = recorder.snapshots[0]->documents();
  ASSERT_EQ(documents.size(), 2u);
  EXPECT_EQ(documents[0]->documentID(), "b1");
  EXPECT_EQ(documents[1]->data().at("domain"), DAVValue("b.example"));

  backend().setDocument("customBlacklist/b0", {{"userId", alice_}, {"domain", "z.example"}});
  backend().setDocument("customBlacklist/b4", {{"userId", bob_}, {"domain", "y.example"}});
  backend().mergeDocument("customBlacklist/b2", {{"userId", bob_}});
  ASSERT_TRUE(Spin([&] {
    if (recorder.snapshots.empty()) return false;
    auto latest = recorder.snapshots.back()->documents();
    return latest.size() == 2 && latest[0]->documentID() == "b0";
  }));
  auto latest = recorder.snapshots.back()->documents();
  EXPECT_EQ(latest[1]->documentID(), "b1");
  EXPECT_TRUE(recorder.errors.empty());

  // The one-off read gives the same result from the server.
  std::shared_ptr<DAVQuerySnapshot> once;
  query->getDocumentsWithCompletion([&](std::shared_ptr<DAVQuerySnapshot> s, platform::ErrorPtr e) {
    EXPECT_EQ(e, nullptr);
    once = s;
  });
  ASSERT_TRUE(Spin([&] { return once != nullptr; }));
  EXPECT_EQ(once->count(), 2u);
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, WritesReachTheServerAndShowLocallyAtOnce) {
  auto db = standIn_->Database(false);
  auto users = db->collectionWithPath("users");
  auto doc = users->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
  EXPECT_FALSE(recorder.snapshots[0]->exists());
  EXPECT_EQ(recorder.snapshots[0]->data(), std::nullopt);

  // A merge creates the missing document; the local view shows it before the server answers.
  doc->setData({{"userId", alice_}, {"mode", "family"}, {"tags", DAVValue::Array{"a", "b", "c"}}},
               /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return recorder.snapshots.size() >= 2; }));
  EXPECT_TRUE(recorder.snapshots[1]->exists());
  EXPECT_TRUE(recorder.snapshots[1]->metadata().hasPendingWrites());
  ASSERT_TRUE(SpinPolling([&] { return !backend().getDocument("users/" + alice_).is_null(); }));
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["mode"], "family");

  // A merge keeps the other fields; the batch applies union and remove together.
  doc->setData({{"pin", 1234}}, /*merge=*/true);
  backend().setDocument("customBlacklist/" + alice_, {{"userId", alice_}, {"domains", nlohmann::json::array({"x"})}});
  auto blacklist = db->collectionWithPath("customBlacklist")->documentWithPath(alice_);
  auto batch = db->batch();
  batch->updateData({{"tags", DAVFieldValue::fieldValueForArrayUnion({"d", "a"})}}, doc)
      ->updateData({{"domains", DAVFieldValue::fieldValueForArrayRemove({"x"})},
                    {"stamp", DAVFieldValue::fieldValueForServerTimestamp()},
                    {"gone", DAVFieldValue::fieldValueForDelete()}},
                   blacklist);
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) { batch->commitWithCompletion(done); }),
            Code::Ok);
  nlohmann::json user = backend().getDocument("users/" + alice_)["fields"];
  EXPECT_EQ(user["mode"], "family");
  EXPECT_EQ(user["pin"], 1234);
  EXPECT_EQ(user["tags"], nlohmann::json({"a", "b", "c", "d"}));
  nlohmann::json list = backend().getDocument("customBlacklist/" + alice_)["fields"];
  EXPECT_EQ(list["domains"], nlohmann::json::array());
  EXPECT_TRUE(list.contains("stamp"));

  // The listener ends at the server's state, which it saw through the local writes.
  ASSERT_TRUE(Spin([&] {
    auto tags = (*recorder.snapshots.back())["tags"];
    return tags && tags->asArray() && tags->asArray()->size() == 4;
  }));
  EXPECT_EQ(IntField(recorder.snapshots.back(), "pin"), 1234);

  // addDocument: a generated id, the fields stored, the completion called once.
  std::shared_ptr<DAVDocumentReference> added;
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              added = db->collectionWithPath("uninstall")->addDocumentWithData(
                  {{"userId", alice_}, {"reason", "test"}}, done);
            }),
            Code::Ok);
  ASSERT_EQ(added->documentID().size(), 20u);
  EXPECT_EQ(backend().getDocument("uninstall/" + added->documentID())["fields"]["reason"], "test");
  registration->remove();
}

// What the application reads back of its own write: a reference as a reference of the same
// instance, and pending writes alike in document and query snapshots, from the server's
// acknowledgement until its copy of the document has been read.
TEST_F(VerorarivEndToEndTest, SnapshotsReadBackReferencesAndPendingWritesAlike) {
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("customBlacklist")->documentWithPath(alice_);
  auto query = db->collectionWithPath("customBlacklist")->queryWhereField("userId", alice_);
  auto bobs = db->collectionWithPath("users")->documentWithPath(bob_);
  // Nothing listens, so the server acknowledges the write and sends no copy of the document.
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              doc->setData({{"userId", alice_}, {"friend", bobs}}, /*merge=*/false, done);
            }),
            Code::Ok);

  auto readBoth = [&](bool online) {
    ASSERT_TRUE(SetNetwork(db, online));
    std::shared_ptr<DAVDocumentSnapshot> document;
    std::shared_ptr<DAVQuerySnapshot> result;
    doc->getDocumentWithCompletion([&](std::shared_ptr<DAVDocumentSnapshot> s, platform::ErrorPtr e) {
      EXPECT_EQ(e, nullptr);
      document = s;
    });
    query->getDocumentsWithCompletion([&](std::shared_ptr<DAVQuerySnapshot> s, platform::ErrorPtr e) {
      EXPECT_EQ(e, nullptr);
      result = s;
    });
    ASSERT_TRUE(Spin([&] { return document && result; }));
    ASSERT_TRUE(document->exists());
    ASSERT_EQ(result->count(), 1u);
    std::shared_ptr<DAVQueryDocumentSnapshot> listed = result->documents()[0];
    EXPECT_EQ(document->metadata().isFromCache(), !online);
    // Until the server's copy has come back, the write counts as pending in both.
    EXPECT_EQ(document->metadata().hasPendingWrites(), !online);
    EXPECT_EQ(listed->metadata().hasPendingWrites(), !online);
    EXPECT_EQ(result->metadata().hasPendingWrites(), !online);

    for (const std::shared_ptr<DAVDocumentSnapshot>& snapshot : {document, std::shared_ptr<DAVDocumentSnapshot>(listed)}) {
      std::optional<DAVValue> value = (*snapshot)["friend"];
      ASSERT_TRUE(value);
      std::shared_ptr<DAVDocumentReference> reference = value->asReference();
      ASSERT_NE(reference, nullptr) << value->ToString();
      EXPECT_EQ(reference->verorariv(), db);
      EXPECT_EQ(reference->path(), "users/" + bob_);
      EXPECT_EQ(*reference, *bobs);
      EXPECT_EQ(*value, DAVValue(bobs));
    }
  };
  readBoth(false);
  readBoth(true);
}

TEST_F(VerorarivEndToEndTest, ABatchOfUnionThenRemoveOnOneArrayShowsBothLocallyAndAsStored) {
  // The application's address refresh: one batch adds the new address and withdraws the old one.
  const std::string path = "customBlacklist/" + alice_;
  backend().setDocument(path, {{"userId", alice_},
                               {"latestIpAddress", nlohmann::json::array({"198.51.100.7", "203.0.113.5"})}});
  auto db = standIn_->Database(false);
  auto doc = db->collectionWithPath("customBlacklist")->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
  ASSERT_FALSE(recorder.snapshots[0]->metadata().isFromCache());
  auto addresses = [](const std::shared_ptr<DAVDocumentSnapshot>& snapshot) {
    std::vector<std::string> result;
    std::optional<DAVValue> value = (*snapshot)["latestIpAddress"];
    if (!value || !value->asArray()) return std::vector<std::string>{"<no array>"};
    for (const DAVValue& element : *value->asArray()) result.push_back(*element.asString());
    return result;
  };
  const std::vector<std::string> expected{"203.0.113.5", "198.51.100.8"};

  // Offline, so the batch stays pending while the local view is checked.
  ASSERT_TRUE(SetNetwork(db, false));
  auto batch = db->batch();
  batch->updateData({{"latestIpAddress", DAVFieldValue::fieldValueForArrayUnion({"198.51.100.8"})},
                     {"blockMode", 2}},
                    doc);
  batch->updateData({{"latestIpAddress", DAVFieldValue::fieldValueForArrayRemove({"198.51.100.7"})},
                     {"blockMode", 2}},
                    doc);
  bool committed = false;
  platform::ErrorPtr commitError;
  batch->commitWithCompletion([&](platform::ErrorPtr error) {
    commitError = error;
    committed = true;
  });
  ASSERT_TRUE(Spin([&] { return recorder.snapshots.size() >= 2; }));
  EXPECT_TRUE(recorder.snapshots[1]->metadata().hasPendingWrites());
  EXPECT_EQ(addresses(recorder.snapshots[1]), expected) << "the remove applies on top of the union";
  EXPECT_EQ(IntField(recorder.snapshots[1], "blockMode"), 2);

  // Online, the server stores the same list, and the local view keeps showing it.
  ASSERT_TRUE(SetNetwork(db, true));
  ASSERT_TRUE(Spin([&] { return committed; }));
  EXPECT_EQ(commitError, nullptr);
  EXPECT_EQ(backend().getDocument(path)["fields"]["latestIpAddress"], nlohmann::json(expected));
  // Read from the cache: the acknowledged write applied to the cached document. (Whether it still
  // counts as pending depends on whether the listen stream delivered the new version before going
  // offline, so only the contents are checked.)
  ASSERT_TRUE(SetNetwork(db, false));
  std::shared_ptr<DAVDocumentSnapshot> cached;
  doc->getDocumentWithCompletion([&](std::shared_ptr<DAVDocumentSnapshot> s, platform::ErrorPtr) { cached = s; });
  ASSERT_TRUE(Spin([&] { return cached != nullptr; }));
  EXPECT_TRUE(cached->metadata().isFromCache());
  EXPECT_EQ(addresses(cached), expected);
  for (size_t i = 1; i < recorder.snapshots.size(); ++i) {
    EXPECT_EQ(addresses(recorder.snapshots[i]), expected) << "snapshot " << i;
  }
  EXPECT_TRUE(recorder.errors.empty());
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, RefusedWritesRevertTheLocalViewAndAreReported) {
  backend().setDocument("dnsServers/default", {{"primary", "192.0.2.1"}});
  auto db = standIn_->Database(false);

  std::vector<std::string> warnings;
  platform::VULLogObserverToken token = platform::VULAddLogObserver([&](const platform::VULLogRecord& record) {
    if (record.message.find("dnsServers/default") != std::string::npos) {
      warnings.push_back(record.message);
    }
  });

  // Readable by everyone, writable by nobody: the write shows, is refused, and the view returns
  // to the server's value; the refusal is logged once with the path and the reason.
  auto servers = db->collectionWithPath("dnsServers")->documentWithPath("default");
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = servers->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
  servers->setData({{"primary", "203.0.113.9"}}, /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return recorder.snapshots.size() >= 3; }));
  auto primary = [](const std::shared_ptr<DAVDocumentSnapshot>& s) { return *(*s)["primary"]->asString(); };
  EXPECT_EQ(primary(recorder.snapshots[1]), "203.0.113.9");
  EXPECT_TRUE(recorder.snapshots[1]->metadata().hasPendingWrites());
  EXPECT_EQ(primary(recorder.snapshots[2]), "192.0.2.1");
  EXPECT_FALSE(recorder.snapshots[2]->metadata().hasPendingWrites());
  ASSERT_TRUE(SpinPolling([&] { return !warnings.empty(); }));
  platform::VULRemoveLogObserver(token);
  EXPECT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("ermission"), std::string::npos) << warnings[0];
  EXPECT_EQ(backend().getDocument("dnsServers/default")["fields"]["primary"], "192.0.2.1");

  // An update of a missing document is refused by the server.
  auto missing = db->collectionWithPath("users")->documentWithPath(alice_);
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) { missing->updateData({{"n", 1}}, done); }),
            Code::NotFound);
  EXPECT_TRUE(backend().getDocument("users/" + alice_).is_null());

  // Another user's documents: neither read nor written.
  backend().setDocument("users/" + bob_, {{"userId", bob_}, {"n", 1}});
  auto bobs = db->collectionWithPath("users")->documentWithPath(bob_);
  platform::ErrorPtr readError;
  bool read = false;
  bobs->getDocumentWithCompletion([&](std::shared_ptr<DAVDocumentSnapshot> s, platform::ErrorPtr e) {
    EXPECT_EQ(s, nullptr);
    readError = e;
    read = true;
  });
  ASSERT_TRUE(Spin([&] { return read; }));
  ASSERT_NE(readError, nullptr);
  EXPECT_EQ(static_cast<Code>(readError->code()), Code::PermissionDenied);
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              bobs->setData({{"n", 2}}, /*merge=*/true, done);
            }),
            Code::PermissionDenied);
  EXPECT_EQ(backend().getDocument("users/" + bob_)["fields"]["n"], 1);

  // A query not restricted to the user fails its listener once, with no snapshot.
  Recorder<DAVQuerySnapshot> everyone;
  auto all = db->collectionWithPath("users")->addSnapshotListener(everyone.block());
  ASSERT_TRUE(Spin([&] { return !everyone.errors.empty(); }));
  EXPECT_EQ(static_cast<Code>(everyone.errors[0]->code()), Code::PermissionDenied);
  EXPECT_TRUE(everyone.snapshots.empty());
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, AWriteRefusedForGoodLeavesTheQueueAndTheWritesBehindItGoThrough) {
  backend().setDocument("dnsServers/default", {{"primary", "192.0.2.1"}});
  auto db = standIn_->Database(true);
  // Writes the service will never take, each sent with a good write right behind it.
  struct Refused {
    std::string what;
    std::shared_ptr<DAVDocumentReference> doc;
    DAVValue::Map data;
    std::vector<Code> codes;  // what the service may answer
    std::function<bool(const DAVDocumentSnapshot&)> isServerState;
  };
  std::vector<Refused> cases = {
      {"a document nobody may write", db->collectionWithPath("dnsServers")->documentWithPath("default"),
       {{"primary", "203.0.113.9"}}, {Code::PermissionDenied},
       [](const DAVDocumentSnapshot& s) { return s.exists() && *s["primary"]->asString() == "192.0.2.1"; }},
      // Over the service's bound on a document, on a commit, and on what its transport receives.
      {"a document of 1.5 MiB", db->collectionWithPath("users")->documentWithPath(alice_),
       {{"userId", alice_}, {"blob", std::string(3 << 19, 'x')}}, {Code::InvalidArgument},
       [](const DAVDocumentSnapshot& s) { return !s.exists(); }},
      {"a write of 6 MiB", db->collectionWithPath("users")->documentWithPath(alice_),
       {{"userId", alice_}, {"blob", std::string(6 << 20, 'x')}}, {Code::InvalidArgument},
       [](const DAVDocumentSnapshot& s) { return !s.exists(); }},
      {"a write of 10 MiB", db->collectionWithPath("users")->documentWithPath(alice_),
       {{"userId", alice_}, {"blob", std::string(10 << 20, 'x')}}, {Code::ResourceExhausted},
       [](const DAVDocumentSnapshot& s) { return !s.exists(); }},
  };
  auto good = db->collectionWithPath("pin")->documentWithPath(alice_);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Refused& refused = cases[i];
    SCOPED_TRACE(refused.what);
    Recorder<DAVDocumentSnapshot> recorder;
    auto registration = refused.doc->addSnapshotListener(recorder.block());
    ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));

    std::optional<Code> refusedCode;
    std::optional<Code> goodCode;
    auto codeOf = [](platform::ErrorPtr e) { return e ? static_cast<Code>(e->code()) : Code::Ok; };
    refused.doc->setData(refused.data, /*merge=*/true,
                         [&](platform::ErrorPtr e) { refusedCode = codeOf(e); });
    good->setData({{"userId", alice_}, {"n", static_cast<int64_t>(i)}}, /*merge=*/true,
                  [&](platform::ErrorPtr e) { goodCode = codeOf(e); });
    ASSERT_TRUE(Spin([&] { return refusedCode && goodCode; }))
        << "the good write waits behind the refused one";
    EXPECT_NE(std::find(refused.codes.begin(), refused.codes.end(), *refusedCode), refused.codes.end())
        << static_cast<int>(*refusedCode);
    EXPECT_EQ(*goodCode, Code::Ok);
    EXPECT_EQ(backend().getDocument("pin/" + alice_)["fields"]["n"], i);

    // The view showed the refused write while it was pending, and drops it.
    EXPECT_TRUE(std::any_of(recorder.snapshots.begin(), recorder.snapshots.end(),
                            [](const auto& s) { return s->metadata().hasPendingWrites(); }));
    ASSERT_TRUE(Spin([&] { return !recorder.snapshots.back()->metadata().hasPendingWrites(); }));
    EXPECT_TRUE(refused.isServerState(*recorder.snapshots.back()));
    registration->remove();
  }

  // Nothing stays queued: after a restart the first view of each document shows no pending write.
  standIn_->Restart();
  db = standIn_->Database(true);
  for (const Refused& refused : cases) {
    SCOPED_TRACE(refused.what);
    Recorder<DAVDocumentSnapshot> recorder;
    auto registration = db->documentWithPath(refused.doc->path())->addSnapshotListener(recorder.block());
    ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
    EXPECT_FALSE(recorder.snapshots[0]->metadata().hasPendingWrites());
    EXPECT_TRUE(refused.isServerState(*recorder.snapshots[0]));
    registration->remove();
  }
}

// The answer to 200 array unions might not fit a Listen message's limit: the batch goes out on a
// connection that takes more and completes, and is not sent again to overwrite what another
// client wrote after it.
TEST_F(VerorarivEndToEndTest, ABatchWithALargeAnswerCompletesAndALaterWriteOfAnotherClientStays) {
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < 300; ++i) list.push_back(std::to_string(i) + std::string(100, 'x'));
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 0}, {"list", list}});
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  auto batch = db->batch();
  batch->updateData({{"n", 1}}, doc);
  for (int i = 0; i < 200; ++i) {
    DAVValue element("e" + std::to_string(i));
    batch->updateData({{"list", DAVValue(DAVFieldValue::fieldValueForArrayUnion({element}))}}, doc);
  }
  std::optional<platform::ErrorPtr> committed;
  batch->commitWithCompletion([&](platform::ErrorPtr e) { committed = e; });
  ASSERT_TRUE(Spin([&] { return committed.has_value(); })) << "the batch never completes";
  EXPECT_EQ(*committed, nullptr) << (*committed)->localizedDescription();
  nlohmann::json fields = backend().getDocument("users/" + alice_)["fields"];
  EXPECT_EQ(fields["n"], 1);
  EXPECT_EQ(fields["list"].size(), 500u);

  // Another client of the same user writes after it.
  DAVApp::configureWithName("other", standIn_->Options());
  auto otherAuth = DAVAuth::authWithApp(DAVApp::appNamed("other"));
  bool signedIn = false;
  otherAuth->signInWithEmail(
      "alice@example.com", vrvtest::kPassword,
      [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) { signedIn = !e; });
  ASSERT_TRUE(Spin([&] { return signedIn; }));
  auto other = DAVVerorariv::verorarivForApp(DAVApp::appNamed("other"));
  DAVVerorarivSettings settings = other->settings();
  settings.setPersistenceEnabled(false);
  other->setSettings(settings);
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              other->documentWithPath("users/" + alice_)->setData({{"n", 99}}, /*merge=*/true, done);
            }),
            Code::Ok);
  bool otherShutDown = false;
  other->shutdownWithCompletion([&](platform::ErrorPtr) { otherShutDown = true; });
  ASSERT_TRUE(Spin([&] { return otherShutDown; }));

  // A restarted client finds nothing queued that could be sent again, and the server keeps 99.
  standIn_->Restart();
  db = standIn_->Database(true);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = db->documentWithPath("users/" + alice_)->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] {
    return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache();
  }));
  EXPECT_FALSE(recorder.snapshots[0]->metadata().hasPendingWrites());
  EXPECT_EQ(IntField(recorder.snapshots.back(), "n"), 99);
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["n"], 99);
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, ACachedDocumentTheServerNoLongerMatchesIsResolvedAndLeaves) {
  backend().setDocument("customBlacklist/" + alice_, {{"userId", alice_}, {"domain", "old.example"}});
  backend().setDocument("customBlacklist/b1", {{"userId", alice_}, {"domain", "b.example"}});
  auto db = standIn_->Database(true);
  auto own = db->collectionWithPath("customBlacklist")->documentWithPath(alice_);
  {
    // Read once, so the document stays in the cache after its listen ends.
    std::shared_ptr<DAVDocumentSnapshot> read;
    own->getDocumentWithCompletion([&](std::shared_ptr<DAVDocumentSnapshot> s, platform::ErrorPtr) { read = s; });
    ASSERT_TRUE(Spin([&] { return read != nullptr; }));
    ASSERT_TRUE(read->exists());
  }
  // Meanwhile the document moves to another user; the cache still says it is Alice's.
  backend().mergeDocument("customBlacklist/" + alice_, {{"userId", bob_}});

  auto query = db->collectionWithPath("customBlacklist")->queryWhereField("userId", alice_);
  Recorder<DAVQuerySnapshot> recorder;
  auto registration = query->addSnapshotListener(recorder.block());
  auto ids = [](const std::shared_ptr<DAVQuerySnapshot>& snapshot) {
    std::vector<std::string> result;
    for (const auto& document : snapshot->documents()) result.push_back(document->documentID());
    return result;
  };
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
  EXPECT_TRUE(recorder.snapshots[0]->metadata().isFromCache());
  EXPECT_EQ(ids(recorder.snapshots[0]), std::vector<std::string>{alice_}) << "the stale cached match";

  // The server's result lacks it: the client asks about the document alone and drops it.
  ASSERT_TRUE(Spin([&] {
    return !recorder.snapshots.back()->metadata().isFromCache();
  }));
  EXPECT_EQ(ids(recorder.snapshots.back()), std::vector<std::string>{"b1"});
  size_t limbo = 1;
  db->workerQueue()->EnqueueBlocking([&] { limbo = db->client()->syncEngineForTesting()->CurrentLimboDocuments().size(); });
  EXPECT_EQ(limbo, 0u);
  registration->remove();
}

// An earlier version of the service stored ids that are not UTF-8, which no client can decode: the
// owner's query still syncs without such a document, before and after the admin deletes it.
TEST_F(VerorarivEndToEndTest, ADocumentStoredUnderAnIdThatIsNotUtf8LeavesTheOwnersSyncRunning) {
  backend().setDocument("customBlacklist/b1", {{"userId", alice_}, {"domain", "b.example"}});
  variru::verorariv::v1::Write legacy;
  legacy.mutable_update()->set_name("projects/" + backend().projectId() +
                                    "/databases/(default)/documents/customBlacklist/old-\xFF");
  (*legacy.mutable_update()->mutable_fields())["userId"].set_string_value(alice_);
  ASSERT_EQ(backend().documents().store().commit({legacy}, nullptr).code, 0);

  auto db = standIn_->Database(true);
  auto query = db->collectionWithPath("customBlacklist")->queryWhereField("userId", alice_);
  auto ids = [](const std::shared_ptr<DAVQuerySnapshot>& snapshot) {
    std::vector<std::string> result;
    for (const auto& document : snapshot->documents()) result.push_back(document->documentID());
    return result;
  };
  auto synced = [&](const Recorder<DAVQuerySnapshot>& recorder, const std::vector<std::string>& expected) {
    return Spin([&] {
      return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache() &&
             ids(recorder.snapshots.back()) == expected;
    });
  };
  Recorder<DAVQuerySnapshot> first;
  auto registration = query->addSnapshotListener(first.block());
  ASSERT_TRUE(synced(first, {"b1"}));
  backend().setDocument("customBlacklist/b2", {{"userId", alice_}, {"domain", "c.example"}});
  ASSERT_TRUE(synced(first, {"b1", "b2"}));
  registration->remove();

  // A listen that resumes after the deletion hears nothing of it either.
  ASSERT_TRUE(backend().deleteDocument("customBlacklist/old-%FF"));
  EXPECT_TRUE(backend().listDocuments("customBlacklist").size() == 2u);
  backend().setDocument("customBlacklist/b3", {{"userId", alice_}, {"domain", "d.example"}});
  Recorder<DAVQuerySnapshot> second;
  registration = query->addSnapshotListener(second.block());
  EXPECT_TRUE(synced(second, {"b1", "b2", "b3"}));
  EXPECT_TRUE(first.errors.empty() && second.errors.empty());
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, ReadsComeFromTheCacheWhileOffline) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 7}});
  auto db = standIn_->Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));

  ASSERT_TRUE(SetNetwork(db, false));

  std::shared_ptr<DAVDocumentSnapshot> cached;
  doc->getDocumentWithCompletion([&](std::shared_ptr<DAVDocumentSnapshot> s, platform::ErrorPtr) { cached = s; });
  ASSERT_TRUE(Spin([&] { return cached != nullptr; }));
  EXPECT_TRUE(cached->metadata().isFromCache());
  EXPECT_EQ(IntField(cached, "n"), 7);

  // What the cache does not hold cannot be told missing while offline.
  platform::ErrorPtr error;
  db->collectionWithPath("pin")->documentWithPath(alice_)->getDocumentWithCompletion(
      [&](std::shared_ptr<DAVDocumentSnapshot>, platform::ErrorPtr e) { error = e; });
  ASSERT_TRUE(Spin([&] { return error != nullptr; }));
  EXPECT_EQ(static_cast<Code>(error->code()), Code::Unavailable);
  registration->remove();
}

TEST_F(VerorarivEndToEndTest, PendingWritesSurviveARestartOfflineAndAreSentWhenTheBackendIsBack) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));

  ASSERT_TRUE(SetNetwork(db, false));
  doc->setData({{"n", 5}}, /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 5; }));
  registration->remove();

  // The program ends while the backend is away; a new client starts over the same storage.
  backend().stop();
  standIn_->Restart();
  db = standIn_->Database(true);
  // Kept offline until the backend is back, so the check below sees the write still pending.
  ASSERT_TRUE(SetNetwork(db, false));
  doc = db->collectionWithPath("users")->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> restarted;
  auto again = doc->addSnapshotListener(restarted.block());
  // The signed-in user comes back from the keychain, and with it that user's pending writes.
  ASSERT_TRUE(Spin([&] {
    return !restarted.snapshots.empty() && IntField(restarted.snapshots.back(), "n") == 5;
  }));
  EXPECT_TRUE(restarted.snapshots.back()->metadata().hasPendingWrites());
  EXPECT_TRUE(restarted.snapshots.back()->metadata().isFromCache());

  backend().start();
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["n"], 1);
  ASSERT_TRUE(SetNetwork(db, true));
  ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == 5; }));
  again->remove();
}

TEST_F(VerorarivEndToEndTest, ChangingTheUserSwitchesCredentialsAndPendingWrites) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
  auto db = standIn_->Database(false);
  auto aliceDoc = db->collectionWithPath("users")->documentWithPath(alice_);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = aliceDoc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));

  // Offline, Alice writes; Bob signs in on the same client.
  ASSERT_TRUE(SetNetwork(db, false));
  aliceDoc->setData({{"n", 2}}, /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 2; }));
  ASSERT_TRUE(standIn_->SignIn("bob@example.com"));
  // Bob's view of the document no longer holds Alice's pending write.
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 1; }));

  // Online again, the streams run with Bob's token: Bob's own write goes through, the listen of
  // Alice's document is refused, and Alice's write waits in her queue instead of being sent.
  ASSERT_TRUE(SetNetwork(db, true));
  auto bobDoc = db->collectionWithPath("users")->documentWithPath(bob_);
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              bobDoc->setData({{"userId", bob_}, {"n", 9}}, /*merge=*/true, done);
            }),
            Code::Ok);
  EXPECT_EQ(backend().getDocument("users/" + bob_)["fields"]["n"], 9);
  ASSERT_TRUE(Spin([&] { return !recorder.errors.empty(); }));
  EXPECT_EQ(static_cast<Code>(recorder.errors[0]->code()), Code::PermissionDenied);
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["n"], 1);

  // Alice returns: her write is sent with her credentials.
  ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
  ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == 2; }));
  registration->remove();
}

// The next user's view comes from that user's writes alone, even over a document whose cached
// copy is only the previous user's acknowledged write, which the view otherwise keeps in place
// until the server's copy arrives.
TEST_F(VerorarivEndToEndTest, AfterAUserChangeNoViewShowsThePreviousUsersUnsentWrite) {
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  // Written while nobody listens: the cache holds the acknowledged write and no target brings
  // the server's copy.
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              doc->setData({{"userId", alice_}, {"n", 1}}, /*merge=*/true, done);
            }),
            Code::Ok);
  ASSERT_TRUE(SetNetwork(db, false));
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  ASSERT_TRUE(Spin([&] {
    return !recorder.snapshots.empty() && IntField(recorder.snapshots.back(), "n") == 1;
  }));
  doc->setData({{"n", 2}}, /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 2; }));

  ASSERT_TRUE(standIn_->SignIn("bob@example.com"));
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 1; }))
      << "Bob still sees Alice's unsent write";
  // Back to Alice: her queue, and with it her write, shows again.
  ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
  ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == 2; }));
  EXPECT_TRUE(recorder.errors.empty());
  registration->remove();
}

// Once armed, holds the worker queue inside the next snapshot that a listener of the client itself
// passes to it, until the main thread lets it go: the main thread acts while an operation of the
// client is half done.
class WorkerGate {
 public:
  void Arm() { armed_ = true; }
  // On the worker queue: when armed, tells that it is held and waits for Release.
  void HoldIfArmed() {
    if (!armed_.exchange(false)) return;
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.notify_all();
    // Bounded, so that a failed test does not hang the queue for ever.
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return released_; });
    released_ = false;
  }
  bool Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::atomic<bool> armed_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// A gate that holds the database's worker queue until released; none when it was not held in time.
std::shared_ptr<WorkerGate> HoldWorkerQueue(const std::shared_ptr<DAVVerorariv>& db) {
  auto gate = std::make_shared<WorkerGate>();
  gate->Arm();
  db->workerQueue()->EnqueueRelaxed([gate] { gate->HoldIfArmed(); });
  if (!Spin([&] { return gate->Held(); })) return nullptr;
  return gate;
}

// A user change posted just before or while the database shuts down reaches a client on its way
// out: the token fetches, stream restarts and timers it sets off are dropped, nothing stops the
// process, and the user's writes wait in the storage for the next client.
TEST_F(VerorarivEndToEndTest, UserChangesAroundShutdownAreDroppedAndKeepTheWrites) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", -1}});
  auto signOut = [&] {
    platform::ErrorPtr error;
    ASSERT_TRUE(standIn_->auth->signOut(&error));
  };
  constexpr int kRounds = 9;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round > 0) {
      ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
    }
    auto db = standIn_->Database(true);
    auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
    // The user changes a few times while the client runs: each change restarts both streams and
    // overtakes the token fetches in flight.
    db->client();
    const int flips = round % 3;
    for (int flip = 0; flip < flips; ++flip) {
      signOut();
      ASSERT_TRUE(standIn_->SignIn(flip % 2 == 0 ? "bob@example.com" : "alice@example.com"));
    }
    if (flips % 2 == 1) {
      ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
    }

    Recorder<DAVDocumentSnapshot> recorder;
    auto registration = doc->addSnapshotListener(recorder.block());
    auto gate = std::make_shared<WorkerGate>();
    // What the client's view holds: the value of n, once the server's copy of it is there.
    struct Synced {
      std::mutex mutex;
      std::optional<int64_t> n;
    };
    auto synced = std::make_shared<Synced>();
    davedove::verorariv::core::ListenOptions everyChange;
    everyChange.include_metadata_changes = true;
    db->client()->listenToQuery(
        davedove::verorariv::core::VRVQuery::queryWithPath(doc->key().path()), everyChange,
        [gate, synced](davedove::verorariv::util::StatusOr<davedove::verorariv::core::ViewSnapshot> snapshot) {
          if (!snapshot.ok()) return;
          const davedove::verorariv::core::ViewSnapshot& view = snapshot.value();
          // Alice's pending write leaves the view only when the user changes.
          if (view.has_pending_writes()) return;
          {
            std::lock_guard<std::mutex> lock(synced->mutex);
            synced->n.reset();
            if (!view.documents().empty()) {
              if (auto n = view.documents().GetFirstDocument()->fieldForPath(
                      davedove::verorariv::model::FieldPath::FromServerFormat("n"))) {
                synced->n = n->value().asInteger();
              }
            }
          }
          gate->HoldIfArmed();
        });
    ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));
    // The write of the round before reached the server once Alice was back, and the server's copy
    // reached the client: otherwise the client holds only its acknowledged write, which counts as
    // pending until the server's copy arrives, and no snapshot after the change of user below
    // would be free of pending writes.
    if (round > 0) {
      ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == round - 1; }));
      ASSERT_TRUE(SpinPolling([&] {
        std::lock_guard<std::mutex> lock(synced->mutex);
        return synced->n == round - 1;
      }));
    }
    // With the backend away the write stays pending, so the change of user changes the view.
    backend().stop();
    doc->setData({{"n", round}}, /*merge=*/true);
    ASSERT_TRUE(Spin([&] { return IntField(recorder.snapshots.back(), "n") == round; }));

    bool shutDown = false;
    platform::ErrorPtr shutDownError;
    auto shutDownNow = [&] {
      db->shutdownWithCompletion([&](platform::ErrorPtr e) {
        shutDownError = e;
        shutDown = true;
      });
    };
    bool signedIn = true;
    switch (round % 3) {
      case 0:  // the change is still on its way to the client
        signOut();
        shutDownNow();
        break;
      case 1:  // the client is applying the change: its views have dropped Alice's write, its
               // streams restart next
        gate->Arm();
        signOut();
        ASSERT_TRUE(Spin([&] { return gate->Held(); }));
        shutDownNow();
        gate->Release();
        break;
      case 2:  // another user signs in while the client shuts down
        signOut();
        backend().start();
        signedIn = false;
        standIn_->auth->signInWithEmail("bob@example.com", vrvtest::kPassword,
                                        [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr) {
                                          signedIn = true;
                                        });
        shutDownNow();
        break;
    }
    ASSERT_TRUE(Spin([&] { return shutDown && signedIn; }));
    EXPECT_EQ(shutDownError, nullptr);
    if (round % 3 != 2) backend().start();
    size_t seen = recorder.snapshots.size();

    // Whatever the change set off runs now, against a client that is gone.
    for (int i = 0; i < 3; ++i) {
      db->workerQueue()->EnqueueBlocking([] {});
      vrvtest::StandIn::Settle();
    }
    EXPECT_EQ(recorder.snapshots.size(), seen) << "no snapshot after the shutdown";
    EXPECT_TRUE(recorder.errors.empty());
    registration.reset();
    standIn_->db.reset();
  }
  ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
  standIn_->Database(true)->client();
  ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == kRounds - 1; }));
}

// Everything the application asked for before a shutdown still runs: a write waiting behind other
// work reaches the storage and its completion is told that the server has not answered, a listen
// and a network switch queued in the same window run, a second shutdown completes only after the
// first, and the next client over the same storage sends the write.
TEST_F(VerorarivEndToEndTest, WorkAcceptedBeforeAShutdownRunsAndTheNextClientSendsTheWrite) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  db->client();

  // The worker queue is busy while the application writes, listens, switches and shuts down.
  auto gate = HoldWorkerQueue(db);
  ASSERT_TRUE(gate);
  bool written = false;
  platform::ErrorPtr writeError;
  doc->setData({{"n", 2}}, /*merge=*/true, [&](platform::ErrorPtr e) {
    writeError = e;
    written = true;
  });
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  bool switched = false;
  platform::ErrorPtr switchError;
  db->disableNetworkWithCompletion([&](platform::ErrorPtr e) {
    switchError = e;
    switched = true;
  });
  std::vector<std::string> finished;
  db->shutdownWithCompletion([&](platform::ErrorPtr e) {
    EXPECT_EQ(e, nullptr);
    finished.push_back("first");
  });
  db->shutdownWithCompletion([&](platform::ErrorPtr e) {
    EXPECT_EQ(e, nullptr);
    finished.push_back("second");
  });
  gate->Release();

  ASSERT_TRUE(Spin([&] { return written && switched && finished.size() == 2; }));
  EXPECT_EQ(finished, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(switchError, nullptr);
  ASSERT_NE(writeError, nullptr) << "shut down before the server could answer";
  EXPECT_EQ(static_cast<Code>(writeError->code()), Code::Unavailable);
  // The listen ran before the shutdown and raised the local write; its block was queued first.
  ASSERT_EQ(recorder.snapshots.size(), 1u);
  EXPECT_EQ(IntField(recorder.snapshots[0], "n"), 2);
  EXPECT_TRUE(recorder.snapshots[0]->metadata().hasPendingWrites());
  registration->remove();
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["n"], 1);

  // The write waited in the storage: the next client sends it.
  db.reset();
  standIn_->Restart();
  standIn_->Database(true)->client();
  ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == 2; }));
}

// Deleting the app completes only once its client has run what was queued and released its
// storage, also when the application shut the database down just before and that shutdown has not
// finished: a new app of the same name opens that storage at once. A new instance asked for right
// after a shutdown that has not finished opens the storage once the old client has let go of it.
// Either way the writes queued just before are in the storage and reach the server from the new
// client.
TEST_F(VerorarivEndToEndTest, ANewClientOfTheSameStorageWaitsForTheOneStillClosingIt) {
  const char* const kRounds[] = {"deleted with the client running", "deleted right after a shutdown",
                                 "a new instance right after a shutdown"};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(kRounds[round]);
    const bool shutDownFirst = round > 0;
    const bool deleteApp = round < 2;
    const int n = 2 + 2 * round;
    backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
    // Later rounds close the instance the round before opened over the same storage.
    auto db = shutDownFirst ? standIn_->db : standIn_->Database(true);
    ASSERT_TRUE(db && db->settings().isPersistenceEnabled());
    auto client = db->client();
    // Offline, the old client cannot send the writes: only the storage can hand them on.
    ASSERT_TRUE(SetNetwork(db, false));
    auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
    Recorder<DAVDocumentSnapshot> recorder;
    auto registration = doc->addSnapshotListener(recorder.block());
    ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty(); }));

    // The worker queue is busy while the application writes and deletes the app; the writes raise
    // snapshots for the main queue while the deletion waits.
    auto gate = HoldWorkerQueue(db);
    ASSERT_TRUE(gate);
    doc->setData({{"n", n}}, /*merge=*/true);
    doc->updateData({{"m", n + 1}});
    if (shutDownFirst) db->shutdownWithCompletion(nullptr);

    // Lets the worker go once the client was asked to shut down and the storage was opened again,
    // or a while later when the deletion or the opening waits (as it must) and nothing is opened.
    std::atomic<bool> reopenTried{false};
    std::thread releaser([&] {
      while (!client->isShutdown()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      while (!reopenTried && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      gate->Release();
    });
    // Called from the main queue, as the application would.
    bool deleted = false;
    if (deleteApp) {
      platform::dispatch::Queue::main()->async(
          [&] { standIn_->app->deleteApp([&](bool success) { deleted = success; }); });
    }
    const bool returned = !deleteApp || Spin([&] { return deleted; });
    std::string reopened = "<not tried>";
    if (returned) {
      if (deleteApp) standIn_->Configure();
      reopened = Reason([&] { standIn_->Database(true)->client(); });
    }
    reopenTried = true;
    releaser.join();
    ASSERT_TRUE(returned);
    ASSERT_EQ(reopened, "<nothing raised>");
    EXPECT_TRUE(recorder.errors.empty());
    registration->remove();

    // A deletion signed Alice out of the app; back, her queue sends the writes.
    if (deleteApp) {
      ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
    }
    ASSERT_TRUE(SpinPolling([&] {
      nlohmann::json fields = backend().getDocument("users/" + alice_)["fields"];
      return fields["n"] == n && fields["m"] == n + 1;
    }));
  }
}

// An instance dropped without a shutdown goes the same way: what was queued before runs, its write
// waits in the storage, and the next instance over that storage sends it.
TEST_F(VerorarivEndToEndTest, DroppingAnInstanceRunsWhatWasQueuedAndTheNextOneSendsTheWrite) {
  backend().setDocument("users/" + alice_, {{"userId", alice_}, {"n", 1}});
  // Made as the app's component makes one, but held only here.
  auto db = std::make_shared<DAVVerorariv>(
      davedove::verorariv::model::DatabaseId(*standIn_->app->options()->projectID(),
                                             davedove::verorariv::model::DatabaseId::kDefault),
      standIn_->app->name(),
      std::make_shared<davedove::verorariv::auth::DavedoveCredentialsProvider>(standIn_->app,
                                                                               standIn_->auth),
      standIn_->app);
  ASSERT_TRUE(db->settings().isPersistenceEnabled());
  ASSERT_TRUE(SetNetwork(db, false));

  auto gate = HoldWorkerQueue(db);
  ASSERT_TRUE(gate);
  bool written = false;
  platform::ErrorPtr writeError;
  db->collectionWithPath("users")->documentWithPath(alice_)->setData(
      {{"n", 2}}, /*merge=*/true, [&](platform::ErrorPtr e) {
        writeError = e;
        written = true;
      });
  std::weak_ptr<DAVVerorariv> dropped = db;
  db.reset();
  ASSERT_TRUE(dropped.expired());
  gate->Release();

  // Told once the storage is closed: the server never answered.
  ASSERT_TRUE(Spin([&] { return written; }));
  ASSERT_NE(writeError, nullptr);
  EXPECT_EQ(static_cast<Code>(writeError->code()), Code::Unavailable);
  EXPECT_EQ(backend().getDocument("users/" + alice_)["fields"]["n"], 1);
  standIn_->Database(true)->client();
  ASSERT_TRUE(SpinPolling([&] { return backend().getDocument("users/" + alice_)["fields"]["n"] == 2; }));
}

// The app's real credentials provider, with a change of user that reaches the client's listener
// from the main thread right after the client registered it, before the registration returns: what
// happens when a client starts off the main thread while the user signs out.
class SignOutWhileRegistering : public davedove::verorariv::auth::CredentialsProvider {
 public:
  SignOutWhileRegistering(std::shared_ptr<davedove::verorariv::auth::CredentialsProvider> provider,
                          std::shared_ptr<DAVAuth> auth)
      : provider_(std::move(provider)), auth_(std::move(auth)) {}

  void GetToken(davedove::verorariv::auth::TokenListener completion) override {
    provider_->GetToken(std::move(completion));
  }
  void InvalidateToken() override { provider_->InvalidateToken(); }
  void SetCredentialChangeListener(davedove::verorariv::auth::CredentialChangeListener listener) override {
    if (!listener) {
      provider_->SetCredentialChangeListener(nullptr);
      return;
    }
    struct Calls {
      std::mutex mutex;
      std::condition_variable changed;
      int count = 0;
    };
    auto calls = std::make_shared<Calls>();
    provider_->SetCredentialChangeListener([listener, calls](davedove::verorariv::auth::User user) {
      listener(user);
      std::lock_guard<std::mutex> lock(calls->mutex);
      ++calls->count;
      calls->changed.notify_all();
    });
    platform::ErrorPtr error;
    EXPECT_TRUE(auth_->signOut(&error));
    std::unique_lock<std::mutex> lock(calls->mutex);
    EXPECT_TRUE(calls->changed.wait_for(lock, std::chrono::seconds(60), [&] { return calls->count == 2; }))
        << "the sign-out never reached the listener";
  }

 private:
  std::shared_ptr<davedove::verorariv::auth::CredentialsProvider> provider_;
  std::shared_ptr<DAVAuth> auth_;
};

// A loopback port held bound but never listened on: every connection to it is refused.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)), port_(vrvtest::BindFreeLoopbackPort(fd_)) {}
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }  // 0 when none could be had

 private:
  int fd_;
  int port_ = 0;
};

TEST_F(VerorarivEndToEndTest, AUserChangeWhileTheClientStartsIsHandledAfterTheStart) {
  using davedove::verorariv::core::VRVVerorarivClient;
  // Alice's write waits in the storage, so a view tells whose writes the client shows.
  auto db = standIn_->Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice_);
  ASSERT_TRUE(SetNetwork(db, false));
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  doc->setData({{"userId", alice_}, {"n", 5}}, /*merge=*/true);
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty() && IntField(recorder.snapshots.back(), "n") == 5; }));
  registration->remove();
  // The new client starts online as Alice. A service that acknowledged her write before the
  // sign-out reached the client would leave it in the cache, which every user reads; a port that
  // refuses every connection keeps it waiting in the storage.
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  const davedove::verorariv::core::DatabaseInfo info(db->databaseID(), db->persistenceKey(),
                                                     "127.0.0.1:" + std::to_string(refusing.port()),
                                                     db->settings().isSSLEnabled());
  const DAVVerorarivSettings settings = db->settings();
  standIn_->ShutDownDatabase();
  db.reset();

  // Started off the main thread, as the application's address refresh may do.
  auto provider = std::make_shared<SignOutWhileRegistering>(
      std::make_shared<davedove::verorariv::auth::DavedoveCredentialsProvider>(standIn_->app, standIn_->auth),
      standIn_->auth);
  auto queue = std::make_shared<davedove::verorariv::util::AsyncQueue>(
      std::make_unique<davedove::verorariv::util::ExecutorLibdispatch>(
          platform::dispatch::Queue::serial("vrv-start-order-test")));
  std::shared_ptr<VRVVerorarivClient> client;
  std::atomic<bool> started{false};
  std::thread starter([&] {
    client = VRVVerorarivClient::clientWithDatabaseInfo(info, settings, provider, queue);
    started = true;
  });
  bool done = Spin([&] { return started.load(); }, std::chrono::seconds(60));
  starter.join();
  ASSERT_TRUE(done);

  // Signed out, the client shows nobody's writes; Alice back, hers again.
  struct Seen {
    std::mutex mutex;
    std::vector<std::optional<int64_t>> values;
  };
  auto seen = std::make_shared<Seen>();
  client->disableNetworkWithCompletion(nullptr);
  auto listener = client->listenToQuery(
      davedove::verorariv::core::VRVQuery::queryWithPath(doc->key().path()), {},
      [seen](davedove::verorariv::util::StatusOr<davedove::verorariv::core::ViewSnapshot> snapshot) {
        std::optional<int64_t> value;
        if (snapshot.ok() && !snapshot.value().documents().empty()) {
          auto n = snapshot.value().documents().GetFirstDocument()->fieldForPath(
              davedove::verorariv::model::FieldPath::FromServerFormat("n"));
          if (n) value = n->value().asInteger();
        }
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->values.push_back(value);
      });
  auto values = [&] {
    std::lock_guard<std::mutex> lock(seen->mutex);
    return seen->values;
  };
  ASSERT_TRUE(Spin([&] { return !values().empty(); }));
  EXPECT_EQ(values()[0], std::nullopt) << "Alice's write shown while signed out";
  ASSERT_TRUE(standIn_->SignIn("alice@example.com"));
  ASSERT_TRUE(Spin([&] { return values().back() == std::optional<int64_t>(5); }));

  bool shutDown = false;
  client->shutdownWithCompletion([&](const davedove::verorariv::util::Status&) { shutDown = true; });
  ASSERT_TRUE(SpinPolling([&] { return shutDown; }));
}

TEST_F(VerorarivEndToEndTest, StartUpOpensTheStorageAndSchedulesCollectionOnlyWithPersistence) {
  using davedove::verorariv::util::TimerId;
  auto db = standIn_->Database(true);
  auto client = db->client();
  auto queue = db->workerQueue();
  EXPECT_TRUE(queue->IsScheduled(TimerId::GarbageCollection));
  EXPECT_EQ(client->initialGcDelay(), 60000);
  EXPECT_EQ(client->regularGcDelay(), 300000);
  bool ran = false;
  queue->RunScheduledOperationsUntil(TimerId::GarbageCollection);
  queue->EnqueueBlocking([&] { ran = client->hasGarbageCollectionRun(); });
  EXPECT_TRUE(ran);
  EXPECT_TRUE(queue->IsScheduled(TimerId::GarbageCollection)) << "the next run is scheduled";
  standIn_->ShutDownDatabase();

  // Memory persistence collects eagerly and schedules nothing.
  standIn_->Restart();
  auto memory = standIn_->Database(false);
  memory->client();
  EXPECT_FALSE(memory->workerQueue()->IsScheduled(TimerId::GarbageCollection));
  standIn_->ShutDownDatabase();

  // Storage that cannot be opened is reported to the caller, not fatal on the worker queue.
  standIn_->Restart();
  std::filesystem::path storage = std::filesystem::path(std::getenv("HOME")) / ".verorariv";
  std::filesystem::remove_all(storage);
  { std::ofstream blocker(storage); blocker << "not a directory"; }
  auto broken = standIn_->Database(true);
  std::string name;
  std::string reason = Reason([&] { broken->client(); }, &name);
  EXPECT_EQ(name, platform::kInternalInconsistencyException);
  EXPECT_EQ(reason.rfind("Failed to open DB: ", 0), 0u) << reason;
  std::filesystem::remove(storage);
  EXPECT_NE(broken->client(), nullptr) << "a later call tries again";
}

TEST_F(VerorarivEndToEndTest, MisuseRaisesTheNamedExceptions) {
  auto db = standIn_->Database(false);
  std::string name;
  EXPECT_EQ(Reason([&] { db->collectionWithPath(std::nullopt); }, &name), "Collection path cannot be nil.");
  EXPECT_EQ(name, "DAVInvalidArgumentException");
  EXPECT_EQ(Reason([&] { db->collectionWithPath("users//x"); }),
            "Invalid path (users//x). Paths must not contain // in them.");
  name.clear();
  Reason([&] { db->collectionWithPath("users/u1"); }, &name);
  EXPECT_EQ(name, "DAVInvalidArgumentException");

  auto users = db->collectionWithPath("users");
  EXPECT_EQ(Reason([&] { users->documentWithPath(std::nullopt); }), "Document path cannot be nil.");
  name.clear();
  Reason([&] { users->documentWithPath("u1/pins"); }, &name);
  EXPECT_EQ(name, "DAVInvalidArgumentException");

  auto batch = db->batch();
  batch->commitWithCompletion(nullptr);
  EXPECT_EQ(Reason([&] { batch->updateData({{"n", 1}}, users->documentWithPath("u1")); }, &name),
            "A write batch can no longer be used after commit has been called.");
  EXPECT_EQ(name, "DAVIllegalStateException");

  // Built without a database, a reference, a query or a batch is refused at once instead of
  // crashing when first written or run.
  for (const auto& unbound : std::vector<std::function<void()>>{
           [] {
             std::make_shared<DAVDocumentReference>(
                 davedove::verorariv::model::DocumentKey::FromPathString("users/u1"), nullptr)
                 ->setData({{"n", 1}}, true);
           },
           [] {
             std::make_shared<DAVCollectionReference>(
                 davedove::verorariv::model::ResourcePath::FromString("users"), nullptr)
                 ->queryWhereField("n", 1);
           },
           [] { std::make_shared<DAVWriteBatch>(nullptr)->commitWithCompletion(nullptr); }}) {
    name.clear();
    EXPECT_EQ(Reason(unbound, &name), "Verorariv instance cannot be nil.");
    EXPECT_EQ(name, "DAVInvalidArgumentException");
  }

  DAVDocumentSnapshot snapshot(db, davedove::verorariv::model::DocumentKey::FromPathString("users/u1"),
                               nullptr, DAVSnapshotMetadata(false, false));
  EXPECT_EQ(Reason([&] { snapshot.objectForKeyedSubscript(DAVValue(int64_t{3})); }, &name),
            "Subscript key must be an NSString or DAVFieldPath.");
  EXPECT_EQ(name, "DAVInvalidArgumentException");
  EXPECT_EQ(snapshot.objectForKeyedSubscript(DAVValue("n")), std::nullopt);

  // Above the signed range a number is refused rather than stored negative.
  name.clear();
  Reason([] { DAVValue value(std::numeric_limits<uint64_t>::max()); }, &name);
  EXPECT_EQ(name, "DAVInvalidArgumentException");
  EXPECT_EQ(*DAVValue(uint64_t{9223372036854775807ULL}).asInteger(), INT64_MAX);

  // Times beyond what a timestamp holds are refused, as a timestamp and as a date in a field.
  for (const auto& outOfRange : std::vector<std::function<void()>>{
           [] { DAVTimestamp(253402300800, 0); },
           [] { DAVTimestamp::timestampWithSeconds(-62135596801, 0); },
           [] { DAVTimestamp(0, -1); },
           [] { DAVTimestamp(0, 1000000000); }}) {
    name.clear();
    Reason(outOfRange, &name);
    EXPECT_EQ(name, "DAVInvalidArgumentException");
  }
  EXPECT_EQ(Reason([] { DAVTimestamp(253402300800, 0); }), "Timestamp seconds out of range: 253402300800");
  EXPECT_EQ(DAVTimestamp(253402300799, 999999999).seconds(), 253402300799);
  for (double seconds : {253402300800.0, 1e300, std::nan("")}) {
    platform::Date date;
    date.secondsSince1970 = seconds;
    name.clear();
    Reason([&] { users->documentWithPath("u1")->setData({{"when", date}}, true); }, &name);
    EXPECT_EQ(name, "DAVInvalidArgumentException") << seconds;
  }

  // A set may not delete; settings refuse a tiny cache.
  EXPECT_EQ(Reason([&] {
              users->documentWithPath("u1")->setData({{"n", DAVFieldValue::fieldValueForDelete()}}, false);
            }),
            "DAVFieldValue.delete() can only be used with updateData() and setData() with merge:true.");
  DAVVerorarivSettings settings;
  name.clear();
  Reason([&] { settings.setCacheSizeBytes(1000); }, &name);
  EXPECT_EQ(name, "DAVInvalidArgumentException");
  settings.setCacheSizeBytes(kDAVVerorarivCacheSizeUnlimited);

  // Started, the settings are fixed; with no default app there is no instance.
  EXPECT_EQ(Reason([&] { db->setSettings(settings); }, &name).substr(0, 42),
            "Verorariv instance has already been starte");
  EXPECT_EQ(DAVVerorariv::verorariv(), db) << "the same instance on every call";

  // Shut down, an instance refuses further use and the next request makes a new one.
  bool shutDown = false;
  db->shutdownWithCompletion([&](platform::ErrorPtr) { shutDown = true; });
  ASSERT_TRUE(Spin([&] { return shutDown; }));
  EXPECT_EQ(Reason([&] { users->documentWithPath("u1")->setData({{"n", 1}}, true); }, &name),
            "The client has already been shutdown.");
  EXPECT_EQ(name, "DAVIllegalStateException");
  EXPECT_NE(DAVVerorariv::verorariv(), db);
  DAVApp::resetApps();
  EXPECT_EQ(Reason([] { DAVVerorariv::verorariv(); }, &name),
            "Failed to get VavazuzeZud instance. Please call VavazuzeZud.configure() before using "
            "Verorariv");
  EXPECT_EQ(name, "DAVAppNotConfiguredException");
}

// An id so long that a refusal quoting it whole could not reach the client: the service refuses the
// write for it, the write completes with that error in seconds, the user's write behind it lands,
// and the refused one is never sent again, also not after a restart.
TEST_F(VerorarivEndToEndTest, AWriteToADocumentWhoseIdIsTooLongFailsAndTheWriteBehindItLands) {
  auto db = standIn_->Database(true);
  auto pin = db->collectionWithPath("pin")->documentWithPath(alice_);
  auto codeOf = [](platform::ErrorPtr e) { return e ? static_cast<Code>(e->code()) : Code::Ok; };
  const std::vector<size_t> lengths = {9000, 20000};
  for (size_t i = 0; i < lengths.size(); ++i) {
    SCOPED_TRACE(lengths[i]);
    auto missing = db->collectionWithPath("users")->documentWithPath(std::string(lengths[i], 'u'));
    std::optional<Code> refused;
    std::optional<Code> behind;
    missing->updateData({{"n", 1}}, [&](platform::ErrorPtr e) { refused = codeOf(e); });
    pin->setData({{"userId", alice_}, {"n", static_cast<int64_t>(i)}}, /*merge=*/true,
                 [&](platform::ErrorPtr e) { behind = codeOf(e); });
    ASSERT_TRUE(Spin([&] { return refused && behind; }))
        << "refused write done: " << refused.has_value() << ", write behind it done: " << behind.has_value();
    EXPECT_EQ(*refused, Code::InvalidArgument);
    EXPECT_EQ(*behind, Code::Ok);
    EXPECT_EQ(backend().getDocument("pin/" + alice_)["fields"]["n"], i);
  }

  // A new client over the same storage, with the service away so that nothing queued could be
  // answered before the look: no write is left to send.
  backend().stop();
  standIn_->Restart();
  db = standIn_->Database(true);
  ASSERT_TRUE(SetNetwork(db, false));
  Recorder<DAVDocumentSnapshot> cached;
  auto registration = db->collectionWithPath("pin")->documentWithPath(alice_)->addSnapshotListener(cached.block());
  // Once the cache answers, the user's writes are loaded.
  ASSERT_TRUE(Spin([&] { return !cached.snapshots.empty(); }));
  bool queued = true;
  db->workerQueue()->EnqueueBlocking([&] {
    queued = db->client()->localStore()->nextMutationBatchAfterBatchID(davedove::verorariv::model::kBatchIdUnknown) !=
             nullptr;
  });
  EXPECT_FALSE(queued);
  registration->remove();

  backend().start();
  ASSERT_TRUE(SetNetwork(db, true));
  EXPECT_EQ(WaitForWrite([&](DAVVerorarivErrorBlock done) {
              db->collectionWithPath("pin")->documentWithPath(alice_)->setData({{"n", 7}}, /*merge=*/true, done);
            }),
            Code::Ok);
  EXPECT_EQ(backend().getDocument("pin/" + alice_)["fields"]["n"], 7);
}

// Merges {"n": n} into `doc`: the server's answer, or DeadlineExceeded when none came within 30 s.
Code MergeN(const std::shared_ptr<DAVDocumentReference>& doc, int64_t n) {
  std::optional<Code> answer;
  doc->setData({{"n", n}}, /*merge=*/true, [&](platform::ErrorPtr e) {
    answer = e ? static_cast<Code>(e->code()) : Code::Ok;
  });
  if (!Spin([&] { return answer.has_value(); }, std::chrono::seconds(30))) return Code::DeadlineExceeded;
  return *answer;
}

// A user far from the service, up to a satellite link's 300 ms: every identity and document request
// crosses a link that holds each chunk of bytes for the given time each way. The client signs in,
// hears the server's snapshot, has its writes acknowledged, comes back after the service
// restarts, and refreshes its token.
class VerorarivOverASlowLinkTest : public ::testing::TestWithParam<int> {};

TEST_P(VerorarivOverASlowLinkTest, SignsInListensWritesAndComesBackAfterTheServiceRestarts) {
  const std::chrono::milliseconds oneWay(GetParam());
  vrvtest::StandIn standIn("slow-link-" + std::to_string(GetParam()));
  backend::TestBackend& backend = standIn.backend();
  backend::SlowLink http(backend.port(), oneWay);
  backend::SlowLink documents(backend.documents().port(), oneWay);
  standIn.UseHosts(http.baseURL(), documents.hostAndPort());

  ASSERT_TRUE(standIn.SignIn("alice@example.com"));
  EXPECT_GE(http.accepted(), 1) << "the sign-in went around the link";
  const std::string alice = standIn.aliceUid;
  const std::string path = "users/" + alice;
  ASSERT_TRUE(backend.setDocument(path, {{"userId", alice}, {"n", 1}}));

  auto db = standIn.Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  auto fromServer = [&](int64_t n) {
    return Spin(
        [&] {
          return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache() &&
                 IntField(recorder.snapshots.back(), "n") == n;
        },
        std::chrono::seconds(30));
  };
  auto write = [&](int64_t n) { return MergeN(doc, n); };
  ASSERT_TRUE(fromServer(1)) << "no snapshot from the server";
  // However far the service, a connection attempt lasts until it is through.
  EXPECT_EQ(documents.accepted(), 1) << "the listen took more than one connection attempt";
  ASSERT_EQ(write(2), Code::Ok);
  EXPECT_EQ(backend.getDocument(path)["fields"]["n"], 2);

  // Every stream breaks; the client reconnects through the link, resumes the listen and writes.
  backend.restart();
  ASSERT_TRUE(backend.mergeDocument(path, {{"n", 3}}));
  ASSERT_TRUE(fromServer(3)) << "the listen did not come back";
  ASSERT_EQ(write(4), Code::Ok);
  EXPECT_EQ(backend.getDocument(path)["fields"]["n"], 4);
  EXPECT_TRUE(recorder.errors.empty());

  std::optional<std::string> token, refreshed;
  platform::ErrorPtr error;
  bool done = false;
  standIn.auth->currentUser()->getIDTokenWithCompletion([&](std::optional<std::string> t, platform::ErrorPtr) {
    token = t;
    standIn.auth->currentUser()->getIDTokenForcingRefresh(true, [&](std::optional<std::string> t, platform::ErrorPtr e) {
      refreshed = t;
      error = e;
      done = true;
    });
  });
  ASSERT_TRUE(Spin([&] { return done; }, std::chrono::seconds(30)));
  ASSERT_FALSE(error) << error->description();
  ASSERT_TRUE(refreshed && token);
  EXPECT_NE(*refreshed, *token);
  EXPECT_FALSE(backend.requestsForPath("/v1/token").empty()) << "the refresh reached the service";
}

INSTANTIATE_TEST_SUITE_P(OneWayMilliseconds, VerorarivOverASlowLinkTest, ::testing::Values(50, 150, 300));

// The threads of this process by name: a pool names its workers, other threads keep the program's
// name.
std::map<std::string, int> ThreadsByName() {
  std::map<std::string, int> threads;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    ++threads[name];
  }
  return threads;
}

// The threads of the client's calls and of the relay's connections. The pools (the dispatch
// queues', gRPC's, the stand-in server's, with the threads they start) keep or add workers as the
// load comes and goes.
int UnpooledThreads(const std::map<std::string, int>& threads) {
  std::ifstream comm("/proc/self/comm");
  std::string program;
  std::getline(comm, program);
  int count = 0;
  for (const std::string& name : {program, std::string("vrv-rpc-call")}) {
    auto it = threads.find(name);
    if (it != threads.end()) count += it->second;
  }
  return count;
}

std::string ThreadsText(const std::map<std::string, int>& threads) {
  std::string text;
  for (const auto& [name, count] : threads) text += " " + name + "=" + std::to_string(count);
  return text;
}

// A laptop far from the service whose network goes off and on again and again (sleeps, wakes, a
// new Wi-Fi), each time before the streams are back, with writes made offline in between: once
// it settles, it holds as many connections and threads as before, and the last write lands. A
// shutdown then leaves none.
TEST(VerorarivNetworkCyclesTest, OffAndOnWhileConnectingLeavesNoConnectionOrThreadBehind) {
  const std::chrono::milliseconds oneWay(150);
  vrvtest::StandIn standIn("off-on-cycles");
  backend::TestBackend& backend = standIn.backend();
  backend::SlowLink documents(backend.documents().port(), oneWay);
  standIn.UseHosts(backend.baseURL(), documents.hostAndPort());
  ASSERT_TRUE(standIn.SignIn("alice@example.com"));
  const std::string alice = standIn.aliceUid;
  ASSERT_TRUE(backend.setDocument("users/" + alice, {{"userId", alice}, {"n", 1}}));

  auto db = standIn.Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  auto write = [&](int64_t n) { return MergeN(doc, n); };
  ASSERT_TRUE(Spin([&] { return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache(); },
                   std::chrono::seconds(30)));
  ASSERT_EQ(write(2), Code::Ok);
  const int connections = documents.open();
  const std::map<std::string, int> before = ThreadsByName();
  const int threads = UnpooledThreads(before);
  ASSERT_EQ(connections, 2) << "a connection for each stream";

  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_TRUE(SetNetwork(db, false));
    doc->setData({{"n", 100 + cycle}}, /*merge=*/true, nullptr);
    ASSERT_TRUE(SetNetwork(db, true));
    // Off again within the two round trips a new connection takes.
    Spin([] { return false; }, std::chrono::milliseconds(100 * (1 + cycle % 4)));
  }
  ASSERT_EQ(write(1000), Code::Ok);
  EXPECT_EQ(backend.getDocument("users/" + alice)["fields"]["n"], 1000);
  EXPECT_TRUE(SpinPolling(
      [&] { return documents.open() <= connections && UnpooledThreads(ThreadsByName()) <= threads; },
      std::chrono::seconds(3)))
      << "connections " << connections << " -> " << documents.open() << ", threads" << ThreadsText(before)
      << " ->" << ThreadsText(ThreadsByName());
  EXPECT_TRUE(recorder.errors.empty());

  // A shutdown lets go of every connection, even of one still being set up.
  standIn.ShutDownDatabase();
  EXPECT_TRUE(SpinPolling([&] { return documents.open() == 0; }, std::chrono::seconds(3))) << documents.open();
  auto next = standIn.Database(false)->collectionWithPath("users")->documentWithPath(alice);
  auto nextRegistration = next->addSnapshotListener(Recorder<DAVDocumentSnapshot>().block());
  next->setData({{"n", 2000}}, /*merge=*/true, nullptr);
  Spin([] { return false; }, std::chrono::milliseconds(30));
  standIn.ShutDownDatabase();
  EXPECT_TRUE(SpinPolling([&] { return documents.open() == 0 && UnpooledThreads(ThreadsByName()) <= threads; },
                          std::chrono::seconds(5)))
      << "connections " << documents.open() << ", threads" << ThreadsText(before) << " ->"
      << ThreadsText(ThreadsByName());
}

// A service that takes every connection and closes it at once, counting them.
class ClosingService {
 public:
  ClosingService() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), port_(vrvtest::BindFreeLoopbackPort(fd_)) {
    listening_ = port_ != 0 && ::listen(fd_, 64) == 0;
    thread_ = std::thread([this] {
      while (!stopping_) {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) < 1) continue;
        int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        ::close(connection);
        ++accepted_;
      }
    });
  }
  ~ClosingService() {
    stopping_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool listening() const { return listening_; }
  std::string hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }
  int accepted() const { return accepted_; }

 private:
  const int fd_;
  const uint16_t port_;
  bool listening_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// A service that closes every connection at once is tried again when a stream starts, at the
// streams' own pace, and not at all while the client's network is off, however long.
TEST(VerorarivNetworkCyclesTest, AServiceThatClosesEveryConnectionIsNotTriedWhileTheNetworkIsOff) {
  ClosingService closing;
  ASSERT_TRUE(closing.listening());
  vrvtest::StandIn standIn("closing-service");
  standIn.UseHosts(standIn.backend().baseURL(), closing.hostAndPort());
  ASSERT_TRUE(standIn.SignIn("alice@example.com"));
  auto db = standIn.Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());
  doc->setData({{"n", 1}}, /*merge=*/true, nullptr);
  ASSERT_TRUE(SpinPolling([&] { return closing.accepted() >= 2; })) << "the streams never tried";

  ASSERT_TRUE(SetNetwork(db, false));
  // An attempt under way as the network went off may still end here.
  Spin([] { return false; }, std::chrono::seconds(1));
  const int offline = closing.accepted();
  Spin([] { return false; }, std::chrono::seconds(6));
  EXPECT_EQ(closing.accepted(), offline) << "connections were made while the network was off";

  ASSERT_TRUE(SetNetwork(db, true));
  EXPECT_TRUE(SpinPolling([&] { return closing.accepted() > offline; })) << "no attempt once the network was on";
}

// The service's name gives first an address that drops every packet (a broken IPv6 path), then
// the one that works: the client listens and writes within a few seconds, not after the 20 s an
// attempt on the dead address may take. The name needs TLS, as the hosted service has.
TEST(VerorarivDeadAddressTest, AServiceNameWhoseFirstAddressDropsPacketsIsReachedInSeconds) {
  vrvtest::StandIn standIn("dead-address");
  backend::TestBackend& backend = standIn.backend();
  vrvtest::DeadFirstAddress named(backend);
  ASSERT_EQ(named.error(), "");
  if (!named.unsupported().empty()) GTEST_SKIP() << named.unsupported();
  standIn.UseHosts(backend.baseURL(), named.documentsHost(), /*documentsTls=*/true);
  ASSERT_TRUE(standIn.SignIn("alice@example.com"));
  const std::string alice = standIn.aliceUid;
  ASSERT_TRUE(backend.setDocument("users/" + alice, {{"userId", alice}, {"n", 1}}));

  auto doc = standIn.Database(false)->collectionWithPath("users")->documentWithPath(alice);
  Recorder<DAVDocumentSnapshot> recorder;
  const auto start = std::chrono::steady_clock::now();
  auto registration = doc->addSnapshotListener(recorder.block());
  EXPECT_TRUE(Spin([&] { return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache(); },
                   std::chrono::seconds(10)))
      << "no snapshot from the server";
  EXPECT_EQ(MergeN(doc, 2), Code::Ok);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(10))
      << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
  EXPECT_EQ(backend.getDocument("users/" + alice)["fields"]["n"], 2);
}

// A program started with the user of an earlier run still signed in takes its database and writes
// at once, while the keychain is slow to give up that user; directly, and across a slow link. The
// write is the stored user's: it completes, lands and stays in view, and no view shows what a
// signed-out run left queued, which never goes out with the user's token.
class AWriteAtStartUpTest : public ::testing::TestWithParam<int> {};

TEST_P(AWriteAtStartUpTest, BelongsToTheStoredUserWhileTheKeychainIsSlow) {
  const std::chrono::milliseconds oneWay(GetParam());
  vrvtest::StandIn standIn("start-up-write-" + std::to_string(GetParam()));
  backend::TestBackend& backend = standIn.backend();
  std::unique_ptr<backend::SlowLink> http, documents;
  if (oneWay.count() > 0) {
    http = std::make_unique<backend::SlowLink>(backend.port(), oneWay);
    documents = std::make_unique<backend::SlowLink>(backend.documents().port(), oneWay);
    standIn.UseHosts(http->baseURL(), documents->hostAndPort());
  }
  const std::string alice = standIn.aliceUid;
  const std::string path = "users/" + alice;
  ASSERT_TRUE(backend.setDocument(path, {{"userId", alice}, {"n", 0}}));

  // An earlier run, signed out and offline, left a write queued.
  auto signedOut = standIn.Database(true);
  ASSERT_TRUE(SetNetwork(signedOut, false));
  signedOut->collectionWithPath("users")->documentWithPath(alice)->setData({{"n", 666}, {"stranded", true}},
                                                                           /*merge=*/true, nullptr);
  standIn.ShutDownDatabase();
  signedOut.reset();
  ASSERT_TRUE(standIn.SignIn("alice@example.com"));

  std::unique_ptr<authtest::HeldKeychain> held;
  standIn.Restart([&] { held = std::make_unique<authtest::HeldKeychain>(std::chrono::seconds(1)); });
  auto db = standIn.Database(true);
  auto doc = db->collectionWithPath("users")->documentWithPath(alice);
  std::optional<Code> answer;
  doc->setData({{"n", 1}}, /*merge=*/true, [&](platform::ErrorPtr e) {
    answer = e ? static_cast<Code>(e->code()) : Code::Ok;
  });
  held->release();
  Recorder<DAVDocumentSnapshot> recorder;
  auto registration = doc->addSnapshotListener(recorder.block());

  ASSERT_TRUE(Spin([&] { return answer.has_value(); }, std::chrono::seconds(30))) << "the write never completed";
  EXPECT_EQ(*answer, Code::Ok);
  EXPECT_EQ(backend.getDocument(path)["fields"]["n"], 1);
  // A change in the cloud shows the listener is served from the server, with the write in place.
  ASSERT_TRUE(backend.mergeDocument(path, {{"cloud", 2}}));
  ASSERT_TRUE(Spin(
      [&] {
        return !recorder.snapshots.empty() && !recorder.snapshots.back()->metadata().isFromCache() &&
               IntField(recorder.snapshots.back(), "cloud") == 2;
      },
      std::chrono::seconds(30)))
      << "no snapshot from the server";
  EXPECT_TRUE(recorder.errors.empty());
  for (const auto& snapshot : recorder.snapshots) {
    EXPECT_EQ(IntField(snapshot, "n"), 1) << "the write left the view";
    EXPECT_FALSE((*snapshot)["stranded"].has_value()) << "a view showed the signed-out run's write";
  }
  EXPECT_FALSE(backend.getDocument(path)["fields"].contains("stranded"));
}

INSTANTIATE_TEST_SUITE_P(OneWayMilliseconds, AWriteAtStartUpTest, ::testing::Values(0, 150));

}  // namespace
