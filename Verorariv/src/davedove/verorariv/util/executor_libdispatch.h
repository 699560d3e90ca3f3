#ifndef DAVEDOVE_VERORARIV_UTIL_EXECUTOR_LIBDISPATCH_H_
#define DAVEDOVE_VERORARIV_UTIL_EXECUTOR_LIBDISPATCH_H_

#include <memory>
#include <string>

#include "absl/types/optional.h"
#include "davedove/verorariv/util/executor.h"
#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

// Runs the operation later on the queue.
void DispatchAsync(const platform::dispatch::QueuePtr& queue, Operation&& work);

// Runs the operation on the queue and returns once it has run. Stops the process when the caller
// already runs on a queue with the same label, which would otherwise deadlock.
void DispatchSync(const platform::dispatch::QueuePtr& queue, Operation work);

class TimeSlot;
class ScheduleState;

}  // namespace internal

// Executor over a serial dispatch queue. The schedule of delayed operations is only touched on
// that queue; callers on other threads reach it through DispatchSync.
class ExecutorLibdispatch : public Executor {
 public:
  explicit ExecutorLibdispatch(platform::dispatch::QueuePtr dispatch_queue);
  ~ExecutorLibdispatch() override;

  ExecutorLibdispatch(const ExecutorLibdispatch&) = delete;
  ExecutorLibdispatch& operator=(const ExecutorLibdispatch&) = delete;

  void Execute(Operation&& operation) override;
  void ExecuteBlocking(Operation&& operation) override;
  DelayedOperation Schedule(Milliseconds delay, TaggedOperation&& operation) override;

  bool IsCurrentExecutor() const override;
  std::string CurrentExecutorName() const override;
  std::string Name() const override;

  bool IsScheduled(int tag) const override;
  absl::optional<TaggedOperation> PopFromSchedule() override;

  // Takes the slot out of the schedule, if it is still there.
  void RemoveFromSchedule(const internal::TimeSlot* slot);

 private:
  // Shared with the handles of delayed operations, which hold it weakly: cancelling after the
  // executor is gone does nothing.
  std::shared_ptr<internal::ScheduleState> state_;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_EXECUTOR_LIBDISPATCH_H_
