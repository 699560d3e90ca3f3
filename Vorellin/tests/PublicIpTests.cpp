#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include <httplib.h>

#include <future>

#include "backend/dns/PublicIpEchoServer.h"
#include "Vorellin/URLSessionSynchronous.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vorellin {
namespace {

using backend::PublicIpEchoServer;
using platform::logging::LogFlag;
using Strings = std::vector<std::string>;

class PublicIpTest : public testing::SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    std::string error;
    for (PublicIpEchoServer* server : {&a, &b, &c}) ASSERT_TRUE(server->start(0, &error)) << error;
    platform::net::setAllowsInsecureLoopbackHTTP(true);
    AppUtils::setPublicIpEchoUrls(Strings{a.url(), b.url(), c.url()});
    AppUtils::setCurrentIpRegistration([this](const std::string& ip) {
      std::lock_guard<std::mutex> lock(mutex_);
      registered_.push_back(ip);
    });
  }
  void TearDown() override {
    AppUtils::setCurrentIpRegistration(nullptr);
    AppUtils::setPublicIpEchoUrls(std::nullopt);
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    SimulatedMacTest::TearDown();
  }

  std::optional<std::string> vote(const std::string& first, const std::string& second, const std::string& third) {
    a.setAnswer(first);
    b.setAnswer(second);
    c.setAnswer(third);
    return AppUtils::getPublicIp();
  }
  Strings registered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return registered_;
  }
  static std::optional<std::string> stored(const char* key) { return prefs()->stringForKey(key); }

  // Waits for a refresh that registers, or (register false) for all three services to be asked
  // once more and the refresh's short tail to pass.
  void refreshAndWait(bool expectRegistration) {
    const size_t before = registered().size();
    auto asked = [this] { return a.requestCount() + b.requestCount() + c.requestCount(); };
    const int askedBefore = asked();
    AppUtils::refreshPublicIp();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (expectRegistration ? registered().size() > before : asked() >= askedBefore + 3) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!expectRegistration) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (expectRegistration) {
      ASSERT_GT(registered().size(), before) << "no registration";
    }
  }

  PublicIpEchoServer a{"", "/"}, b{"", "/"}, c{"", "/ip"};
  std::mutex mutex_;
  Strings registered_;
};

TEST_F(PublicIpTest, MajorityWinsAndTiesGoToTheFirstToReachTheCount) {
  EXPECT_EQ(vote("198.51.100.1", "198.51.100.2", "198.51.100.1"), "198.51.100.1");
  EXPECT_EQ(vote("198.51.100.1", "198.51.100.2", "198.51.100.2"), "198.51.100.2");
  EXPECT_EQ(vote("198.51.100.1", "198.51.100.2", "198.51.100.3"), "198.51.100.1");
  EXPECT_EQ(vote("198.51.100.7", "198.51.100.7", "198.51.100.7"), "198.51.100.7");
  // Every service is asked every time, even once two already agree.
  EXPECT_EQ(a.requestCount(), 4);
  EXPECT_EQ(b.requestCount(), 4);
  EXPECT_EQ(c.requestCount(), 4);
}

TEST_F(PublicIpTest, OnlyTheAnsweringServicesVote) {
  // Only the second service answers.
  a.setAnswer("down", 503);
  b.setAnswer("198.51.100.2");
  c.setAnswer("", 200);
  EXPECT_EQ(AppUtils::getPublicIp(), "198.51.100.2");

  // Error pages that carry an address do not outvote a real answer.
  a.setAnswer("198.51.100.1");
  b.setAnswer("203.0.113.9", 404);
  c.setAnswer("203.0.113.9", 500);
  EXPECT_EQ(AppUtils::getPublicIp(), "198.51.100.1");

  // No answer at all.
  a.setAnswer("", 500);
  b.setAnswer("<html>busy</html>");
  c.setAnswer("not an address");
  EXPECT_EQ(AppUtils::getPublicIp(), std::nullopt);
}

TEST_F(PublicIpTest, AnAnswerCountsOnlyAsAnIPv4AddressWithA2xxStatus) {
  struct Case {
    std::string body;
    int status;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"203.0.113.7", 200, "203.0.113.7"},
      {"  203.0.113.7\r\n", 200, "203.0.113.7"},
      {"203.0.113.7", 203, "203.0.113.7"},
      {"203.0.113.7", 404, std::nullopt},
      {"203.0.113.7", 302, std::nullopt},
      {"", 200, std::nullopt},
      {"203.0.113", 200, std::nullopt},
      {"203.0.113.7.1", 200, std::nullopt},
      {"256.0.113.7", 200, std::nullopt},
      {"203.0.113.7 extra", 200, std::nullopt},
      {"2001:db8::1", 200, std::nullopt},
      {"\xff\xfe", 200, std::nullopt},
  };
  for (const Case& k : cases) {
    a.setAnswer(k.body, k.status);
    EXPECT_EQ(AppUtils::fetchPublicIp(a.url()), k.expected) << "body '" << k.body << "' status " << k.status;
  }
  // A service that cannot be reached.
  PublicIpEchoServer gone("203.0.113.7", "/ip");
  ASSERT_TRUE(gone.start());
  const std::string url = gone.url();
  EXPECT_EQ(AppUtils::fetchPublicIp(url), "203.0.113.7");
  gone.stop();
  EXPECT_EQ(AppUtils::fetchPublicIp(url), std::nullopt);
}

