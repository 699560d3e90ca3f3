// The remote store end to end: its streams against the backend stand-in's document service on
// loopback, over the real local store.
#include "davedove/verorariv/remote/remote_store.h"

#include <arpa/inet.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <ctime>
#include <map>
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


class RemoteStoreTest : public ::testing::Test {
 protected:
  RemoteStoreTest()
      : backend_({backend::TestBackend::passwordUser("alice@example.com", kPassword), backend::TestBackend::passwordUser("bob@example.com", kPassword)},
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

model::MutationPtr Set(const std::string& path, const std::map<std::string, model::FieldValuePtr>& fields) {
  return std::make_shared<model::VRVSetMutation>(Key(path), Obj(fields), model::Precondition::None());
}

TEST_F(RemoteStoreTest, WriteBatchesAreAcknowledgedWithTheirCommitVersionOrRejected) {
  auto client = Alice();
  auto& syncer = *client->syncer;
  const std::string mine = "users/" + alice_uid_;
  // The document does not exist yet: the listen reports it deleted once current.
  core::TargetId target = client->Listen(DocumentQuery(mine));
  ASSERT_TRUE(syncer.WaitFor([&] {
    for (const auto& e : syncer.events_) {
      auto it = e.document_updates().find(Key(mine));
      if (it != e.document_updates().end() && dynamic_cast<const model::VRVDeletedDocument*>(it->second.get()))
        return true;
    }
    return false;
  }));

  model::BatchId accepted = client->Write(
      {Set(mine, {{"userId", Str(alice_uid_)}, {"name", Str("Alice")}}),
       std::make_shared<model::VRVTransformMutation>(
           Key(mine), std::vector<model::FieldTransform>{model::FieldTransform(
                          Field("seenAt"), model::ServerTimestampTransform::Get())})});
  model::BatchId refused = client->Write({Set("users/" + bob_uid_, {{"name", Str("Mallory")}})});
  model::BatchId after = client->Write({Set("customBlacklist/x", {{"userId", Str(alice_uid_)}})});

  ASSERT_TRUE(syncer.WaitFor([&] { return syncer.acks_.size() + syncer.rejected_writes_.size() >= 3; }));
  syncer.Read([&] {
    ASSERT_EQ(syncer.acks_.size(), 2u);
    EXPECT_EQ(syncer.acks_[0].batch_id, accepted);
    EXPECT_EQ(syncer.acks_[1].batch_id, after) << "a refused batch does not hold up the ones behind it";
    ASSERT_EQ(syncer.rejected_writes_.size(), 1u);
    EXPECT_EQ(syncer.rejected_writes_[0].first, refused);
    EXPECT_EQ(syncer.rejected_writes_[0].second.code(), VerorarivErrorCode::PermissionDenied);

    // The server's commit time is the batch's version and the server timestamp's value.
    const auto& ack = syncer.acks_[0];
    EXPECT_GT(ack.commit_version, model::SnapshotVersion::None());
    ASSERT_EQ(ack.results.size(), 2u);
    EXPECT_EQ(ack.results[0].version(), ack.commit_version);
    ASSERT_TRUE(ack.results[1].transformResults().has_value());
    ASSERT_EQ(ack.results[1].transformResults()->size(), 1u);
    auto stamp = std::dynamic_pointer_cast<const model::VRVTimestampValue>(ack.results[1].transformResults()->at(0));
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->internalValue().seconds(), ack.commit_version.timestamp().seconds());
    EXPECT_EQ(stamp->internalValue().nanoseconds(), ack.commit_version.timestamp().nanoseconds());
  });

  json stored = backend_.getDocument(mine);
  ASSERT_FALSE(stored.is_null());
  EXPECT_EQ(stored["fields"]["name"], "Alice");
  EXPECT_TRUE(stored["fields"]["seenAt"].contains("__timestamp"));
  EXPECT_TRUE(backend_.getDocument("users/" + bob_uid_).is_null());
  EXPECT_FALSE(backend_.getDocument("customBlacklist/x").is_null());
  // Acknowledged and rejected batches have left the queue; the stream token was kept.
  EXPECT_EQ(client->OnQueue([&] { return client->local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown); }),
            nullptr);
  EXPECT_FALSE(client->OnQueue([&] { return client->local_store->lastStreamToken(); }).empty());
  // The write comes back through the listen as the server stored it.
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {mine}));
}

