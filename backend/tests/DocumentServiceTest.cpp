// The document service over its own wire protocol: tokens, access rules, the admin interface,
// its limits and its persistence. The client's remote layer has its own end-to-end tests against
// this service.
#include "backend/src/DocumentService.h"

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <thread>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <system_error>

#include <leveldb/db.h>

#include "backend/src/BackendServer.h"
#include "backend/src/TestBackend.h"
#include "backend/src/TokenSigner.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace backend {
namespace {

namespace v1 = variru::verorariv::v1;
using json = nlohmann::json;

class DocumentServiceTest : public ::testing::Test {
 protected:
  DocumentServiceTest()
      : backend_({TestBackend::passwordUser("alice@example.com", "alice-pass"), TestBackend::passwordUser("bob@example.com", "bob-pass")},
                 {}, json{{"dnsServers/default", {{"primary", "192.0.2.1"}}}}) {
    alice_ = backend_.signIn("alice@example.com", "alice-pass");
    bob_ = backend_.signIn("bob@example.com", "bob-pass");
    connect();
  }

  void connect() {
    channel_ = grpc::CreateChannel(backend_.documentsHost(), grpc::InsecureChannelCredentials());
    stub_ = v1::Verorariv::NewStub(channel_);
  }

  std::string database() const { return "projects/" + backend_.projectId() + "/databases/(default)"; }
  std::string name(const std::string& path) const { return database() + "/documents/" + path; }

  std::unique_ptr<grpc::ClientContext> context(const std::string& token, int seconds = 20) {
    auto c = std::make_unique<grpc::ClientContext>();
    if (!token.empty()) c->AddMetadata("authorization", "Bearer " + token);
    c->AddMetadata("variru-cloud-resource-prefix", database());
    c->set_deadline(std::chrono::system_clock::now() + std::chrono::seconds(seconds));
    return c;
  }

  v1::Write set(const std::string& path, const std::map<std::string, std::string>& fields) {
    v1::Write w;
    w.mutable_update()->set_name(name(path));
    for (const auto& [k, v] : fields) (*w.mutable_update()->mutable_fields())[k].set_string_value(v);
    return w;
  }

  grpc::Status commit(const std::string& token, std::vector<v1::Write> writes, v1::CommitResponse* out = nullptr) {
    v1::CommitRequest request;
    request.set_database(database());
    for (auto& w : writes) *request.add_writes() = w;
    v1::CommitResponse response;
    auto c = context(token);
    grpc::Status s = stub_->Commit(c.get(), request, &response);
    if (out) *out = response;
    return s;
  }

  // Sends the writes on a write stream after its handshake: the stream's status once the service
  // has answered them and the client is done.
  grpc::Status writeOnStream(const std::string& token, std::vector<v1::Write> writes) {
    auto c = context(token);
    auto stream = stub_->Write(c.get());
    v1::WriteRequest request;
    request.set_database(database());
    v1::WriteResponse r;
    if (stream->Write(request) && stream->Read(&r)) {
      request.set_stream_token(r.stream_token());
      for (auto& w : writes) *request.add_writes() = w;
      stream->Write(request);
      stream->WritesDone();
      while (stream->Read(&r)) {
      }
    }
    return stream->Finish();
  }

  // found: path -> fields as JSON; missing paths map to null.
  grpc::Status get(const std::string& token, const std::vector<std::string>& paths, json* out = nullptr) {
    v1::BatchGetDocumentsRequest request;
    request.set_database(database());
    for (const auto& p : paths) request.add_documents(name(p));
    auto c = context(token);
    auto reader = stub_->BatchGetDocuments(c.get(), request);
    v1::BatchGetDocumentsResponse r;
    json result = json::object();
    while (reader->Read(&r)) {
      if (r.has_found()) {
        json fields = json::object();
        for (const auto& [k, v] : r.found().fields()) fields[k] = valueToJson(v);
        result[r.found().name().substr(database().size() + 11)] = fields;
      } else {
        result[r.missing().substr(database().size() + 11)] = nullptr;
      }
    }
    if (out) *out = result;
    return reader->Finish();
  }

  // An anonymous sign-up: all it takes to hold an ID token.
  SignedInUser signUpAnonymously() {
    httplib::Client client("127.0.0.1", backend_.port());
    auto res = client.Post("/identityservice/v3/relyingparty/signupNewUser?key=test-api-key",
                           R"({"returnSecureToken":true})", "application/json");
    EXPECT_TRUE(res && res->status == 200);
    json reply = res ? json::parse(res->body, nullptr, false) : json();
    if (!reply.is_object()) return {};
    return {reply.value("localId", ""), reply.value("idToken", ""), reply.value("refreshToken", "")};
  }

  // set() with only the given fields written, the document's others kept (created when missing).
  v1::Write merge(const std::string& path, const std::map<std::string, std::string>& fields) {
    v1::Write w = set(path, fields);
    w.mutable_update_mask();  // even empty: a merge, never a replacement
    for (const auto& [k, v] : fields) w.mutable_update_mask()->add_field_paths(k);
    return w;
  }

  // A transform write adding (or removing) the texts to the array field.
  v1::Write arrayChange(const std::string& path, const std::string& field, const std::vector<std::string>& values,
                        bool remove = false) {
    v1::Write w;
    w.mutable_transform()->set_document(name(path));
    auto* t = w.mutable_transform()->add_field_transforms();
    t->set_field_path(field);
    auto* array = remove ? t->mutable_remove_all_from_array() : t->mutable_append_missing_elements();
    for (const auto& v : values) array->add_values()->set_string_value(v);
    w.mutable_current_document()->set_exists(true);  // as the client sends a transform
    return w;
  }

  // A transform write setting the field to the time of the commit.
  v1::Write serverTime(const std::string& path, const std::string& field) {
    v1::Write w;
    w.mutable_transform()->set_document(name(path));
    auto* t = w.mutable_transform()->add_field_transforms();
    t->set_field_path(field);
    t->set_set_to_server_value(v1::DocumentTransform::FieldTransform::REQUEST_TIME);
    w.mutable_current_document()->set_exists(true);
    return w;
  }

  // "a.a.a": a field path of maps nested `segments` deep.
  static std::string nestedFieldPath(int segments) {
    std::string path = "a";
    for (int i = 1; i < segments; ++i) path += ".a";
    return path;
  }

  v1::Write erase(const std::string& path) {
    v1::Write w;
    w.set_delete_(name(path));
    return w;
  }

  static v1::Write mustExist(v1::Write w) {
    w.mutable_current_document()->set_exists(true);
    return w;
  }

  // The application's listen on a user-owned collection: "userId" == uid.
  v1::Target ownQuery(const std::string& collection, const std::string& uid) {
    v1::Target t;
    t.set_target_id(2);
    t.mutable_query()->set_parent(database() + "/documents");
    auto* q = t.mutable_query()->mutable_structured_query();
    q->add_from()->set_collection_id(collection);
    auto* f = q->mutable_where()->mutable_field_filter();
    f->mutable_field()->set_field_path("userId");
    f->set_op(v1::StructuredQuery::FieldFilter::EQUAL);
    f->mutable_value()->set_string_value(uid);
    return t;
  }

  v1::Target documentTarget(const std::string& path) {
    v1::Target t;
    t.set_target_id(4);
    t.mutable_documents()->add_documents(name(path));
    return t;
  }

  struct ListenStream {
    std::unique_ptr<grpc::ClientContext> context;
    std::unique_ptr<grpc::ClientReaderWriter<v1::ListenRequest, v1::ListenResponse>> stream;
    ListenStream() = default;
    ListenStream(ListenStream&&) = default;
    ~ListenStream() {
      if (!stream) return;
      context->TryCancel();
      stream->Finish();
    }
  };

  // On the fixture's channel unless another stub is given.
  ListenStream openListen(const std::string& token, const v1::Target& target, v1::Verorariv::Stub* stub = nullptr) {
    ListenStream l;
    l.context = context(token, 600);  // the tests end their streams themselves
    l.stream = (stub ? stub : stub_.get())->Listen(l.context.get());
    v1::ListenRequest request;
    request.set_database(database());
    *request.mutable_add_target() = target;
    l.stream->Write(request);
    return l;
  }

  // What a stream sent until its target was current (or removed, or the stream ended).
  struct Listened {
    std::vector<std::string> paths;  // named by a document change, delete or remove
    std::optional<int> filterCount;
    bool current = false;
    int changes = 0;  // document changes
  };

  Listened readUntilCurrent(ListenStream& l) {
    Listened out;
    v1::ListenResponse r;
    const size_t prefix = database().size() + 11;
    while (l.stream->Read(&r)) {
      if (r.has_document_change()) {
        out.paths.push_back(r.document_change().document().name().substr(prefix));
        ++out.changes;
      }
      if (r.has_document_delete()) out.paths.push_back(r.document_delete().document().substr(prefix));
      if (r.has_document_remove()) out.paths.push_back(r.document_remove().document().substr(prefix));
      if (r.has_filter()) out.filterCount = r.filter().count();
      if (r.has_target_change() && r.target_change().target_change_type() == v1::TargetChange::REMOVE) break;
      if (r.has_target_change() && r.target_change().target_change_type() == v1::TargetChange::CURRENT) {
        out.current = true;
        break;
      }
    }
    return out;
  }

