#ifndef DAVEDOVE_VERORARIV_REMOTE_EXPONENTIAL_BACKOFF_H_
#define DAVEDOVE_VERORARIV_REMOTE_EXPONENTIAL_BACKOFF_H_

#include <memory>

#include "davedove/verorariv/util/async_queue.h"
#include "davedove/verorariv/util/executor.h"

namespace davedove {
namespace verorariv {
namespace remote {

// Delays retries on the async queue: the first attempt goes at once, each later one waits the
// current delay (with up to half of it as random jitter either way), and the delay grows by
// `backoff_factor` up to `max_delay`. Called on the queue.
class ExponentialBackoff {
 public:
  ExponentialBackoff(std::shared_ptr<util::AsyncQueue> queue, util::TimerId timer_id,
                     double backoff_factor = 1.5,
                     util::Milliseconds initial_delay = util::Milliseconds(1000),
                     util::Milliseconds max_delay = util::Milliseconds(60000));
  ~ExponentialBackoff();

  // The next attempt goes at once.
  void Reset();
  // The next attempt waits the longest delay.
  void ResetToMax();
  // Runs `operation` after the current delay and grows the delay; cancels a pending one.
  void BackoffAndRun(util::Operation operation);
  void Cancel();

  util::Milliseconds current_base() const { return current_base_; }

 private:
  std::shared_ptr<util::AsyncQueue> queue_;
  util::TimerId timer_id_;
  double backoff_factor_;
  util::Milliseconds initial_delay_;
  util::Milliseconds max_delay_;
  util::Milliseconds current_base_{0};
  util::DelayedOperation delayed_operation_;
};

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_REMOTE_EXPONENTIAL_BACKOFF_H_
