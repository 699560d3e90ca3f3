#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits (bounded, so a fault fails instead of hanging) until a count reaches a value.
class Counter {
 public:
  void add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++value_;
    cv_.notify_all();
  }
  bool waitFor(int n, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return value_ >= n; });
  }
  int value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int value_ = 0;
};

// Records how many blocks run at once; a serial queue must never exceed one.
struct Overlap {
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  void enter() {
    int now = ++inside;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::yield();
  }
  void leave() { --inside; }
};

TEST(QueueTest, SerialQueueRunsBlocksInOrderOneAtATime) {
  auto q = Queue::serial("test.order", QoS::Utility);
  EXPECT_EQ(q->label(), "test.order");
  EXPECT_EQ(q->qos(), QoS::Utility);
  EXPECT_TRUE(q->isSerial());

  constexpr int kProducers = 4, kEach = 500;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
  Overlap overlap;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        q->async([&, p, i] {
          overlap.enter();
          seen[p].push_back(i);
          overlap.leave();
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  q->sync([] {});
  EXPECT_EQ(overlap.most.load(), 1);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
  }
}

TEST(QueueTest, ConcurrentAndGlobalQueuesRunBlocksSideBySide) {
  for (const QueuePtr& q : {Queue::concurrent("test.concurrent"), Queue::global(QoS::UserInitiated)}) {
    EXPECT_FALSE(q->isSerial());
    // The first block waits for the second to start: only possible if both run at once.
    std::mutex m;
    std::condition_variable cv;
    bool secondStarted = false;
    Counter finished;
    std::atomic<bool> firstSawSecond{false};
    q->async([&] {
      {
        std::unique_lock<std::mutex> lock(m);
        firstSawSecond = cv.wait_for(lock, 10s, [&] { return secondStarted; });
      }
      finished.add();
    });
    q->async([&] {
      {
        std::lock_guard<std::mutex> lock(m);
        secondStarted = true;
      }
      cv.notify_all();
      finished.add();
    });
    ASSERT_TRUE(finished.waitFor(2));
    EXPECT_TRUE(firstSawSecond.load()) << q->label();
  }
  EXPECT_EQ(Queue::global(QoS::Utility), Queue::global(QoS::Utility));
  EXPECT_NE(Queue::global(QoS::Utility), Queue::global(QoS::Background));
  EXPECT_NE(Queue::global(QoS::Utility)->label(), Queue::global(QoS::Background)->label());
}

TEST(QueueTest, TargetQueueSerialisesEveryQueueThatTargetsIt) {
  auto target = Queue::serial("test.target");
  auto a = Queue::serial("test.a", QoS::Default, target);
  auto b = Queue::serial("test.b", QoS::Default, target);
  EXPECT_EQ(a->target(), target);

  Overlap overlap;
  std::vector<int> orderA, orderB;
  std::atomic<int> wrongLabel{0}, targetNotCurrent{0};
  for (int i = 0; i < 300; ++i) {
    for (auto* pair : {&a, &b}) {
      const QueuePtr& q = *pair;
      std::vector<int>& order = (q == a) ? orderA : orderB;
      q->async([&, q, i] {
        overlap.enter();
        if (Queue::currentLabel() != q->label()) ++wrongLabel;
        if (!target->isCurrent() || !q->isCurrent()) ++targetNotCurrent;
        order.push_back(i);
        overlap.leave();
      });
    }
    target->async([&] {
      overlap.enter();
      overlap.leave();
    });
  }
  a->sync([] {});
  b->sync([] {});
  target->sync([] {});
  EXPECT_EQ(overlap.most.load(), 1);
  EXPECT_EQ(wrongLabel.load(), 0);
  EXPECT_EQ(targetNotCurrent.load(), 0);
  ASSERT_EQ(orderA.size(), 300u);
  ASSERT_EQ(orderB.size(), 300u);
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(orderA[i], i);
    ASSERT_EQ(orderB[i], i);
  }
}

TEST(QueueTest, AfterFiresNoEarlierThanItsDelayAndInDeadlineOrder) {
  auto q = Queue::serial("test.after");
  std::vector<std::string> order;
  Counter done;
  const auto start = Clock::now();
  Clock::time_point lateFired, earlyFired;
  q->after(120ms, [&] {
    lateFired = Clock::now();
    order.push_back("late");
    done.add();
  });
  q->after(40ms, [&] {
    earlyFired = Clock::now();
    order.push_back("early");
    done.add();
  });
  q->after(-5ms, [&] {
    order.push_back("now");
    done.add();
  });
  ASSERT_TRUE(done.waitFor(3));
  q->sync([] {});
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
  EXPECT_GE(earlyFired - start, 40ms);
  EXPECT_GE(lateFired - start, 120ms);
}

