#include "davedove/verorariv/remote/exponential_backoff.h"

#include <algorithm>
#include <random>
#include <utility>


namespace davedove {
namespace verorariv {
namespace remote {

using util::Milliseconds;

ExponentialBackoff::ExponentialBackoff(std::shared_ptr<util::AsyncQueue> queue, util::TimerId timer_id,
                                       double backoff_factor, Milliseconds initial_delay,
                                       Milliseconds max_delay)
    : queue_(std::move(queue)),
      timer_id_(timer_id),
      backoff_factor_(backoff_factor),
      initial_delay_(initial_delay),
      max_delay_(max_delay) {}

ExponentialBackoff::~ExponentialBackoff() { Cancel(); }

void ExponentialBackoff::Reset() { current_base_ = Milliseconds(0); }

void ExponentialBackoff::ResetToMax() { current_base_ = max_delay_; }

void ExponentialBackoff::BackoffAndRun(util::Operation operation) {
  Cancel();
  // Jitter of up to half the base either way, so that many clients do not retry in step.
  int64_t base = current_base_.count();
  int64_t jitter = 0;
  if (base > 0) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<int64_t> distribution(-base / 2, base / 2);
    jitter = distribution(generator);
  }
  Milliseconds delay(std::max<int64_t>(0, base + jitter));
  delayed_operation_ = queue_->EnqueueAfterDelay(delay, timer_id_, std::move(operation));

  int64_t next = static_cast<int64_t>(static_cast<double>(base) * backoff_factor_);
  next = std::max<int64_t>(next, initial_delay_.count());
  current_base_ = Milliseconds(std::min<int64_t>(next, max_delay_.count()));
}

void ExponentialBackoff::Cancel() { delayed_operation_.Cancel(); }

}  // namespace remote
}  // namespace verorariv
}  // namespace davedove
