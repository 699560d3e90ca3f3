#include "davedove/verorariv/api/DAVSnapshotListening.h"

#include <mutex>
#include <utility>

#include "davedove/verorariv/core/VRVVerorarivClient.h"
#include "davedove/verorariv/core/async_event_listener.h"
#include "davedove/verorariv/util/log.h"

using davedove::verorariv::core::AsyncEventListener;
using davedove::verorariv::core::ListenOptions;
using davedove::verorariv::core::QueryListener;
using davedove::verorariv::core::QueryPtr;
using davedove::verorariv::core::ViewSnapshot;
using davedove::verorariv::core::VRVVerorarivClient;
using davedove::verorariv::util::Status;
using davedove::verorariv::util::StatusOr;

std::shared_ptr<DAVListenerRegistration> DAVListenToQuery(
    const std::shared_ptr<DAVVerorariv>& verorariv, QueryPtr query, ListenOptions options,
    DAVViewSnapshotHandler handler) {
  std::shared_ptr<VRVVerorarivClient> client = verorariv->client();
  auto asyncListener = std::make_shared<AsyncEventListener<StatusOr<ViewSnapshot>>>(
      verorariv->settings().dispatchQueue(), std::move(handler));
  std::shared_ptr<QueryListener> queryListener = client->listenToQuery(
      std::move(query), options,
      [asyncListener](StatusOr<ViewSnapshot> snapshot) { asyncListener->OnEvent(std::move(snapshot)); });
  std::weak_ptr<VRVVerorarivClient> weakClient = client;
  return std::make_shared<DAVListenerRegistration>([asyncListener, weakClient, queryListener] {
    asyncListener->Mute();
    if (std::shared_ptr<VRVVerorarivClient> client = weakClient.lock()) {
      client->removeListener(queryListener);
    }
  });
}

void DAVGetViewSnapshot(const std::shared_ptr<DAVVerorariv>& verorariv, QueryPtr query,
                        DAVViewSnapshotHandler handler) {
  // The registration exists only once DAVListenToQuery returns, which may be after the first
  // snapshot arrived on another thread.
  struct State {
    std::mutex mutex;
    bool done = false;
    std::shared_ptr<DAVListenerRegistration> registration;
  };
  auto state = std::make_shared<State>();
  ListenOptions options;
  options.include_metadata_changes = true;
  options.wait_for_sync_when_online = true;
  std::shared_ptr<DAVListenerRegistration> registration = DAVListenToQuery(
      verorariv, std::move(query), options,
      [state, handler = std::move(handler)](StatusOr<ViewSnapshot> snapshot) {
        std::shared_ptr<DAVListenerRegistration> registration;
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          if (state->done) return;
          state->done = true;
          registration = state->registration;
        }
        if (registration) registration->remove();
        handler(std::move(snapshot));
      });
  bool alreadyDone;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    alreadyDone = state->done;
    if (!alreadyDone) state->registration = registration;
  }
  if (alreadyDone) registration->remove();
}

platform::ErrorPtr DAVErrorFromStatus(const Status& status) {
  if (status.ok()) return nullptr;
  return davedove::verorariv::util::MakeNSError(static_cast<int64_t>(status.code()),
                                                status.error_message());
}

std::function<void(const Status&)> DAVWriteCompletion(const std::shared_ptr<DAVVerorariv>& verorariv,
                                                      DAVVerorarivErrorBlock completion,
                                                      std::string description) {
  platform::dispatch::QueuePtr queue = verorariv->settings().dispatchQueue();
  return [queue, completion = std::move(completion),
          description = std::move(description)](const Status& status) {
    if (!completion) {
      // Nobody waits for this write: a refusal must not pass unnoticed.
      if (!status.ok()) {
        LOG_WARN("Write at %s failed: %s", description, status.error_message());
      }
      return;
    }
    platform::ErrorPtr error = DAVErrorFromStatus(status);
    queue->async([completion, error] { completion(error); });
  };
}
