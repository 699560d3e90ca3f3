// The sync engine, local store and remote store against a scripted document service that answers
// inconsistently, or with what the client cannot decode: the process lives on, listeners keep
// their registrations, pending writes stay pending, and every retry backs off.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/core/sync_engine.h"
#include "davedove/verorariv/core/tests/core_testutil.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/field_transform.h"
#include "davedove/verorariv/model/transform_operations.h"
#include "davedove/verorariv/remote/datastore.h"
#include "davedove/verorariv/remote/grpc_connection.h"
#include "davedove/verorariv/remote/remote_store.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/executor_libdispatch.h"
#include "platform/dispatch/Queue.h"
#include "platform/utilities/Logger.h"
#include "variru/verorariv/v1/verorariv.grpc.pb.h"

namespace davedove {
namespace verorariv {
namespace core {
namespace {

namespace v1 = variru::verorariv::v1;
using Clock = std::chrono::steady_clock;
using testutil::Field;
using testutil::Key;
using testutil::Obj;
using testutil::Str;

constexpr char kProject[] = "hostile-project";
constexpr std::chrono::seconds kDeadline(60);

std::string Name(const std::string& path) {
  return std::string("projects/") + kProject + "/databases/(default)/documents/" + path;
}

// ---------------------------------------------------------------- the service

using ListenStream = grpc::ServerReaderWriter<v1::ListenResponse, v1::ListenRequest>;
using WriteStream = grpc::ServerReaderWriter<v1::WriteResponse, v1::WriteRequest>;

// A document service that plays the test's script on each connection (numbered from 0); after
// the script the connection stays open, answering removals, until the client ends it, or ends at
// once with the status `end_with` gives for the connection when that is set.
class ScriptedService final : public v1::Verorariv::Service {
 public:
  std::function<void(int, ListenStream*)> listen = [](int, ListenStream*) {};
  std::function<void(int, WriteStream*)> write = [](int, WriteStream*) {};
  std::function<grpc::Status(int)> end_with;

  grpc::Status Listen(grpc::ServerContext*, ListenStream* stream) override {
    int connection = Begin(&listen_starts_);
    listen(connection, stream);
    if (end_with) return end_with(connection);
    Serve(stream);
    return grpc::Status::OK;
  }

  grpc::Status Write(grpc::ServerContext*, WriteStream* stream) override {
    int connection = Begin(&write_starts_);
    write(connection, stream);
    if (end_with) return end_with(connection);
    v1::WriteRequest request;
    while (stream->Read(&request)) {
    }
    return grpc::Status::OK;
  }

  // Answers removals until the client ends the connection.
  static void Serve(ListenStream* stream) {
    v1::ListenRequest request;
    while (stream->Read(&request)) {
      if (request.target_change_case() == v1::ListenRequest::kRemoveTarget) {
        v1::ListenResponse removed;
        removed.mutable_target_change()->set_target_change_type(v1::TargetChange::REMOVE);
        removed.mutable_target_change()->add_target_ids(request.remove_target());
        stream->Write(removed);
      }
    }
  }

  // Runs `f` under the service's lock and wakes the waiters.
  template <typename F>
  auto Locked(F f) {
    std::unique_lock<std::mutex> lock(mutex_);
    struct Notify {
      std::condition_variable& changed;
      ~Notify() { changed.notify_all(); }
    } notify{changed_};
    return f();
  }
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, done);
  }
  // Read under the lock (inside Locked or WaitFor).
  const std::vector<Clock::time_point>& listen_starts() const { return listen_starts_; }
  const std::vector<Clock::time_point>& write_starts() const { return write_starts_; }
  // Once `window` has passed since the first stream of each kind (both must have started): how
  // many Listen and how many Write streams started within `window` of their kind's first.
  std::pair<long, long> StreamsInFirstWindow(Clock::duration window) {
    auto in_window = [window](const std::vector<Clock::time_point>& starts) {
      return static_cast<long>(std::count_if(starts.begin(), starts.end(),
                                             [&](Clock::time_point t) { return t < starts[0] + window; }));
    };
    Clock::time_point last_first = Locked([&] { return std::max(listen_starts_[0], write_starts_[0]); });
    std::this_thread::sleep_until(last_first + window);
    return Locked([&] { return std::make_pair(in_window(listen_starts_), in_window(write_starts_)); });
  }

