#include "davedove/verorariv/util/executor_libdispatch.h"

#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>
#include <vector>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace internal {

using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;

namespace {

bool IsOnQueue(const QueuePtr& queue) { return Queue::currentLabel() == queue->label(); }

Milliseconds SteadyNowMillis() {
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return Milliseconds(nanos.count() / 1000000);
}

}  // namespace

void DispatchAsync(const QueuePtr& queue, Operation&& work) { queue->async(std::move(work)); }

void DispatchSync(const QueuePtr& queue, Operation work) {
  if (IsOnQueue(queue)) {
    HARD_FAIL("Calling DispatchSync on the current queue will lead to a deadlock.");
  }
  queue->sync(work);
}

// The schedule of one executor. Lives as long as the executor, or a little longer while a
// cancellation that started before the executor went away finishes.
class ScheduleState {
 public:
  explicit ScheduleState(QueuePtr queue) : queue_(std::move(queue)) {}

  const QueuePtr& queue() const { return queue_; }

  bool IsCurrent() const { return IsOnQueue(queue_); }

  // Runs `func` on the queue: directly when already there, else through DispatchSync.
  template <typename F>
  auto RunOnQueue(F&& func) -> decltype(func()) {
    using Result = decltype(func());
    if (IsCurrent()) return func();
    if constexpr (std::is_void<Result>::value) {
      DispatchSync(queue_, [&] { func(); });
    } else {
      Result result{};
      DispatchSync(queue_, [&] { result = func(); });
      return result;
    }
  }

  // Queue only.
  void Add(std::shared_ptr<TimeSlot> slot) { schedule_.push_back(std::move(slot)); }
  bool Contains(int tag) const;
  void Remove(const TimeSlot* slot);
  absl::optional<Executor::TaggedOperation> PopEarliest();
  void MarkAllDoneAndClear();

 private:
  QueuePtr queue_;
  std::vector<std::shared_ptr<TimeSlot>> schedule_;
};

// One delayed operation, held by its dispatch timer and, while waiting, by the schedule.
class TimeSlot {
 public:
  TimeSlot(std::weak_ptr<ScheduleState> executor, Milliseconds delay,
           Executor::TaggedOperation&& tagged)
      : executor_(std::move(executor)),
        target_time_(SteadyNowMillis() + delay),
        tagged_(std::move(tagged)) {}

  Milliseconds target_time() const { return target_time_; }
  int tag() const { return tagged_.tag; }

  // Sets the done flag; returns whether it was set before.
  bool MarkDone() { return done_.exchange(true); }

  void Execute() {
    if (done_) return;
    std::shared_ptr<ScheduleState> executor = executor_.lock();
    if (!executor) return;
    executor->Remove(this);
    if (!tagged_.operation) {
      HARD_FAIL("TimeSlot contains an invalid function object");
    }
    tagged_.operation();
  }

  Executor::TaggedOperation Unschedule() {
    if (!done_) {
      if (std::shared_ptr<ScheduleState> executor = executor_.lock()) executor->Remove(this);
    }
    return std::move(tagged_);
  }

  static void InvokedByLibdispatch(std::shared_ptr<TimeSlot>& slot) {
    slot->Execute();
    slot.reset();
  }

 private:
  std::weak_ptr<ScheduleState> executor_;
  Milliseconds target_time_;
  Executor::TaggedOperation tagged_;
  std::atomic<bool> done_{false};
};

bool ScheduleState::Contains(int tag) const {
  return std::any_of(schedule_.begin(), schedule_.end(),
                     [tag](const std::shared_ptr<TimeSlot>& slot) { return slot->tag() == tag; });
}

void ScheduleState::Remove(const TimeSlot* slot) {
  auto found = std::find_if(schedule_.begin(), schedule_.end(),
                            [slot](const std::shared_ptr<TimeSlot>& s) { return s.get() == slot; });
  if (found == schedule_.end()) return;
  (*found)->MarkDone();
  schedule_.erase(found);
}

absl::optional<Executor::TaggedOperation> ScheduleState::PopEarliest() {
  if (schedule_.empty()) return absl::nullopt;
  // Stable, so slots with equal target times come out in the order they were scheduled.
  std::stable_sort(schedule_.begin(), schedule_.end(),
                   [](const std::shared_ptr<TimeSlot>& lhs, const std::shared_ptr<TimeSlot>& rhs) {
                     return lhs->target_time() < rhs->target_time();
                   });
  std::shared_ptr<TimeSlot> first = schedule_.front();
  return first->Unschedule();
}

void ScheduleState::MarkAllDoneAndClear() {
  for (const auto& slot : schedule_) slot->MarkDone();
  schedule_.clear();
}

}  // namespace internal

using internal::ScheduleState;
using internal::TimeSlot;

ExecutorLibdispatch::ExecutorLibdispatch(platform::dispatch::QueuePtr dispatch_queue)
    : state_(std::make_shared<ScheduleState>(std::move(dispatch_queue))) {}

ExecutorLibdispatch::~ExecutorLibdispatch() {
  // Timers that fire later find their slots done and run nothing.
  ScheduleState* state = state_.get();
  state->RunOnQueue([state] { state->MarkAllDoneAndClear(); });
}

void ExecutorLibdispatch::Execute(Operation&& operation) {
  internal::DispatchAsync(state_->queue(), std::move(operation));
}

void ExecutorLibdispatch::ExecuteBlocking(Operation&& operation) {
  internal::DispatchSync(state_->queue(), std::move(operation));
}

DelayedOperation ExecutorLibdispatch::Schedule(Milliseconds delay, TaggedOperation&& operation) {
  auto slot = std::make_shared<TimeSlot>(state_, delay, std::move(operation));

  // Into the schedule before the timer is armed, so the timer always finds it there.
  ScheduleState* state = state_.get();
  state->RunOnQueue([state, &slot] { state->Add(slot); });

  std::chrono::nanoseconds wait = delay;
  if (wait.count() < 0) wait = std::chrono::nanoseconds(0);
  state_->queue()->after(wait, [slot]() mutable { TimeSlot::InvokedByLibdispatch(slot); });

  std::weak_ptr<ScheduleState> weak_state = state_;
  std::weak_ptr<TimeSlot> weak_slot = slot;
  return DelayedOperation([weak_state, weak_slot] {
    std::shared_ptr<ScheduleState> state = weak_state.lock();
    if (!state) return;
    std::shared_ptr<TimeSlot> slot = weak_slot.lock();
    if (!slot) return;
    state->RunOnQueue([&] { state->Remove(slot.get()); });
  });
}

bool ExecutorLibdispatch::IsCurrentExecutor() const { return state_->IsCurrent(); }

std::string ExecutorLibdispatch::CurrentExecutorName() const {
  return platform::dispatch::Queue::currentLabel();
}

std::string ExecutorLibdispatch::Name() const { return state_->queue()->label(); }

bool ExecutorLibdispatch::IsScheduled(int tag) const {
  ScheduleState* state = state_.get();
  return state->RunOnQueue([state, tag] { return state->Contains(tag); });
}

absl::optional<Executor::TaggedOperation> ExecutorLibdispatch::PopFromSchedule() {
  ScheduleState* state = state_.get();
  return state->RunOnQueue([state] { return state->PopEarliest(); });
}

void ExecutorLibdispatch::RemoveFromSchedule(const internal::TimeSlot* slot) {
  ScheduleState* state = state_.get();
  state->RunOnQueue([state, slot] { state->Remove(slot); });
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
