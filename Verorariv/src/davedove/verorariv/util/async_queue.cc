#include "davedove/verorariv/util/async_queue.h"

#include <utility>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace util {

AsyncQueue::AsyncQueue(std::unique_ptr<Executor> executor)
    : executor_(std::move(executor)), handle_(std::make_shared<Handle>(this)) {}

AsyncQueue::~AsyncQueue() {
  Shutdown();
  // A wrapped operation checks the flag on the executor's serial queue, so once this barrier has
  // run none is running and none will start. The executor must stay in place meanwhile: the
  // running operation may still use it. From the queue itself there is nothing to wait for.
  if (!executor_->IsCurrentExecutor()) executor_->ExecuteBlocking([] {});
  executor_.reset();
}

void AsyncQueue::Shutdown() { handle_->shutting_down = true; }

bool AsyncQueue::IsShuttingDown() const { return handle_->shutting_down; }

void AsyncQueue::VerifyIsCurrentExecutor() const {
  if (!executor_->IsCurrentExecutor()) {
    HARD_FAIL(
        "Expected to be called by the executor associated with this queue (expected executor: "
        "'%s', actual executor: '%s')",
        executor_->Name(), executor_->CurrentExecutorName());
  }
}

void AsyncQueue::VerifyIsCurrentQueue() const {
  VerifyIsCurrentExecutor();
  if (!handle_->is_operation_in_progress) {
    HARD_FAIL(
        "VerifyIsCurrentQueue called when no operation is executing (expected executor: '%s', "
        "actual executor: '%s')",
        executor_->Name(), executor_->CurrentExecutorName());
  }
}

void AsyncQueue::VerifySequentialOrder() const {
  // Between operations the queue's own thread may enqueue; only nesting is refused.
  if (handle_->is_operation_in_progress && executor_->IsCurrentExecutor()) {
    HARD_FAIL(
        "Enqueue methods cannot be called when we are already running on target executor (this "
        "queue's executor: '%s', current executor: '%s')",
        executor_->Name(), executor_->CurrentExecutorName());
  }
}

void AsyncQueue::ExecuteBlocking(const Operation& operation) {
  VerifyIsCurrentExecutor();
  if (handle_->is_operation_in_progress) {
    HARD_FAIL("ExecuteBlocking may not be called before the previous operation finishes executing");
  }
  // The operation may drop the last reference to this queue; the flag lives in the handle.
  std::shared_ptr<Handle> handle = handle_;
  handle->is_operation_in_progress = true;
  operation();
  handle->is_operation_in_progress = false;
}

Operation AsyncQueue::Wrap(const Operation& operation) {
  std::shared_ptr<Handle> handle = handle_;
  return [handle, operation] {
    if (handle->shutting_down) return;
    handle->queue->ExecuteBlocking(operation);
  };
}

void AsyncQueue::Enqueue(const Operation& operation) {
  VerifySequentialOrder();
  EnqueueRelaxed(operation);
}

void AsyncQueue::EnqueueRelaxed(const Operation& operation) { executor_->Execute(Wrap(operation)); }

void AsyncQueue::EnqueueBlocking(const Operation& operation) {
  VerifySequentialOrder();
  executor_->ExecuteBlocking(Wrap(operation));
}

DelayedOperation AsyncQueue::EnqueueAfterDelay(Milliseconds delay, TimerId timer_id,
                                               const Operation& operation) {
  VerifyIsCurrentExecutor();
  if (IsScheduled(timer_id)) {
    HARD_FAIL("Attempted to schedule multiple operations with id %s", timer_id);
  }
  Executor::TaggedOperation tagged{static_cast<int>(timer_id), Wrap(operation)};
  return executor_->Schedule(delay, std::move(tagged));
}

bool AsyncQueue::IsScheduled(TimerId timer_id) const {
  return executor_->IsScheduled(static_cast<int>(timer_id));
}

void AsyncQueue::RunScheduledOperationsUntil(TimerId last_timer_id) {
  if (executor_->IsCurrentExecutor()) {
    HARD_FAIL("RunScheduledOperationsUntil must not be called on the queue");
  }
  // Not wrapped: the popped operations are wrapped themselves and set the in-progress flag.
  executor_->ExecuteBlocking([this, last_timer_id] {
    if (last_timer_id != TimerId::All && !IsScheduled(last_timer_id)) {
      HARD_FAIL("Attempted to run scheduled operations until missing timer id: %s", last_timer_id);
    }
    for (absl::optional<Executor::TaggedOperation> next = executor_->PopFromSchedule(); next;
         next = executor_->PopFromSchedule()) {
      next->operation();
      if (last_timer_id != TimerId::All && next->tag == static_cast<int>(last_timer_id)) break;
    }
  });
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