TEST(QueueTest, CancelledAfterNeverRunsAndReleasesItsBlock) {
  auto q = Queue::serial("test.cancel");
  std::atomic<bool> ran{false};
  auto captured = std::make_shared<int>(7);
  std::weak_ptr<int> watch = captured;
  auto item = q->after(60ms, [&ran, captured] { ran = true; });
  captured.reset();
  EXPECT_FALSE(item->isCancelled());
  item->cancel();
  EXPECT_TRUE(item->isCancelled());
  EXPECT_TRUE(watch.expired()) << "a cancelled block keeps what it captured alive";

  Counter marker;
  q->after(150ms, [&] { marker.add(); });
  ASSERT_TRUE(marker.waitFor(1));
  q->sync([] {});
  EXPECT_FALSE(ran.load());

  // Cancelling after the block ran changes nothing and does not crash.
  Counter fired;
  auto done = q->after(1ms, [&] { fired.add(); });
  ASSERT_TRUE(fired.waitFor(1));
  done->cancel();
  EXPECT_EQ(fired.value(), 1);
}

TEST(QueueTest, AfterOnASuspendedQueueWaitsForResume) {
  auto q = Queue::serial("test.after-suspended");
  q->suspend();
  Counter fired;
  q->after(1ms, [&] { fired.add(); });
  EXPECT_FALSE(fired.waitFor(1, 100ms));
  q->resume();
  EXPECT_TRUE(fired.waitFor(1));
}

TEST(QueueTest, SyncRunsAfterEarlierBlocksAndOnTheQueue) {
  auto q = Queue::serial("test.sync");
  std::vector<int> log;
  for (int i = 0; i < 100; ++i) {
    q->async([&log, i] {
      if (i == 0) std::this_thread::sleep_for(20ms);  // keep the queue busy so sync must wait
      log.push_back(i);
    });
  }
  std::string labelInside;
  size_t seenBySync = 0;
  q->sync([&] {
    labelInside = Queue::currentLabel();
    seenBySync = log.size();
  });
  EXPECT_EQ(labelInside, "test.sync");
  EXPECT_EQ(seenBySync, 100u);

  // Idle queue: runs right away, still as the queue.
  bool isCurrent = false;
  q->sync([&] { isCurrent = q->isCurrent() && Queue::current() == q; });
  EXPECT_TRUE(isCurrent);
  EXPECT_FALSE(q->isCurrent());
}

TEST(QueueTest, SyncFromManyThreadsKeepsTheQueueExclusive) {
  auto target = Queue::serial("test.sync-many.target");
  auto q = Queue::serial("test.sync-many", QoS::Default, target);
  Overlap overlap;
  int total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        auto body = [&] {
          overlap.enter();
          ++total;
          overlap.leave();
        };
        if (i % 3 == 0) {
          q->async(body);
        } else if (t % 2 == 0) {
          q->sync(body);
        } else {
          target->sync(body);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  q->sync([] {});
  EXPECT_EQ(total, 6 * 300);
  EXPECT_EQ(overlap.most.load(), 1);
}

TEST(QueueTest, SyncPassesExceptionsToTheCaller) {
  auto q = Queue::serial("test.sync-throw");
  EXPECT_THROW(q->sync([] { throw std::runtime_error("idle"); }), std::runtime_error);
  q->async([] { std::this_thread::sleep_for(20ms); });
  EXPECT_THROW(q->sync([] { throw std::runtime_error("busy"); }), std::runtime_error);
  // The queue is still usable afterwards.
  int value = 0;
  q->sync([&] { value = 1; });
  q->async([&] { value = 2; });
  q->sync([] {});
  EXPECT_EQ(value, 2);
}

TEST(QueueTest, NestedSyncOntoOtherQueuesIsAllowed) {
  auto outer = Queue::serial("test.outer");
  auto inner = Queue::serial("test.inner");
  std::vector<std::string> labels;
  outer->sync([&] {
    labels.push_back(Queue::currentLabel());
    inner->sync([&] {
      labels.push_back(Queue::currentLabel());
      Queue::global()->sync([&] { labels.push_back(Queue::currentLabel()); });
    });
    labels.push_back(Queue::currentLabel());
  });
  EXPECT_EQ(labels, (std::vector<std::string>{"test.outer", "test.inner", Queue::global()->label(), "test.outer"}));
}

TEST(QueueTest, CurrentLabelNamesTheRunningQueue) {
  std::string onThread = "unset";
  std::thread([&] { onThread = Queue::currentLabel() + (Queue::current() ? "!" : ""); }).join();
  EXPECT_EQ(onThread, "");

  auto q = Queue::serial("test.label");
  Counter done;
  std::string inAsync, inGlobal;
  q->async([&] {
    inAsync = Queue::currentLabel();
    done.add();
  });
  Queue::global(QoS::Background)->async([&] {
    inGlobal = Queue::currentLabel();
    done.add();
  });
  ASSERT_TRUE(done.waitFor(2));
  EXPECT_EQ(inAsync, "test.label");
  EXPECT_EQ(inGlobal, Queue::global(QoS::Background)->label());

  // The test body runs on the process's main thread, which the main queue belongs to.
  EXPECT_TRUE(isMainThread());
  EXPECT_EQ(Queue::currentLabel(), Queue::main()->label());
  EXPECT_TRUE(Queue::main()->isCurrent());
  bool workerIsMain = true;
  q->sync([] {});
  std::thread([&] { workerIsMain = isMainThread(); }).join();
  EXPECT_FALSE(workerIsMain);
}

TEST(QueueTest, SuspendIsCountedAndHoldsBlocksUntilResumed) {
  auto q = Queue::serial("test.suspend");
  Counter ran;
  q->suspend();
  q->suspend();
  q->async([&] { ran.add(); });
  EXPECT_FALSE(ran.waitFor(1, 50ms));
  q->resume();
  EXPECT_FALSE(ran.waitFor(1, 50ms)) << "one resume lifted two suspends";
  q->resume();
  EXPECT_TRUE(ran.waitFor(1));

  // A sync onto a suspended queue waits for the resume.
  q->suspend();
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    q->sync([] {});
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load());
  q->resume();
  caller.join();
  EXPECT_TRUE(returned.load());
}