  Listened listen(const std::string& token, v1::Target target, const std::string& resumeToken = {}) {
    target.set_resume_token(resumeToken);
    ListenStream l = openListen(token, target);
    return readUntilCurrent(l);
  }

  // A client that reads its stream on a thread of its own, as the SDK does, counting document changes.
  struct ReadingClient {
    ListenStream listen;
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    bool ended = false;  // the stream ended; `status` says how
    grpc::Status status;
    std::thread thread;

    explicit ReadingClient(ListenStream opened) : listen(std::move(opened)) {
      thread = std::thread([this] {
        v1::ListenResponse r;
        while (listen.stream->Read(&r)) {
          std::lock_guard<std::mutex> lock(mutex);
          if (r.has_document_change()) ++changes;
          changed.notify_all();
        }
        grpc::Status finished = listen.stream->Finish();
        std::lock_guard<std::mutex> lock(mutex);
        listen.stream.reset();
        status = finished;
        ended = true;
        changed.notify_all();
      });
    }
    ~ReadingClient() {
      listen.context->TryCancel();
      thread.join();
    }
    // Whether it has seen `count` document changes, waiting for them while the stream is open.
    bool sawChanges(int count) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, std::chrono::seconds(60), [&] { return changes >= count || ended; });
      return changes >= count;
    }
    int changesSeen() {
      std::lock_guard<std::mutex> lock(mutex);
      return changes;
    }
    std::string endedWith() {
      std::lock_guard<std::mutex> lock(mutex);
      return ended ? "the stream ended: " + status.error_message() : "";
    }
  };

  // A client of the user reading its stream on the target, which watches the user's document at
  // `path`, written first so that the snapshot holds it.
  std::unique_ptr<ReadingClient> readingClient(const SignedInUser& user, const std::string& path,
                                               const v1::Target& target) {
    EXPECT_TRUE(commit(user.idToken, {set(path, {{"userId", user.uid}, {"n", "0"}})}).ok());
    auto client = std::make_unique<ReadingClient>(openListen(user.idToken, target));
    EXPECT_TRUE(client->sawChanges(1));
    return client;
  }

  // Whether the user's next write of the document at `path` reaches the client, still open.
  ::testing::AssertionResult writeReaches(ReadingClient& client, const SignedInUser& user, const std::string& path) {
    const int seen = client.changesSeen();
    grpc::Status committed = commit(user.idToken, {set(path, {{"userId", user.uid}, {"n", std::to_string(seen)}})});
    if (!committed.ok()) return ::testing::AssertionFailure() << "commit refused: " << committed.error_message();
    if (!client.sawChanges(seen + 1)) return ::testing::AssertionFailure() << "never arrived; " << client.endedWith();
    if (!client.endedWith().empty()) return ::testing::AssertionFailure() << client.endedWith();
    return ::testing::AssertionSuccess();
  }

  // Reads the stream to its end and returns its status. One the service leaves open is cancelled
  // after a minute (CANCELLED), so that a test of a stream that must end fails instead of hanging.
  static grpc::Status finish(ListenStream& l) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (!done.wait_for(lock, std::chrono::seconds(60), [&] { return finished; })) l.context->TryCancel();
    });
    v1::ListenResponse r;
    while (l.stream->Read(&r)) {
    }
    grpc::Status status = l.stream->Finish();
    l.stream.reset();
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    done.notify_all();
    watchdog.join();
    return status;
  }

  TestBackend backend_;
  SignedInUser alice_;
  SignedInUser bob_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<v1::Verorariv::Stub> stub_;
};

TEST_F(DocumentServiceTest, EveryCallNeedsAValidUnexpiredTokenOfTheIdentityService) {
  EXPECT_TRUE(get(alice_.idToken, {"dnsServers/default"}).ok());

  EXPECT_EQ(get("", {"dnsServers/default"}).error_code(), grpc::StatusCode::UNAUTHENTICATED);
  // Same claims, signed with another key.
  TokenSigner other(TokenSigner::generateKey(), backend_.identity().signer().keyID());
  auto claims = backend_.identity().signer().verify(alice_.idToken);
  ASSERT_TRUE(claims);
  EXPECT_EQ(get(other.sign(*claims), {"dnsServers/default"}).error_code(), grpc::StatusCode::UNAUTHENTICATED);
  // Signed by the service but expired an hour ago.
  std::string expired = backend_.identity().mintIDToken(alice_.uid, std::time(nullptr) - 7200, 3600);
  ASSERT_FALSE(expired.empty());
  EXPECT_EQ(commit(expired, {set("users/" + alice_.uid, {{"userId", alice_.uid}})}).error_code(),
            grpc::StatusCode::UNAUTHENTICATED);
  EXPECT_TRUE(backend_.getDocument("users/" + alice_.uid).is_null()) << "a refused write changed nothing";
}

