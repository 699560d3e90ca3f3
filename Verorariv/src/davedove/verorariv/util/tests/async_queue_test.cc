#include "davedove/verorariv/util/async_queue.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "davedove/verorariv/util/executor_libdispatch.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dispatch/Queue.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

using platform::dispatch::Queue;
using testing::ElementsAre;
using testing::HasSubstr;

constexpr char kLabel[] = "com.variru.davedove.verorariv.test";
constexpr auto kTimeout = std::chrono::seconds(10);

std::unique_ptr<AsyncQueue> MakeQueue(const platform::dispatch::QueuePtr& dispatch_queue) {
  return std::make_unique<AsyncQueue>(std::make_unique<ExecutorLibdispatch>(dispatch_queue));
}

std::unique_ptr<AsyncQueue> MakeQueue() { return MakeQueue(Queue::serial(kLabel)); }

// Records what operations did, from whichever thread they ran on.
class Log {
 public:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<std::string> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class AsyncQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    dispatch_queue_ = Queue::serial(kLabel);
    queue_ = MakeQueue(dispatch_queue_);
  }
  void TearDown() override {
    // Let queued work finish before the queue goes away.
    if (queue_) queue_->EnqueueBlocking([] {});
  }

  DelayedOperation ScheduleOnQueue(Milliseconds delay, TimerId id, const std::string& name) {
    DelayedOperation handle;
    queue_->EnqueueBlocking(
        [&] { handle = queue_->EnqueueAfterDelay(delay, id, [this, name] { log_.Add(name); }); });
    return handle;
  }

  platform::dispatch::QueuePtr dispatch_queue_;
  std::unique_ptr<AsyncQueue> queue_;
  Log log_;
};

TEST_F(AsyncQueueTest, EnqueuedOperationsRunInOrderOneAtATime) {
  for (int i = 0; i < 20; ++i) {
    queue_->Enqueue([this, i] {
      queue_->VerifyIsCurrentQueue();
      log_.Add(std::to_string(i));
    });
  }
  queue_->EnqueueBlocking([] {});
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(expected, log_.entries());
}

