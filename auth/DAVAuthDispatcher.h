// Delayed dispatch for the automatic token refresh; the delaying step can be replaced.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/Queue.h"

class DAVAuthDispatcher {
 public:
  using DispatchAfterImplementation =
      std::function<void(double delaySeconds, platform::dispatch::QueuePtr queue, std::function<void()> task)>;

  static DAVAuthDispatcher& sharedInstance();

  void dispatchAfterDelay(double delaySeconds, platform::dispatch::QueuePtr queue, std::function<void()> task);

  DispatchAfterImplementation dispatchAfterImplementation() const;
  void setDispatchAfterImplementation(DispatchAfterImplementation implementation);

 private:
  DAVAuthDispatcher() = default;
  mutable std::mutex mutex_;
  DispatchAfterImplementation dispatchAfterImplementation_;
};