TEST_F(DocumentServiceTest, UsersReadAndWriteOnlyTheirOwnDocuments) {
  v1::CommitResponse response;
  ASSERT_TRUE(commit(alice_.idToken, {set("users/" + alice_.uid, {{"name", "Alice"}}),
                                      set("customBlacklist/a1", {{"userId", alice_.uid}, {"host", "x.test"}})},
                     &response)
                  .ok());
  ASSERT_EQ(response.write_results_size(), 2);
  EXPECT_GT(response.commit_time().seconds(), 0);

  json docs;
  ASSERT_TRUE(get(alice_.idToken, {"users/" + alice_.uid, "customBlacklist/a1", "pin/" + alice_.uid}, &docs).ok());
  EXPECT_EQ(docs["users/" + alice_.uid]["name"], "Alice");
  EXPECT_EQ(docs["customBlacklist/a1"]["host"], "x.test");
  EXPECT_TRUE(docs["pin/" + alice_.uid].is_null());

  // Bob can neither read nor take over Alice's documents, nor write reference data.
  EXPECT_EQ(get(bob_.idToken, {"customBlacklist/a1"}).error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(get(bob_.idToken, {"users/" + alice_.uid}).error_code(), grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(commit(bob_.idToken, {set("customBlacklist/a1", {{"userId", bob_.uid}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(commit(alice_.idToken, {set("customBlacklist/a1", {{"userId", bob_.uid}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED)
      << "giving a document away is a write to someone else's document";
  EXPECT_EQ(commit(alice_.idToken, {set("dnsServers/default", {{"primary", "203.0.113.9"}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(commit(alice_.idToken, {set("elsewhere/x", {{"a", "b"}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_TRUE(get(bob_.idToken, {"dnsServers/default"}).ok());

  // A refused write in a batch leaves the batch's other writes undone.
  EXPECT_EQ(commit(alice_.idToken, {set("users/" + alice_.uid, {{"name", "Changed"}}),
                                    set("users/" + bob_.uid, {{"name", "Mallory"}})})
                .error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(backend_.getDocument("users/" + alice_.uid)["fields"]["name"], "Alice");

  // Uninstall documents: anyone signed in creates them, nobody changes or reads them.
  EXPECT_TRUE(commit(bob_.idToken, {set("uninstall/u1", {{"reason", "test"}})}).ok());
  EXPECT_EQ(commit(bob_.idToken, {set("uninstall/u1", {{"reason", "again"}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(get(bob_.idToken, {"uninstall/u1"}).error_code(), grpc::StatusCode::PERMISSION_DENIED);
}

TEST_F(DocumentServiceTest, MalformedRequestsAreRefusedWithoutHarmingTheService) {
  v1::Write noOperation;
  EXPECT_EQ(commit(alice_.idToken, {noOperation}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  v1::Write foreign = set("users/" + alice_.uid, {{"a", "b"}});
  foreign.mutable_update()->set_name("projects/other/databases/(default)/documents/users/x");
  EXPECT_EQ(commit(alice_.idToken, {foreign}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  v1::Write oddPath = set("users/" + alice_.uid, {{"a", "b"}});
  oddPath.mutable_update()->set_name(name("users"));
  EXPECT_EQ(commit(alice_.idToken, {oddPath}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  v1::Write badMask = set("users/" + alice_.uid, {{"a", "b"}});
  badMask.mutable_update_mask()->add_field_paths("a..b");
  EXPECT_EQ(commit(alice_.idToken, {badMask}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  v1::Write emptyValue = set("users/" + alice_.uid, {});
  (*emptyValue.mutable_update()->mutable_fields())["x"];  // no value type
  EXPECT_EQ(commit(alice_.idToken, {emptyValue}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  // A field path of 14,000 segments (28 kB) into an existing document: the model follows paths,
  // and the encoder values, by recursion.
  ASSERT_TRUE(commit(alice_.idToken, {set("users/" + alice_.uid, {{"a", "b"}})}).ok());
  grpc::Status deep = commit(alice_.idToken, {serverTime("users/" + alice_.uid, nestedFieldPath(14000))});
  EXPECT_EQ(deep.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << deep.error_message();
  EXPECT_NE(deep.error_message().find("nest deeper than 20 levels"), std::string::npos) << deep.error_message();
  // Still serving.
  EXPECT_TRUE(commit(alice_.idToken, {set("users/" + alice_.uid, {{"a", "b"}})}).ok());
}

TEST_F(DocumentServiceTest, AdminInterfaceChangesDocumentsThatSurviveARestart) {
  ASSERT_TRUE(backend_.setDocument("admin/masterPin", {{"pin", "1234"}, {"tries", 3}, {"nested", {{"a", 1}}}}));
  ASSERT_TRUE(backend_.mergeDocument("admin/masterPin", {{"tries", 2}, {"nested", {{"b", 2}}}}));
  json doc = backend_.getDocument("admin/masterPin");
  EXPECT_EQ(doc["fields"]["pin"], "1234");
  EXPECT_EQ(doc["fields"]["tries"], 2);
  EXPECT_EQ(doc["fields"]["nested"], (json{{"a", 1}, {"b", 2}}));

  auto v1 = backend_.setDocument("admin/blockModes", {{"modes", json::array({"strict", "relaxed"})}});
  auto v2 = backend_.deleteDocument("admin/blockModes");
  ASSERT_TRUE(v1 && v2);
  EXPECT_GT(*v2, *v1);
  EXPECT_TRUE(backend_.getDocument("admin/blockModes").is_null());
  EXPECT_FALSE(backend_.setDocument("admin", {{"a", 1}})) << "a collection path is not a document";
  EXPECT_FALSE(backend_.setDocument("admin/x", json::array({1}))) << "fields must be an object";

  // The seed document is kept as changed across a restart, not seeded again.
  ASSERT_TRUE(backend_.mergeDocument("dnsServers/default", {{"primary", "198.51.100.1"}}));
  backend_.restart();
  connect();
  std::vector<json> admin = backend_.listDocuments("admin");
  ASSERT_EQ(admin.size(), 1u);
  EXPECT_EQ(admin[0]["path"], "admin/masterPin");
  EXPECT_EQ(admin[0]["fields"]["tries"], 2);
  EXPECT_EQ(backend_.getDocument("dnsServers/default")["fields"]["primary"], "198.51.100.1");
  // Tokens signed before the restart stay valid: the signing key persisted.
  json docs;
  ASSERT_TRUE(get(alice_.idToken, {"admin/masterPin"}, &docs).ok());
  EXPECT_EQ(docs["admin/masterPin"]["pin"], "1234");
}


// A user-owned document cannot be planted for another user: not under one's own uid with his
// "userId", nor under his uid before he writes it. The application's own writes pass the rules.
TEST_F(DocumentServiceTest, OwnershipCannotBePlantedAndTheApplicationsOwnWritesPass) {
  ASSERT_TRUE(backend_.setDocument("users/alice-profile", {{"userId", alice_.uid}, {"devices", json::array()}}));
  const std::string aliceList = "customBlacklist/" + alice_.uid;
  // The application's writes: the block mode merged in (creating the document), the public IP
  // added and the previous one withdrawn, a device added to the profile, the uninstall record.
  ASSERT_TRUE(commit(alice_.idToken, {merge(aliceList, {{"blockMode", "2"}, {"userId", alice_.uid}}),
                                      arrayChange(aliceList, "latestIpAddress", {"203.0.113.7"})})
                  .ok());
  ASSERT_TRUE(commit(alice_.idToken, {mustExist(merge(aliceList, {{"blockMode", "1"}})),
                                      arrayChange(aliceList, "latestIpAddress", {"203.0.113.8"}),
                                      mustExist(merge(aliceList, {{"blockMode", "1"}})),
                                      arrayChange(aliceList, "latestIpAddress", {"203.0.113.7"}, true)})
                  .ok());
  ASSERT_TRUE(commit(alice_.idToken, {mustExist(merge("users/alice-profile", {})),
                                      arrayChange("users/alice-profile", "devices", {"macOS"})})
                  .ok());
  ASSERT_TRUE(commit(alice_.idToken, {set("uninstall/record-1", {{"userId", alice_.uid}, {"device", "macOS"}})}).ok());
  EXPECT_EQ(backend_.getDocument(aliceList)["fields"]["latestIpAddress"], json::array({"203.0.113.8"}));
  EXPECT_EQ(backend_.getDocument("users/alice-profile")["fields"]["devices"], json::array({"macOS"}));

  SignedInUser mallory = signUpAnonymously();
  ASSERT_FALSE(mallory.uid.empty());
  const auto denied = grpc::StatusCode::PERMISSION_DENIED;
  // Under his own uid, naming Alice: by set, by merge, by a transform of "userId".
  const std::string malloryPin = "pin/" + mallory.uid;
  EXPECT_EQ(commit(mallory.idToken, {set(malloryPin, {{"userId", alice_.uid}, {"pin", "9999"}})}).error_code(), denied);
  EXPECT_EQ(commit(mallory.idToken, {set("customBlacklist/" + mallory.uid, {{"userId", alice_.uid}})}).error_code(),
            denied);
  ASSERT_TRUE(commit(mallory.idToken, {set(malloryPin, {{"userId", mallory.uid}, {"pin", "9999"}})}).ok());
  EXPECT_EQ(commit(mallory.idToken, {merge(malloryPin, {{"userId", alice_.uid}})}).error_code(), denied);
  EXPECT_EQ(commit(mallory.idToken, {arrayChange(malloryPin, "userId", {alice_.uid})}).error_code(), denied);
  // Under a uid of Alice's before she writes it, naming himself or nobody.
  const std::string alicePin = "pin/" + alice_.uid;
  EXPECT_EQ(commit(mallory.idToken, {set(alicePin, {{"userId", mallory.uid}, {"pin", "9999"}})}).error_code(), denied);
  EXPECT_EQ(commit(mallory.idToken, {set(alicePin, {{"pin", "9999"}})}).error_code(), denied);
  // One refused document refuses the whole commit.
  EXPECT_EQ(commit(mallory.idToken, {set("users/" + mallory.uid, {{"userId", mallory.uid}}),
                                     set("customBlacklist/" + mallory.uid, {{"userId", alice_.uid}})})
                .error_code(),
            denied);
  EXPECT_TRUE(backend_.getDocument("users/" + mallory.uid).is_null());
  EXPECT_TRUE(backend_.getDocument(alicePin).is_null());
  EXPECT_EQ(backend_.getDocument(malloryPin)["fields"]["userId"], mallory.uid);

  // Planted before these rules: the document named after Alice is hers whatever it says, and
  // Mallory's own names her in vain. Alice reads and fixes hers; Mallory can do neither.
  ASSERT_TRUE(backend_.setDocument(aliceList, {{"userId", mallory.uid}, {"latestIpAddress", json::array()}}));
  ASSERT_TRUE(backend_.setDocument(malloryPin, {{"userId", alice_.uid}, {"pin", "9999"}}));
  EXPECT_EQ(get(mallory.idToken, {aliceList}).error_code(), denied);
  EXPECT_EQ(commit(mallory.idToken, {merge(aliceList, {{"blockMode", "0"}})}).error_code(), denied);
  EXPECT_TRUE(listen(mallory.idToken, ownQuery("customBlacklist", mallory.uid)).paths.empty());
  EXPECT_TRUE(get(alice_.idToken, {aliceList}).ok());
  // Her next IP update, as the application sends it, takes it back; giving it away stays refused.
  EXPECT_EQ(commit(alice_.idToken, {merge(aliceList, {{"userId", bob_.uid}})}).error_code(), denied);
  grpc::Status update = commit(alice_.idToken, {mustExist(merge(aliceList, {{"blockMode", "1"}})),
                                                arrayChange(aliceList, "latestIpAddress", {"203.0.113.9"})});
  EXPECT_TRUE(update.ok()) << update.error_message();
  json taken = backend_.getDocument(aliceList)["fields"];
  EXPECT_EQ(taken["userId"], alice_.uid);
  EXPECT_EQ(taken["latestIpAddress"], json::array({"203.0.113.9"}));
  EXPECT_EQ(listen(alice_.idToken, ownQuery("customBlacklist", alice_.uid)).paths, std::vector<std::string>{aliceList});
  EXPECT_TRUE(commit(alice_.idToken, {merge(aliceList, {{"userId", alice_.uid}})}).ok());
  Listened pins = listen(alice_.idToken, ownQuery("pin", alice_.uid));
  EXPECT_TRUE(pins.current);
  EXPECT_TRUE(pins.paths.empty()) << ::testing::PrintToString(pins.paths);
  EXPECT_EQ(get(alice_.idToken, {malloryPin}).error_code(), denied);
}

// A precondition's answer tells of the document as it stands: another user is refused the same way
// whether or not the document exists, and only whoever may write it hears the precondition.
TEST_F(DocumentServiceTest, OnlyWhoMayWriteADocumentHearsItsPrecondition) {
  auto mustBeMissing = [](v1::Write w) {
    w.mutable_current_document()->set_exists(false);
    return w;
  };
  auto updatedAt = [](v1::Write w, int64_t seconds) {
    w.mutable_current_document()->mutable_update_time()->set_seconds(seconds);
    return w;
  };
  const std::string alicePin = "pin/" + alice_.uid;
  ASSERT_TRUE(commit(alice_.idToken, {set("customBlacklist/a1", {{"userId", alice_.uid}}),
                                      set(alicePin, {{"userId", alice_.uid}, {"pin", "1357"}}),
                                      set("uninstall/from-alice", {{"reason", "test"}})})
                  .ok());
  const auto denied = grpc::StatusCode::PERMISSION_DENIED;
  // Named after Alice: hers whether it exists (her PIN) or not (her profile).
  for (const std::string& path : {alicePin, "users/" + alice_.uid}) {
    for (const v1::Write& w : {mustExist(set(path, {{"userId", bob_.uid}})), mustBeMissing(set(path, {{"userId", bob_.uid}})),
                               updatedAt(merge(path, {{"pin", "0000"}}), 1), mustExist(erase(path)), erase(path)}) {
      grpc::Status s = commit(bob_.idToken, {w});
      EXPECT_EQ(s.error_code(), denied) << path << " " << w.ShortDebugString() << ": " << s.error_message();
    }
  }
  // Named hers by "userId", reference data, and records nobody changes.
  for (const v1::Write& w : {mustBeMissing(set("customBlacklist/a1", {{"userId", bob_.uid}})),
                             updatedAt(merge("customBlacklist/a1", {{"userId", bob_.uid}}), 1),
                             mustBeMissing(set("dnsServers/default", {{"primary", "203.0.113.9"}})),
                             mustBeMissing(set("uninstall/from-alice", {{"reason", "again"}}))}) {
    grpc::Status s = commit(bob_.idToken, {w});
    EXPECT_EQ(s.error_code(), denied) << w.ShortDebugString() << ": " << s.error_message();
  }
  // Alice hears the preconditions of her own documents.
  EXPECT_EQ(commit(alice_.idToken, {mustBeMissing(set("customBlacklist/a1", {{"userId", alice_.uid}}))}).error_code(),
            grpc::StatusCode::ALREADY_EXISTS);
  EXPECT_EQ(commit(alice_.idToken, {mustExist(merge("users/" + alice_.uid, {{"userId", alice_.uid}}))}).error_code(),
            grpc::StatusCode::NOT_FOUND);
  EXPECT_EQ(commit(alice_.idToken, {updatedAt(merge(alicePin, {{"pin", "2468"}}), 1)}).error_code(),
            grpc::StatusCode::FAILED_PRECONDITION);
  EXPECT_EQ(backend_.getDocument(alicePin)["fields"]["pin"], "1357");
  EXPECT_TRUE(backend_.getDocument("users/" + alice_.uid).is_null());
}

// A resume token is the client's word: a forged one must not list other users' documents, nor
// their deletions, nor count them in the existence filter.
TEST_F(DocumentServiceTest, AResumedListenSendsOnlyWhatTheCallerMayRead) {
  ASSERT_TRUE(commit(bob_.idToken, {set("customBlacklist/" + bob_.uid, {{"userId", bob_.uid}}),
                                    set("customBlacklist/bob-2", {{"userId", bob_.uid}}),
                                    set("customBlacklist/bob-3", {{"userId", bob_.uid}})})
                  .ok());
  ASSERT_TRUE(commit(bob_.idToken, {erase("customBlacklist/bob-3")}).ok());
  ASSERT_TRUE(commit(alice_.idToken, {set("customBlacklist/" + alice_.uid, {{"userId", alice_.uid}}),
                                      set("customBlacklist/alice-2", {{"userId", alice_.uid}})})
                  .ok());
  ASSERT_TRUE(commit(alice_.idToken, {erase("customBlacklist/alice-2")}).ok());
  // Planted before the rules: named after Bob, it is Bob's.
  ASSERT_TRUE(backend_.setDocument("pin/" + bob_.uid, {{"userId", alice_.uid}, {"pin", "9999"}}));

  backend_.restart();  // whose each deleted document was is kept with it
  connect();

  const std::string zeros(8, '\0');
  Listened query = listen(alice_.idToken, ownQuery("customBlacklist", alice_.uid), zeros);
  ASSERT_TRUE(query.current);
  EXPECT_EQ(query.paths, (std::vector<std::string>{"customBlacklist/" + alice_.uid, "customBlacklist/alice-2"}));
  EXPECT_EQ(query.filterCount, 1);

  Listened pins = listen(alice_.idToken, ownQuery("pin", alice_.uid), zeros);
  ASSERT_TRUE(pins.current);
  EXPECT_TRUE(pins.paths.empty()) << ::testing::PrintToString(pins.paths);
  EXPECT_EQ(pins.filterCount, 0);
}

TEST_F(DocumentServiceTest, OversizedCommitsAndTooManyStreamsOfOneUserAreRefused) {
  std::vector<v1::Write> many;
  for (size_t i = 0; i <= kMaxCommitWrites; ++i)
    many.push_back(set("customBlacklist/a" + std::to_string(i), {{"userId", alice_.uid}}));
  EXPECT_EQ(commit(alice_.idToken, many).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  many.pop_back();
  EXPECT_TRUE(commit(alice_.idToken, many).ok()) << "the bound itself is allowed";
  const std::string big(kMaxCommitBytes, 'x');
  grpc::Status tooBig = commit(alice_.idToken, {set("users/" + alice_.uid, {{"blob", big}})});
  EXPECT_EQ(tooBig.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << tooBig.error_message();
  EXPECT_TRUE(backend_.getDocument("users/" + alice_.uid).is_null());
  // Half again over the bound, in a commit and on a write stream: the service's own final answer,
  // never the transport's "try again later", which a client retries for ever.
  const std::string sixMiB(6 << 20, 'x');
  grpc::Status farTooBig = commit(alice_.idToken, {set("users/" + alice_.uid, {{"blob", sixMiB}})});
  EXPECT_EQ(farTooBig.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << farTooBig.error_message();
  grpc::Status ended = writeOnStream(alice_.idToken, {set("users/" + alice_.uid, {{"blob", sixMiB}})});
  EXPECT_EQ(ended.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << ended.error_message();
  // What one request may hold is still bounded.
  EXPECT_EQ(commit(alice_.idToken, {set("users/" + alice_.uid, {{"blob", std::string(kMaxRequestBytes, 'x')}})})
                .error_code(),
            grpc::StatusCode::RESOURCE_EXHAUSTED);
  EXPECT_TRUE(backend_.getDocument("users/" + alice_.uid).is_null());

  std::vector<ListenStream> open;
  for (int i = 0; i < kMaxStreamsPerUser; ++i) {
    open.push_back(openListen(alice_.idToken, documentTarget("users/" + alice_.uid)));
    ASSERT_TRUE(readUntilCurrent(open.back()).current) << "stream " << i;
  }
  ListenStream refused = openListen(alice_.idToken, documentTarget("users/" + alice_.uid));
  ASSERT_FALSE(readUntilCurrent(refused).current);
  EXPECT_EQ(refused.stream->Finish().error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
  refused.stream.reset();
  // Other users are not held back, and a closed stream frees its place.
  ListenStream bobs = openListen(bob_.idToken, documentTarget("users/" + bob_.uid));
  EXPECT_TRUE(readUntilCurrent(bobs).current);
  open.pop_back();
  // The service frees the place once it has seen the stream end.
  bool reopened = false;
  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       !reopened && std::chrono::steady_clock::now() < give_up;) {
    ListenStream again = openListen(alice_.idToken, documentTarget("users/" + alice_.uid));
    reopened = readUntilCurrent(again).current;
  }
  EXPECT_TRUE(reopened);
}

// A refused stream can end after every stream its user had open: it took no slot and frees none.
TEST(StreamSlotsTest, ARefusedSlotEndingAfterAllTheTakenOnesFreesNothing) {
  auto slots = std::make_unique<StreamSlots>();
  std::vector<std::unique_ptr<StreamSlots::Slot>> open;
  auto takeAll = [&] {
    for (int i = 0; i < kMaxStreamsPerUser; ++i) {
      open.push_back(std::make_unique<StreamSlots::Slot>(*slots, "alice"));
      ASSERT_TRUE(open.back()->taken()) << i;
    }
  };
  takeAll();
  auto refused = std::make_unique<StreamSlots::Slot>(*slots, "alice");
  EXPECT_FALSE(refused->taken());
  EXPECT_TRUE(StreamSlots::Slot(*slots, "bob").taken());
  open.clear();
  EXPECT_EQ(slots->open("alice"), 0);
  refused.reset();
  EXPECT_EQ(slots->open("alice"), 0);
  takeAll();
  EXPECT_FALSE(StreamSlots::Slot(*slots, "alice").taken());
  EXPECT_EQ(slots->open("alice"), kMaxStreamsPerUser);
}

// A document over what a client can receive stops its owner's sync for good: no write, of a client
// or of the admin interface, may leave one, while one stored before the bound still reads and deletes.
TEST_F(DocumentServiceTest, NoWriteLeavesADocumentOverTheBoundAndAnOlderOneStillReadsAndDeletes) {
  auto namesASizeOverTheBound = [](const std::string& message) {
    std::smatch size;
    return std::regex_search(message, size, std::regex("([0-9]+) bytes")) &&
           std::stoull(size[1]) > kMaxDocumentBytes;
  };
  // The profile grown by merges and a transform, 300 kB at a time: the fourth is refused, and with
  // it the whole commit.
  const std::string profile = "users/" + alice_.uid;
  const std::string chunk(300000, 'c');
  ASSERT_TRUE(commit(alice_.idToken, {merge(profile, {{"userId", alice_.uid}, {"part0", chunk}})}).ok());
  ASSERT_TRUE(commit(alice_.idToken, {merge(profile, {{"part1", chunk}})}).ok());
  ASSERT_TRUE(commit(alice_.idToken, {arrayChange(profile, "devices", {chunk})}).ok());
  const std::string aliceList = "customBlacklist/" + alice_.uid;
  for (const v1::Write& growth : {merge(profile, {{"part3", chunk}}), arrayChange(profile, "devices", {chunk + "2"})}) {
    grpc::Status grown = commit(alice_.idToken, {set(aliceList, {{"userId", alice_.uid}}), growth});
    EXPECT_EQ(grown.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << grown.error_message();
    EXPECT_NE(grown.error_message().find(profile), std::string::npos) << grown.error_message();
    EXPECT_TRUE(namesASizeOverTheBound(grown.error_message())) << grown.error_message();
  }
  EXPECT_TRUE(backend_.getDocument(aliceList).is_null());
  json stored = backend_.getDocument(profile)["fields"];
  EXPECT_FALSE(stored.contains("part3"));
  EXPECT_EQ(stored["devices"].size(), 1u);
  // Created over the bound at once.
  EXPECT_EQ(commit(bob_.idToken, {set("users/" + bob_.uid, {{"blob", std::string(kMaxDocumentBytes, 'b')}})})
                .error_code(),
            grpc::StatusCode::INVALID_ARGUMENT);

  // A shared document grown through the admin interface: 400, naming the document and its size.
  httplib::Client admin("127.0.0.1", backend_.port());
  admin.set_bearer_token_auth(backend_.server().adminToken());
  const std::string shared = "/admin/v1/documents/dnsServers/default";
  const std::string half(600000, 'h');
  auto first = admin.Patch(shared, json{{"notes1", half}}.dump(), "application/json");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200) << first->body;
  auto second = admin.Patch(shared, json{{"notes2", half}}.dump(), "application/json");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 400);
  std::string why = json::parse(second->body, nullptr, false).value("error", "");
  EXPECT_NE(why.find("dnsServers/default"), std::string::npos) << why;
  EXPECT_TRUE(namesASizeOverTheBound(why)) << why;
  EXPECT_FALSE(backend_.getDocument("dnsServers/default")["fields"].contains("notes2"));

  // Stored by an earlier version, before the bound: read, refused more, deleted.
  const std::string pin = "pin/" + alice_.uid;
  v1::Document old;
  old.set_name(name(pin));
  backend_.stop();
  {
    (*old.mutable_fields())["userId"].set_string_value(alice_.uid);
    (*old.mutable_fields())["blob"].set_string_value(std::string(2 * kMaxDocumentBytes, 'o'));
    old.mutable_create_time()->set_seconds(std::time(nullptr) - 3600);
    *old.mutable_update_time() = old.create_time();
    leveldb::DB* raw = nullptr;
    ASSERT_TRUE(leveldb::DB::Open(leveldb::Options(), backend_.dataDir() + "/documents", &raw).ok());
    std::unique_ptr<leveldb::DB> db(raw);
    ASSERT_TRUE(db->Put(leveldb::WriteOptions(), "doc/" + pin, old.SerializeAsString()).ok());
  }
  backend_.start();
  connect();
  json docs;
  ASSERT_TRUE(get(alice_.idToken, {pin}, &docs).ok());
  EXPECT_EQ(docs[pin]["blob"].get<std::string>().size(), 2 * kMaxDocumentBytes);
  EXPECT_EQ(commit(alice_.idToken, {merge(pin, {{"pin", "1234"}})}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_TRUE(commit(alice_.idToken, {erase(pin)}).ok());
  EXPECT_TRUE(backend_.getDocument(pin).is_null());
}

// A value of maps nested `levels` deep around a text.
v1::Value nestedMap(int levels) {
  v1::Value value;
  value.set_string_value("x");
  for (int i = 0; i < levels; ++i) {
    v1::Value outer;
    (*outer.mutable_map_value()->mutable_fields())["a"] = std::move(value);
    value = std::move(outer);
  }
  return value;
}

// A document stored nesting deeper than the store can read back stops every user's data, not only
// its writer's: no write may leave one, whether by a deep field path or by a deep value at a path.
TEST_F(DocumentServiceTest, NoWriteNestsADocumentDeeperThanValuesMayAndTheStoreReopens) {
  const std::string bobsDocument = "users/" + bob_.uid;
  ASSERT_TRUE(commit(bob_.idToken, {set(bobsDocument, {{"userId", bob_.uid}, {"name", "Bob"}})}).ok());
  SignedInUser anyone = signUpAnonymously();
  const std::string own = "users/" + anyone.uid;
  ASSERT_TRUE(commit(anyone.idToken, {set(own, {{"userId", anyone.uid}})}).ok());

  // As deep as a value may nest (a field's value at depth 20): taken.
  ASSERT_TRUE(commit(anyone.idToken, {serverTime(own, nestedFieldPath(21))}).ok());
  // A transform of 67 bytes; a merge whose mask reaches as deep; a value within the bound put at a
  // path within the bound, 40 maps deep together.
  v1::Write deepMask = merge(own, {{"userId", anyone.uid}});
  deepMask.mutable_update_mask()->add_field_paths(nestedFieldPath(34));
  v1::Write deepValue = arrayChange(own, nestedFieldPath(20), {});
  *deepValue.mutable_transform()->mutable_field_transforms(0)->mutable_append_missing_elements()->add_values() =
      nestedMap(20);
  for (const v1::Write& write : {serverTime(own, nestedFieldPath(34)), deepMask, deepValue}) {
    grpc::Status refused = commit(anyone.idToken, {write});
    EXPECT_EQ(refused.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << refused.error_message();
    EXPECT_NE(refused.error_message().find("nest deeper than 20 levels"), std::string::npos)
        << refused.error_message();
  }

  backend_.restart();
  connect();
  json docs;
  ASSERT_TRUE(get(bob_.idToken, {bobsDocument}, &docs).ok());
  EXPECT_EQ(docs[bobsDocument]["name"], "Bob");
  // The deepest document a write may leave reads back whole.
  ASSERT_TRUE(get(anyone.idToken, {own}, &docs).ok());
  json field = docs[own]["a"];
  for (int depth = 1; depth < 21 && field.is_object(); ++depth) field = field["a"];
  EXPECT_TRUE(field.is_object() && field.contains("__timestamp")) << docs[own];
}

// The encoding of a document with the "userId" and a field "deep" of maps nested `levels` deep, as an
// earlier version could store it; built as bytes, since building the message recurses as deep.
std::string deeplyNestedDocument(const std::string& name, const std::string& userId, int levels) {
  auto header = [](int field, size_t length) {  // a length-delimited field's tag and length
    std::string out(1, static_cast<char>(field << 3 | 2));
    for (; length >= 0x80; length >>= 7) out += static_cast<char>(length | 0x80);
    return out + static_cast<char>(length);
  };
  // From the innermost value outwards, reversed, so that each level costs its own header alone.
  std::string reversed = "x";
  std::string head = header(v1::Value::kStringValueFieldNumber, 1);
  reversed.append(head.rbegin(), head.rend());
  for (int i = 0; i < levels; ++i) {
    const std::string entry = header(1, 1) + "a" + header(2, reversed.size());
    const std::string map = header(v1::MapValue::kFieldsFieldNumber, entry.size() + reversed.size());
    head = header(v1::Value::kMapValueFieldNumber, map.size() + entry.size() + reversed.size()) + map + entry;
    reversed.append(head.rbegin(), head.rend());
  }
  const std::string value(reversed.rbegin(), reversed.rend());
  const std::string entry = header(1, 4) + "deep" + header(2, value.size()) + value;
  v1::Document top;
  top.set_name(name);
  (*top.mutable_fields())["userId"].set_string_value(userId);
  top.mutable_create_time()->set_seconds(std::time(nullptr) - 3600);
  *top.mutable_update_time() = top.create_time();
  return top.SerializeAsString() + header(v1::Document::kFieldsFieldNumber, entry.size()) + entry;
}

// A store that an earlier version left holding such a document still opens with everyone's data; the
// document is set aside, listed by the admin interface, and deleted there or replaced whole.
TEST_F(DocumentServiceTest, AStoreHoldingADocumentNestedTooDeepOpensAndTheDocumentCanGo) {
  const std::string bobsDocument = "users/" + bob_.uid;
  ASSERT_TRUE(commit(bob_.idToken, {set(bobsDocument, {{"userId", bob_.uid}, {"name", "Bob"}})}).ok());
  const std::string deep = "customBlacklist/" + alice_.uid;  // hers by its name
  const std::string alsoDeep = "customBlacklist/replaced";  // hers by its "userId"
  const std::map<std::string, std::string> planted = {{deep, deeplyNestedDocument(name(deep), alice_.uid, 50000)},
                                                      {alsoDeep, deeplyNestedDocument(name(alsoDeep), alice_.uid, 25)}};
  backend_.stop();
  {
    leveldb::DB* raw = nullptr;
    ASSERT_TRUE(leveldb::DB::Open(leveldb::Options(), backend_.dataDir() + "/documents", &raw).ok());
    std::unique_ptr<leveldb::DB> db(raw);
    for (const auto& [path, bytes] : planted) ASSERT_TRUE(db->Put(leveldb::WriteOptions(), "doc/" + path, bytes).ok());
  }
  backend_.start();
  connect();
  json docs;
  ASSERT_TRUE(get(bob_.idToken, {bobsDocument}, &docs).ok());
  EXPECT_EQ(docs[bobsDocument]["name"], "Bob");

  std::map<std::string, json> listed;
  for (const json& doc : backend_.listDocuments("customBlacklist")) listed[doc["path"]] = doc;
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[deep]["tooDeep"], true);
  EXPECT_FALSE(listed[deep].contains("fields"));
  EXPECT_EQ(listed[alsoDeep]["tooDeep"], true) << "deeper than a client may take it, though not than the parser";
  EXPECT_EQ(backend_.getDocument(deep), listed[deep]);
  // No client can take it: a lookup answers it missing.
  ASSERT_TRUE(get(alice_.idToken, {deep}, &docs).ok());
  EXPECT_TRUE(docs.contains(deep) && docs[deep].is_null()) << docs;
  // Its owner may not merge into what cannot be read, and hears why; nobody else hears of it.
  grpc::Status merged = commit(alice_.idToken, {merge(deep, {{"host", "x.test"}})});
  EXPECT_EQ(merged.error_code(), grpc::StatusCode::FAILED_PRECONDITION) << merged.error_message();
  EXPECT_NE(merged.error_message().find("nests deeper than 20 levels"), std::string::npos) << merged.error_message();
  EXPECT_EQ(commit(bob_.idToken, {merge(deep, {{"host", "x.test"}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  EXPECT_EQ(commit(bob_.idToken, {set(alsoDeep, {{"userId", bob_.uid}})}).error_code(),
            grpc::StatusCode::PERMISSION_DENIED);
  ASSERT_TRUE(backend_.deleteDocument(deep));
  ASSERT_TRUE(commit(alice_.idToken, {set(alsoDeep, {{"userId", alice_.uid}, {"host", "y.test"}})}).ok());

  backend_.restart();
  connect();
  std::vector<json> left = backend_.listDocuments("customBlacklist");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]["fields"], (json{{"userId", alice_.uid}, {"host", "y.test"}}));
  ASSERT_TRUE(get(bob_.idToken, {bobsDocument}, &docs).ok());
  EXPECT_EQ(docs[bobsDocument]["name"], "Bob");
}

// An answer stays within a bound its request sets: an array transform's result is not the whole
// array, and a lookup answers each document once, refusing one that would carry too much.
TEST_F(DocumentServiceTest, AnAnswerStaysWithinABoundSetByItsRequest) {
  const std::string profile = "users/" + alice_.uid;
  ASSERT_TRUE(commit(alice_.idToken, {set(profile, {{"userId", alice_.uid}})}).ok());
  std::vector<v1::Write> unions;
  for (int i = 0; i < 200; ++i)
    unions.push_back(arrayChange(profile, "devices", {std::to_string(i) + std::string(1000, 'd')}));
  v1::CommitResponse answer;
  grpc::Status committed = commit(alice_.idToken, unions, &answer);
  ASSERT_TRUE(committed.ok()) << committed.error_message();
  EXPECT_LT(answer.ByteSizeLong(), 8000u) << "a request of 200 kB";
  ASSERT_EQ(answer.write_results_size(), 200);
  for (const auto& result : answer.write_results()) {
    ASSERT_EQ(result.transform_results_size(), 1);
    EXPECT_EQ(result.transform_results(0).value_type_case(), v1::Value::kNullValue);
  }
  EXPECT_EQ(backend_.getDocument(profile)["fields"]["devices"].size(), 200u);

  // The answers as they come: each document's name, and the status.
  auto lookup = [&](const std::vector<std::string>& paths, std::vector<std::string>* answered) {
    v1::BatchGetDocumentsRequest request;
    request.set_database(database());
    for (const auto& p : paths) request.add_documents(name(p));
    auto c = context(alice_.idToken);
    auto reader = stub_->BatchGetDocuments(c.get(), request);
    v1::BatchGetDocumentsResponse r;
    while (reader->Read(&r)) answered->push_back(r.has_found() ? r.found().name() : r.missing());
    return reader->Finish();
  };
  std::vector<std::string> answered;
  ASSERT_TRUE(lookup(std::vector<std::string>(1000, profile), &answered).ok());
  EXPECT_EQ(answered, std::vector<std::string>{name(profile)});

  // Documents of a megabyte, seventeen together past the bound: refused before any is sent.
  std::vector<std::string> large;
  for (int i = 0; i < 17; ++i) {
    large.push_back("dnsServers/large" + std::to_string(i));
    ASSERT_TRUE(backend_.setDocument(large.back(), {{"blob", std::string(kMaxDocumentBytes - 1000, 'b')}}));
  }
  answered.clear();
  grpc::Status tooMuch = lookup(large, &answered);
  EXPECT_EQ(tooMuch.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << tooMuch.error_message();
  EXPECT_NE(tooMuch.error_message().find(std::to_string(kMaxBatchGetBytes)), std::string::npos)
      << tooMuch.error_message();
  EXPECT_TRUE(answered.empty());
  large.pop_back();
  answered.clear();
  EXPECT_TRUE(lookup(large, &answered).ok()) << "the bound itself is answered";
  EXPECT_EQ(answered.size(), 16u);
}

// A client that never reads must not make the service keep every later commit for it: its stream
// ends once it is too far behind, while a reading listener gets every change.
TEST_F(DocumentServiceTest, AListenerThatNeverReadsIsEndedInsteadOfHoldingEveryCommit) {
  const std::string path = "users/" + alice_.uid;
  ListenStream stalled = openListen(alice_.idToken, documentTarget(path));
  ASSERT_TRUE(readUntilCurrent(stalled).current);
  ListenStream reading = openListen(alice_.idToken, documentTarget(path));
  ASSERT_TRUE(readUntilCurrent(reading).current);
  std::mutex mutex;
  std::condition_variable changed;
  int seen = 0;
  std::thread reader([&] {
    v1::ListenResponse r;
    while (reading.stream->Read(&r)) {
      if (!r.has_document_change()) continue;
      std::lock_guard<std::mutex> lock(mutex);
      ++seen;
      changed.notify_all();
    }
  });

  // Well past the bound and anything the transport buffers on the way. The reading listener gets
  // each change before the next commit, however loaded the machine.
  const std::string blob(1000000, 'b');  // under the document bound
  const int commits = static_cast<int>(2 * kMaxUnsentBytesPerStream / blob.size()) + 8;
  for (int i = 0; i < commits; ++i) {
    grpc::Status committed = commit(alice_.idToken, {set(path, {{"blob", blob}, {"n", std::to_string(i)}})});
    std::unique_lock<std::mutex> lock(mutex);
    if (!committed.ok() || !changed.wait_for(lock, std::chrono::seconds(60), [&] { return seen > i; })) {
      ADD_FAILURE() << "commit " << i << ": " << committed.error_message();
      break;
    }
  }

  // The stream was ended while the commits came in; without that it would wait here for ever.
  std::mutex drainMutex;
  std::condition_variable drainedOrGaveUp;
  bool drained = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(drainMutex);
    if (!drainedOrGaveUp.wait_for(lock, std::chrono::seconds(60), [&] { return drained; }))
      stalled.context->TryCancel();
  });
  int received = 0;
  v1::ListenResponse r;
  while (stalled.stream->Read(&r))
    if (r.has_document_change()) ++received;
  {
    std::lock_guard<std::mutex> lock(drainMutex);
    drained = true;
  }
  drainedOrGaveUp.notify_all();
  watchdog.join();
  grpc::Status ended = stalled.stream->Finish();
  stalled.stream.reset();
  EXPECT_EQ(ended.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << ended.error_message();
  EXPECT_LT(received, commits);

  reading.context->TryCancel();
  reader.join();
  EXPECT_EQ(seen, commits);
}

TEST_F(DocumentServiceTest, AListenWhoseReaderCannotStartIsRefusedAndLeavesNoSubscriber) {
  backend_.documents().setThreadStarterForTesting([](std::function<void()>) -> std::thread {
    throw std::system_error(EAGAIN, std::generic_category(), "no thread for the test");
  });
  ListenStream failed = openListen(alice_.idToken, documentTarget("users/" + alice_.uid));
  ASSERT_FALSE(readUntilCurrent(failed).current);
  EXPECT_EQ(failed.stream->Finish().error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED);
  failed.stream.reset();
  EXPECT_EQ(backend_.documents().store().subscriberCount(), 0u);
  // The next commit reaches no stream that is gone.
  EXPECT_TRUE(commit(alice_.idToken, {set("users/" + alice_.uid, {{"userId", alice_.uid}})}).ok());

  backend_.documents().setThreadStarterForTesting(
      [](std::function<void()> run) { return std::thread(std::move(run)); });
  Listened listened = listen(alice_.idToken, documentTarget("users/" + alice_.uid));
  EXPECT_TRUE(listened.current);
  EXPECT_EQ(listened.changes, 1);
}

// A stream is charged only for what it sends. A merge of a few hundred bytes that leaves another
// user's documents larger, together, than one stream may hold ends none of Bob's streams, not even
// one on the same collection.
TEST_F(DocumentServiceTest, ASmallCommitOfOneUserEndsNoOtherUsersStream) {
  const std::string bobsDocument = "customBlacklist/bob-1";
  auto bob = readingClient(bob_, bobsDocument, ownQuery("customBlacklist", bob_.uid));

  const std::string blob(900000, 'a');
  const size_t documents = kMaxUnsentBytesPerStream / blob.size() + 2;
  std::vector<v1::Write> touchAll;
  for (size_t i = 0; i < documents; ++i) {
    const std::string path = "customBlacklist/alice-" + std::to_string(i);
    ASSERT_TRUE(commit(alice_.idToken, {set(path, {{"userId", alice_.uid}, {"blob", blob}})}).ok());
    touchAll.push_back(merge(path, {{"n", "1"}}));
  }
  ASSERT_TRUE(commit(alice_.idToken, touchAll).ok());

  EXPECT_TRUE(writeReaches(*bob, bob_, bobsDocument));
}

// Three routes to the service's memory at once, each by clients that never read: one stream sending
// large requests, streams over their accounts' own large documents (each snapshot charged as it
// waits), and the accounts for them signed up anonymously, free, so that no per-user cap holds
// them. The streams holding the most are ended; Bob, who reads, is served throughout.
TEST_F(DocumentServiceTest, StreamsThatFloodOrNeverReadAreEndedWhileAReadingClientIsServed) {
  const std::string bobsDocument = "users/" + bob_.uid;
  auto bob = readingClient(bob_, bobsDocument, documentTarget(bobsDocument));

  // Clients whose flow-control windows never grow: the transport takes a few kilobytes of what
  // they do not read, and the service holds the rest.
  grpc::ChannelArguments frugal;
  frugal.SetInt(GRPC_ARG_HTTP2_BDP_PROBE, 0);
  auto hostile = v1::Verorariv::NewStub(
      grpc::CreateCustomChannel(backend_.documentsHost(), grpc::InsecureChannelCredentials(), frugal));

  // Each account keeps 14 MB of its own; their streams' snapshots exceed the bound of all together.
  const std::string blob(900000, 'h');
  const int accounts = 4, documents = 16, streamsPerAccount = 5;
  std::vector<SignedInUser> signedUp;
  for (int a = 0; a < accounts; ++a) {
    signedUp.push_back(signUpAnonymously());
    const SignedInUser& account = signedUp.back();
    ASSERT_FALSE(account.idToken.empty());
    for (int d = 0; d < documents; ++d)
      ASSERT_TRUE(commit(account.idToken, {set("customBlacklist/" + account.uid + "-" + std::to_string(d),
                                               {{"userId", account.uid}, {"blob", blob}})})
                      .ok());
  }
  std::vector<ListenStream> neverRead;
  for (const auto& account : signedUp)
    for (int i = 0; i < streamsPerAccount; ++i)
      neverRead.push_back(openListen(account.idToken, ownQuery("customBlacklist", account.uid), hostile.get()));
  ASSERT_GT(neverRead.size() * documents * blob.size(), 2 * kMaxHeldBytesTotal);

  // Requests of 4 MB behind a snapshot that the client does not read: the stream holds them unhandled.
  SignedInUser flooding = signUpAnonymously();
  for (int d = 0; d < 2; ++d)
    ASSERT_TRUE(commit(flooding.idToken, {set("customBlacklist/" + flooding.uid + "-" + std::to_string(d),
                                              {{"userId", flooding.uid}, {"blob", blob}})})
                    .ok());
  ListenStream flood = openListen(flooding.idToken, ownQuery("customBlacklist", flooding.uid), hostile.get());
  v1::ListenRequest large;
  large.set_database(std::string(4000000, 'd'));
  large.mutable_add_target()->set_target_id(1);
  large.mutable_add_target()->mutable_documents()->add_documents(name("users/" + flooding.uid));
  const int floodRequests = static_cast<int>(4 * kMaxUnsentBytesPerStream / large.ByteSizeLong());
  int sent = 0;
  while (sent < floodRequests && flood.stream->Write(large)) ++sent;
  EXPECT_LT(sent, floodRequests) << "the service took every request";
  grpc::Status flooded = finish(flood);
  EXPECT_EQ(flooded.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << flooded.error_message();

  // Read now, every stream either ends or becomes current.
  int ended = 0, current = 0;
  for (auto& l : neverRead) {
    if (readUntilCurrent(l).current) {
      ++current;
      continue;
    }
    grpc::Status status = l.stream->Finish();
    l.stream.reset();
    EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << status.error_message();
    ++ended;
  }
  EXPECT_GT(ended, 0);
  EXPECT_GT(current, 0) << "the bound of all streams holds more than one";
  EXPECT_TRUE(writeReaches(*bob, bob_, bobsDocument));
}

// A failure inside one stream, on any of its threads, ends that stream with an error; the service
// and every other stream go on.
TEST_F(DocumentServiceTest, AFailureInsideOneStreamEndsThatStreamAlone) {
  const std::string bobsDocument = "users/" + bob_.uid;
  auto bob = readingClient(bob_, bobsDocument, documentTarget(bobsDocument));

  struct Case {
    const char* step;
    grpc::StatusCode code;
  };
  for (Case c : {Case{"read", grpc::StatusCode::INTERNAL}, Case{"request", grpc::StatusCode::RESOURCE_EXHAUSTED},
                 Case{"changes", grpc::StatusCode::INTERNAL}}) {
    SCOPED_TRACE(c.step);
    const std::string step = c.step;
    backend_.documents().setStreamFaultForTesting([&](const std::string& uid, const std::string& at) {
      if (uid != alice_.uid || at != step) return;
      if (step == "request") throw std::bad_alloc();
      throw std::runtime_error("failure for the test");
    });
    ListenStream failing = openListen(alice_.idToken, documentTarget("users/" + alice_.uid));
    if (step == "changes") {
      ASSERT_TRUE(readUntilCurrent(failing).current);
      EXPECT_TRUE(commit(alice_.idToken, {set("users/" + alice_.uid, {{"userId", alice_.uid}})}).ok())
          << "the commit stands whatever a stream makes of it";
    }
    EXPECT_FALSE(readUntilCurrent(failing).current);
    EXPECT_EQ(failing.stream->Finish().error_code(), c.code);
    failing.stream.reset();
    backend_.documents().setStreamFaultForTesting(nullptr);
    EXPECT_TRUE(writeReaches(*bob, bob_, bobsDocument));
  }
  EXPECT_TRUE(listen(alice_.idToken, documentTarget("users/" + alice_.uid)).current);
}

namespace fs = std::filesystem;

// Name and size of every file of a LevelDB folder that holds data (not its text logs).
std::map<std::string, uintmax_t> filesOf(const std::string& dir) {
  std::map<std::string, uintmax_t> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename();
    if (name.rfind("LOG", 0) != 0) files[name] = fs::file_size(entry.path());
  }
  return files;
}

// The store holds PINs and e-mail addresses: its own alone, and never emptied over a damaged folder.
TEST_F(DocumentServiceTest, TheStoreIsItsOwnersAloneAndADamagedOneRefusesToStartUntouched) {
  ASSERT_TRUE(backend_.setDocument("pin/" + alice_.uid, {{"userId", alice_.uid}, {"pin", "1357"}}));
  backend_.restart();  // the log becomes a table
  connect();
  const std::string store = backend_.dataDir() + "/documents";
  struct stat st {};
  ASSERT_EQ(::stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& entry : fs::directory_iterator(store)) {
    ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
  }

  auto startOver = [&](const std::string& dataDir, std::string* error) {
    BackendOptions options;
    options.dataDir = dataDir;
    options.quiet = true;
    BackendServer server(options);
    return server.start(error);
  };

  // The CURRENT file lost: LevelDB would start empty and delete the tables.
  backend_.stop();
  ASSERT_TRUE(fs::remove(store + "/CURRENT"));
  const auto files = filesOf(store);
  ASSERT_TRUE(std::any_of(files.begin(), files.end(),
                          [](const auto& f) { return f.first.find(".ldb") != std::string::npos; }));
  std::string error;
  EXPECT_FALSE(startOver(backend_.dataDir(), &error));
  EXPECT_NE(error.find(store), std::string::npos) << error;
  EXPECT_NE(error.find("CURRENT"), std::string::npos) << error;
  EXPECT_EQ(filesOf(store), files);

  // A damaged record in the log: an acknowledged write would be dropped without a word.
  TestBackend other({}, {}, json{{"dnsServers/default", {{"primary", "192.0.2.1"}}}});
  ASSERT_TRUE(other.setDocument("pin/someone", {{"userId", "someone"}, {"pin", std::string(300, '7')}}));
  other.stop();
  const std::string otherStore = other.dataDir() + "/documents";
  std::string log;
  for (const auto& [file, size] : filesOf(otherStore))
    if (file.size() > 4 && file.compare(file.size() - 4, 4, ".log") == 0) log = otherStore + "/" + file;
  ASSERT_FALSE(log.empty());
  const auto size = fs::file_size(log);
  {
    std::fstream f(log, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 150));  // inside the last document's PIN
    f.put('X');
  }
  const auto damaged = filesOf(otherStore);
  error.clear();
  EXPECT_FALSE(startOver(other.dataDir(), &error));
  EXPECT_NE(error.find(otherStore), std::string::npos) << error;
  EXPECT_EQ(filesOf(otherStore), damaged);
}

// A refusal travels in the call's trailing metadata, which a client takes only up to 8 KiB: one that
// quoted a long path whole never reached its caller. Every route refuses a path with a segment over
// 1,500 bytes, with INVALID_ARGUMENT and a message of a few hundred bytes however long the path; a
// Listen stream loses only that target and goes on serving the others.
TEST_F(DocumentServiceTest, EveryRouteRefusesAPathWithASegmentOverTheBoundWithAShortMessage) {
  constexpr size_t kFewHundredBytes = 400;
  auto refusedShortly = [&](const std::string& what, grpc::StatusCode code, const std::string& message) {
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    if (code != grpc::StatusCode::INVALID_ARGUMENT || message.size() > kFewHundredBytes ||
        message.find("longer than 1500 bytes") == std::string::npos)
      result = ::testing::AssertionFailure() << what << ": code " << code << ", " << message.size() << " bytes: "
                                             << message.substr(0, 300);
    return result;
  };
  auto shortly = [&](const std::string& what, const grpc::Status& status) {
    return refusedShortly(what, status.error_code(), status.error_message());
  };
  const std::string own = "users/" + alice_.uid;
  ASSERT_TRUE(commit(alice_.idToken, {set(own, {{"userId", alice_.uid}, {"n", "0"}})}).ok());

  for (size_t length : {size_t{1501}, size_t{9000}, size_t{20000}}) {
    SCOPED_TRACE(length);
    const std::string path = "users/" + std::string(length, 'l');
    // An update of a missing document (the application's updateData), a set that would create it
    // (the rules let the user own it), and a deletion.
    EXPECT_TRUE(shortly("update", commit(alice_.idToken, {mustExist(set(path, {{"n", "1"}}))})));
    EXPECT_TRUE(shortly("set", commit(alice_.idToken, {set(own, {{"n", "2"}}), set(path, {{"userId", alice_.uid}})})));
    EXPECT_TRUE(shortly("delete", commit(alice_.idToken, {erase(path)})));
    EXPECT_TRUE(shortly("write stream", writeOnStream(alice_.idToken, {mustExist(set(path, {{"n", "1"}}))})));
    EXPECT_TRUE(shortly("lookup", get(alice_.idToken, {own, path})));
  }
  EXPECT_EQ(backend_.getDocument(own)["fields"]["n"], "0") << "a refused commit changed nothing";
  EXPECT_TRUE(backend_.listDocuments("users").size() == 1u);

  // One stream: the user's own document, then a document and a query that no route takes, and a
  // request naming a database of 20 kB.
  ListenStream l;
  l.context = context(alice_.idToken, 60);
  l.stream = stub_->Listen(l.context.get());
  auto add = [&](const v1::Target& target, const std::string& database) {
    v1::ListenRequest request;
    request.set_database(database);
    *request.mutable_add_target() = target;
    return l.stream->Write(request);
  };
  ASSERT_TRUE(add(documentTarget(own), database()));
  v1::Target longDocument = documentTarget("users/" + std::string(9000, 'l'));
  longDocument.set_target_id(10);
  v1::Target longCollection = ownQuery(std::string(2000, 'c'), alice_.uid);
  longCollection.set_target_id(11);
  v1::Target elsewhere = documentTarget(own);
  elsewhere.set_target_id(12);
  ASSERT_TRUE(add(longDocument, database()));
  ASSERT_TRUE(add(longCollection, database()));
  ASSERT_TRUE(add(elsewhere, std::string(20000, 'd')));
  std::map<int32_t, v1::TargetChange> removed;
  bool current = false;
  v1::ListenResponse r;
  while ((removed.size() < 3 || !current) && l.stream->Read(&r)) {
    const auto& change = r.target_change();
    if (!r.has_target_change() || change.target_ids_size() != 1) continue;
    if (change.target_change_type() == v1::TargetChange::REMOVE) removed[change.target_ids(0)] = change;
    if (change.target_change_type() == v1::TargetChange::CURRENT) current = change.target_ids(0) == 4;
  }
  ASSERT_TRUE(current);
  ASSERT_EQ(removed.size(), 3u);
  for (int32_t id : {10, 11}) {
    const auto& cause = removed[id].cause();
    EXPECT_TRUE(refusedShortly("target " + std::to_string(id), static_cast<grpc::StatusCode>(cause.code()),
                               cause.message()));
  }
  EXPECT_EQ(removed[12].cause().code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_LE(removed[12].cause().message().size(), kFewHundredBytes);
  // The user's own target is still served.
  ASSERT_TRUE(commit(alice_.idToken, {set(own, {{"userId", alice_.uid}, {"n", "3"}})}).ok());
  bool changed = false;
  while (!changed && l.stream->Read(&r))
    changed = r.has_document_change() && r.document_change().document().fields().at("n").string_value() == "3";
  EXPECT_TRUE(changed);
}

// A segment of 1,500 bytes is still a segment, on every route and in the admin interface alike, and
// a refusal that names such a path quotes a cut of it. One stored over the bound by an earlier
// version, which no client can delete now, the admin interface still can.
TEST_F(DocumentServiceTest, ASegmentAtTheBoundIsTakenEverywhereAndARefusalQuotesACutOfIt) {
  const std::string atBound = "users/" + std::string(1500, 'b');
  grpc::Status missing = commit(alice_.idToken, {mustExist(set(atBound, {{"n", "1"}}))});
  EXPECT_EQ(missing.error_code(), grpc::StatusCode::NOT_FOUND);
  EXPECT_LE(missing.error_message().size(), 400u) << missing.error_message().size();
  EXPECT_EQ(missing.error_message().rfind("No document to update: users/bbb", 0), 0u) << missing.error_message();
  EXPECT_NE(missing.error_message().find("\xE2\x80\xA6 (1306 bytes cut)"), std::string::npos)
      << missing.error_message();
  ASSERT_TRUE(commit(alice_.idToken, {set(atBound, {{"userId", alice_.uid}})}).ok());
  EXPECT_TRUE(writeOnStream(alice_.idToken, {mustExist(set(atBound, {{"userId", alice_.uid}, {"n", "2"}}))}).ok());
  json docs;
  ASSERT_TRUE(get(alice_.idToken, {atBound}, &docs).ok());
  EXPECT_EQ(docs[atBound]["n"], "2");
  ListenStream l = openListen(alice_.idToken, documentTarget(atBound));
  Listened listened = readUntilCurrent(l);
  EXPECT_TRUE(listened.current);
  EXPECT_EQ(listened.paths, std::vector<std::string>{atBound});

  std::string error;
  EXPECT_TRUE(backend_.documents().adminSet("pin/" + std::string(1500, 'p'), {{"pin", "1"}}, false, &error)) << error;
  EXPECT_FALSE(backend_.documents().adminSet("pin/" + std::string(20000, 'p'), {{"pin", "1"}}, false, &error));
  EXPECT_NE(error.find("longer than 1500 bytes"), std::string::npos) << error.substr(0, 300);
  EXPECT_LE(error.size(), 400u);

  const std::string legacy = "users/" + std::string(2000, 'o');
  v1::Write write = set(legacy, {{"userId", alice_.uid}});
  ASSERT_EQ(backend_.documents().store().commit({write}, nullptr).code, 0);
  EXPECT_EQ(commit(alice_.idToken, {erase(legacy)}).error_code(), grpc::StatusCode::INVALID_ARGUMENT);
  EXPECT_TRUE(backend_.documents().adminDelete(legacy, &error)) << error.substr(0, 300);
  EXPECT_EQ(backend_.documents().store().get(legacy), nullptr);
}

}  // namespace
}  // namespace backend