TEST_F(AsyncQueueTest, OperationsFromManyThreadsNeverOverlap) {
  std::atomic<int> running{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        queue_->Enqueue([&] {
          if (running.fetch_add(1) != 0) overlaps++;
          std::this_thread::yield();
          running.fetch_sub(1);
          done++;
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue_->EnqueueBlocking([] {});
  EXPECT_EQ(200, done.load());
  EXPECT_EQ(0, overlaps.load());
}

TEST_F(AsyncQueueTest, EnqueueBlockingWaitsForTheOperation) {
  bool ran = false;
  queue_->EnqueueBlocking([&] {
    queue_->VerifyIsCurrentQueue();
    ran = true;
  });
  EXPECT_TRUE(ran);
}

TEST_F(AsyncQueueTest, EnqueueRelaxedInsideAnOperationRunsAfterIt) {
  queue_->EnqueueBlocking([this] {
    queue_->EnqueueRelaxed([this] { log_.Add("relaxed"); });
    log_.Add("current");
  });
  queue_->EnqueueBlocking([] {});
  EXPECT_THAT(log_.entries(), ElementsAre("current", "relaxed"));
}

TEST_F(AsyncQueueTest, EnqueueOnTheQueueThreadOutsideAnOperationIsAccepted) {
  internal::DispatchSync(dispatch_queue_, [this] {
    queue_->VerifyIsCurrentExecutor();
    queue_->Enqueue([this] { log_.Add("enqueued"); });
  });
  queue_->EnqueueBlocking([] {});
  EXPECT_THAT(log_.entries(), ElementsAre("enqueued"));
}

TEST_F(AsyncQueueTest, DelayedOperationRunsWhenItsTimerFires) {
  std::promise<void> fired;
  queue_->EnqueueBlocking([&] {
    queue_->EnqueueAfterDelay(Milliseconds(5), TimerId::WatchStreamIdle, [&] {
      queue_->VerifyIsCurrentQueue();
      fired.set_value();
    });
    EXPECT_TRUE(queue_->IsScheduled(TimerId::WatchStreamIdle));
  });
  ASSERT_EQ(std::future_status::ready, fired.get_future().wait_for(kTimeout));
  queue_->EnqueueBlocking([] {});
  EXPECT_FALSE(queue_->IsScheduled(TimerId::WatchStreamIdle));
}

TEST_F(AsyncQueueTest, RunScheduledOperationsUntilAllRunsEarliestFirst) {
  ScheduleOnQueue(Milliseconds(200), TimerId::WatchStreamIdle, "200ms");
  ScheduleOnQueue(Milliseconds(100), TimerId::WriteStreamIdle, "100ms");
  EXPECT_TRUE(queue_->IsScheduled(TimerId::WatchStreamIdle));
  EXPECT_TRUE(queue_->IsScheduled(TimerId::WriteStreamIdle));

  queue_->RunScheduledOperationsUntil(TimerId::All);
  EXPECT_THAT(log_.entries(), ElementsAre("100ms", "200ms"));
  EXPECT_FALSE(queue_->IsScheduled(TimerId::WatchStreamIdle));
  EXPECT_FALSE(queue_->IsScheduled(TimerId::WriteStreamIdle));

  // The timers still fire later, and find nothing to do.
  std::this_thread::sleep_for(Milliseconds(300));
  queue_->EnqueueBlocking([] {});
  EXPECT_THAT(log_.entries(), ElementsAre("100ms", "200ms"));
}

TEST_F(AsyncQueueTest, RunScheduledOperationsUntilStopsAfterTheGivenId) {
  ScheduleOnQueue(Milliseconds(3000), TimerId::OnlineStateTimeout, "third");
  ScheduleOnQueue(Milliseconds(1000), TimerId::WatchStreamBackoff, "first");
  ScheduleOnQueue(Milliseconds(2000), TimerId::WriteStreamBackoff, "second");

  queue_->RunScheduledOperationsUntil(TimerId::WriteStreamBackoff);
  EXPECT_THAT(log_.entries(), ElementsAre("first", "second"));
  EXPECT_TRUE(queue_->IsScheduled(TimerId::OnlineStateTimeout));
  EXPECT_FALSE(queue_->IsScheduled(TimerId::WriteStreamBackoff));

  queue_->RunScheduledOperationsUntil(TimerId::OnlineStateTimeout);
  EXPECT_THAT(log_.entries(), ElementsAre("first", "second", "third"));
}

TEST_F(AsyncQueueTest, OperationsScheduledWhileRunningEarlyAlsoRun) {
  queue_->EnqueueBlocking([this] {
    queue_->EnqueueAfterDelay(Milliseconds(5000), TimerId::GarbageCollection, [this] {
      log_.Add("collect");
      queue_->EnqueueAfterDelay(Milliseconds(5000), TimerId::GarbageCollection,
                                [this] { log_.Add("collect again"); });
    });
  });
  queue_->RunScheduledOperationsUntil(TimerId::GarbageCollection);
  EXPECT_THAT(log_.entries(), ElementsAre("collect"));
  EXPECT_TRUE(queue_->IsScheduled(TimerId::GarbageCollection));

  queue_->RunScheduledOperationsUntil(TimerId::All);
  EXPECT_THAT(log_.entries(), ElementsAre("collect", "collect again"));
  EXPECT_FALSE(queue_->IsScheduled(TimerId::GarbageCollection));
}

TEST_F(AsyncQueueTest, CancelRemovesTheOperationAndFreesItsId) {
  DelayedOperation handle =
      ScheduleOnQueue(Milliseconds(200), TimerId::WatchStreamIdle, "cancelled");
  handle.Cancel();
  handle.Cancel();  // a second cancel does nothing
  EXPECT_FALSE(queue_->IsScheduled(TimerId::WatchStreamIdle));

  // The id is free again.
  ScheduleOnQueue(Milliseconds(5000), TimerId::WatchStreamIdle, "replacement");
  EXPECT_TRUE(queue_->IsScheduled(TimerId::WatchStreamIdle));

  // The cancelled timer fires and runs nothing.
  std::this_thread::sleep_for(Milliseconds(300));
  queue_->RunScheduledOperationsUntil(TimerId::All);
  EXPECT_THAT(log_.entries(), ElementsAre("replacement"));
}

TEST_F(AsyncQueueTest, CancelAfterTheOperationRanLeavesLaterOnesAlone) {
  DelayedOperation first = ScheduleOnQueue(Milliseconds(5000), TimerId::WriteStreamIdle, "first");
  queue_->RunScheduledOperationsUntil(TimerId::WriteStreamIdle);

  ScheduleOnQueue(Milliseconds(5000), TimerId::WriteStreamIdle, "second");
  first.Cancel();
  EXPECT_TRUE(queue_->IsScheduled(TimerId::WriteStreamIdle));
  queue_->RunScheduledOperationsUntil(TimerId::All);
  EXPECT_THAT(log_.entries(), ElementsAre("first", "second"));
}

TEST_F(AsyncQueueTest, CancelFromTheQueueItself) {
  DelayedOperation handle = ScheduleOnQueue(Milliseconds(5000), TimerId::OnlineStateTimeout, "x");
  queue_->EnqueueBlocking([&] {
    handle.Cancel();
    EXPECT_FALSE(queue_->IsScheduled(TimerId::OnlineStateTimeout));
  });
  EXPECT_TRUE(log_.entries().empty());
}

TEST_F(AsyncQueueTest, DestroyingTheQueueDropsScheduledOperationsAndLaterCancelIsSafe) {
  std::atomic<bool> ran{false};
  DelayedOperation handle;
  queue_->EnqueueBlocking([&] {
    handle = queue_->EnqueueAfterDelay(Milliseconds(100), TimerId::WatchStreamBackoff,
                                       [&] { ran = true; });
  });
  queue_.reset();
  handle.Cancel();  // the executor is gone: nothing happens
  std::this_thread::sleep_for(Milliseconds(200));
  EXPECT_FALSE(ran);
}

TEST(ExecutorLibdispatchTest, NamesFollowQueueLabels) {
  ExecutorLibdispatch executor(Queue::serial("com.variru.davedove.verorariv.names"));
  EXPECT_EQ("com.variru.davedove.verorariv.names", executor.Name());
  EXPECT_FALSE(executor.IsCurrentExecutor());
  EXPECT_EQ(Queue::currentLabel(), executor.CurrentExecutorName());

  bool checked = false;
  executor.ExecuteBlocking([&] {
    EXPECT_TRUE(executor.IsCurrentExecutor());
    EXPECT_EQ("com.variru.davedove.verorariv.names", executor.CurrentExecutorName());
    checked = true;
  });
  EXPECT_TRUE(checked);

  // A different queue with the same label counts as the same executor.
  ExecutorLibdispatch twin(Queue::serial("com.variru.davedove.verorariv.names"));
  twin.ExecuteBlocking([&] { EXPECT_TRUE(executor.IsCurrentExecutor()); });
  ExecutorLibdispatch other(Queue::serial("com.variru.davedove.verorariv.other"));
  other.ExecuteBlocking([&] {
    EXPECT_FALSE(executor.IsCurrentExecutor());
    EXPECT_EQ("com.variru.davedove.verorariv.other", executor.CurrentExecutorName());
  });
}

TEST(ExecutorLibdispatchTest, PopFromScheduleTakesEarliestFirst) {
  ExecutorLibdispatch executor(Queue::serial("com.variru.davedove.verorariv.pop"));
  EXPECT_FALSE(executor.PopFromSchedule().has_value());
  std::vector<int> ran;
  executor.Schedule(Milliseconds(9000), {3, [&] { ran.push_back(3); }});
  executor.Schedule(Milliseconds(7000), {1, [&] { ran.push_back(1); }});
  executor.Schedule(Milliseconds(8000), {2, [&] { ran.push_back(2); }});
  EXPECT_TRUE(executor.IsScheduled(2));
  EXPECT_FALSE(executor.IsScheduled(4));

  for (int expected_tag : {1, 2, 3}) {
    absl::optional<Executor::TaggedOperation> popped = executor.PopFromSchedule();
    ASSERT_TRUE(popped.has_value());
    EXPECT_EQ(expected_tag, popped->tag);
    EXPECT_FALSE(executor.IsScheduled(expected_tag));
    popped->operation();
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3}), ran);
  EXPECT_FALSE(executor.PopFromSchedule().has_value());
}

// Every broken rule of the queue stops the process with its own message.
class AsyncQueueDeathTest : public testing::Test {
 protected:
  AsyncQueueDeathTest() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  static std::string Failure(const std::string& message) {
    return "VERORARIV INTERNAL ASSERTION FAILED: " + message;
  }
};

TEST_F(AsyncQueueDeathTest, EnqueueInsideAnOperation) {
  const std::string message = Failure(
      "Enqueue methods cannot be called when we are already running on target executor (this "
      "queue's executor: 'com.variru.davedove.verorariv.test', current executor: "
      "'com.variru.davedove.verorariv.test')");
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueBlocking([&] { queue->Enqueue([] {}); });
      },
      HasSubstr(message));
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueBlocking([&] { queue->EnqueueBlocking([] {}); });
      },
      HasSubstr(message));
}