TEST_F(RemoteStoreTest, RefusedTokensAreReplacedByAFreshOneBeforeReconnecting) {
  auto client = Alice();
  auto& syncer = *client->syncer;
  // A token with the right claims signed with a foreign key, then one of ours that has expired.
  backend::TokenSigner foreign(backend::TokenSigner::generateKey(), backend_.identity().signer().keyID());
  client->credentials.HandOut(foreign.sign(*backend_.identity().signer().verify(client->credentials.token())));
  client->credentials.HandOut(backend_.identity().mintIDToken(alice_uid_, std::time(nullptr) - 7200, 3600));

  core::TargetId target = client->Listen(DocumentQuery("dnsServers/default"));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"dnsServers/default"}));
  syncer.Read([&] {
    // Refused: offline at once; then back online with the fresh token.
    ASSERT_GE(syncer.online_states_.size(), 2u);
    EXPECT_EQ(syncer.online_states_.front(), OnlineState::Offline);
    EXPECT_EQ(syncer.online_states_.back(), OnlineState::Online);
  });
  EXPECT_EQ(client->credentials.forced_refreshes(), 1)
      << "each refusal makes the next fetch force a refresh; the second refusal came from a handed-out token";
}

TEST_F(RemoteStoreTest, ListenSurvivesABackendRestartAndResumesWithoutMissingAChange) {
  for (const char* id : {"a", "b", "c"})
    ASSERT_TRUE(backend_.setDocument(std::string("customBlacklist/") + id, {{"userId", alice_uid_}, {"host", id}}));
  auto client = Alice();
  auto& syncer = *client->syncer;
  core::TargetId target = client->Listen(OwnedBy("customBlacklist", alice_uid_));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"customBlacklist/a", "customBlacklist/b", "customBlacklist/c"}));
  size_t before = syncer.Read([&] { return syncer.events_.size(); });

  // The stream breaks; while the client waits to reconnect, the cloud changes.
  backend_.restart();
  ASSERT_TRUE(backend_.mergeDocument("customBlacklist/a", {{"host", "a2"}}));
  ASSERT_TRUE(backend_.deleteDocument("customBlacklist/b"));
  ASSERT_TRUE(backend_.setDocument("customBlacklist/d", {{"userId", alice_uid_}, {"host", "d"}}));

  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"customBlacklist/a", "customBlacklist/c", "customBlacklist/d"}));
  ASSERT_TRUE(syncer.WaitFor([&] {
    for (size_t i = before; i < syncer.events_.size(); ++i) {
      auto it = syncer.events_[i].document_updates().find(Key("customBlacklist/a"));
      if (it != syncer.events_[i].document_updates().end() && FieldOf(it->second, "host") == "a2") return true;
    }
    return false;
  }));
  syncer.Read([&] {
    for (size_t i = before; i < syncer.events_.size(); ++i) {
      // Resumed from the token: the unchanged document is not sent again.
      EXPECT_EQ(syncer.events_[i].document_updates().count(Key("customBlacklist/c")), 0u);
    }
    // Online, then not (Unknown, or Offline when the first retry failed too), then online again.
    const auto& states = syncer.online_states_;
    auto online = std::find(states.begin(), states.end(), OnlineState::Online);
    ASSERT_NE(online, states.end());
    EXPECT_NE(std::find_if(online, states.end(), [](OnlineState s) { return s != OnlineState::Online; }),
              states.end())
        << "the broken stream was noticed";
    EXPECT_EQ(states.back(), OnlineState::Online);
  });

  // The resumed stream keeps delivering.
  ASSERT_TRUE(backend_.deleteDocument("customBlacklist/d"));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"customBlacklist/a", "customBlacklist/c"}));
}

