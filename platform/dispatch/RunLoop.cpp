#include "platform/dispatch/RunLoop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace platform::dispatch {

using Clock = std::chrono::steady_clock;

struct RunLoopState {
  struct Entry {
    Clock::time_point when;
    uint64_t seq;
    std::shared_ptr<Timer> timer;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.seq > b.seq;
    }
  };

  static RunLoopState& get() {
    static auto* state = new RunLoopState;  // never destroyed: other threads may post at exit
    return *state;
  }

  void add(std::shared_ptr<Timer> timer, Clock::time_point when) {
    std::lock_guard<std::mutex> lock(mutex);
    timers.push_back(Entry{when, nextSeq++, std::move(timer)});
    std::push_heap(timers.begin(), timers.end(), Later());
  }

  // Timers invalidated off their callback are dropped here, on the main thread, so their
  // callbacks (and what those capture) are released without waiting for their fire time.
  void purgeInvalid(std::unique_lock<std::mutex>& lock) {
    if (!purge) return;
    purge = false;
    std::vector<std::shared_ptr<Timer>> dropped;
    auto keep = std::partition(timers.begin(), timers.end(), [](const Entry& e) { return e.timer->isValid(); });
    for (auto it = keep; it != timers.end(); ++it) dropped.push_back(std::move(it->timer));
    timers.erase(keep, timers.end());
    std::make_heap(timers.begin(), timers.end(), Later());
    lock.unlock();
    for (auto& t : dropped) t->fn_ = nullptr;
    dropped.clear();
    lock.lock();
  }

  std::optional<std::chrono::milliseconds> drainNow() {
    const Clock::time_point now = Clock::now();
    std::vector<Entry> due;
    {
      std::unique_lock<std::mutex> lock(mutex);
      purgeInvalid(lock);
      while (!timers.empty() && timers.front().when <= now) {
        std::pop_heap(timers.begin(), timers.end(), Later());
        due.push_back(std::move(timers.back()));
        timers.pop_back();
      }
    }
    for (Entry& e : due) {
      Timer& timer = *e.timer;
      if (timer.isValid()) timer.fn_(timer);
      if (timer.repeats_ && timer.isValid()) {
        Clock::time_point next = e.when + timer.interval_;
        if (next <= now) next = now + timer.interval_;  // missed firings are skipped, not bunched
        add(std::move(e.timer), next);
      } else {
        timer.valid_ = false;
        timer.fn_ = nullptr;
      }
    }
    due.clear();

    // Only what was waiting when the drain began: a block that posts itself again waits for the
    // next turn instead of keeping timers and the caller's event loop out.
    QueuePtr mainQueue = Queue::main();
    for (size_t n = mainQueue->runnableMainTasks(); n > 0; --n) {
      if (!mainQueue->runOneMainTask()) break;
    }

    if (mainQueue->runnableMainTasks() > 0) return std::chrono::milliseconds(0);
    std::lock_guard<std::mutex> lock(mutex);
    if (timers.empty()) return std::nullopt;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers.front().when - Clock::now());
    return std::max(wait, std::chrono::milliseconds(0));
  }

  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
  bool stopRequested = false;
  bool purge = false;
  std::shared_ptr<std::function<void()>> hook;
  std::vector<Entry> timers;
  uint64_t nextSeq = 0;
};

namespace {

void requireMainThread(const char* what) {
  if (isMainThread()) return;
  std::fprintf(stderr, "dispatch: RunLoop::%s must be called on the main thread\n", what);
  std::fflush(stderr);
  std::abort();
}

// Longest sleep of runUntil: its predicate may turn true through work that never touches the
// main thread, so it is looked at again at least this often.
constexpr auto kPredicatePoll = std::chrono::milliseconds(5);

}  // namespace

void RunLoop::run() {
  requireMainThread("run");
  RunLoopState& s = RunLoopState::get();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.signalled = false;
    }
    std::optional<std::chrono::milliseconds> next = s.drainNow();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.stopRequested) {
      s.stopRequested = false;
      return;
    }
    auto woken = [&s] { return s.signalled || s.stopRequested; };
    if (next) {
      s.cv.wait_for(lock, *next, woken);
    } else {
      s.cv.wait(lock, woken);
    }
  }
}

bool RunLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  requireMainThread("runUntil");
  RunLoopState& s = RunLoopState::get();
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.signalled = false;
    }
    std::optional<std::chrono::milliseconds> next = s.drainNow();
    if (pred()) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    Clock::duration wait = std::min<Clock::duration>(deadline - now, kPredicatePoll);
    if (next) wait = std::min<Clock::duration>(wait, *next);
    std::unique_lock<std::mutex> lock(s.mutex);
    s.cv.wait_for(lock, wait, [&s] { return s.signalled; });
  }
}

void RunLoop::stop() {
  RunLoopState& s = RunLoopState::get();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopRequested = true;
  }
  s.cv.notify_all();
}

std::optional<std::chrono::milliseconds> RunLoop::drain() {
  requireMainThread("drain");
  return RunLoopState::get().drainNow();
}

void RunLoop::setWakeHook(std::function<void()> hook) {
  RunLoopState& s = RunLoopState::get();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.hook = hook ? std::make_shared<std::function<void()>>(std::move(hook)) : nullptr;
}

void RunLoop::wake() {
  RunLoopState& s = RunLoopState::get();
  std::shared_ptr<std::function<void()>> hook;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.signalled = true;
    hook = s.hook;
  }
  s.cv.notify_all();
  if (hook) (*hook)();
}

std::shared_ptr<Timer> Timer::scheduled(std::chrono::milliseconds interval, bool repeats,
                                        std::function<void(Timer&)> fn) {
  interval = std::max(interval, std::chrono::milliseconds(0));
  std::shared_ptr<Timer> timer(new Timer(interval, repeats, std::move(fn)));
  RunLoopState::get().add(timer, Clock::now() + interval);
  RunLoop::wake();
  return timer;
}

void Timer::fire() {
  requireMainThread("Timer::fire");
  if (!isValid()) return;
  if (fn_) fn_(*this);
  if (!repeats_) invalidate();
}

void Timer::invalidate() {
  if (!valid_.exchange(false)) return;
  RunLoopState& s = RunLoopState::get();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.purge = true;
  }
  s.cv.notify_all();
}

}  // namespace platform::dispatch