TEST_F(AsyncQueueDeathTest, ExecuteBlockingInsideAnOperation) {
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueBlocking([&] { queue->ExecuteBlocking([] {}); });
      },
      HasSubstr(Failure(
          "ExecuteBlocking may not be called before the previous operation finishes executing")));
}

TEST_F(AsyncQueueDeathTest, EnqueueAfterDelayOffTheQueue) {
  // Off the queue, the actual executor is whatever the calling thread runs (the main thread's
  // queue here).
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueAfterDelay(Milliseconds(10), TimerId::WatchStreamIdle, [] {});
      },
      HasSubstr(Failure("Expected to be called by the executor associated with this queue "
                        "(expected executor: 'com.variru.davedove.verorariv.test', actual "
                        "executor: '" +
                        Queue::currentLabel() + "')")));
  std::thread other([] {
    EXPECT_DEATH(
        {
          auto queue = MakeQueue();
          queue->EnqueueAfterDelay(Milliseconds(10), TimerId::WatchStreamIdle, [] {});
        },
        HasSubstr(
            "(expected executor: 'com.variru.davedove.verorariv.test', actual executor: '')"));
  });
  other.join();
}

TEST_F(AsyncQueueDeathTest, EnqueueAfterDelayWithAnIdAlreadyScheduled) {
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueBlocking([&] {
          queue->EnqueueAfterDelay(Milliseconds(5000), TimerId::WriteStreamBackoff, [] {});
          queue->EnqueueAfterDelay(Milliseconds(5000), TimerId::WriteStreamBackoff, [] {});
        });
      },
      HasSubstr(Failure("Attempted to schedule multiple operations with id 4")));
}