 private:
  int Begin(std::vector<Clock::time_point>* starts) {
    return Locked([&] {
      starts->push_back(Clock::now());
      return static_cast<int>(starts->size()) - 1;
    });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> listen_starts_;
  std::vector<Clock::time_point> write_starts_;
};

// The service on a free loopback port for the life of the test.
class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port_);
    builder.RegisterService(&service_);
    if (receive_limit_ > 0) builder.SetMaxReceiveMessageSize(receive_limit_);
    server_ = builder.BuildAndStart();
    ASSERT_TRUE(server_ && port_ > 0);
    log_token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      if (record.level != 3 || record.service != "[Davedove/Verorariv]") return;
      std::lock_guard<std::mutex> lock(log_mutex_);
      errors_logged_.push_back(record.message);
    });
  }
  void TearDown() override {
    platform::VULRemoveLogObserver(log_token_);
    if (server_) server_->Shutdown(std::chrono::system_clock::now());
  }

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // The error-level messages of the database that contain `text`.
  size_t ErrorsLogged(const std::string& text) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    size_t count = 0;
    for (const auto& message : errors_logged_) count += message.find(text) != std::string::npos;
    return count;
  }

  ScriptedService service_;
  // The service's transport limit on what it receives; gRPC's default when 0.
  int receive_limit_ = 0;

 private:
  int port_ = 0;
  std::unique_ptr<grpc::Server> server_;
  platform::VULLogObserverToken log_token_ = 0;
  std::mutex log_mutex_;
  std::vector<std::string> errors_logged_;
};

// ---------------------------------------------------------------- scripts

v1::ListenResponse Target(v1::TargetChange::TargetChangeType type, std::vector<int32_t> ids,
                          const std::string& resume_token = "") {
  v1::ListenResponse response;
  response.mutable_target_change()->set_target_change_type(type);
  for (int32_t id : ids) response.mutable_target_change()->add_target_ids(id);
  response.mutable_target_change()->set_resume_token(resume_token);
  return response;
}

// A consistent snapshot of every target at `seconds`.
v1::ListenResponse Snapshot(int64_t seconds) {
  v1::ListenResponse response = Target(v1::TargetChange::NO_CHANGE, {}, "r" + std::to_string(seconds));
  response.mutable_target_change()->mutable_read_time()->set_seconds(seconds);
  return response;
}

v1::ListenResponse Doc(const std::string& name, std::vector<int32_t> ids, int64_t updated) {
  v1::ListenResponse response;
  v1::Document* document = response.mutable_document_change()->mutable_document();
  document->set_name(name);
  (*document->mutable_fields())["owner"].set_string_value("alice");
  document->mutable_create_time()->set_seconds(1);
  document->mutable_update_time()->set_seconds(updated);
  for (int32_t id : ids) response.mutable_document_change()->add_target_ids(id);
  return response;
}

// Reads until the client adds a target; its id, or -1 when the connection ended first.
int32_t ReadAddTarget(ListenStream* stream, bool* documents = nullptr) {
  v1::ListenRequest request;
  while (stream->Read(&request)) {
    if (request.target_change_case() != v1::ListenRequest::kAddTarget) continue;
    if (documents) *documents = request.add_target().has_documents();
    return request.add_target().target_id();
  }
  return -1;
}

model::MutationPtr SetAlice() {
  return std::make_shared<model::VRVSetMutation>(Key("users/alice"), Obj({{"owner", Str("alice")}}),
                                                 model::Precondition::None());
}

// A set of users/<id> padded with `padding` bytes.
model::MutationPtr SetUser(const std::string& id, size_t padding) {
  return std::make_shared<model::VRVSetMutation>(
      Key("users/" + id), Obj({{"owner", Str("alice")}, {"pad", Str(std::string(padding, 'x'))}}),
      model::Precondition::None());
}

model::MutationPtr StampAlice() {
  return std::make_shared<model::VRVTransformMutation>(
      Key("users/alice"),
      std::vector<model::FieldTransform>{
          model::FieldTransform(Field("at"), model::ServerTimestampTransform::Get())});
}

// A document change for `name` whose message is exactly `bytes` long.
v1::ListenResponse DocOfSize(const std::string& name, int32_t target, size_t bytes) {
  v1::ListenResponse response = Doc(name, {target}, 5);
  std::string* pad = (*response.mutable_document_change()->mutable_document()->mutable_fields())["pad"]
                         .mutable_string_value();
  // Lengths around the padding may take a byte more or less as it grows: a few rounds settle it.
  for (int round = 0; round < 8 && response.ByteSizeLong() != bytes; ++round) {
    size_t size = response.ByteSizeLong();
    if (size < bytes) {
      pad->append(bytes - size, 'x');
    } else {
      pad->resize(pad->size() - std::min(pad->size(), size - bytes));
    }
  }
  return response;
}

// Reads the handshake and answers it with tokens of the connection; false when the connection
// ended first.
bool AnswerHandshake(int connection, WriteStream* stream) {
  v1::WriteRequest request;
  if (!stream->Read(&request)) return false;
  v1::WriteResponse handshake;
  handshake.set_stream_id("s");
  handshake.set_stream_token("t" + std::to_string(connection));
  return stream->Write(handshake);
}

