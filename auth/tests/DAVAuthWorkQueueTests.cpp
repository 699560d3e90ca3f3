#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "auth/DAVAuthDispatcher.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVAuthSerialTaskQueue.h"
#include "auth/tests/AuthTestSupport.h"

namespace {

using platform::dispatch::Queue;

TEST(DAVAuthGlobalWorkQueue, OneSerialQueueForTheProcess) {
  auto queue = DAVAuthGlobalWorkQueue();
  EXPECT_EQ(queue, DAVAuthGlobalWorkQueue());
  EXPECT_EQ(queue->label(), "com.variru.davedove.auth.globalWorkQueue");
  EXPECT_TRUE(queue->isSerial());
}

TEST(DAVAuthSerialTaskQueue, NextTaskWaitsForTheCompletionOfTheRunningOne) {
  DAVAuthSerialTaskQueue taskQueue;
  std::mutex mutex;
  std::vector<std::string> events;
  auto note = [&](const std::string& e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(e);
  };
  std::promise<void> secondDone;
  std::atomic<bool> onWorkQueue{true};
  taskQueue.enqueueTask([&](DAVAuthSerialTaskCompletionBlock complete) {
    note("first start");
    onWorkQueue = onWorkQueue && DAVAuthGlobalWorkQueue()->isCurrent();
    // The work finishes later on another queue.
    Queue::global()->after(std::chrono::milliseconds(100), [&, complete] {
      note("first end");
      complete();
    });
  });
  taskQueue.enqueueTask([&](DAVAuthSerialTaskCompletionBlock complete) {
    note("second start");
    onWorkQueue = onWorkQueue && DAVAuthGlobalWorkQueue()->isCurrent();
    complete();
    complete();  // a second call must not resume the queue twice
    secondDone.set_value();
  });
  auto future = secondDone.get_future();
  authtest::waitFor(future);
  EXPECT_EQ(events, (std::vector<std::string>{"first start", "first end", "second start"}));
  EXPECT_TRUE(onWorkQueue);

  // Still usable after the doubled completion: one task at a time, in order.
  std::promise<void> thirdDone;
  std::atomic<int> running{0}, maxRunning{0};
  for (int i = 0; i < 5; ++i) {
    taskQueue.enqueueTask([&, i](DAVAuthSerialTaskCompletionBlock complete) {
      int now = ++running;
      maxRunning = std::max(maxRunning.load(), now);
      Queue::global()->async([&, i, complete] {
        --running;
        note("t" + std::to_string(i));
        complete();
        if (i == 4) thirdDone.set_value();
      });
    });
  }
  auto third = thirdDone.get_future();
  authtest::waitFor(third);
  EXPECT_EQ(maxRunning.load(), 1);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
            (std::vector<std::string>{"t0", "t1", "t2", "t3", "t4"}));
}

TEST(DAVAuthDispatcher, ReplacementOrPlatformDelay) {
  DAVAuthDispatcher& dispatcher = DAVAuthDispatcher::sharedInstance();
  EXPECT_EQ(&dispatcher, &DAVAuthDispatcher::sharedInstance());

  double seenDelay = -1;
  platform::dispatch::QueuePtr seenQueue;
  std::atomic<bool> ranByPlatform{false};
  dispatcher.setDispatchAfterImplementation(
      [&](double delay, platform::dispatch::QueuePtr queue, std::function<void()>) {
        seenDelay = delay;
        seenQueue = queue;
      });
  dispatcher.dispatchAfterDelay(0.0, DAVAuthGlobalWorkQueue(), [&] { ranByPlatform = true; });
  EXPECT_EQ(seenDelay, 0.0);
  EXPECT_EQ(seenQueue, DAVAuthGlobalWorkQueue());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(ranByPlatform);

  dispatcher.setDispatchAfterImplementation(nullptr);
  std::promise<std::chrono::steady_clock::time_point> ran;
  auto start = std::chrono::steady_clock::now();
  dispatcher.dispatchAfterDelay(0.2, DAVAuthGlobalWorkQueue(), [&] { ran.set_value(std::chrono::steady_clock::now()); });
  auto future = ran.get_future();
  EXPECT_GE(authtest::waitFor(future) - start, std::chrono::milliseconds(195));

  std::promise<void> immediate;
  dispatcher.dispatchAfterDelay(0.0, DAVAuthGlobalWorkQueue(), [&] { immediate.set_value(); });
  auto immediateFuture = immediate.get_future();
  authtest::waitFor(immediateFuture);
}

}  // namespace