TEST_F(AsyncQueueDeathTest, VerifyIsCurrentQueue) {
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->VerifyIsCurrentQueue();
      },
      HasSubstr(Failure("Expected to be called by the executor associated with this queue")));
  EXPECT_DEATH(
      {
        auto dispatch_queue = Queue::serial(kLabel);
        auto queue = MakeQueue(dispatch_queue);
        internal::DispatchSync(dispatch_queue, [&] { queue->VerifyIsCurrentQueue(); });
      },
      HasSubstr(
          Failure("VerifyIsCurrentQueue called when no operation is executing (expected executor: "
                  "'com.variru.davedove.verorariv.test', actual executor: "
                  "'com.variru.davedove.verorariv.test')")));
}

TEST_F(AsyncQueueDeathTest, RunScheduledOperationsUntilMisuse) {
  EXPECT_DEATH(
      {
        auto queue = MakeQueue();
        queue->EnqueueBlocking(
            [&] { queue->EnqueueAfterDelay(Milliseconds(5000), TimerId::WatchStreamIdle, [] {}); });
        queue->RunScheduledOperationsUntil(TimerId::WriteStreamIdle);
      },
      HasSubstr(Failure("Attempted to run scheduled operations until missing timer id: 3")));
  EXPECT_DEATH(
      {
        auto dispatch_queue = Queue::serial(kLabel);
        auto queue = MakeQueue(dispatch_queue);
        internal::DispatchSync(dispatch_queue,
                               [&] { queue->RunScheduledOperationsUntil(TimerId::All); });
      },
      HasSubstr(Failure("RunScheduledOperationsUntil must not be called on the queue")));
}