TEST_F(PublicIpTest, AddressWithAndWithoutLineFeedVoteAsOne) {
  // As exact texts "198.51.100.1" would win alone against two different texts.
  EXPECT_EQ(vote("198.51.100.1", "198.51.100.2\n", "198.51.100.2"), "198.51.100.2");
}

TEST_F(PublicIpTest, RefreshStoresTheAddressAndRegistersItWhileThePlainResolversProtect) {
  setSwitches(true, true, false);
  a.setAnswer("198.51.100.1");
  b.setAnswer("198.51.100.1");
  c.setAnswer("198.51.100.9");

  // First run: nothing was stored before.
  refreshAndWait(true);
  EXPECT_EQ(stored(keys::kCurrentIp), "198.51.100.1");
  EXPECT_FALSE(prefs()->hasKey(keys::kPreviousIp));
  EXPECT_EQ(registered(), Strings({"198.51.100.1"}));

  // Same address: "previousIp" keeps its value and the address is registered again.
  set(keys::kPreviousIp, "192.0.2.50");
  refreshAndWait(true);
  EXPECT_EQ(stored(keys::kPreviousIp), "192.0.2.50");
  EXPECT_EQ(stored(keys::kCurrentIp), "198.51.100.1");
  EXPECT_EQ(registered(), Strings({"198.51.100.1", "198.51.100.1"}));

  // New address: the old one moves to "previousIp".
  a.setAnswer("198.51.100.2");
  b.setAnswer("198.51.100.2");
  refreshAndWait(true);
  EXPECT_EQ(stored(keys::kPreviousIp), "198.51.100.1");
  EXPECT_EQ(stored(keys::kCurrentIp), "198.51.100.2");
}

TEST_F(PublicIpTest, RefreshStoresButDoesNotRegisterUnlessOnlyThePlainResolversProtect) {
  const std::vector<std::tuple<bool, bool, bool>> states = {
      {true, true, true}, {true, false, false}, {false, true, false}};
  int n = 1;
  for (auto [blocker, custom, fenwix] : states) {
    setSwitches(blocker, custom, fenwix);
    const std::string address = "198.51.100." + std::to_string(n++);
    a.setAnswer(address);
    b.setAnswer(address);
    c.setAnswer(address);
    refreshAndWait(false);
    EXPECT_EQ(stored(keys::kCurrentIp), address);
  }
  EXPECT_TRUE(registered().empty());
}

TEST_F(PublicIpTest, RefreshWithoutAnyAnswerChangesNothing) {
  setSwitches(true, true, false);
  set(keys::kCurrentIp, "192.0.2.1");
  set(keys::kPreviousIp, "192.0.2.2");
  a.setAnswer("", 500);
  b.setAnswer("", 500);
  c.setAnswer("", 500);
  refreshAndWait(false);
  EXPECT_EQ(stored(keys::kCurrentIp), "192.0.2.1");
  EXPECT_EQ(stored(keys::kPreviousIp), "192.0.2.2");
  EXPECT_TRUE(registered().empty());
}

TEST_F(PublicIpTest, ConcurrentStoresKeepOneChainOfAddresses) {
  // Each store must see the value the previous one wrote: then every address but the last is
  // handed back as the old value exactly once, and the first store sees none.
  constexpr int kThreads = 8;
  constexpr int kPerThread = 15;
  std::mutex mutex;
  std::vector<std::optional<std::string>> olds;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto old = AppUtils::storePublicIp("10." + std::to_string(t) + ".0." + std::to_string(i));
        std::lock_guard<std::mutex> lock(mutex);
        olds.push_back(old);
      }
    });
  }
  for (auto& t : threads) t.join();

  std::map<std::string, int> seen;
  int none = 0;
  for (const auto& old : olds) old ? ++seen[*old] : ++none;
  EXPECT_EQ(none, 1);
  const std::string last = *stored(keys::kCurrentIp);
  EXPECT_EQ(seen.count(last), 0u);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread - 1));
  for (const auto& [address, times] : seen) EXPECT_EQ(times, 1) << address;
  ASSERT_TRUE(stored(keys::kPreviousIp).has_value());
  EXPECT_EQ(seen.count(*stored(keys::kPreviousIp)), 1u);
}

