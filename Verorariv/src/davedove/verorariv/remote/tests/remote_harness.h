// A remote store over the real local store, talking to the backend stand-in on loopback; for the
// end-to-end tests and the benchmark of the remote layer.
#ifndef DAVEDOVE_VERORARIV_REMOTE_TESTS_REMOTE_HARNESS_H_
#define DAVEDOVE_VERORARIV_REMOTE_TESTS_REMOTE_HARNESS_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backend/src/TestBackend.h"
#include "davedove/verorariv/auth/credentials_provider.h"
#include "davedove/verorariv/core/database_info.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/datastore.h"
#include "davedove/verorariv/remote/remote_store.h"
#include "davedove/verorariv/remote/remote_syncer.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/executor_libdispatch.h"
#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace remote {
namespace testing {

// Tokens of a user signed in at the identity stand-in. Tokens queued with HandOut go out first
// (to play an expired or forged token); InvalidateToken makes the next fetch sign in afresh.
class BackendCredentials : public auth::CredentialsProvider {
 public:
  BackendCredentials(backend::TestBackend* backend, std::string email, std::string password)
      : backend_(backend), email_(std::move(email)), password_(std::move(password)) {
    auto user = backend_->signIn(email_, password_);
    uid_ = user.uid;
    token_ = user.idToken;
  }

  void GetToken(auth::TokenListener completion) override {
    std::string token;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!handed_out_.empty()) {
        token = handed_out_.front();
        handed_out_.pop_front();
      } else {
        if (force_refresh_) {
          token_ = backend_->signIn(email_, password_).idToken;
          ++forced_refreshes_;
        }
        token = token_;
      }
      force_refresh_ = false;
    }
    completion(auth::Token(token, auth::User(uid_)));
  }
  void InvalidateToken() override {
    std::lock_guard<std::mutex> lock(mutex_);
    force_refresh_ = true;
  }
  void SetCredentialChangeListener(auth::CredentialChangeListener listener) override {
    change_listener_ = std::move(listener);
    if (change_listener_) change_listener_(auth::User(uid_));
  }

  void HandOut(std::string token) {
    std::lock_guard<std::mutex> lock(mutex_);
    handed_out_.push_back(std::move(token));
  }
  int forced_refreshes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forced_refreshes_;
  }
  const std::string& uid() const { return uid_; }
  const std::string& token() const { return token_; }

 private:
  backend::TestBackend* backend_;
  std::string email_;
  std::string password_;
  std::string uid_;
  mutable std::mutex mutex_;
  std::string token_;
  std::deque<std::string> handed_out_;
  bool force_refresh_ = false;
  int forced_refreshes_ = 0;
};

// The least a sync engine does: hands everything to the local store, and records it.
class RecordingSyncer : public RemoteSyncer {
 public:
  struct Ack {
    model::BatchId batch_id;
    model::SnapshotVersion commit_version;
    std::vector<model::VRVMutationResult> results;
  };

  explicit RecordingSyncer(local::VRVLocalStore* local_store) : local_store_(local_store) {}

  void ApplyRemoteEvent(const RemoteEvent& remote_event) override {
    local_store_->applyRemoteEvent(remote_event);
    Record([&] { events_.push_back(remote_event); });
    if (on_event) on_event(remote_event);
  }
  void HandleRejectedListen(core::TargetId target_id, util::Status error) override {
    Record([&] { rejected_listens_.emplace_back(target_id, error); });
  }
  void HandleSuccessfulWrite(const model::MutationBatchResultPtr& batch_result) override {
    local_store_->acknowledgeBatchWithResult(*batch_result);
    Record([&] {
      acks_.push_back({batch_result->batch()->batchID(), batch_result->commitVersion(),
                       batch_result->mutationResults()});
    });
  }
  void HandleRejectedWrite(model::BatchId batch_id, util::Status error) override {
    local_store_->rejectBatchID(batch_id);
    Record([&] { rejected_writes_.emplace_back(batch_id, error); });
  }
  void HandleOnlineStateChange(model::OnlineState online_state) override {
    Record([&] { online_states_.push_back(online_state); });
  }
  model::DocumentKeySet GetRemoteKeysForTarget(core::TargetId target_id) const override {
    return local_store_->remoteDocumentKeysForTarget(target_id);
  }