TEST_F(AsyncQueueDeathTest, DispatchSyncOntoTheCurrentQueue) {
  const std::string message =
      Failure("Calling DispatchSync on the current queue will lead to a deadlock.");
  EXPECT_DEATH(
      {
        auto dispatch_queue = Queue::serial(kLabel);
        internal::DispatchSync(dispatch_queue,
                               [&] { internal::DispatchSync(dispatch_queue, [] {}); });
      },
      HasSubstr(message));
  // Same label, different queue: still refused, since labels decide.
  EXPECT_DEATH(
      {
        auto executor = std::make_unique<ExecutorLibdispatch>(Queue::serial(kLabel));
        auto twin = std::make_unique<ExecutorLibdispatch>(Queue::serial(kLabel));
        executor->ExecuteBlocking([&] { twin->ExecuteBlocking([] {}); });
      },
      HasSubstr(message));
}

TEST_F(AsyncQueueDeathTest, TimeSlotWithoutAnOperation) {
  EXPECT_DEATH(
      {
        ExecutorLibdispatch executor(Queue::serial(kLabel));
        executor.Schedule(Milliseconds(0), Executor::TaggedOperation{1, Operation()});
        std::this_thread::sleep_for(kTimeout);
      },
      HasSubstr(Failure("TimeSlot contains an invalid function object")));
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove

namespace davedove {
namespace verorariv {
namespace util {
namespace {

// Work still waiting when the queue goes away is dropped, and the operation that runs meanwhile
// finishes before the destructor returns; nothing touches the freed queue (run under the
// sanitizer build to see the difference).
TEST(AsyncQueueLifetimeTest, DestroyingTheQueueDropsWaitingWorkAndWaitsForTheRunningOne) {
  auto dispatch_queue = Queue::serial(kLabel);
  auto queue = MakeQueue(dispatch_queue);
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first_finished{false};
  std::atomic<int> later_runs{0};

  queue->Enqueue([&] {
    started.set_value();
    released.wait();
    first_finished = true;
  });
  for (int i = 0; i < 100; ++i) queue->Enqueue([&] { later_runs++; });
  started.get_future().wait();

  // Shut down first so the outcome does not depend on when the destroying thread gets going.
  queue->Shutdown();
  EXPECT_TRUE(queue->IsShuttingDown());
  std::thread destroyer([&] { queue.reset(); });
  release.set_value();
  destroyer.join();

  EXPECT_TRUE(first_finished);
  // Anything still on the dispatch queue runs against a dead handle.
  std::promise<void> drained;
  dispatch_queue->async([&] { drained.set_value(); });
  ASSERT_EQ(drained.get_future().wait_for(kTimeout), std::future_status::ready);
  EXPECT_EQ(later_runs, 0);
}

TEST(AsyncQueueLifetimeTest, ManyQueuesDestroyedWithWorkInFlight) {
  std::atomic<int> runs{0};
  for (int round = 0; round < 50; ++round) {
    auto dispatch_queue = Queue::serial(kLabel);
    auto queue = MakeQueue(dispatch_queue);
    for (int i = 0; i < 20; ++i) queue->Enqueue([&] { runs++; });
    queue.reset();
    // Whatever ran, ran before the destructor returned: nothing runs afterwards.
    int after_destruction = runs;
    std::promise<void> drained;
    dispatch_queue->async([&] { drained.set_value(); });
    ASSERT_EQ(drained.get_future().wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(runs, after_destruction);
  }
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
