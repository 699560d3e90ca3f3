#ifndef DAVEDOVE_VERORARIV_REMOTE_ONLINE_STATE_TRACKER_H_
#define DAVEDOVE_VERORARIV_REMOTE_ONLINE_STATE_TRACKER_H_

#include <functional>
#include <memory>

#include "davedove/verorariv/model/online_state.h"
#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/status.h"

namespace davedove {
namespace verorariv {
namespace remote {

// Decides the online state from the watch stream's fortunes: Online once a message arrives;
// Offline after a first connection attempt has not succeeded within 10 s, or after two failed
// attempts in a row; Unknown while still trying. Called on the async queue.
class OnlineStateTracker {
 public:
  using Handler = std::function<void(model::OnlineState)>;

  OnlineStateTracker(std::shared_ptr<util::AsyncQueue> queue, Handler handler);
  ~OnlineStateTracker();

  // The watch stream starts connecting.
  void HandleWatchStreamStart();
  // The watch stream failed (or was closed with an error).
  void HandleWatchStreamFailure(const util::Status& error);
  // Explicit state: Online on the first message, Offline when the network is disabled, Unknown
  // when the stream is stopped for good reasons.
  void UpdateState(model::OnlineState new_state);

  model::OnlineState state() const { return state_; }

 private:
  void SetAndBroadcast(model::OnlineState new_state);
  void ClearTimer();

  std::shared_ptr<util::AsyncQueue> queue_;
  Handler handler_;
  model::OnlineState state_ = model::OnlineState::Unknown;
  int watch_stream_failures_ = 0;
  util::DelayedOperation online_state_timer_;
  bool timer_scheduled_ = false;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_ONLINE_STATE_TRACKER_H_