TEST_F(PublicIpTest, EchoAddressesComeFromTheSdkConfigurationUnlessSet) {
  AppUtils::setPublicIpEchoUrls(std::nullopt);
  const Strings configured = AppUtils::publicIpEchoUrls();
  ASSERT_EQ(configured.size(), 3u);
  EXPECT_EQ(configured[2].substr(configured[2].size() - 3), "/ip");
  AppUtils::setPublicIpEchoUrls(Strings{"http://x/", "http://y/", "http://z/ip"});
  EXPECT_EQ(AppUtils::publicIpEchoUrls(), Strings({"http://x/", "http://y/", "http://z/ip"}));
}

TEST_F(PublicIpTest, RegistrationsArriveInTheOrderTheAddressesWereStored) {
  setSwitches(true, true, false);
  a.setAnswer("198.51.100.1");
  b.setAnswer("198.51.100.1");
  c.setAnswer("198.51.100.1");
  std::promise<void> firstRegistering;
  std::atomic<bool> first{true};
  // The first registration is slow: a second refresh gets every chance to overtake it.
  AppUtils::setCurrentIpRegistration([&](const std::string& ip) {
    if (first.exchange(false)) {
      firstRegistering.set_value();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (registered().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    registered_.push_back(ip);
  });
  AppUtils::refreshPublicIp();
  firstRegistering.get_future().wait();
  a.setAnswer("198.51.100.2");
  b.setAnswer("198.51.100.2");
  c.setAnswer("198.51.100.2");
  AppUtils::refreshPublicIp();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (registered().size() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(registered(), Strings({"198.51.100.1", "198.51.100.2"}));
  EXPECT_EQ(stored(keys::kCurrentIp), "198.51.100.2");
  EXPECT_EQ(stored(keys::kPreviousIp), "198.51.100.1");
}

TEST_F(PublicIpTest, AConfiguredListOfOtherThanThreeServicesIsRefused) {
  AppUtils::setPublicIpEchoUrls(std::nullopt);
  const Strings defaults = DAVOptions().publicIPEchoURLs();
  ASSERT_EQ(defaults.size(), 3u);
  auto configure = [](const Strings& urls) {
    DAVApp::resetApps();
    auto options = DAVOptions::initWithVariruAppID("1:123456789012:ios:0123456789abcdef", "123456789012");
    auto dictionary = options->optionsDictionary();
    dictionary[kDAVPublicIPEchoURLs] = platform::Value(platform::Array(urls.begin(), urls.end()));
    options->setOptionsDictionary(dictionary);
    DAVApp::configureWithOptions(options);
  };
  const Strings three = {a.url(), b.url(), c.url()};
  configure(three);
  EXPECT_EQ(AppUtils::publicIpEchoUrls(), three);
  EXPECT_TRUE(log->texts(LogFlag::Error).empty());
  for (const Strings& wrong : {Strings{a.url(), b.url()}, Strings{a.url(), b.url(), c.url(), a.url()}}) {
    log->clear();
    configure(wrong);
    EXPECT_EQ(AppUtils::publicIpEchoUrls(), defaults);
    const Strings errors = log->texts(LogFlag::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("PUBLIC_IP_ECHO_URLS"), std::string::npos) << errors[0];
  }
  DAVApp::resetApps();
}

TEST(SynchronousDataTaskTest, TheWholeRequestIsSent) {
  httplib::Server server;
  std::mutex mutex;
  std::string method, header, body;
  server.Post("/echo", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex);
    method = request.method;
    header = request.get_header_value("X-Vorellin-Test");
    body = request.body;
    response.set_content("received", "text/plain");
  });
  server.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    response.set_content("late", "text/plain");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  // Connections queue on the bound socket until the server accepts them.
  platform::net::setAllowsInsecureLoopbackHTTP(true);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  platform::net::URLRequest post(base + "/echo", 10.0);
  post.method = "POST";
  post.setValue("yes", "X-Vorellin-Test");
  post.setValue("text/plain", "Content-Type");
  post.body = "payload";
  DataTaskResult result = synchronousDataTask(*platform::net::URLSession::shared(), post);
  EXPECT_EQ(result.error, nullptr);
  EXPECT_EQ(result.httpStatus, 200);
  EXPECT_EQ(result.data, std::optional<platform::Data>("received"));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(method, "POST");
    EXPECT_EQ(header, "yes");
    EXPECT_EQ(body, "payload");
  }

  // The request's own timeout bounds the wait.
  DataTaskResult late = synchronousDataTask(*platform::net::URLSession::shared(), platform::net::URLRequest(base + "/slow", 0.5));
  ASSERT_NE(late.error, nullptr);
  EXPECT_EQ(late.error->code(), platform::net::kURLErrorTimedOut);
  EXPECT_FALSE(late.data.has_value());

  server.stop();
  serving.join();
  platform::net::setAllowsInsecureLoopbackHTTP(false);
}

}  // namespace
}  // namespace vorellin