void AddResult(v1::WriteResponse* response, bool with_transform_result) {
  v1::WriteResult* result = response->add_write_results();
  result->mutable_update_time()->set_seconds(1234);
  if (with_transform_result) result->add_transform_results()->mutable_timestamp_value()->set_seconds(1234);
}

// ---------------------------------------------------------------- the client

class StaticCredentials : public auth::CredentialsProvider {
 public:
  void GetToken(auth::TokenListener completion) override {
    completion(auth::Token("token", auth::User("alice")));
  }
  void InvalidateToken() override {}
  void SetCredentialChangeListener(auth::CredentialChangeListener listener) override {
    if (listener) listener(auth::User("alice"));
  }
};

// Local store (memory), remote store and sync engine of one client of the scripted service; it
// records what the sync engine reports.
class SyncClient : public SyncEngineCallback {
 public:
  explicit SyncClient(const std::string& host)
      : queue(std::make_shared<util::AsyncQueue>(std::make_unique<util::ExecutorLibdispatch>(
            platform::dispatch::Queue::serial("com.variru.davedove.verorariv")))) {
    DatabaseInfo info(model::DatabaseId(kProject, model::DatabaseId::kDefault), "hostile", host,
                      /*ssl_enabled=*/false);
    queue->EnqueueBlocking([&] {
      local_store = std::make_unique<local::VRVLocalStore>(
          local::VRVMemoryPersistence::persistenceWithEagerGC(), auth::User("alice"));
      local_store->start();
      datastore = std::make_shared<remote::Datastore>(info, queue, &credentials_);
      remote_store = std::make_unique<remote::RemoteStore>(local_store.get(), datastore, queue, nullptr);
      sync_engine = std::make_unique<SyncEngine>(local_store.get(), remote_store.get(), auth::User("alice"));
      sync_engine->SetCallback(this);
      remote_store->set_sync_engine(sync_engine.get());
      remote_store->Start();
    });
  }

  ~SyncClient() override {
    queue->EnqueueBlocking([&] {
      remote_store->Shutdown();
      datastore->Shutdown();
      sync_engine.reset();
      remote_store.reset();
      datastore.reset();
    });
  }

  void OnViewSnapshots(std::vector<ViewSnapshot> snapshots) override {
    Record([&] {
      for (auto& snapshot : snapshots) {
        std::set<std::string> keys;
        for (const auto& document : snapshot.documents()) keys.insert(document->key().ToString());
        snapshots_.push_back({keys, snapshot.from_cache()});
      }
    });
  }
  void OnError(const QueryPtr&, const util::Status& error) override {
    Record([&] { errors_.push_back(error); });
  }
  void HandleOnlineStateChange(model::OnlineState) override {}

  void Listen(const QueryPtr& query) {
    queue->EnqueueBlocking([&] { sync_engine->Listen(query); });
  }

  // Waits until `done` holds over the records; false after the deadline.
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, done);
  }
  // Waits until the last snapshot is the server's and holds exactly these documents.
  bool WaitForServerKeys(const std::set<std::string>& keys) {
    return WaitFor(
        [&] { return !snapshots_.empty() && !snapshots_.back().from_cache && snapshots_.back().keys == keys; });
  }
  template <typename F>
  auto Read(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }
  template <typename F>
  void Record(F f) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      f();
    }
    changed_.notify_all();
  }

  struct Seen {
    std::set<std::string> keys;
    bool from_cache;
  };
  std::vector<Seen> snapshots_;
  std::vector<util::Status> errors_;

  std::shared_ptr<util::AsyncQueue> queue;
  std::unique_ptr<local::VRVLocalStore> local_store;
  std::shared_ptr<remote::Datastore> datastore;
  std::unique_ptr<remote::RemoteStore> remote_store;
  std::unique_ptr<SyncEngine> sync_engine;

 private:
  StaticCredentials credentials_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

QueryPtr Users() { return VRVQuery::queryWithPath(model::ResourcePath::FromString("users")); }

// ---------------------------------------------------------------- tests

using HostileServiceTest = ServiceFixture;

