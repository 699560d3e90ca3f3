#include "platform/net/Reachability.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform::net {
namespace {

using Connection = Reachability::Connection;

// Collects the handler calls made on the notification queue.
struct Calls {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> seen;
  void add(std::string s) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(std::move(s));
    cv.notify_all();
  }
  bool waitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() >= n; });
  }
};

TEST(ReachabilityTest, ReportsTheCurrentStateThenEveryChangeOnItsQueueUntilStopped) {
  auto queue = dispatch::Queue::serial("reachability-test");
  auto monitor = Reachability::forInternetConnection(queue);
  std::atomic<int> link{int(Connection::WiFi)};
  monitor->setProbeForTesting([&] { return std::optional<Connection>(Connection(link.load())); });
  Calls calls;
  monitor->setWhenReachable([&](Reachability& r) {
    EXPECT_TRUE(queue->isCurrent());
    calls.add("reachable " + Reachability::description(r.connection()));
  });
  monitor->setWhenUnreachable([&](Reachability& r) { calls.add("unreachable " + Reachability::description(r.connection())); });

  ASSERT_TRUE(monitor->startNotifier());
  ASSERT_TRUE(calls.waitFor(1));
  monitor->pollNowForTesting();  // unchanged: nothing
  link = int(Connection::None);
  monitor->pollNowForTesting();
  ASSERT_TRUE(calls.waitFor(2));
  link = int(Connection::Cellular);
  monitor->pollNowForTesting();
  ASSERT_TRUE(calls.waitFor(3));
  queue->sync([] {});
  EXPECT_EQ(calls.seen, (std::vector<std::string>{"reachable WiFi", "unreachable No Connection", "reachable Cellular"}));

  monitor->stopNotifier();
  EXPECT_FALSE(monitor->isNotifierRunning());
  link = int(Connection::WiFi);
  monitor->pollNowForTesting();
  queue->sync([] {});
  EXPECT_EQ(calls.seen.size(), 3u);

  // Interfaces that cannot be read: the notifier does not start.
  auto blind = Reachability::forInternetConnection(queue);
  blind->setProbeForTesting([] { return std::optional<Connection>(); });
  EXPECT_FALSE(blind->startNotifier());
  EXPECT_EQ(blind->connection(), Connection::Unavailable);
  EXPECT_EQ(Reachability::description(Connection::Unavailable), "unavailable");
  // This machine's own interfaces can be read (loopback at least exists).
  EXPECT_TRUE(Reachability::probeInterfaces().has_value());
}

}  // namespace
}  // namespace platform::net