TEST_F(RemoteStoreTest, AUserChangeReopensBothStreams) {
  auto client = Alice();
  auto& syncer = *client->syncer;
  core::TargetId target = client->Listen(DocumentQuery("dnsServers/default"));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"dnsServers/default"}));
  client->Write({Set("pin/" + alice_uid_, {{"userId", Str(alice_uid_)}, {"pin", Str("1234")}})});
  ASSERT_TRUE(syncer.WaitFor([&] { return syncer.acks_.size() == 1; }));

  client->OnQueue([&] { client->remote_store->HandleCredentialChange(); });
  // The watch stream starts over (unknown until it hears from the server again) ...
  ASSERT_TRUE(syncer.WaitFor([&] {
    auto& s = syncer.online_states_;
    auto unknown = std::find(s.begin(), s.end(), OnlineState::Unknown);
    return unknown != s.end() && std::find(unknown, s.end(), OnlineState::Online) != s.end();
  }));
  // ... and the write stream serves the next batch.
  client->Write({Set("pin/" + alice_uid_, {{"userId", Str(alice_uid_)}, {"pin", Str("5678")}})});
  ASSERT_TRUE(syncer.WaitFor([&] { return syncer.acks_.size() == 2; }));
  EXPECT_EQ(backend_.getDocument("pin/" + alice_uid_)["fields"]["pin"], "5678");
  ASSERT_TRUE(backend_.mergeDocument("dnsServers/default", {{"primary", "203.0.113.1"}}));
  ASSERT_TRUE(syncer.WaitFor([&] {
    auto it = syncer.events_.back().document_updates().find(Key("dnsServers/default"));
    return it != syncer.events_.back().document_updates().end() && FieldOf(it->second, "primary") == "203.0.113.1";
  }));
}

TEST_F(RemoteStoreTest, DatastoreLooksUpAndCommitsOutsideTheStreams) {
  auto client = Alice();
  std::mutex mutex;
  std::condition_variable done;
  int finished = 0;
  util::StatusOr<std::vector<model::MaybeDocumentPtr>> found = util::Status(VerorarivErrorCode::Unknown, "unset");
  util::StatusOr<std::vector<model::MaybeDocumentPtr>> refused_read = found;
  util::Status committed(VerorarivErrorCode::Unknown, "unset");
  util::Status refused_commit(VerorarivErrorCode::Unknown, "unset");
  auto finish = [&](auto& slot) {
    return [&](auto result) {
      std::lock_guard<std::mutex> lock(mutex);
      slot = result;
      ++finished;
      done.notify_all();
    };
  };
  client->OnQueue([&] {
    auto& datastore = *client->datastore;
    datastore.LookupDocuments({Key("dnsServers/default"), Key("dnsServers/none")}, finish(found));
    datastore.LookupDocuments({Key("users/" + bob_uid_)}, finish(refused_read));
    datastore.CommitMutations({Set("users/" + alice_uid_, {{"name", Str("Alice")}})}, finish(committed));
    datastore.CommitMutations({Set("users/" + bob_uid_, {{"name", Str("Mallory")}})}, finish(refused_commit));
  });
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return finished == 4; }));

  ASSERT_TRUE(found.ok()) << found.status().ToString();
  ASSERT_EQ(found.value().size(), 2u);
  std::map<std::string, model::MaybeDocumentPtr> by_path;
  for (const auto& doc : found.value()) by_path[doc->key().ToString()] = doc;
  EXPECT_EQ(FieldOf(by_path["dnsServers/default"], "primary"), "192.0.2.1");
  EXPECT_TRUE(dynamic_cast<const model::VRVDeletedDocument*>(by_path["dnsServers/none"].get()));
  EXPECT_GT(by_path["dnsServers/none"]->version(), model::SnapshotVersion::None()) << "missing as of the read time";
  EXPECT_EQ(refused_read.status().code(), VerorarivErrorCode::PermissionDenied);
  EXPECT_TRUE(committed.ok()) << committed.ToString();
  EXPECT_EQ(refused_commit.code(), VerorarivErrorCode::PermissionDenied);
  EXPECT_EQ(backend_.getDocument("users/" + alice_uid_)["fields"]["name"], "Alice");
  EXPECT_TRUE(backend_.getDocument("users/" + bob_uid_).is_null());
}

