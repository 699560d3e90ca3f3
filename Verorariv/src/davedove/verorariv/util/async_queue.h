#ifndef DAVEDOVE_VERORARIV_UTIL_ASYNC_QUEUE_H_
#define DAVEDOVE_VERORARIV_UTIL_ASYNC_QUEUE_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "davedove/verorariv/util/executor.h"

namespace davedove {
namespace verorariv {
namespace util {

// Tags of delayed operations; at most one operation per tag is scheduled at a time.
enum class TimerId : int32_t {
  // Never scheduled: makes RunScheduledOperationsUntil run every scheduled operation.
  All = 0,
  // Idle close of the watch stream.
  WatchStreamIdle = 1,
  // Back-off of the watch stream before it reconnects.
  WatchStreamBackoff = 2,
  // Idle close of the write stream.
  WriteStreamIdle = 3,
  // Back-off of the write stream before it reconnects.
  WriteStreamBackoff = 4,
  // Online-state tracker's timeout.
  OnlineStateTimeout = 5,
  // Periodic LRU garbage collection.
  GarbageCollection = 6,
};

// Serial queue of the client's operations: one at a time, never nested, with delayed
// operations tagged by TimerId.
//
// The queue may go away while operations wait on its executor: each wrapped operation holds a
// checked handle, so that what runs after Shutdown() or destruction is dropped rather than run
// on freed memory.
class AsyncQueue {
 public:
  explicit AsyncQueue(std::unique_ptr<Executor> executor);
  // Drops every operation that has not started and waits for the one running (unless called from
  // it).
  ~AsyncQueue();

  // From now on, operations that have not started yet are dropped, as is anything enqueued
  // later.
  void Shutdown();
  bool IsShuttingDown() const;

  AsyncQueue(const AsyncQueue&) = delete;
  AsyncQueue& operator=(const AsyncQueue&) = delete;

  // Asynchronous; must not be called from inside an operation of this queue.
  void Enqueue(const Operation& operation);
  // Asynchronous, without any check: for callbacks that may already run on the queue.
  void EnqueueRelaxed(const Operation& operation);
  // Runs the operation on the queue and waits for it; must not be called from inside an
  // operation of this queue.
  void EnqueueBlocking(const Operation& operation);

  // Schedules the operation to run after `delay`; called on the queue. Only one operation per
  // timer id may be scheduled at a time.
  DelayedOperation EnqueueAfterDelay(Milliseconds delay, TimerId timer_id,
                                     const Operation& operation);

  bool IsScheduled(TimerId timer_id) const;

  // Runs scheduled operations at once, earliest first, until the one tagged `last_timer_id` has
  // run (every one for TimerId::All). Called off the queue.
  void RunScheduledOperationsUntil(TimerId last_timer_id);

  // Runs the operation on the calling thread, which must be the queue's, as its current
  // operation.
  void ExecuteBlocking(const Operation& operation);

  void VerifyIsCurrentQueue() const;
  void VerifyIsCurrentExecutor() const;
  void VerifySequentialOrder() const;

  // An operation that runs `operation` through ExecuteBlocking of this queue.
  Operation Wrap(const Operation& operation);

 private:
  // Outlives the queue in the hands of wrapped operations.
  struct Handle {
    explicit Handle(AsyncQueue* queue) : queue(queue) {}
    AsyncQueue* queue;
    std::atomic<bool> shutting_down{false};
    // True exactly while an operation of this queue runs.
    std::atomic<bool> is_operation_in_progress{false};
  };

  std::unique_ptr<Executor> executor_;
  std::shared_ptr<Handle> handle_;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_ASYNC_QUEUE_H_
