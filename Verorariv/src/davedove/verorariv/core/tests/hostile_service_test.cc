// The sync engine, local store and remote store against a scripted document service that answers
// inconsistently, or with what the client cannot decode: the process lives on, listeners keep
// their registrations, pending writes stay pending, and every retry backs off.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "absl/strings/str_join.h"
#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/core/event_manager.h"
#include "davedove/verorariv/core/sync_engine.h"
#include "davedove/verorariv/core/tests/core_testutil.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
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
#include "davedove/verorariv/util/path.h"
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
  // Sets what a Listen connection sends before its first message (its headers), when set.
  std::function<void(int, grpc::ServerContext*)> listen_headers;

  grpc::Status Listen(grpc::ServerContext* context, ListenStream* stream) override {
    int connection = Begin(&listen_starts_);
    if (listen_headers) listen_headers(connection, context);
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

// Answers the first target the client adds, empty and current in a consistent snapshot at 10.
void AnswerFirstTarget(ListenStream* stream) {
  int32_t target = ReadAddTarget(stream);
  if (target < 0) return;
  stream->Write(Target(v1::TargetChange::ADD, {target}));
  stream->Write(Target(v1::TargetChange::CURRENT, {target}, "r10"));
  stream->Write(Snapshot(10));
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

// A set of users/tee and six array unions on it: their answer may hold six documents, more than a
// connection takes by default.
std::vector<model::MutationPtr> SetAndUniteTee() {
  std::vector<model::FieldTransform> unions;
  for (int i = 0; i < 6; ++i) {
    unions.emplace_back(Field("a" + std::to_string(i)),
                        std::make_shared<model::ArrayTransform>(model::TransformOperation::Type::ArrayUnion,
                                                                std::vector<model::FieldValuePtr>{Str("x")}));
  }
  return {SetUser("tee", 0), std::make_shared<model::VRVTransformMutation>(Key("users/tee"), unions)};
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

// The answer to the handshake, with tokens of the connection.
v1::WriteResponse HandshakeAnswer(int connection) {
  v1::WriteResponse handshake;
  handshake.set_stream_id("s");
  handshake.set_stream_token("t" + std::to_string(connection));
  return handshake;
}

// Reads the handshake and answers it; false when the connection ended first.
bool AnswerHandshake(int connection, WriteStream* stream) {
  v1::WriteRequest request;
  return stream->Read(&request) && stream->Write(HandshakeAnswer(connection));
}

// Answers the handshake, then hands `each` every batch with the id of its first document, until
// the client ends the connection or `each` returns false.
void ReadBatches(int connection, WriteStream* stream,
                 const std::function<bool(const std::string&, const v1::WriteRequest&)>& each) {
  if (!AnswerHandshake(connection, stream)) return;
  v1::WriteRequest request;
  while (stream->Read(&request)) {
    const std::string& name = request.writes(0).update().name();
    if (!each(name.substr(name.rfind('/') + 1), request)) return;
  }
}

void AddResult(v1::WriteResponse* response, bool with_transform_result) {
  v1::WriteResult* result = response->add_write_results();
  result->mutable_update_time()->set_seconds(1234);
  if (with_transform_result) result->add_transform_results()->mutable_timestamp_value()->set_seconds(1234);
}

// The answer to SetAndUniteTee's batch, committed at `seconds`.
v1::WriteResponse TeeAnswer(int64_t seconds) {
  v1::WriteResponse reply;
  reply.set_stream_token("u" + std::to_string(seconds));
  reply.mutable_commit_time()->set_seconds(seconds);
  AddResult(&reply, false);
  v1::WriteResult* united = reply.add_write_results();
  united->mutable_update_time()->set_seconds(seconds);
  for (int i = 0; i < 6; ++i) united->add_transform_results()->mutable_array_value()->add_values()->set_string_value("x");
  return reply;
}

// A fresh directory for a client's storage, removed with what it holds.
class StorageDir {
 public:
  StorageDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vrv-hostile-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~StorageDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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

// The worker queue's executor; it counts the operations queued on it, so that a test holding the
// queue can wait until what a stream delivered is queued behind.
class CountingExecutor : public util::Executor {
 public:
  CountingExecutor() : inner_(platform::dispatch::Queue::serial("com.variru.davedove.verorariv")) {}

  void Execute(util::Operation&& operation) override {
    // Counted before it can run: what it queues in turn is never counted ahead of it.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++queued_;
    }
    changed_.notify_all();
    inner_.Execute(std::move(operation));
  }
  void ExecuteBlocking(util::Operation&& operation) override { inner_.ExecuteBlocking(std::move(operation)); }
  util::DelayedOperation Schedule(util::Milliseconds delay, TaggedOperation&& operation) override {
    return inner_.Schedule(delay, std::move(operation));
  }
  bool IsCurrentExecutor() const override { return inner_.IsCurrentExecutor(); }
  std::string CurrentExecutorName() const override { return inner_.CurrentExecutorName(); }
  std::string Name() const override { return inner_.Name(); }
  bool IsScheduled(int tag) const override { return inner_.IsScheduled(tag); }
  absl::optional<TaggedOperation> PopFromSchedule() override { return inner_.PopFromSchedule(); }

  size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_;
  }
  // Waits until `count` operations in all have been queued; false after the deadline.
  bool WaitUntilQueued(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return queued_ >= count; });
  }

 private:
  util::ExecutorLibdispatch inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t queued_ = 0;
};