// A TCP port of this machine that accepts connections and says nothing.
class SilentListener {
 public:
  // On `address` (network order).
  explicit SilentListener(in_addr_t address) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = address;
    socklen_t length = sizeof(bound);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
      return;
    }
    port_ = ntohs(bound.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
  }

  int port() const { return port_; }  // 0 when the listener could not be set up

  // The first `size` bytes the next connection sends; fewer when it ends or stays silent for 10 s.
  std::string FirstBytes(size_t size) {
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) return "";
    int connection = ::accept(fd_, nullptr, nullptr);
    if (connection < 0) return "";
    std::string bytes;
    char buffer[64];
    pollfd reading{connection, POLLIN, 0};
    while (bytes.size() < size && ::poll(&reading, 1, 10000) == 1) {
      ssize_t got = ::read(connection, buffer, std::min(sizeof(buffer), size - bytes.size()));
      if (got <= 0) break;
      bytes.append(buffer, static_cast<size_t>(got));
    }
    ::close(connection);
    return bytes;
  }

 private:
  int fd_;
  int port_ = 0;
};

TEST_F(RemoteStoreTest, AServiceThatNeverAnswersCountsAsOfflineAfterTheTimeout) {
  SilentListener silent(htonl(INADDR_LOOPBACK));
  ASSERT_NE(silent.port(), 0);
  std::string host = "127.0.0.1:" + std::to_string(silent.port());

  {
    RemoteClient client(&backend_, "alice@example.com", kPassword, host);
    auto state = [&] { return client.OnQueue([&] { return client.remote_store->online_state(); }); };
    core::QueryPtr first = DocumentQuery("dnsServers/default");
    core::TargetId target = client.Listen(first);
    ASSERT_TRUE(client.queue->IsScheduled(util::TimerId::OnlineStateTimeout));
    EXPECT_EQ(state(), OnlineState::Unknown);
    client.queue->RunScheduledOperationsUntil(util::TimerId::OnlineStateTimeout);
    EXPECT_EQ(state(), OnlineState::Offline);

    // With nothing listened to the state is unknown again; a listen that joins the connection
    // attempt still under way (it may last 20 s) counts as offline after the same timeout.
    client.OnQueue([&] {
      client.remote_store->StopListening(target);
      client.local_store->releaseQuery(first);
    });
    EXPECT_EQ(state(), OnlineState::Unknown);
    client.Listen(DocumentQuery("dnsServers/other"));
    ASSERT_TRUE(client.queue->IsScheduled(util::TimerId::OnlineStateTimeout));
    client.queue->RunScheduledOperationsUntil(util::TimerId::OnlineStateTimeout);
    EXPECT_EQ(state(), OnlineState::Offline);
    EXPECT_TRUE(client.syncer->Read([&] { return client.syncer->events_.empty(); }));
  }  // shutting down cancels the call that still hangs
}

// An IPv4 address of this machine that is not a loopback one; "" when it has none.
std::string NonLoopbackAddress() {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return "";
  std::string found;
  for (ifaddrs* i = interfaces; i && found.empty(); i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
        (i->ifa_flags & IFF_LOOPBACK)) {
      continue;
    }
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof(text))) {
      found = text;
    }
  }
  ::freeifaddrs(interfaces);
  return found;
}

TEST_F(RemoteStoreTest, TheChannelSpeaksPlainTextOnlyToALoopbackHost) {
  std::string address = NonLoopbackAddress();
  if (address.empty()) GTEST_SKIP() << "this machine has no address but loopback";
  SilentListener loopback(htonl(INADDR_LOOPBACK));
  SilentListener other(::inet_addr(address.c_str()));
  ASSERT_NE(loopback.port(), 0);
  ASSERT_NE(other.port(), 0);

  // Both ask for plain text (TLS off), as the stand-in's clients do.
  {
    RemoteClient client(&backend_, "alice@example.com", kPassword,
                        "127.0.0.1:" + std::to_string(loopback.port()));
    client.Listen(DocumentQuery("dnsServers/default"));
    EXPECT_EQ(loopback.FirstBytes(14), "PRI * HTTP/2.0") << "plain HTTP/2 to loopback";
  }
  {
    std::string host = address + ":" + std::to_string(other.port());
    RemoteClient client(&backend_, "alice@example.com", kPassword, host);
    client.Listen(DocumentQuery("dnsServers/default"));
    std::string hello = other.FirstBytes(3);
    ASSERT_EQ(hello.size(), 3u) << "nothing reached " << host;
    // A TLS handshake record: content type 22, protocol version 3.x.
    EXPECT_EQ(hello[0], '\x16') << "not TLS to " << address;
    EXPECT_EQ(hello[1], '\x03');
  }
}