TEST_F(HostileServiceTest, InconsistentListenRepliesFailTheStreamAndTheListenCarriesOn) {
  int32_t limbo = -1;
  service_.listen = [&](int connection, ListenStream* stream) {
    int32_t target = ReadAddTarget(stream);
    if (target < 0) return;
    stream->Write(Target(v1::TargetChange::ADD, {target}));
    switch (connection) {
      case 0:
        stream->Write(Doc(Name("users/a"), {target}, 5));
        stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r10"));
        stream->Write(Snapshot(10));
        // A removal nobody asked for; what follows must not be lost to a target left waiting.
        stream->Write(Target(v1::TargetChange::REMOVE, {target}));
        stream->Write(Doc(Name("users/b"), {target}, 15));
        stream->Write(Snapshot(20));
        break;
      case 1:
        stream->Write(Target(v1::TargetChange::ADD, {target + 40}));  // never asked for
        break;
      case 2:
        stream->Write(Doc(Name("other/x"), {target}, 21));  // not in the target's collection
        break;
      case 3: {
        // The server forgets users/a: the client asks about it alone, on a limbo target, and
        // hears of two documents there.
        stream->Write(Target(v1::TargetChange::RESET, {target}));
        stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r30"));
        stream->Write(Snapshot(30));
        bool documents = false;
        int32_t id = -1;
        while (!documents) {
          id = ReadAddTarget(stream, &documents);
          if (id < 0) return;
        }
        service_.Locked([&] { limbo = id; });
        stream->Write(Target(v1::TargetChange::ADD, {id}));
        stream->Write(Doc(Name("users/a"), {id}, 5));
        stream->Write(Doc(Name("users/z"), {id}, 35));
        stream->Write(Target(v1::TargetChange::CURRENT, {id}, "r40"));
        stream->Write(Snapshot(40));
        break;
      }
      default: {
        // A consistent server at last: both targets again, users/a is back and users/b is new.
        int32_t other = ReadAddTarget(stream);
        if (other < 0) return;
        stream->Write(Target(v1::TargetChange::ADD, {other}));
        int32_t limbo_target = service_.Locked([&] { return limbo; });
        int32_t query_target = target == limbo_target ? other : target;
        stream->Write(Doc(Name("users/a"), {query_target, limbo_target}, 5));
        stream->Write(Doc(Name("users/b"), {query_target}, 45));
        stream->Write(Target(v1::TargetChange::CURRENT, {query_target, limbo_target}, "r50"));
        stream->Write(Snapshot(50));
        break;
      }
    }
  };

  SyncClient client(host());
  client.Listen(Users());
  ASSERT_TRUE(client.WaitForServerKeys({"users/a", "users/b"})) << "the listen never caught up with the server";

  client.Read([&] {
    EXPECT_TRUE(client.errors_.empty()) << "the listener keeps its registration";
    for (const auto& seen : client.snapshots_) {
      EXPECT_EQ(seen.keys.count("users/z"), 0u) << "nothing of a refused stream is applied";
      EXPECT_EQ(seen.keys.count("other/x"), 0u);
    }
  });
  service_.Locked(
      [&] { EXPECT_EQ(service_.listen_starts().size(), 5u) << "one new stream for each refused one"; });
  EXPECT_EQ(ErrorsLogged("Refused a message of the document service"), 4u);
  EXPECT_EQ(ErrorsLogged("which was not asked for"), 2u);
  EXPECT_EQ(ErrorsLogged("users/z"), 1u);
  EXPECT_EQ(ErrorsLogged("other/x"), 1u);
}

TEST_F(HostileServiceTest, InconsistentWriteRepliesKeepTheBatchPendingAndItIsSentAgain) {
  int batches_received = 0;
  service_.write = [&](int connection, WriteStream* stream) {
    v1::WriteRequest request;
    if (!stream->Read(&request)) return;
    v1::WriteResponse handshake;
    handshake.set_stream_id("s");
    handshake.set_stream_token("t" + std::to_string(connection));
    stream->Write(handshake);
    if (!stream->Read(&request)) return;
    service_.Locked([&] { ++batches_received; });
    v1::WriteResponse reply;
    reply.set_stream_token("u" + std::to_string(connection));
    reply.mutable_commit_time()->set_seconds(1234);
    switch (connection) {
      case 0:  // a transform result for the plain set
        AddResult(&reply, true);
        AddResult(&reply, true);
        break;
      case 1:  // none for the transform
        AddResult(&reply, false);
        AddResult(&reply, false);
        break;
      case 2:  // fewer results than writes
        AddResult(&reply, false);
        break;
      case 3:  // more
        AddResult(&reply, false);
        AddResult(&reply, true);
        AddResult(&reply, false);
        break;
      default:
        AddResult(&reply, false);
        AddResult(&reply, true);
        break;
    }
    stream->Write(reply);
  };

  SyncClient client(host());
  // A listener holds the document in the local store once its write is acknowledged.
  client.Listen(VRVQuery::queryWithPath(model::ResourcePath::FromString("users/alice")));
  struct Completion {
    util::Status status;
    bool batch_still_queued;
    model::MaybeDocumentPtr document;
  };
  std::vector<Completion> completions;
  client.queue->EnqueueBlocking([&] {
    client.sync_engine->WriteMutations({SetAlice(), StampAlice()}, [&](const util::Status& status) {
      // What the local store holds when the writer hears of the result.
      bool queued = client.local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown) != nullptr;
      Completion completion{status, queued, client.local_store->readDocument(Key("users/alice"))};
      client.Record([&] { completions.push_back(completion); });
    });
  });
  ASSERT_TRUE(client.WaitFor([&] { return !completions.empty(); }));

  client.Read([&] {
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_TRUE(completions[0].status.ok()) << completions[0].status.ToString();
    EXPECT_FALSE(completions[0].batch_still_queued) << "success is reported once the result is applied";
    auto document = std::dynamic_pointer_cast<const model::VRVDocument>(completions[0].document);
    ASSERT_TRUE(document);
    EXPECT_TRUE(document->hasCommittedMutations());
    EXPECT_EQ(document->version().timestamp().seconds(), 1234);
    auto at = std::dynamic_pointer_cast<const model::VRVTimestampValue>(document->fieldForPath(Field("at")));
    ASSERT_TRUE(at) << "the server's transform result was applied";
    EXPECT_EQ(at->internalValue().seconds(), 1234);
  });
  service_.Locked([&] {
    EXPECT_EQ(service_.write_starts().size(), 5u);
    EXPECT_EQ(batches_received, 5) << "the batch went out again on every new stream";
  });
  EXPECT_EQ(ErrorsLogged("transform results for"), 2u);
  EXPECT_EQ(ErrorsLogged("results for 2 writes"), 2u);
}

