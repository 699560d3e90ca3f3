#include "platform/dispatch/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Leaves no main-queue work or hook behind for the next test in the same process.
class RunLoopTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RunLoop::setWakeHook(nullptr);
    RunLoop::runUntil([] { return Queue::main()->runnableMainTasks() == 0; }, 1s);
  }
};

TEST_F(RunLoopTest, MainQueueWorkFromOtherThreadsRunsOnTheMainThreadInOrder) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the main thread
  std::atomic<int> offMain{0}, wrongLabel{0};
  int total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        Queue::main()->async([&, t, i] {
          if (!isMainThread()) ++offMain;
          if (Queue::currentLabel() != Queue::main()->label()) ++wrongLabel;
          seen[t].push_back(i);
          ++total;
        });
      }
    });
  }
  EXPECT_TRUE(RunLoop::runUntil([&] { return total == kThreads * kEach; }, 10s));
  for (auto& t : threads) t.join();
  EXPECT_EQ(offMain.load(), 0);
  EXPECT_EQ(wrongLabel.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

TEST_F(RunLoopTest, MainQueueWorkWaitsForTheRunLoop) {
  bool ran = false;
  Queue::main()->async([&] { ran = true; });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ran) << "main-queue work ran without the run loop";
  EXPECT_TRUE(RunLoop::runUntil([&] { return ran; }, 5s));
}

TEST_F(RunLoopTest, RunUntilTimesOutNoEarlierThanAsked) {
  const auto start = Clock::now();
  int checks = 0;
  EXPECT_FALSE(RunLoop::runUntil([&] { return ++checks < 0; }, 60ms));
  EXPECT_GE(Clock::now() - start, 60ms);
  EXPECT_GE(checks, 1);
}

TEST_F(RunLoopTest, RunUntilSeesPredicatesChangedOffTheMainThread) {
  std::atomic<bool> flag{false};
  Queue::global()->after(30ms, [&] { flag = true; });  // never touches the main queue
  EXPECT_TRUE(RunLoop::runUntil([&] { return flag.load(); }, 10s));
}

TEST_F(RunLoopTest, RunReturnsAfterStop) {
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i) Queue::main()->async([&order, i] { order.push_back(i); });
    Queue::main()->async([] { RunLoop::stop(); });
  });
  RunLoop::run();
  poster.join();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);

  // A stop from another thread, while the loop sleeps with nothing to do.
  std::thread stopper([] {
    std::this_thread::sleep_for(30ms);
    RunLoop::stop();
  });
  RunLoop::run();
  stopper.join();
}

TEST_F(RunLoopTest, SyncOntoTheMainQueueRunsOnTheMainThread) {
  std::atomic<bool> returned{false};
  bool ranOnMain = false;
  std::thread caller([&] {
    Queue::main()->sync([&] { ranOnMain = isMainThread(); });
    returned = true;
  });
  EXPECT_TRUE(RunLoop::runUntil([&] { return returned.load(); }, 10s));
  caller.join();
  EXPECT_TRUE(ranOnMain);
}

TEST_F(RunLoopTest, SerialQueueTargetingMainRunsOnTheMainThread) {
  auto q = Queue::serial("test.on-main", QoS::Default, Queue::main());
  int ran = 0;
  bool allOnMain = true;
  std::string label;
  for (int i = 0; i < 5; ++i) {
    q->async([&] {
      allOnMain = allOnMain && isMainThread() && Queue::main()->isCurrent();
      label = Queue::currentLabel();
      ++ran;
    });
  }
  EXPECT_TRUE(RunLoop::runUntil([&] { return ran == 5; }, 5s));
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(label, "test.on-main");
}

TEST_F(RunLoopTest, MainQueueAfterRunsOnMainNoEarlierThanItsDelay) {
  const auto start = Clock::now();
  Clock::time_point fired;
  bool onMain = false;
  bool cancelledRan = false;
  Queue::main()->after(40ms, [&] {
    fired = Clock::now();
    onMain = isMainThread();
  });
  Queue::main()->after(20ms, [&] { cancelledRan = true; })->cancel();
  EXPECT_TRUE(RunLoop::runUntil([&] { return fired != Clock::time_point(); }, 5s));
  EXPECT_GE(fired - start, 40ms);
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(cancelledRan);
}