// Answers every listen with a document of another project, which the client must not decode.
class MalformedListenService final : public variru::verorariv::v1::Verorariv::Service {
 public:
  grpc::Status Listen(grpc::ServerContext*,
                      grpc::ServerReaderWriter<variru::verorariv::v1::ListenResponse,
                                               variru::verorariv::v1::ListenRequest>* stream) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      listens.push_back(std::chrono::steady_clock::now());
    }
    changed.notify_all();
    variru::verorariv::v1::ListenRequest request;
    if (!stream->Read(&request)) return grpc::Status::OK;
    variru::verorariv::v1::ListenResponse bad;
    bad.mutable_document_change()->mutable_document()->set_name(
        "projects/elsewhere/databases/(default)/documents/x/y");
    bad.mutable_document_change()->add_target_ids(request.add_target().target_id());
    stream->Write(bad);
    while (stream->Read(&request)) {
    }
    return grpc::Status::OK;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::chrono::steady_clock::time_point> listens;
};

TEST_F(RemoteStoreTest, MalformedMessagesFailTheStreamNotTheProcessAndRetriesBackOff) {
  MalformedListenService service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&service);
  std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
  ASSERT_TRUE(server && port > 0);

  {
    RemoteClient client(&backend_, "alice@example.com", kPassword, "127.0.0.1:" + std::to_string(port));
    client.Listen(DocumentQuery("dnsServers/default"));
    std::unique_lock<std::mutex> lock(service.mutex);
    ASSERT_TRUE(service.changed.wait_for(lock, std::chrono::seconds(30), [&] { return service.listens.size() >= 3; }));
    // A malformed message is no sign of a working connection: the retries wait longer each time.
    EXPECT_GE(service.listens[2] - service.listens[1], std::chrono::milliseconds(500));
    lock.unlock();
    client.syncer->Read([&] {
      EXPECT_TRUE(client.syncer->events_.empty());
      EXPECT_EQ(std::count(client.syncer->online_states_.begin(), client.syncer->online_states_.end(),
                           OnlineState::Online),
                0);
      EXPECT_NE(std::find(client.syncer->online_states_.begin(), client.syncer->online_states_.end(),
                          OnlineState::Offline),
                client.syncer->online_states_.end());
    });
  }
  server->Shutdown(std::chrono::system_clock::now());
}

TEST_F(RemoteStoreTest, LimitedQueriesFollowTheServersOrder) {
  ASSERT_TRUE(backend_.setDocument("dnsServers/r1", {{"rank", 1}}));
  ASSERT_TRUE(backend_.setDocument("dnsServers/r2", {{"rank", 2}}));
  ASSERT_TRUE(backend_.setDocument("dnsServers/r3", {{"rank", 3}}));
  auto client = Alice();
  core::TargetId target = client->Listen(DocumentQuery("dnsServers")
                                             ->queryByAddingSortOrder(core::VRVSortOrder(Field("rank"), true))
                                             ->queryBySettingLimit(2));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"dnsServers/r1", "dnsServers/r2"}));
  // r3 moves to the front: it enters the first two and pushes r2 out.
  ASSERT_TRUE(backend_.mergeDocument("dnsServers/r3", {{"rank", 0}}));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"dnsServers/r1", "dnsServers/r3"}));
  ASSERT_TRUE(backend_.deleteDocument("dnsServers/r1"));
  ASSERT_TRUE(client->WaitForRemoteKeys(target, {"dnsServers/r2", "dnsServers/r3"}));
}

}  // namespace
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
