#ifndef DAVEDOVE_VERORARIV_CORE_VRVVERORARIVCLIENT_H_
#define DAVEDOVE_VERORARIV_CORE_VRVVERORARIVCLIENT_H_

#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "davedove/verorariv/api/DAVVerorarivSettings.h"
#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/core/event_manager.h"
#include "davedove/verorariv/core/sync_engine.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVPersistence.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/remote/datastore.h"
#include "davedove/verorariv/remote/remote_store.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/status.h"
#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace core {

// The client behind one database instance: owns the persistence, the local store, the remote
// store, the sync engine and the event manager, all of which live on the worker queue. Every
// public method may be called from any thread but the worker queue; completions run on the
// worker queue unless said otherwise.
class VRVVerorarivClient : public std::enable_shared_from_this<VRVVerorarivClient> {
 public:
  using StatusCallback = std::function<void(const util::Status&)>;

  // Starts the client: opens the persistence and starts the stores on the worker queue before it
  // returns; no change of user is handled before that. A client shutting down that still holds
  // the same storage is waited for first. Raises the platform's internal-inconsistency exception
  // when the database on disk cannot be opened.
  static std::shared_ptr<VRVVerorarivClient> clientWithDatabaseInfo(
      const DatabaseInfo& databaseInfo, const DAVVerorarivSettings& settings,
      std::shared_ptr<auth::CredentialsProvider> credentialsProvider,
      std::shared_ptr<util::AsyncQueue> workerQueue);

  ~VRVVerorarivClient();

  // Registers a listener of the query; the listener runs on the worker queue. Once the client is
  // shut down the listener gets a failed-precondition status instead.
  std::shared_ptr<QueryListener> listenToQuery(QueryPtr query, ListenOptions options,
                                               ViewSnapshotListener listener);
  void removeListener(const std::shared_ptr<QueryListener>& listener);

  // Applies the mutations locally at once, as one batch, and sends them; the callback gets the
  // server's answer, or an unavailable status when the client shuts down before the answer (the
  // batch stays in the persistence for the next client).
  void writeMutations(std::vector<model::MutationPtr> mutations, StatusCallback callback);

  void disableNetworkWithCompletion(StatusCallback completion);
  void enableNetworkWithCompletion(StatusCallback completion);

  // Runs everything queued so far, then stops the streams and releases the storage, the worker
  // queue and the provider's listener; afterwards every call does nothing and completions get a
  // failed-precondition status. A later call completes once the first shutdown has finished.
  void shutdownWithCompletion(StatusCallback completion);
  bool isShutdown() const;

  const DatabaseInfo& databaseInfo() const { return databaseInfo_; }
  const std::shared_ptr<util::AsyncQueue>& workerQueue() const { return workerQueue_; }

  // Worker queue only (tests).
  local::VRVLocalStore* localStore() const { return localStore_.get(); }
  SyncEngine* syncEngineForTesting() const { return syncEngine_.get(); }
  bool hasGarbageCollectionRun() const { return gcHasRun_; }
  int64_t initialGcDelay() const { return initialGcDelay_; }
  int64_t regularGcDelay() const { return regularGcDelay_; }

  struct ConstructionKey {};
  VRVVerorarivClient(ConstructionKey, const DatabaseInfo& databaseInfo,
                     std::shared_ptr<auth::CredentialsProvider> credentialsProvider,
                     std::shared_ptr<util::AsyncQueue> workerQueue);

 private:
  // Both on the worker queue: the storage first (LevelDB or memory), then the stores for the
  // first user.
  void openPersistence(const DAVVerorarivSettings& settings);
  void initializeWithUser(const auth::User& user);
  // Called by the credentials provider: the first user starts the client, later ones change it.
  void userDidChange(const auth::User& user);
  void credentialDidChange(const auth::User& user);
  void scheduleLruGarbageCollection();
  // Queues the operation on the worker queue ahead of any shutdown; false, and nothing queued,
  // once the client is shutting down.
  bool enqueue(std::function<void(VRVVerorarivClient&)> operation);
  bool enqueueLocked(std::function<void(VRVVerorarivClient&)> operation);
  void shutDownOnWorkerQueue(StatusCallback completion);

  const DatabaseInfo databaseInfo_;
  const std::shared_ptr<auth::CredentialsProvider> credentialsProvider_;
  const std::shared_ptr<util::AsyncQueue> workerQueue_;

  // Worker queue only.
  std::shared_ptr<local::VRVPersistence> persistence_;
  std::shared_ptr<local::VRVLRUDelegate> lruDelegate_;
  std::unique_ptr<local::VRVLocalStore> localStore_;
  std::shared_ptr<remote::Datastore> datastore_;
  std::unique_ptr<remote::RemoteStore> remoteStore_;
  std::unique_ptr<SyncEngine> syncEngine_;
  std::unique_ptr<EventManager> eventManager_;
  util::DelayedOperation lruCallback_;
  bool gcHasRun_ = false;
  int64_t initialGcDelay_ = 60000;
  int64_t regularGcDelay_ = 300000;
  bool persistent_ = false;
  // The path of the storage, once open (empty without persistence); set before the client is
  // handed out, and kept.
  std::string storagePath_;
  // Ready once the storage is released (or the client is gone).
  std::promise<void> released_;
  // Completions of writes the server has not answered yet, by a number of the client's own.
  std::map<uint64_t, StatusCallback> unansweredWrites_;
  uint64_t nextWriteNumber_ = 0;

  // Taken around every enqueue, so that an operation is queued either before the shutdown or not
  // at all.
  mutable std::mutex stateMutex_;
  bool started_ = false;
  bool shutDown_ = false;
  bool shutDownFinished_ = false;
  std::vector<StatusCallback> shutdownWaiters_;
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_VRVVERORARIVCLIENT_H_
