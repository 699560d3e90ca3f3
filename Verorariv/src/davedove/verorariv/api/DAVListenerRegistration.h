#ifndef DAVEDOVE_VERORARIV_API_DAVLISTENERREGISTRATION_H_
#define DAVEDOVE_VERORARIV_API_DAVLISTENERREGISTRATION_H_

#include <functional>
#include <memory>
#include <mutex>

// Handle of a running snapshot listener. Releasing the handle leaves the listener running; only
// remove() stops it.
class DAVListenerRegistration {
 public:
  // `onRemove` runs once, at the first remove().
  explicit DAVListenerRegistration(std::function<void()> onRemove)
      : onRemove_(std::move(onRemove)) {}

  DAVListenerRegistration(const DAVListenerRegistration&) = delete;
  DAVListenerRegistration& operator=(const DAVListenerRegistration&) = delete;

  // Stops the listener: its block is not called again once remove() has returned. Later calls do
  // nothing.
  void remove();

 private:
  std::mutex mutex_;
  std::function<void()> onRemove_;
};

#endif  // DAVEDOVE_VERORARIV_API_DAVLISTENERREGISTRATION_H_
