#include "davedove/verorariv/core/VRVVerorarivClient.h"

#include <chrono>
#include <exception>
#include <future>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/local/lru_garbage_collector.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/util/hard_assert.h"
#include "davedove/verorariv/util/log.h"
#include "platform/foundation/Exception.h"

namespace davedove {
namespace verorariv {
namespace core {

using util::Status;

namespace {

Status ShutDownStatus() {
  return Status(util::VerorarivErrorCode::FailedPrecondition, "The client has already been shut down.");
}

// The storages of clients shutting down, by path, each ready once its client has let go of it.
// Only a client that holds a storage records it, so there is one per path. Never destroyed: a
// client may shut down while the process exits.
struct ClosingStorages {
  std::mutex mutex;
  std::map<std::string, std::shared_future<void>> byPath;
};
ClosingStorages& Closing() {
  static auto* closing = new ClosingStorages();
  return *closing;
}

void RecordClosing(const std::string& path, std::shared_future<void> released) {
  ClosingStorages& closing = Closing();
  std::lock_guard<std::mutex> lock(closing.mutex);
  for (auto it = closing.byPath.begin(); it != closing.byPath.end();) {
    bool done = it->second.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    it = done ? closing.byPath.erase(it) : std::next(it);
  }
  closing.byPath[path] = std::move(released);
}

// Waits for a client shutting down that still holds the storage at `path`. That client needs
// nothing but its own worker queue to finish (its completions and snapshots go out without
// waiting), so the opener may wait on any other queue, the main queue included.
void WaitUntilReleased(const std::string& path) {
  ClosingStorages& closing = Closing();
  std::shared_future<void> released;
  {
    std::lock_guard<std::mutex> lock(closing.mutex);
    auto found = closing.byPath.find(path);
    if (found != closing.byPath.end()) released = found->second;
  }
  if (released.valid()) released.wait();
}

}  // namespace

std::shared_ptr<VRVVerorarivClient> VRVVerorarivClient::clientWithDatabaseInfo(
    const DatabaseInfo& databaseInfo, const DAVVerorarivSettings& settings,
    std::shared_ptr<auth::CredentialsProvider> credentialsProvider,
    std::shared_ptr<util::AsyncQueue> workerQueue) {
  auto client = std::make_shared<VRVVerorarivClient>(ConstructionKey{}, databaseInfo,
                                                     std::move(credentialsProvider),
                                                     std::move(workerQueue));

  // Opening the storage on the caller's behalf lets a failure reach the caller as an exception
  // instead of ending the process on the worker thread. Nothing is registered yet, so a later
  // attempt starts afresh.
  std::exception_ptr failure;
  client->workerQueue_->EnqueueBlocking([&] {
    try {
      client->openPersistence(settings);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);

  // The provider tells the current user at once, then every change on its own thread. The first
  // call queues the start, so a change that follows at once is queued behind it.
  std::weak_ptr<VRVVerorarivClient> weakClient = client;
  client->credentialsProvider_->SetCredentialChangeListener([weakClient](auth::User user) {
    if (std::shared_ptr<VRVVerorarivClient> client = weakClient.lock()) client->userDidChange(user);
  });
  {
    std::lock_guard<std::mutex> lock(client->stateMutex_);
    HARD_ASSERT(client->started_, "The credentials provider did not tell the current user.");
  }
  client->workerQueue_->EnqueueBlocking([] {});
  return client;
}

VRVVerorarivClient::VRVVerorarivClient(ConstructionKey, const DatabaseInfo& databaseInfo,
                                       std::shared_ptr<auth::CredentialsProvider> credentialsProvider,
                                       std::shared_ptr<util::AsyncQueue> workerQueue)
    : databaseInfo_(databaseInfo),
      credentialsProvider_(std::move(credentialsProvider)),
      workerQueue_(std::move(workerQueue)) {}

VRVVerorarivClient::~VRVVerorarivClient() = default;

void VRVVerorarivClient::openPersistence(const DAVVerorarivSettings& settings) {
  if (settings.isPersistenceEnabled()) {
    util::StatusOr<util::Path> directory = local::VRVLevelDB::storageDirectoryForDatabaseInfo(
        databaseInfo_, local::VRVLevelDB::documentsDirectory());
    if (!directory.ok()) {
      platform::raiseFormat(platform::kInternalInconsistencyException, "Failed to open DB: %s",
                            {directory.status().ToString()});
    }
    auto remoteSerializer =
        std::make_shared<const remote::VRVSerializerBeta>(databaseInfo_.database_id());
    auto serializer = std::make_shared<const local::VRVLocalSerializer>(remoteSerializer);
    local::LruParams lruParams{settings.cacheSizeBytes(), 10, 1000};
    WaitUntilReleased(directory.value().ToUtf8String());
    util::StatusOr<std::shared_ptr<local::VRVLevelDB>> db =
        local::VRVLevelDB::dbWithDirectory(directory.value(), serializer, lruParams);
    if (!db.ok()) {
      platform::raiseFormat(platform::kInternalInconsistencyException, "Failed to open DB: %s",
                            {db.status().ToString()});
    }
    std::shared_ptr<local::VRVLevelDB> leveldb = db.value();
    lruDelegate_ = leveldb->lruDelegate();
    persistence_ = leveldb;
    persistent_ = true;
    storagePath_ = directory.value().ToUtf8String();
  } else {
    persistence_ = local::VRVMemoryPersistence::persistenceWithEagerGC();
  }
}

void VRVVerorarivClient::initializeWithUser(const auth::User& user) {
  localStore_ = std::make_unique<local::VRVLocalStore>(persistence_, user);
  datastore_ =
      std::make_shared<remote::Datastore>(databaseInfo_, workerQueue_, credentialsProvider_.get());
  // Without a handler of its own the remote store reports the online state to the sync engine.
  remoteStore_ = std::make_unique<remote::RemoteStore>(localStore_.get(), datastore_, workerQueue_,
                                                       nullptr);
  syncEngine_ = std::make_unique<SyncEngine>(localStore_.get(), remoteStore_.get(), user);
  eventManager_ = std::make_unique<EventManager>(syncEngine_.get());
  syncEngine_->SetCallback(eventManager_.get());
  remoteStore_->set_sync_engine(syncEngine_.get());

  localStore_->start();
  remoteStore_->Start();
  if (lruDelegate_) scheduleLruGarbageCollection();
}

void VRVVerorarivClient::scheduleLruGarbageCollection() {
  int64_t delay = gcHasRun_ ? regularGcDelay_ : initialGcDelay_;
  std::weak_ptr<VRVVerorarivClient> weakSelf = weak_from_this();
  lruCallback_ = workerQueue_->EnqueueAfterDelay(
      util::Milliseconds(delay), util::TimerId::GarbageCollection, [weakSelf] {
        std::shared_ptr<VRVVerorarivClient> self = weakSelf.lock();
        if (!self) return;
        self->localStore_->collectGarbage(self->lruDelegate_->gc().get());
        self->gcHasRun_ = true;
        self->scheduleLruGarbageCollection();
      });
}

void VRVVerorarivClient::userDidChange(const auth::User& user) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (!started_) {
    started_ = true;
    enqueueLocked([user](VRVVerorarivClient& self) { self.initializeWithUser(user); });
    return;
  }
  // Once shutting down, a change of user is dropped: the next client starts with the user then.
  enqueueLocked([user](VRVVerorarivClient& self) { self.credentialDidChange(user); });
}

void VRVVerorarivClient::credentialDidChange(const auth::User& user) {
  LOG_DEBUG("Credential changed. Current user: %s", user.uid());
  syncEngine_->HandleCredentialChange(user);
}

bool VRVVerorarivClient::enqueue(std::function<void(VRVVerorarivClient&)> operation) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return enqueueLocked(std::move(operation));
}

bool VRVVerorarivClient::enqueueLocked(std::function<void(VRVVerorarivClient&)> operation) {
  if (shutDown_) return false;
  // The shutdown's own operation holds the client until everything queued before it has run.
  std::weak_ptr<VRVVerorarivClient> weakSelf = weak_from_this();
  workerQueue_->EnqueueRelaxed([weakSelf, operation = std::move(operation)] {
    if (std::shared_ptr<VRVVerorarivClient> self = weakSelf.lock()) operation(*self);
  });
  return true;
}

std::shared_ptr<QueryListener> VRVVerorarivClient::listenToQuery(QueryPtr query,
                                                                 ListenOptions options,
                                                                 ViewSnapshotListener listener) {
  auto queryListener = std::make_shared<QueryListener>(std::move(query), options, std::move(listener));
  bool queued = enqueue([queryListener](VRVVerorarivClient& self) {
    self.eventManager_->AddQueryListener(queryListener);
  });
  if (!queued) queryListener->OnError(ShutDownStatus());
  return queryListener;
}

void VRVVerorarivClient::removeListener(const std::shared_ptr<QueryListener>& listener) {
  enqueue([listener](VRVVerorarivClient& self) { self.eventManager_->RemoveQueryListener(listener); });
}

void VRVVerorarivClient::writeMutations(std::vector<model::MutationPtr> mutations,
                                        StatusCallback callback) {
  bool queued = enqueue([mutations = std::move(mutations), callback](VRVVerorarivClient& self) mutable {
    if (mutations.empty()) {
      if (callback) callback(Status::OK());
      return;
    }
    WriteCallback answered;
    if (callback) {
      uint64_t number = self.nextWriteNumber_++;
      self.unansweredWrites_.emplace(number, std::move(callback));
      // The sync engine belongs to the client and answers on the worker queue.
      VRVVerorarivClient* client = &self;
      answered = [client, number](const Status& status) {
        auto found = client->unansweredWrites_.find(number);
        if (found == client->unansweredWrites_.end()) return;
        StatusCallback done = std::move(found->second);
        client->unansweredWrites_.erase(found);
        done(status);
      };
    }
    self.syncEngine_->WriteMutations(std::move(mutations), std::move(answered));
  });
  if (!queued && callback) callback(ShutDownStatus());
}

void VRVVerorarivClient::disableNetworkWithCompletion(StatusCallback completion) {
  bool queued = enqueue([completion](VRVVerorarivClient& self) {
    self.remoteStore_->DisableNetwork();
    if (completion) completion(Status::OK());
  });
  if (!queued && completion) completion(ShutDownStatus());
}

void VRVVerorarivClient::enableNetworkWithCompletion(StatusCallback completion) {
  bool queued = enqueue([completion](VRVVerorarivClient& self) {
    self.remoteStore_->EnableNetwork();
    if (completion) completion(Status::OK());
  });
  if (!queued && completion) completion(ShutDownStatus());
}

void VRVVerorarivClient::shutdownWithCompletion(StatusCallback completion) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!shutDown_) {
      // Queued behind everything accepted so far; nothing is accepted after it.
      std::shared_ptr<VRVVerorarivClient> self = shared_from_this();
      workerQueue_->EnqueueRelaxed([self, completion] { self->shutDownOnWorkerQueue(completion); });
      shutDown_ = true;
      // A new client of the same storage waits until then.
      if (!storagePath_.empty()) RecordClosing(storagePath_, released_.get_future().share());
      return;
    }
    if (!shutDownFinished_) {
      if (completion) shutdownWaiters_.push_back(std::move(completion));
      return;
    }
  }
  if (completion) completion(Status::OK());
}