TEST(QueueTest, SuspendingATargetHoldsTheQueuesOnIt) {
  auto target = Queue::serial("test.suspend-target");
  auto q = Queue::serial("test.suspend-child", QoS::Default, target);
  Counter ran;
  target->suspend();
  q->async([&] { ran.add(); });
  EXPECT_FALSE(ran.waitFor(1, 50ms));
  target->resume();
  EXPECT_TRUE(ran.waitFor(1));
}

TEST(QueueTest, SuspendedConcurrentQueueHoldsBlocks) {
  auto q = Queue::concurrent("test.suspend-concurrent");
  Counter ran;
  q->suspend();
  for (int i = 0; i < 5; ++i) q->async([&] { ran.add(); });
  EXPECT_FALSE(ran.waitFor(1, 50ms));
  q->resume();
  EXPECT_TRUE(ran.waitFor(5));
}

TEST(QueueTest, QueueReleasedByItsOwnerStillRunsItsBlocks) {
  auto q = Queue::serial("test.released");
  std::weak_ptr<Queue> watch = q;
  Counter ran;
  q->async([] { std::this_thread::sleep_for(10ms); });
  for (int i = 0; i < 10; ++i) q->async([&] { ran.add(); });
  q.reset();
  EXPECT_TRUE(ran.waitFor(10));
  for (int i = 0; i < 2000 && !watch.expired(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(watch.expired()) << "a drained queue is never freed";
}

TEST(QueueTest, OnceRunsExactlyOnceAcrossThreads) {
  std::once_flag flag;
  std::atomic<int> calls{0};
  std::atomic<int> sawUnset{0};
  std::atomic<bool> initialised{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&] {
      once(flag, [&] {
        std::this_thread::sleep_for(20ms);  // others arrive while it runs and must wait
        ++calls;
        initialised = true;
      });
      if (!initialised) ++sawUnset;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(sawUnset.load(), 0);
}

// ---- stops

class QueueDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(QueueDeathTest, SyncOntoTheCurrentQueueStops) {
  EXPECT_DEATH(
      {
        auto q = Queue::serial("test.self");
        q->sync([&] { q->sync([] {}); });
      },
      "dispatch: sync onto the current queue 'test.self' would deadlock");
  EXPECT_DEATH(
      {
        auto q = Queue::serial("test.self-async");
        q->async([&] { q->sync([] {}); });
        std::this_thread::sleep_for(10s);
      },
      "sync onto the current queue 'test.self-async' would deadlock");
}

TEST_F(QueueDeathTest, SyncThroughATargetChainStops) {
  // Running on the target, a sync onto a queue that runs on that target.
  EXPECT_DEATH(
      {
        auto target = Queue::serial("test.chain-target");
        auto child = Queue::serial("test.chain-child", QoS::Default, target);
        target->sync([&] { child->sync([] {}); });
      },
      "sync onto queue 'test.chain-child' would deadlock: its target 'test.chain-target' is the current queue");
  // Running on the child, a sync onto its target.
  EXPECT_DEATH(
      {
        auto target = Queue::serial("test.chain-target2");
        auto child = Queue::serial("test.chain-child2", QoS::Default, target);
        child->async([&] { target->sync([] {}); });
        std::this_thread::sleep_for(10s);
      },
      "sync onto the current queue 'test.chain-target2' would deadlock");
}

TEST_F(QueueDeathTest, SyncBackOntoAQueueWaitingInSyncStops) {
  // a waits in a sync onto b; b's block runs on another thread and syncs back onto a.
  EXPECT_DEATH(
      {
        auto a = Queue::serial("test.wait-a");
        auto b = Queue::serial("test.wait-b");
        b->async([] { std::this_thread::sleep_for(20ms); });  // busy: the sync runs on b's thread
        a->sync([&] { b->sync([&] { a->sync([] {}); }); });
      },
      "sync onto the current queue 'test.wait-a' would deadlock");
}

TEST_F(QueueDeathTest, SyncOntoTheMainQueueFromTheMainThreadStops) {
  EXPECT_DEATH(Queue::main()->sync([] {}), "sync onto the current queue '" + Queue::main()->label() + "' would deadlock");
}

TEST_F(QueueDeathTest, ResumeWithoutSuspendStops) {
  EXPECT_DEATH(Queue::serial("test.over-resume")->resume(), "resume of queue 'test.over-resume' that is not suspended");
}

}  // namespace
}  // namespace platform::dispatch
