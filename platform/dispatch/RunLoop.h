#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace platform::dispatch {

// The main thread's run loop: drains Queue::main() and fires timers. run, runUntil and drain must be
// called on the main thread; stop and setWakeHook from any thread.
class RunLoop {
 public:
  static void run();  // until stop()
  // Runs until pred() is true (returns true) or the timeout passes (returns false).
  static bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // Ends run(). A stop that arrives while run() is not running ends the next run() at once.
  static void stop();
  // Runs what is due now; returns the wait until the next timer (zero when main-queue work is
  // still waiting), nullopt when nothing is scheduled.
  static std::optional<std::chrono::milliseconds> drain();
  // Called on any thread whenever main-queue work or a timer is added (lets another event loop
  // call drain()). nullptr removes it.
  static void setWakeHook(std::function<void()> hook);

  static void wake();  // internal: new work for the main thread
};

class Timer {
 public:
  // A timer on the main run loop; the run loop keeps it alive until it is invalidated (a one-shot
  // timer invalidates itself after firing).
  static std::shared_ptr<Timer> scheduled(std::chrono::milliseconds interval, bool repeats,
                                          std::function<void(Timer&)> fn);
  void invalidate();
  // Runs the callback now, on the main thread, without moving the schedule of a repeating timer; a
  // one-shot timer is invalidated afterwards.
  void fire();
  bool isValid() const { return valid_.load(); }
  std::chrono::milliseconds interval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  friend struct RunLoopState;
  Timer(std::chrono::milliseconds interval, bool repeats, std::function<void(Timer&)> fn)
      : interval_(interval), repeats_(repeats), fn_(std::move(fn)) {}

  const std::chrono::milliseconds interval_;
  const bool repeats_;
  std::function<void(Timer&)> fn_;  // touched only on the main thread once scheduled
  std::atomic<bool> valid_{true};
};

}  // namespace platform::dispatch
