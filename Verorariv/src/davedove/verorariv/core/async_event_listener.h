#ifndef DAVEDOVE_VERORARIV_CORE_ASYNC_EVENT_LISTENER_H_
#define DAVEDOVE_VERORARIV_CORE_ASYNC_EVENT_LISTENER_H_

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace core {

// Carries events from the worker queue to the application's queue. Once muted it delivers
// nothing more, also events already on their way.
template <typename T>
class AsyncEventListener : public std::enable_shared_from_this<AsyncEventListener<T>> {
 public:
  AsyncEventListener(platform::dispatch::QueuePtr queue, std::function<void(T)> delegate)
      : queue_(std::move(queue)), delegate_(std::move(delegate)) {}

  void OnEvent(T event) {
    auto self = this->shared_from_this();
    queue_->async([self, event = std::move(event)]() mutable {
      if (!self->muted_) self->delegate_(std::move(event));
    });
  }

  void Mute() { muted_ = true; }
  bool muted() const { return muted_; }

 private:
  platform::dispatch::QueuePtr queue_;
  std::function<void(T)> delegate_;
  std::atomic<bool> muted_{false};
};

}  // namespace core
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_CORE_ASYNC_EVENT_LISTENER_H_