// Local store (in memory, or in LevelDB at `storage`), remote store, sync engine and event manager
// of one client of the scripted service; it records what the sync engine reports.
class SyncClient : public SyncEngineCallback {
 public:
  explicit SyncClient(const std::string& host, const std::string& storage = "")
      : SyncClient(host, storage, std::make_unique<CountingExecutor>()) {}
  SyncClient(const std::string& host, const std::string& storage, std::unique_ptr<CountingExecutor> counting)
      : executor(counting.get()), queue(std::make_shared<util::AsyncQueue>(std::move(counting))) {
    DatabaseInfo info(model::DatabaseId(kProject, model::DatabaseId::kDefault), "hostile", host,
                      /*ssl_enabled=*/false);
    queue->EnqueueBlocking([&] {
      std::shared_ptr<local::VRVPersistence> persistence = local::VRVMemoryPersistence::persistenceWithEagerGC();
      if (!storage.empty()) {
        auto serializer = std::make_shared<const local::VRVLocalSerializer>(
            std::make_shared<const remote::VRVSerializerBeta>(info.database_id()));
        auto opened = local::VRVLevelDB::dbWithDirectory(util::Path::FromUtf8(storage), serializer,
                                                         local::LruParams{100 << 20, 10, 1000});
        if (!opened.ok()) std::abort();
        persistence = opened.value();
      }
      local_store = std::make_unique<local::VRVLocalStore>(persistence, auth::User("alice"));
      local_store->start();
      datastore = std::make_shared<remote::Datastore>(info, queue, &credentials_);
      remote_store = std::make_unique<remote::RemoteStore>(local_store.get(), datastore, queue, nullptr);
      sync_engine = std::make_unique<SyncEngine>(local_store.get(), remote_store.get(), auth::User("alice"));
      event_manager = std::make_unique<EventManager>(sync_engine.get());
      sync_engine->SetCallback(this);
      remote_store->set_sync_engine(sync_engine.get());
      remote_store->Start();
    });
  }

