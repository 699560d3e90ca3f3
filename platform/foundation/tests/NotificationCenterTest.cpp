#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform;

TEST(NotificationCenter, NameAndSenderFilter) {
  NotificationCenter nc;
  int a = 0, b = 0;
  int senderA = 0, senderB = 0;
  std::vector<std::string> got;
  nc.addObserver("N", nullptr, [&](const Notification& n) {
    got.push_back(n.name);
    EXPECT_EQ(*n.userInfo.at("k").asInteger(), 1);
  });
  nc.addObserver("N", &senderA, [&](const Notification& n) {
    EXPECT_EQ(n.sender, &senderA);
    ++a;
  });
  nc.addObserver("N", &senderB, [&](const Notification&) { ++b; });
  nc.post("N", &senderA, {{"k", 1}});
  nc.post("N", &senderB, {{"k", 1}});
  nc.post("N", nullptr, {{"k", 1}});
  nc.post("Other", &senderA, {{"k", 1}});
  EXPECT_EQ(got.size(), 3u);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
}

TEST(NotificationCenter, RemovalIncludingDuringPost) {
  NotificationCenter nc;
  int calls1 = 0, calls2 = 0, calls3 = 0;
  ObserverToken t1 = 0, t3 = 0;
  // The first removes itself and the third while being called; the third must not run.
  t1 = nc.addObserver("N", nullptr, [&](const Notification&) {
    ++calls1;
    nc.removeObserver(t1);
    nc.removeObserver(t3);
  });
  nc.addObserver("N", nullptr, [&](const Notification&) { ++calls2; });
  t3 = nc.addObserver("N", nullptr, [&](const Notification&) { ++calls3; });
  nc.post("N");
  nc.post("N");
  EXPECT_EQ(calls1, 1);
  EXPECT_EQ(calls2, 2);
  EXPECT_EQ(calls3, 0);
  nc.removeObserver(t1);  // removing twice is harmless
  nc.removeObserver(9999);

  // An observer may post and add observers from inside its callback without deadlock.
  int nested = 0;
  nc.addObserver("Outer", nullptr, [&](const Notification&) {
    nc.addObserver("Inner", nullptr, [&](const Notification&) { ++nested; });
    nc.post("Inner");
  });
  nc.post("Outer");
  EXPECT_EQ(nested, 1);
}

TEST(NotificationCenter, ThreadSafety) {
  NotificationCenter nc;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        ObserverToken tok = nc.addObserver("N", nullptr, [&](const Notification&) { ++calls; });
        nc.post("N");
        nc.removeObserver(tok);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GE(calls.load(), 800);  // each post sees at least its own observer
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}