TEST_F(HostileServiceTest, AServiceThatRefusesAfterOneValidMessageSeesOnlyAFewStreams) {
  // Each stream gets one message the client accepts, then one it refuses.
  service_.listen = [](int, ListenStream* stream) {
    int32_t target = ReadAddTarget(stream);
    if (target < 0) return;
    stream->Write(Target(v1::TargetChange::ADD, {target}));
    stream->Write(Doc("projects/elsewhere/databases/(default)/documents/users/a", {target}, 5));
  };
  service_.write = [](int, WriteStream* stream) {
    v1::WriteRequest request;
    if (!stream->Read(&request)) return;
    v1::WriteResponse handshake;
    handshake.set_stream_id("s");
    stream->Write(handshake);
    if (!stream->Read(&request)) return;
    v1::WriteResponse reply;
    reply.mutable_commit_time()->set_seconds(int64_t{1} << 50);  // past the year 9999
    stream->Write(reply);
  };

  SyncClient client(host());
  client.Listen(Users());
  client.queue->EnqueueBlocking([&] { client.sync_engine->WriteMutations({SetAlice()}, nullptr); });
  // Both keep retrying ...
  ASSERT_TRUE(service_.WaitFor(
      [&] { return service_.listen_starts().size() >= 3 && service_.write_starts().size() >= 3; }));
  // ... but over a window of five seconds from the first stream, no more than a handful: the
  // back-off allows at most 6 even with its shortest jitter (it retries once at once, then waits
  // 1, 1.5, 2.25, 3.4 s, each at least half of that). Before, the client reconnected without
  // delay: thousands of streams.
  auto [listens, writes] = service_.StreamsInFirstWindow(std::chrono::seconds(5));
  EXPECT_LE(listens, 6);
  EXPECT_LE(writes, 6);
  EXPECT_TRUE(client.Read([&] { return client.errors_.empty(); }));
}

TEST_F(HostileServiceTest, AServiceThatEndsEachStreamRightAfterItsFirstResultSeesAtMostTenIn15Seconds) {
  // Every Listen gets its consistent snapshot and every Write its handshake and the answer to one
  // batch; then the stream ends with an error, as a proxy that cuts connections might.
  service_.listen = [](int, ListenStream* stream) {
    int32_t target = ReadAddTarget(stream);
    if (target < 0) return;
    stream->Write(Target(v1::TargetChange::ADD, {target}));
    stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r10"));
    stream->Write(Snapshot(10));
  };
  service_.write = [](int connection, WriteStream* stream) {
    v1::WriteRequest request;
    if (!AnswerHandshake(connection, stream) || !stream->Read(&request)) return;
    v1::WriteResponse reply;
    reply.set_stream_token("u" + std::to_string(connection));
    reply.mutable_commit_time()->set_seconds(1234);
    AddResult(&reply, false);
    stream->Write(reply);
  };
  service_.end_with = [](int) {
    return grpc::Status(grpc::StatusCode::UNAVAILABLE, "Connection reset by the proxy");
  };

  SyncClient client(host());
  client.Listen(Users());
  // Enough batches that each stream has one to acknowledge.
  client.queue->EnqueueBlocking([&] {
    for (int i = 0; i < 40; ++i) client.sync_engine->WriteMutations({SetAlice()}, nullptr);
  });
  ASSERT_TRUE(service_.WaitFor(
      [&] { return service_.listen_starts().size() >= 2 && service_.write_starts().size() >= 2; }));
  // Over 15 s from the first stream of each kind, the back-off allows 7 even with its shortest
  // jitter (at once, then at least 0.5, 0.75, 1.1, 1.7, 2.5, 3.8 s apart); a stream that ends
  // right after its first result proves nothing. Before, each one counted as healthy and the
  // next went at once: thousands.
  auto [listens, writes] = service_.StreamsInFirstWindow(std::chrono::seconds(15));
  EXPECT_LE(listens, 10);
  EXPECT_LE(writes, 10);
}

