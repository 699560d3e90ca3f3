#include "auth/DAVAuthDispatcher.h"

#include <chrono>
#include <cmath>

DAVAuthDispatcher& DAVAuthDispatcher::sharedInstance() {
  static std::once_flag once;
  static DAVAuthDispatcher* instance = nullptr;
  platform::dispatch::once(once, [] { instance = new DAVAuthDispatcher(); });
  return *instance;
}

void DAVAuthDispatcher::dispatchAfterDelay(double delaySeconds, platform::dispatch::QueuePtr queue,
                                           std::function<void()> task) {
  DispatchAfterImplementation implementation = dispatchAfterImplementation();
  if (implementation) {
    implementation(delaySeconds, std::move(queue), std::move(task));
    return;
  }
  // Truncated to whole nanoseconds; a negative or non-finite delay runs as soon as possible.
  double nanos = delaySeconds * 1e9;
  if (!std::isfinite(nanos) || nanos < 0) nanos = 0;
  if (nanos > 9.0e18) nanos = 9.0e18;
  queue->after(std::chrono::nanoseconds(static_cast<int64_t>(nanos)), std::move(task));
}

DAVAuthDispatcher::DispatchAfterImplementation DAVAuthDispatcher::dispatchAfterImplementation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dispatchAfterImplementation_;
}

void DAVAuthDispatcher::setDispatchAfterImplementation(DispatchAfterImplementation implementation) {
  std::lock_guard<std::mutex> lock(mutex_);
  dispatchAfterImplementation_ = std::move(implementation);
}