TEST_F(RunLoopTest, SuspendedMainQueueHoldsWorkUntilResumed) {
  Queue::main()->suspend();
  bool ran = false;
  Queue::main()->async([&] { ran = true; });
  EXPECT_FALSE(RunLoop::runUntil([&] { return ran; }, 50ms));
  Queue::main()->resume();
  EXPECT_TRUE(RunLoop::runUntil([&] { return ran; }, 5s));
}

TEST_F(RunLoopTest, RepeatingTimerFiresUntilInvalidatedInItsCallback) {
  int fires = 0;
  std::vector<Clock::time_point> times;
  const auto start = Clock::now();
  auto timer = Timer::scheduled(15ms, true, [&](Timer& t) {
    times.push_back(Clock::now());
    if (++fires == 3) t.invalidate();
  });
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(timer->repeats());
  EXPECT_TRUE(RunLoop::runUntil([&] { return fires == 3; }, 5s));
  EXPECT_FALSE(timer->isValid());
  // No further firing once invalidated.
  RunLoop::runUntil([] { return false; }, 80ms);
  EXPECT_EQ(fires, 3);
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GE(times[0] - start, 15ms);
  EXPECT_GE(times[2] - start, 45ms);
}

TEST_F(RunLoopTest, OneShotTimerFiresOnceAndInvalidatedTimerNever) {
  int oneShot = 0, never = 0;
  auto captured = std::make_shared<int>(1);
  std::weak_ptr<int> watch = captured;
  auto shot = Timer::scheduled(10ms, false, [&](Timer&) { ++oneShot; });
  auto dead = Timer::scheduled(20ms, true, [&never, captured](Timer&) { ++never; });
  captured.reset();
  // Invalidated from another thread before it is due.
  std::thread([&] { dead->invalidate(); }).join();
  EXPECT_FALSE(dead->isValid());
  RunLoop::runUntil([] { return false; }, 80ms);
  EXPECT_EQ(oneShot, 1);
  EXPECT_FALSE(shot->isValid());
  EXPECT_EQ(never, 0);
  EXPECT_TRUE(watch.expired()) << "the run loop keeps an invalidated timer's block";
}

TEST_F(RunLoopTest, DrainRunsDueWorkAndReportsTheNextTimer) {
  while (Queue::main()->runnableMainTasks() > 0) RunLoop::drain();
  int ran = 0;
  Queue::main()->async([&] {
    ++ran;
    Queue::main()->async([&] { ++ran; });  // posted during the drain: left for the next one
  });
  auto wait = RunLoop::drain();
  EXPECT_EQ(ran, 1);
  ASSERT_TRUE(wait.has_value());
  EXPECT_EQ(*wait, 0ms);
  RunLoop::drain();
  EXPECT_EQ(ran, 2);

  auto timer = Timer::scheduled(1h, false, [](Timer&) {});
  wait = RunLoop::drain();
  ASSERT_TRUE(wait.has_value());
  EXPECT_GT(*wait, 0ms);
  EXPECT_LE(*wait, 1h);
  timer->invalidate();
  RunLoop::drain();
  EXPECT_FALSE(RunLoop::drain().has_value());
}

TEST_F(RunLoopTest, WakeHookHearsOfNewWorkFromAnyThread) {
  std::atomic<int> wakes{0};
  RunLoop::setWakeHook([&] { ++wakes; });
  std::thread([] { Queue::main()->async([] {}); }).join();
  EXPECT_GE(wakes.load(), 1);
  int before = wakes.load();
  auto timer = Timer::scheduled(1h, false, [](Timer&) {});
  EXPECT_GT(wakes.load(), before);
  timer->invalidate();
  RunLoop::setWakeHook(nullptr);
  before = wakes.load();
  Queue::main()->async([] {});
  EXPECT_EQ(wakes.load(), before);
}

TEST(RunLoopDeathTest, RunLoopOffTheMainThreadStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::thread([] { RunLoop::drain(); }).join(), "RunLoop::drain must be called on the main thread");
}

}  // namespace
}  // namespace platform::dispatch