TEST_F(HostileServiceTest, AListenMessageOverTheReceiveLimitIsAnErrorWithItsSizeAndTheLimit) {
  const size_t limit = remote::kMaxReceiveMessageBytes;
  service_.listen = [&](int connection, ListenStream* stream) {
    int32_t target = ReadAddTarget(stream);
    if (target < 0) return;
    stream->Write(Target(v1::TargetChange::ADD, {target}));
    // One byte over the limit first, then exactly at it.
    stream->Write(DocOfSize(Name("users/big"), target, connection == 0 ? limit + 1 : limit));
    if (connection == 0) return;
    stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r10"));
    stream->Write(Snapshot(10));
  };

  SyncClient client(host());
  client.Listen(Users());
  ASSERT_TRUE(client.WaitForServerKeys({"users/big"})) << "a message at the limit is taken";
  EXPECT_EQ(ErrorsLogged("A message of " + std::to_string(limit + 1) +
                         " bytes is over the transport's limit of " + std::to_string(limit) + " bytes"),
            1u);
  service_.Locked([&] { EXPECT_EQ(service_.listen_starts().size(), 2u); });
  EXPECT_TRUE(client.Read([&] { return client.errors_.empty(); }));
}

// The service's transport takes messages of at most 64 KiB.
class SmallMessageServiceTest : public ServiceFixture {
 protected:
  SmallMessageServiceTest() { receive_limit_ = 64 << 10; }
};

TEST_F(SmallMessageServiceTest, AWriteTooLargeForTheTransportIsRejectedInItsTurnAndAnOverloadedServiceIsRetried) {
  // The documents of the batches each connection received.
  std::vector<std::vector<std::string>> received;
  service_.write = [&](int connection, WriteStream* stream) {
    service_.Locked(
        [&] { received.resize(std::max(received.size(), static_cast<size_t>(connection) + 1)); });
    if (!AnswerHandshake(connection, stream)) return;
    v1::WriteRequest request;
    while (stream->Read(&request)) {
      const std::string& name = request.writes(0).update().name();
      service_.Locked([&] { received[connection].push_back(name.substr(name.rfind('/') + 1)); });
      // The first connection answers nothing before the transport fails it over the large batch;
      // the second refuses as an overloaded service does; the third takes everything.
      if (connection == 0) continue;
      if (connection == 1) return;
      v1::WriteResponse reply;
      reply.set_stream_token("u" + std::to_string(connection));
      reply.mutable_commit_time()->set_seconds(1234);
      AddResult(&reply, false);
      stream->Write(reply);
    }
  };
  service_.end_with = [](int connection) {
    return connection == 1 ? grpc::Status(grpc::StatusCode::RESOURCE_EXHAUSTED, "Quota exceeded.")
                           : grpc::Status::OK;
  };

  SyncClient client(host());
  client.Listen(Users());
  std::vector<std::pair<std::string, util::Status>> completions;
  client.queue->EnqueueBlocking([&] {
    for (auto [id, padding] :
         {std::pair<std::string, size_t>{"alice", 0}, {"big", 100 << 10}, {"carol", 0}}) {
      client.sync_engine->WriteMutations(
          {SetUser(id, padding)}, [&client, &completions, id = id](const util::Status& status) {
            client.Record([&] { completions.emplace_back(id, status); });
          });
    }
  });

  // The service never saw the large batch, nor answered the one ahead of it: that one goes out
  // again first, alone, and the large one waits for its answer through an overloaded service ...
  auto deadline = Clock::now() + kDeadline;
  while (!client.queue->IsScheduled(util::TimerId::WriteStreamBackoff) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(client.queue->IsScheduled(util::TimerId::WriteStreamBackoff))
      << "the overloaded service is retried";
  EXPECT_TRUE(client.Read([&] { return completions.empty(); }));
  // ... and is rejected in its turn, without being sent again.
  client.queue->RunScheduledOperationsUntil(util::TimerId::WriteStreamBackoff);
  ASSERT_TRUE(client.WaitFor([&] { return completions.size() == 3; }));

  std::string size;
  client.Read([&] {
    EXPECT_EQ(completions[0].first, "alice");
    EXPECT_TRUE(completions[0].second.ok()) << completions[0].second.ToString();
    EXPECT_EQ(completions[1].first, "big");
    EXPECT_EQ(completions[1].second.code(), VerorarivErrorCode::ResourceExhausted);
    const std::string& message = completions[1].second.error_message();
    EXPECT_NE(message.find("vs. 65536)"), std::string::npos) << message;
    size = message.substr(message.find('(') + 1, message.find(" vs.") - message.find('(') - 1);
    EXPECT_EQ(completions[2].first, "carol");
    EXPECT_TRUE(completions[2].second.ok()) << completions[2].second.ToString();
    // The view showed the large write while it was pending, and dropped it.
    EXPECT_TRUE(std::any_of(client.snapshots_.begin(), client.snapshots_.end(),
                            [](const SyncClient::Seen& seen) { return seen.keys.count("users/big") > 0; }));
    EXPECT_EQ(client.snapshots_.back().keys, (std::set<std::string>{"users/alice", "users/carol"}));
  });
  EXPECT_EQ(ErrorsLogged("A message of " + size + " bytes is over the transport's limit of 65536 bytes"), 1u);
  client.queue->EnqueueBlocking([&] {
    EXPECT_EQ(client.local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);
  });
  service_.Locked([&] {
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[1], std::vector<std::string>{"alice"});
    EXPECT_EQ(received[2], (std::vector<std::string>{"alice", "carol"}));
  });
}