  // Waits (up to 30 s) until `done` holds over the records; false on timeout.
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), done);
  }
  // Reads the records consistently.
  template <typename F>
  auto Read(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

  std::vector<RemoteEvent> events_;
  std::vector<std::pair<core::TargetId, util::Status>> rejected_listens_;
  std::vector<Ack> acks_;
  std::vector<std::pair<model::BatchId, util::Status>> rejected_writes_;
  std::vector<model::OnlineState> online_states_;
  // Runs on the async queue for every event (the benchmark's clock).
  std::function<void(const RemoteEvent&)> on_event;

 private:
  template <typename F>
  void Record(F f) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      f();
    }
    changed_.notify_all();
  }

  local::VRVLocalStore* local_store_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// Queue, local store (memory), datastore and remote store of one client, signed in as one user.
class RemoteClient {
 public:
  // `host` replaces the backend's document service (to talk to something else).
  RemoteClient(backend::TestBackend* backend, const std::string& email, const std::string& password,
               const std::string& host = "")
      : credentials(backend, email, password),
        queue(std::make_shared<util::AsyncQueue>(std::make_unique<util::ExecutorLibdispatch>(
            platform::dispatch::Queue::serial("com.variru.davedove.verorariv")))) {
    core::DatabaseInfo info(model::DatabaseId(backend->projectId(), model::DatabaseId::kDefault), "remote-test",
                            host.empty() ? backend->documentsHost() : host, /*ssl_enabled=*/false);
    queue->EnqueueBlocking([&] {
      local_store = std::make_unique<local::VRVLocalStore>(local::VRVMemoryPersistence::persistenceWithEagerGC(),
                                                           auth::User(credentials.uid()));
      local_store->start();
      syncer = std::make_unique<RecordingSyncer>(local_store.get());
      datastore = std::make_shared<Datastore>(info, queue, &credentials);
      remote_store = std::make_unique<RemoteStore>(local_store.get(), datastore, queue, nullptr);
      remote_store->set_sync_engine(syncer.get());
      remote_store->Start();
    });
  }

  ~RemoteClient() {
    queue->EnqueueBlocking([&] {
      remote_store->Shutdown();
      datastore->Shutdown();
      remote_store.reset();
      datastore.reset();
    });
  }

  template <typename F>
  auto OnQueue(F f) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
      queue->EnqueueBlocking(f);
    } else {
      R result{};
      queue->EnqueueBlocking([&] { result = f(); });
      return result;
    }
  }

  // Allocates the target in the local store and listens to it; the target id.
  core::TargetId Listen(const core::QueryPtr& query) {
    return OnQueue([&] {
      local::QueryDataPtr query_data = local_store->allocateQuery(query);
      remote_store->Listen(query_data);
      return query_data->targetID();
    });
  }

  // Stores the mutations as one batch and sends it; the batch id.
  model::BatchId Write(std::vector<model::MutationPtr> mutations) {
    return OnQueue([&] {
      model::BatchId id = local_store->locallyWriteMutations(std::move(mutations)).batchID();
      remote_store->FillWritePipeline();
      return id;
    });
  }

  model::DocumentKeySet RemoteKeys(core::TargetId target_id) {
    return OnQueue([&] { return local_store->remoteDocumentKeysForTarget(target_id); });
  }

  // Waits (up to 30 s) until the local store holds exactly these keys for the target.
  bool WaitForRemoteKeys(core::TargetId target_id, const std::set<std::string>& paths) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      size_t seen = syncer->Read([&] { return syncer->events_.size(); });
      std::set<std::string> held;
      for (const auto& key : RemoteKeys(target_id)) held.insert(key.ToString());
      if (held == paths) return true;
      syncer->WaitFor([&] { return syncer->events_.size() > seen; });
    }
    return false;
  }

  BackendCredentials credentials;
  std::shared_ptr<util::AsyncQueue> queue;
  std::unique_ptr<local::VRVLocalStore> local_store;
  std::unique_ptr<RecordingSyncer> syncer;
  std::shared_ptr<Datastore> datastore;
  std::unique_ptr<RemoteStore> remote_store;
};

}  // namespace testing
}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_TESTS_REMOTE_HARNESS_H_