  ~SyncClient() override {
    queue->EnqueueBlocking([&] {
      remote_store->Shutdown();
      datastore->Shutdown();
      local_store->persistence()->shutdown();
      event_manager.reset();
      sync_engine.reset();
      remote_store.reset();
      datastore.reset();
      local_store.reset();
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
    event_manager->OnViewSnapshots(std::move(snapshots));
  }
  void OnError(const QueryPtr& query, const util::Status& error) override {
    Record([&] { errors_.push_back(error); });
    event_manager->OnError(query, error);
  }
  void HandleOnlineStateChange(model::OnlineState state) override { event_manager->HandleOnlineStateChange(state); }

  void Listen(const QueryPtr& query) {
    queue->EnqueueBlocking([&] { sync_engine->Listen(query); });
  }
  // A listener of the query through the event manager: the status of each event it hears (OK
  // for a snapshot), in order.
  std::shared_ptr<std::vector<util::Status>> AddListener(const QueryPtr& query, ListenOptions options) {
    auto heard = std::make_shared<std::vector<util::Status>>();
    queue->EnqueueBlocking([&] {
      event_manager->AddQueryListener(std::make_shared<QueryListener>(
          query, options, [this, heard](util::StatusOr<ViewSnapshot> event) {
            Record([&] { heard->push_back(event.status()); });
          }));
    });
    return heard;
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

  CountingExecutor* executor;  // the queue's
  std::shared_ptr<util::AsyncQueue> queue;
  std::unique_ptr<local::VRVLocalStore> local_store;
  std::shared_ptr<remote::Datastore> datastore;
  std::unique_ptr<remote::RemoteStore> remote_store;
  std::unique_ptr<SyncEngine> sync_engine;
  std::unique_ptr<EventManager> event_manager;

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
  service_.listen = [](int, ListenStream* stream) { AnswerFirstTarget(stream); };
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
    ReadBatches(connection, stream, [&](const std::string& id, const v1::WriteRequest& request) {
      bool first_tee = service_.Locked([&] {
        received.resize(std::max(received.size(), static_cast<size_t>(connection) + 1));
        received[connection].push_back(id);
        if (id != "tee" || reset >= 0) return false;
        reset = connection;
        return true;
      });
      // The first time the six-transform batch comes, the connection breaks before its answer.
      if (first_tee) return false;
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
      return true;
    });
  };
  service_.end_with = [&](int connection) {
    return service_.Locked([&] { return connection == reset; })
               ? grpc::Status(grpc::StatusCode::UNAVAILABLE, "Connection reset by the proxy")
               : grpc::Status::OK;
  };

  SyncClient client(host());
  client.Listen(Users());
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
      {"tee", SetAndUniteTee()},
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

// The answer to a write is refused by the client's own transport: the service's status names the
// document's 20,000-byte id in full, over the 8 KiB of metadata the client takes.
TEST_F(HostileServiceTest, AWriteRefusalOverTheMetadataLimitRejectsItsBatchOnceAndTheWriteBehindItLands) {
  const std::string long_id(20000, 'v');
  // The batches each connection received, by document id ("long" for the long one), and the
  // connections that refused one; shared with the scripts, which may run on after the test.
  struct Seen {
    std::vector<std::vector<std::string>> received;
    std::set<int> refused;
  };
  auto seen = std::make_shared<Seen>();
  service_.listen = [](int, ListenStream* stream) { AnswerFirstTarget(stream); };
  service_.write = [this, seen, long_id](int connection, WriteStream* stream) {
    std::vector<std::vector<std::string>>& received = seen->received;
    service_.Locked([&] { received.resize(std::max(received.size(), static_cast<size_t>(connection) + 1)); });
    ReadBatches(connection, stream, [&](const std::string& id, const v1::WriteRequest&) {
      bool refuse = service_.Locked([&] {
        received[connection].push_back(id == long_id ? "long" : id);
        if (id == long_id) seen->refused.insert(connection);
        return id == long_id;
      });
      if (refuse) return false;
      v1::WriteResponse reply;
      reply.set_stream_token("u" + std::to_string(connection));
      reply.mutable_commit_time()->set_seconds(1234);
      AddResult(&reply, false);
      return stream->Write(reply);
    });
  };
  service_.end_with = [this, seen, long_id](int connection) {
    return service_.Locked([&] { return seen->refused.count(connection) > 0; })
               ? grpc::Status(grpc::StatusCode::NOT_FOUND, "No document to update: " + Name("users/" + long_id))
               : grpc::Status::OK;
  };

  StorageDir storage;
  std::vector<std::pair<std::string, util::Status>> completions;
  auto write = [&](SyncClient& client, const std::string& id) {
    client.queue->EnqueueBlocking([&] {
      client.sync_engine->WriteMutations({SetUser(id, 0)}, [&client, &completions, id](const util::Status& status) {
        client.Record([&] { completions.emplace_back(id, status); });
      });
    });
  };
  {
    SyncClient client(host(), storage.path());
    client.Listen(Users());
    ASSERT_TRUE(client.WaitForServerKeys({}));
    write(client, long_id);
    write(client, "pin");
    ASSERT_TRUE(client.WaitFor([&] { return completions.size() == 2; }))
        << "the refused batch is retried as if the service were overloaded, and the write behind it waits";
    client.Read([&] {
      EXPECT_EQ(completions[0].first, long_id);
      EXPECT_EQ(completions[0].second.code(), VerorarivErrorCode::ResourceExhausted);
      EXPECT_EQ(completions[0].second.error_message(), "received initial metadata size exceeds limit");
      EXPECT_EQ(completions[1].first, "pin");
      EXPECT_TRUE(completions[1].second.ok()) << completions[1].second.ToString();
      // The view showed the refused write while it was pending, and dropped it.
      EXPECT_TRUE(std::any_of(client.snapshots_.begin(), client.snapshots_.end(), [&](const SyncClient::Seen& seen) {
        return seen.keys.count("users/" + long_id) > 0;
      }));
      EXPECT_EQ(client.snapshots_.back().keys, std::set<std::string>{"users/pin"});
    });
    client.queue->EnqueueBlocking([&] {
      EXPECT_EQ(client.local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);
    });
  }
  EXPECT_EQ(ErrorsLogged("over the transport's metadata limit"), 1u);

  // A new client of the same storage has nothing left to send but its own write.
  SyncClient restarted(host(), storage.path());
  restarted.queue->EnqueueBlocking([&] {
    EXPECT_EQ(restarted.local_store->nextMutationBatchAfterBatchID(model::kBatchIdUnknown), nullptr);
  });
  write(restarted, "after");
  ASSERT_TRUE(restarted.WaitFor([&] { return completions.size() == 3; }));
  restarted.Read([&] { EXPECT_TRUE(completions[2].second.ok()) << completions[2].second.ToString(); });
  service_.Locked([&] {
    // The refused batch came until the client took its refusal (gRPC may report one as a lost
    // connection now and then), and never after: not with the write behind it, nor after the restart.
    std::string order;
    for (const auto& each : seen->received) order += absl::StrJoin(each, ",") + ";";
    EXPECT_TRUE(std::regex_match(order, std::regex("(long;)+pin;after;"))) << order;
  });
}

// A get and a listener of documents whose refusal, a status naming them in full, is over the
// client's metadata limit: each ends with the refusal, once, and the other listen goes on.
TEST_F(HostileServiceTest, AGetAndAListenerWhoseRefusalIsOverTheMetadataLimitEndWithItOnce) {
  const std::string get_path = "users/" + std::string(20000, 'g');
  const std::string listen_path = "users/" + std::string(20000, 'l');
  // The documents each connection was asked for (by their ids' first letter), the refusal each
  // one ended with, and whether users/carol is in the collection yet; shared with the scripts,
  // which may run on after the test.
  struct Seen {
    std::vector<std::vector<std::string>> asked;
    std::map<int, std::string> refusals;
    bool carol = false;
  };
  auto seen = std::make_shared<Seen>();
  service_.listen = [this, seen](int connection, ListenStream* stream) {
    std::vector<std::vector<std::string>>& asked = seen->asked;
    service_.Locked([&] { asked.resize(std::max(asked.size(), static_cast<size_t>(connection) + 1)); });
    v1::ListenRequest request;
    while (stream->Read(&request)) {
      if (request.target_change_case() != v1::ListenRequest::kAddTarget) continue;
      const v1::Target& target = request.add_target();
      int32_t id = target.target_id();
      if (target.has_documents()) {
        const std::string& name = target.documents().documents(0);
        service_.Locked([&] {
          asked[connection].push_back(name.substr(name.rfind('/') + 1, 1));
          seen->refusals[connection] = "Invalid document name " + name;
        });
        return;
      }
      stream->Write(Target(v1::TargetChange::ADD, {id}));
      if (service_.Locked([&] { return seen->carol; })) stream->Write(Doc(Name("users/carol"), {id}, 20));
      stream->Write(Target(v1::TargetChange::CURRENT, {id}, "r" + std::to_string(connection)));
      stream->Write(Snapshot(30 + connection));
    }
  };
  service_.end_with = [this, seen](int connection) {
    std::string refusal =
        service_.Locked([&] { return seen->refusals.count(connection) ? seen->refusals[connection] : ""; });
    return refusal.empty() ? grpc::Status::OK : grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, refusal);
  };
  // A write the service holds unanswered: its stream is open while the Listen streams are refused.
  service_.write = [](int connection, WriteStream* stream) {
    if (!AnswerHandshake(connection, stream)) return;
    v1::WriteRequest request;
    while (stream->Read(&request)) {
    }
  };

  SyncClient client(host());
  client.Listen(Users());
  ASSERT_TRUE(client.WaitForServerKeys({}));
  std::vector<util::Status> written;
  client.queue->EnqueueBlocking([&] {
    client.sync_engine->WriteMutations(
        {SetAlice()}, [&](const util::Status& status) { client.Record([&] { written.push_back(status); }); });
  });
  const std::string refusal = "Resource exhausted: received initial metadata size exceeds limit";
  ListenOptions get;
  get.include_metadata_changes = true;
  get.wait_for_sync_when_online = true;
  auto got = client.AddListener(VRVQuery::queryWithPath(model::ResourcePath::FromString(get_path)), get);
  ASSERT_TRUE(client.WaitFor([&] { return !got->empty(); })) << "the get never ended";
  // The refusal, not a missing document from the cache.
  client.Read([&] { EXPECT_EQ(got->front().ToString(), refusal); });
  auto heard = client.AddListener(VRVQuery::queryWithPath(model::ResourcePath::FromString(listen_path)),
                                  ListenOptions());
  ASSERT_TRUE(client.WaitFor([&] { return !heard->empty(); })) << "the listener never heard";

  // users/carol arrives on a new connection, which asks for the collection alone.
  service_.Locked([&] { seen->carol = true; });
  client.queue->EnqueueBlocking([&] {
    client.remote_store->DisableNetwork();
    client.remote_store->EnableNetwork();
  });
  ASSERT_TRUE(client.WaitForServerKeys({"users/alice", "users/carol"})) << "the listen of the collection stopped";
  client.Read([&] {
    for (const auto* events : {got.get(), heard.get()}) {
      ASSERT_EQ(events->size(), 1u);
      EXPECT_EQ(events->front().ToString(), refusal);
    }
    EXPECT_EQ(client.errors_.size(), 2u);
    EXPECT_TRUE(written.empty()) << "a write on another stream was taken for the refused one";
  });
  // One refusal of each document was taken (gRPC may report one as a lost connection now and
  // then, and the document is asked for again), and neither was asked for afterwards.
  EXPECT_EQ(ErrorsLogged("over the transport's metadata limit"), 2u);
  service_.Locked([&] { EXPECT_TRUE(seen->asked.back().empty()); });
}

// Headers over the client's metadata limit before any answer (a proxy's, say) are no answer to any
// target: the stream is tried again, no listener is refused, and once they fit every one is served.
TEST_F(HostileServiceTest, HeadersOverTheMetadataLimitBeforeAnyAnswerRefuseNoListener) {
  auto asked = std::make_shared<std::map<int, int>>();  // targets asked for, by connection
  service_.listen_headers = [](int connection, grpc::ServerContext* context) {
    if (connection < 3) context->AddInitialMetadata("x-padding", std::string(9000, 'p'));
  };
  service_.listen = [this, asked](int connection, ListenStream* stream) {
    v1::ListenRequest request;
    while (stream->Read(&request)) {
      if (request.target_change_case() != v1::ListenRequest::kAddTarget) continue;
      const int32_t id = request.add_target().target_id();
      service_.Locked([&] { ++(*asked)[connection]; });
      stream->Write(Target(v1::TargetChange::ADD, {id}));
      stream->Write(Target(v1::TargetChange::CURRENT, {id}, "r" + std::to_string(connection)));
      stream->Write(Snapshot(10 + connection));
    }
  };
  SyncClient client(host());
  std::vector<std::shared_ptr<std::vector<util::Status>>> heard;
  for (const char* path : {"users", "pin", "settings"})
    heard.push_back(client.AddListener(VRVQuery::queryWithPath(model::ResourcePath::FromString(path)), ListenOptions()));
  ASSERT_TRUE(service_.WaitFor([&] { return asked->count(3) && asked->at(3) == 3; }))
      << "the listeners were not all asked for once the headers fit";
  ASSERT_TRUE(client.WaitFor([&] {
    return std::all_of(heard.begin(), heard.end(), [](const auto& events) { return !events->empty(); });
  }));
  client.Read([&] {
    for (const auto& events : heard)
      for (const util::Status& status : *events) EXPECT_TRUE(status.ok()) << status.ToString();
  });
}

TEST_F(HostileServiceTest, AnAnswerWithNothingInFlightEndsTheWriteStreamAndAcknowledgesNoHeldBatch) {
  SyncClient client(host());
  // Whether the service has sent the real answer to the held batch, and the batches received.
  bool answered = false;
  std::vector<std::string> received;
  service_.write = [&](int connection, WriteStream* stream) {
    if (connection > 0) {
      ReadBatches(connection, stream, [&](const std::string& id, const v1::WriteRequest&) {
        service_.Locked([&] {
          received.push_back(id);
          answered = true;
        });
        return stream->Write(TeeAnswer(1234));
      });
      return;
    }
    // The client's queue waits while the handshake's answer and a stray one with the held
    // batch's shape arrive: when the stray answer is taken, the batch is held, unsent, for a
    // connection that takes its answer.
    v1::WriteRequest handshake;
    if (!stream->Read(&handshake)) return;
    std::promise<void> gate;
    client.queue->EnqueueRelaxed([held = gate.get_future().share()] { held.wait(); });
    size_t queued = client.executor->queued();
    if (stream->Write(HandshakeAnswer(connection)) && stream->Write(TeeAnswer(666))) {
      client.executor->WaitUntilQueued(queued + 2);
    }
    gate.set_value();
  };

  std::vector<std::pair<util::Status, bool>> completions;
  client.queue->EnqueueBlocking([&] {
    client.sync_engine->WriteMutations(SetAndUniteTee(), [&](const util::Status& status) {
      bool real = service_.Locked([&] { return answered; });
      client.Record([&] { completions.emplace_back(status, real); });
    });
  });
  ASSERT_TRUE(client.WaitFor([&] { return !completions.empty(); }));

  client.Read([&] {
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_TRUE(completions[0].first.ok()) << completions[0].first.ToString();
    EXPECT_TRUE(completions[0].second) << "the held batch was acknowledged by the stray answer";
  });
  EXPECT_EQ(ErrorsLogged("answered with no request in flight"), 1u);
  service_.Locked([&] {
    EXPECT_EQ(service_.write_starts().size(), 2u);
    EXPECT_EQ(received, std::vector<std::string>{"tee"});
  });
}

}  // namespace
}  // namespace core
}  // namespace verorariv
}  // namespace davedove
