#include "davedove/verorariv/core/VRVVerorarivClient.h"

#include <exception>
#include <future>
#include <mutex>
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

  // The provider tells the current user at once, then every change on its own thread.
  std::weak_ptr<VRVVerorarivClient> weakClient = client;
  auto initialUser = std::make_shared<std::promise<auth::User>>();
  auto told = std::make_shared<std::once_flag>();
  client->credentialsProvider_->SetCredentialChangeListener(
      [weakClient, initialUser, told](auth::User user) {
        bool first = false;
        std::call_once(*told, [&] {
          first = true;
          initialUser->set_value(user);
        });
        if (first) return;
        std::shared_ptr<VRVVerorarivClient> client = weakClient.lock();
        if (!client) return;
        client->enqueue([user](VRVVerorarivClient& self) { self.credentialDidChange(user); });
      });
  auth::User user = initialUser->get_future().get();
  client->workerQueue_->EnqueueBlocking([&] { client->initializeWithUser(user); });
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
    util::StatusOr<std::shared_ptr<local::VRVLevelDB>> db =
        local::VRVLevelDB::dbWithDirectory(directory.value(), serializer, lruParams);
    if (!db.ok()) {
      platform::raiseFormat(platform::kInternalInconsistencyException, "Failed to open DB: %s",
                            {db.status().ToString()});
    }
    std::shared_ptr<local::VRVLevelDB> leveldb = db.value();
    lruDelegate_ = leveldb->lruDelegate();
    persistence_ = leveldb;
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
        if (!self || self->shutDown_) return;
        self->localStore_->collectGarbage(self->lruDelegate_->gc().get());
        self->gcHasRun_ = true;
        self->scheduleLruGarbageCollection();
      });
}

void VRVVerorarivClient::credentialDidChange(const auth::User& user) {
  LOG_DEBUG("Credential changed. Current user: %s", user.uid());
  syncEngine_->HandleCredentialChange(user);
}

void VRVVerorarivClient::enqueue(std::function<void(VRVVerorarivClient&)> operation) {
  std::weak_ptr<VRVVerorarivClient> weakSelf = weak_from_this();
  workerQueue_->EnqueueRelaxed([weakSelf, operation = std::move(operation)] {
    std::shared_ptr<VRVVerorarivClient> self = weakSelf.lock();
    if (!self || self->shutDown_) return;
    operation(*self);
  });
}

std::shared_ptr<QueryListener> VRVVerorarivClient::listenToQuery(QueryPtr query,
                                                                 ListenOptions options,
                                                                 ViewSnapshotListener listener) {
  auto queryListener = std::make_shared<QueryListener>(std::move(query), options, std::move(listener));
  enqueue([queryListener](VRVVerorarivClient& self) {
    self.eventManager_->AddQueryListener(queryListener);
  });
  return queryListener;
}

void VRVVerorarivClient::removeListener(const std::shared_ptr<QueryListener>& listener) {
  enqueue([listener](VRVVerorarivClient& self) { self.eventManager_->RemoveQueryListener(listener); });
}

void VRVVerorarivClient::writeMutations(std::vector<model::MutationPtr> mutations,
                                        StatusCallback callback) {
  if (shutDown_) {
    if (callback) callback(ShutDownStatus());
    return;
  }
  enqueue([mutations = std::move(mutations), callback](VRVVerorarivClient& self) mutable {
    if (mutations.empty()) {
      if (callback) callback(Status::OK());
      return;
    }
    self.syncEngine_->WriteMutations(std::move(mutations), callback);
  });
}

void VRVVerorarivClient::disableNetworkWithCompletion(StatusCallback completion) {
  if (shutDown_) {
    if (completion) completion(ShutDownStatus());
    return;
  }
  enqueue([completion](VRVVerorarivClient& self) {
    self.remoteStore_->DisableNetwork();
    if (completion) completion(Status::OK());
  });
}

void VRVVerorarivClient::enableNetworkWithCompletion(StatusCallback completion) {
  if (shutDown_) {
    if (completion) completion(ShutDownStatus());
    return;
  }
  enqueue([completion](VRVVerorarivClient& self) {
    self.remoteStore_->EnableNetwork();
    if (completion) completion(Status::OK());
  });
}

void VRVVerorarivClient::shutdownWithCompletion(StatusCallback completion) {
  if (shutDown_.exchange(true)) {
    if (completion) completion(Status::OK());
    return;
  }
  // An operation already running or queued (a change of user, a stream restarting) may still ask
  // the provider for a token: the provider lets go only on the worker queue, once the stores have
  // stopped, and the queue then drops whatever timers, stream events, tokens or user changes
  // arrive later.
  std::shared_ptr<VRVVerorarivClient> self = shared_from_this();
  workerQueue_->EnqueueRelaxed([self, completion] {
    self->lruCallback_.Cancel();
    self->remoteStore_->Shutdown();
    self->datastore_->Shutdown();
    self->persistence_->shutdown();
    self->workerQueue_->Shutdown();
    self->credentialsProvider_->SetCredentialChangeListener(nullptr);
    if (completion) completion(Status::OK());
  });
}

bool VRVVerorarivClient::isShutdown() const { return shutDown_; }

}  // namespace core
}  // namespace verorariv
}  // namespace davedove
