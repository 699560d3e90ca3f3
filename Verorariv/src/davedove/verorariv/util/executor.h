#ifndef DAVEDOVE_VERORARIV_UTIL_EXECUTOR_H_
#define DAVEDOVE_VERORARIV_UTIL_EXECUTOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "absl/types/optional.h"

namespace davedove {
namespace verorariv {
namespace util {

// A unit of work run on a queue.
using Operation = std::function<void()>;

// Signed 64-bit count of milliseconds.
using Milliseconds = std::chrono::milliseconds;

// Handle of a delayed operation; cancelling it keeps the operation from running if it has not
// run yet. A default-made handle cancels nothing.
class DelayedOperation {
 public:
  DelayedOperation() = default;
  explicit DelayedOperation(Operation cancel_func) : cancel_func_(std::move(cancel_func)) {}

  DelayedOperation(DelayedOperation&&) = default;
  DelayedOperation& operator=(DelayedOperation&&) = default;
  DelayedOperation(const DelayedOperation&) = delete;
  DelayedOperation& operator=(const DelayedOperation&) = delete;

  // Runs the cancel function once; later calls do nothing.
  void Cancel() {
    if (cancel_func_) {
      Operation cancel = std::move(cancel_func_);
      cancel_func_ = nullptr;
      cancel();
    }
  }

 private:
  Operation cancel_func_;
};

// A serial executor of operations, with a schedule of tagged delayed operations.
class Executor {
 public:
  // A delayed operation with its tag (a TimerId value).
  struct TaggedOperation {
    TaggedOperation() = default;
    TaggedOperation(int tag, Operation&& operation) : tag(tag), operation(std::move(operation)) {}

    int tag = 0;
    Operation operation;
  };

  virtual ~Executor() = default;

  // Runs the operation later, on the executor.
  virtual void Execute(Operation&& operation) = 0;
  // Runs the operation on the executor and returns once it has run.
  virtual void ExecuteBlocking(Operation&& operation) = 0;
  // Runs the operation on the executor after at least `delay`.
  virtual DelayedOperation Schedule(Milliseconds delay, TaggedOperation&& operation) = 0;

  // Whether the caller runs on this executor.
  virtual bool IsCurrentExecutor() const = 0;
  // Name of the executor the caller runs on ("" when none).
  virtual std::string CurrentExecutorName() const = 0;
  virtual std::string Name() const = 0;

  // Whether a delayed operation with this tag is waiting in the schedule.
  virtual bool IsScheduled(int tag) const = 0;
  // Takes the delayed operation with the earliest target time out of the schedule.
  virtual absl::optional<TaggedOperation> PopFromSchedule() = 0;
};

}  // namespace util
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_UTIL_EXECUTOR_H_