void VRVVerorarivClient::shutDownOnWorkerQueue(StatusCallback completion) {
  lruCallback_.Cancel();
  remoteStore_->Shutdown();
  datastore_->Shutdown();
  persistence_->shutdown();
  released_.set_value();
  // An operation already running or queued (a change of user, a stream restarting) may still ask
  // the provider for a token: the provider lets go only here, once the stores have stopped, and
  // the queue drops whatever timers, stream events or tokens arrive later.
  workerQueue_->Shutdown();
  credentialsProvider_->SetCredentialChangeListener(nullptr);

  // The server will not answer these any more; their batches wait in the storage, if any.
  Status unanswered =
      persistent_
          ? Status(util::VerorarivErrorCode::Unavailable,
                   "The client was shut down before the server acknowledged the write; it stays "
                   "pending and is sent when the database starts again.")
          : Status(util::VerorarivErrorCode::Unavailable,
                   "The client was shut down before the server acknowledged the write; without "
                   "persistence the write is lost.");
  std::map<uint64_t, StatusCallback> writes;
  writes.swap(unansweredWrites_);
  for (auto& entry : writes) entry.second(unanswered);

  std::vector<StatusCallback> waiters;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    shutDownFinished_ = true;
    waiters.swap(shutdownWaiters_);
  }
  if (completion) completion(Status::OK());
  for (const StatusCallback& waiter : waiters) waiter(Status::OK());
}

bool VRVVerorarivClient::isShutdown() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return shutDown_;
}

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
