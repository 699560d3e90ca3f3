#include "davedove/verorariv/remote/online_state_tracker.h"

#include <utility>

#include "davedove/verorariv/util/log.h"

namespace davedove {
namespace verorariv {
namespace remote {

using model::OnlineState;

namespace {
// Failed connection attempts in a row before the client counts as offline.
constexpr int kMaxWatchStreamFailures = 1;
// How long a first connection attempt may take before the client counts as offline.
constexpr util::Milliseconds kOnlineStateTimeout(10000);
}  // namespace

OnlineStateTracker::OnlineStateTracker(std::shared_ptr<util::AsyncQueue> queue, Handler handler)
    : queue_(std::move(queue)), handler_(std::move(handler)) {}

OnlineStateTracker::~OnlineStateTracker() { online_state_timer_.Cancel(); }

void OnlineStateTracker::HandleWatchStreamStart() {
  if (watch_stream_failures_ != 0) return;
  SetAndBroadcast(OnlineState::Unknown);
  if (timer_scheduled_) return;
  timer_scheduled_ = true;
  online_state_timer_ = queue_->EnqueueAfterDelay(kOnlineStateTimeout, util::TimerId::OnlineStateTimeout, [this] {
    timer_scheduled_ = false;
    if (state_ == OnlineState::Unknown) {
      LOG_DEBUG("Could not reach the document service within %s ms; assuming offline",
                kOnlineStateTimeout.count());
      SetAndBroadcast(OnlineState::Offline);
    }
  });
}

void OnlineStateTracker::HandleWatchStreamFailure(const util::Status& error) {
  if (state_ == OnlineState::Online) {
    // A connection that worked: try again before telling anyone.
    SetAndBroadcast(OnlineState::Unknown);
    watch_stream_failures_ = 0;
    ClearTimer();
    return;
  }
  ++watch_stream_failures_;
  if (watch_stream_failures_ >= kMaxWatchStreamFailures) {
    ClearTimer();
    LOG_DEBUG("Connection to the document service failed %s times: %s", watch_stream_failures_,
              error.ToString());
    SetAndBroadcast(OnlineState::Offline);
  }
}

void OnlineStateTracker::UpdateState(OnlineState new_state) {
  ClearTimer();
  watch_stream_failures_ = 0;
  SetAndBroadcast(new_state);
}

void OnlineStateTracker::SetAndBroadcast(OnlineState new_state) {
  if (new_state == state_) return;
  state_ = new_state;
  if (handler_) handler_(new_state);
}

void OnlineStateTracker::ClearTimer() {
  online_state_timer_.Cancel();
  timer_scheduled_ = false;
}

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