TEST_F(HostileServiceTest, AWriteAnswerOverTheReceiveLimitRejectsItsBatchOnceAndAnAnswerThatFitsIsTaken) {
  const size_t limit = remote::kMaxReceiveMessageBytes;
  // The batches each connection received, by document, and the connection reset with an answer due.
  std::vector<std::vector<std::string>> received;
  int reset = -1;
  service_.write = [&](int connection, WriteStream* stream) {
    if (!AnswerHandshake(connection, stream)) return;
    v1::WriteRequest request;
    while (stream->Read(&request)) {
      const std::string& name = request.writes(0).update().name();
      std::string id = name.substr(name.rfind('/') + 1);
      bool first_tee = service_.Locked([&] {
        received.resize(std::max(received.size(), static_cast<size_t>(connection) + 1));
        received[connection].push_back(id);
        if (id != "tee" || reset >= 0) return false;
        reset = connection;
        return true;
      });
      // The first time the six-transform batch comes, the connection breaks before its answer.
      if (first_tee) return;
      v1::WriteResponse reply;
      reply.set_stream_token("u" + std::to_string(connection));
      reply.mutable_commit_time()->set_seconds(1234);
      AddResult(&reply, false);
      if (id == "alice") {
        // More than any answer to a plain set can hold.
        reply.set_stream_token(std::string(limit, 'u'));
      } else if (id == "tee") {
        // Each union's result a 900 KiB array: 5.4 MB in all, more than a Listen message may be.
        v1::WriteResult* transformed = reply.add_write_results();
        transformed->mutable_update_time()->set_seconds(1234);
        for (int i = 0; i < 6; ++i) {
          transformed->add_transform_results()->mutable_array_value()->add_values()->set_string_value(
              std::string(900 << 10, 'a'));
        }
      } else if (id == "stamps") {
        v1::WriteResult* transformed = reply.add_write_results();
        transformed->mutable_update_time()->set_seconds(1234);
        for (const auto& each : request.writes(1).transform().field_transforms()) {
          v1::Value* result = transformed->add_transform_results();
          if (each.has_increment()) {
            result->set_integer_value(1);
          } else {
            result->mutable_timestamp_value()->set_seconds(1234);
          }
        }
      }
      stream->Write(reply);
    }
  };
  service_.end_with = [&](int connection) {
    return service_.Locked([&] { return connection == reset; })
               ? grpc::Status(grpc::StatusCode::UNAVAILABLE, "Connection reset by the proxy")
               : grpc::Status::OK;
  };

  SyncClient client(host());
  client.Listen(Users());
  std::vector<model::FieldTransform> unions;
  for (int i = 0; i < 6; ++i) {
    unions.emplace_back(Field("a" + std::to_string(i)),
                        std::make_shared<model::ArrayTransform>(model::TransformOperation::Type::ArrayUnion,
                                                                std::vector<model::FieldValuePtr>{Str("x")}));
  }
  // Server times and increments, whose results are small however many there are.
  std::vector<model::FieldTransform> stamps;
  for (int i = 0; i < 1100; ++i) {
    std::shared_ptr<const model::TransformOperation> operation = model::ServerTimestampTransform::Get();
    if (i % 2 == 1) operation = std::make_shared<model::NumericIncrementTransform>(testutil::Int(1));
    stamps.emplace_back(Field("s" + std::to_string(i)), operation);
  }
  std::vector<std::pair<std::string, std::vector<model::MutationPtr>>> batches = {
      {"stamps",
       {SetUser("stamps", 0), std::make_shared<model::VRVTransformMutation>(Key("users/stamps"), stamps)}},
      {"alice", {SetUser("alice", 0)}},
      {"tee", {SetUser("tee", 0), std::make_shared<model::VRVTransformMutation>(Key("users/tee"), unions)}},
      {"carol", {SetUser("carol", 0)}}};
  std::vector<std::pair<std::string, util::Status>> completions;
  client.queue->EnqueueBlocking([&] {
    for (const auto& [id, mutations] : batches) {
      client.sync_engine->WriteMutations(
          mutations, [&client, &completions, id = id](const util::Status& status) {
            client.Record([&] { completions.emplace_back(id, status); });
          });
    }
  });
  ASSERT_TRUE(client.WaitFor([&] { return completions.size() == 4; }))
      << "the batch whose answer cannot be received is replayed, and the writes behind it wait";

  std::string size;
  client.Read([&] {
    EXPECT_EQ(completions[0].first, "stamps");
    EXPECT_TRUE(completions[0].second.ok()) << completions[0].second.ToString();
    EXPECT_EQ(completions[1].first, "alice");
    EXPECT_EQ(completions[1].second.code(), VerorarivErrorCode::ResourceExhausted);
    const std::string& message = completions[1].second.error_message();
    EXPECT_NE(message.find("vs. " + std::to_string(limit) + ")"), std::string::npos) << message;
    size = message.substr(message.find('(') + 1, message.find(" vs.") - message.find('(') - 1);
    EXPECT_EQ(completions[2].first, "tee");
    EXPECT_TRUE(completions[2].second.ok()) << completions[2].second.ToString();
    EXPECT_EQ(completions[3].first, "carol");
    EXPECT_TRUE(completions[3].second.ok()) << completions[3].second.ToString();
    // The view showed the refused write while it was pending, and dropped it.
    EXPECT_TRUE(std::any_of(client.snapshots_.begin(), client.snapshots_.end(),
                            [](const SyncClient::Seen& seen) { return seen.keys.count("users/alice") > 0; }));
    EXPECT_EQ(client.snapshots_.back().keys,
              (std::set<std::string>{"users/carol", "users/stamps", "users/tee"}));
  });
  EXPECT_EQ(ErrorsLogged("A message of " + size + " bytes is over the transport's limit of " +
                         std::to_string(limit) + " bytes"),
            1u);
  client.queue->EnqueueBlocking([&] {
    EXPECT_EQ(client.local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);
  });
  service_.Locked([&] {
    std::vector<std::string> all;
    for (const auto& each : received) all.insert(all.end(), each.begin(), each.end());
    EXPECT_EQ(std::count(all.begin(), all.end(), "alice"), 1) << "the refused batch is never sent again";
    // The server times and increments went out on the first connection, whose limit still
    // refused the answer over it; the large batch waited for a connection that takes its answer,
    // went out again after the reset, and was answered.
    EXPECT_EQ(received[0], (std::vector<std::string>{"stamps", "alice"}));
    EXPECT_EQ(received.back(), (std::vector<std::string>{"tee", "carol"}));
    EXPECT_EQ(std::count(all.begin(), all.end(), "tee"), 2);
  });
}

TEST_F(HostileServiceTest, AnUndecodableMessageFailsTheStreamAndSyncResumesOnceItIsGone) {
  service_.listen = [](int connection, ListenStream* stream) {
    int32_t target = ReadAddTarget(stream);
    if (target < 0) return;
    stream->Write(Target(v1::TargetChange::ADD, {target}));
    if (connection < 2) {
      // A document id that is not UTF-8.
      stream->Write(Doc(Name("users/\xff\xfe"), {target}, 5));
      return;
    }
    stream->Write(Doc(Name("users/a"), {target}, 5));
    stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r10"));
    stream->Write(Snapshot(10));
  };

  SyncClient client(host());
  client.Listen(Users());
  ASSERT_TRUE(client.WaitForServerKeys({"users/a"})) << "the listen never recovered";
  EXPECT_TRUE(client.Read([&] { return client.errors_.empty(); }));
  service_.Locked([&] { EXPECT_EQ(service_.listen_starts().size(), 3u); });
  EXPECT_EQ(ErrorsLogged("could not be decoded"), 2u);
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
