#include "platform/net/SessionFetcher.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "platform/dispatch/RunLoop.h"
#include "platform/net/tests/LoopbackServer.h"

namespace platform::net {
namespace {

using testing::LoopbackServer;

struct Outcome {
  std::optional<Data> data;
  ErrorPtr error;
  std::string queueLabel;
  std::thread::id thread;
};

class SessionFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override { setAllowsInsecureLoopbackHTTP(true); }
  void TearDown() override { setAllowsInsecureLoopbackHTTP(false); }

  // Fetches on a serial callback queue and waits for the completion.
  Outcome fetch(URLRequest request, const std::function<void(SessionFetcher&)>& configure = {}) {
    auto service = SessionFetcherService::create();
    service->setCallbackQueue(queue_);
    auto fetcher = service->fetcherWithRequest(request);
    if (configure) configure(*fetcher);
    std::promise<Outcome> done;
    fetcher->beginFetchWithCompletionHandler([&](std::optional<Data> data, ErrorPtr error) {
      done.set_value({std::move(data), std::move(error), dispatch::Queue::currentLabel(), std::this_thread::get_id()});
    });
    auto f = done.get_future();
    EXPECT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return f.get();
  }

  dispatch::QueuePtr queue_ = dispatch::Queue::serial("test.fetcher.callbacks");
};

TEST_F(SessionFetcherTest, PostSendsBodyHeadersAndUserAgentAndCompletesOnTheCallbackQueue) {
  std::mutex m;
  httplib::Request seen;
  LoopbackServer server([&](httplib::Server& s) {
    s.Post("/call", [&](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(m);
      seen = req;
      res.set_content("{\"ok\":true}", "application/json");
    });
  });
  URLRequest request(server.url("/call?key=abc"));
  request.method = "POST";
  request.setValue("application/json", "Content-Type");
  request.setValue("first", "X-Client-Version");
  request.setValue("second", "x-client-version");  // same header, replaced
  auto out = fetch(request, [](SessionFetcher& f) {
    f.setBodyData(Data("{\"email\":\"a@b.c\"}"));
    f.setUserAgent("Agent/1.0 Test");
  });
  ASSERT_EQ(out.error, nullptr) << out.error->description();
  ASSERT_TRUE(out.data.has_value());
  EXPECT_EQ(*out.data, "{\"ok\":true}");
  EXPECT_EQ(out.queueLabel, "test.fetcher.callbacks");
  EXPECT_NE(out.thread, std::this_thread::get_id());
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, "{\"email\":\"a@b.c\"}");
  EXPECT_EQ(seen.get_param_value("key"), "abc");
  EXPECT_EQ(seen.get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(seen.get_header_value("X-Client-Version"), "second");
  EXPECT_EQ(seen.get_header_value_count("X-Client-Version"), 1u);
  EXPECT_EQ(seen.get_header_value("User-Agent"), "Agent/1.0 Test");
}

TEST_F(SessionFetcherTest, ErrorStatusCarriesCodeAndBody) {
  LoopbackServer server([](httplib::Server& s) {
    s.Post("/bad", [](const httplib::Request&, httplib::Response& res) {
      res.status = 400;
      res.set_content("{\"error\":{\"message\":\"INVALID_PASSWORD\"}}", "application/json");
    });
    s.Post("/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 503; });
  });
  URLRequest request(server.url("/bad"));
  request.method = "POST";
  auto out = fetch(request);
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kFetcherStatusDomain);
  EXPECT_EQ(out.error->code(), 400);
  auto it = out.error->userInfo().find(kFetcherStatusDataKey);
  ASSERT_NE(it, out.error->userInfo().end());
  ASSERT_NE(it->second.asData(), nullptr);
  EXPECT_EQ(*it->second.asData(), "{\"error\":{\"message\":\"INVALID_PASSWORD\"}}");
  ASSERT_TRUE(out.data.has_value());
  EXPECT_EQ(*out.data, *it->second.asData());

  request.url = server.url("/empty");
  out = fetch(request);
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->code(), 503);
  ASSERT_TRUE(out.data.has_value());
  EXPECT_TRUE(out.data->empty());
}

TEST_F(SessionFetcherTest, TimeoutGivesATransferErrorWithoutData) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  LoopbackServer server([&](httplib::Server& s) {
    s.Post("/slow", [&](const httplib::Request&, httplib::Response& res) {
      std::unique_lock<std::mutex> lock(m);
      cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
      res.set_content("late", "text/plain");
    });
  });
  URLRequest request(server.url("/slow"), 0.3);
  request.method = "POST";
  auto started = std::chrono::steady_clock::now();
  auto out = fetch(request);
  auto took = std::chrono::steady_clock::now() - started;
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kURLErrorDomain);
  EXPECT_EQ(out.error->code(), kURLErrorTimedOut);
  EXPECT_FALSE(out.data.has_value());
  EXPECT_LT(took, std::chrono::seconds(5));
}

// A reply over the limit fails the fetch, whether its length is declared up front or not.
TEST_F(SessionFetcherTest, RepliesOverTheLimitFailWithoutData) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/declared", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(kMaxFetchReplyBytes + 1, 'x'), "text/plain");
    });
    s.Get("/streamed", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
        if (offset > 2 * kMaxFetchReplyBytes) return false;  // a runaway server, stopped by the client
        std::string block(64 * 1024, 'y');
        return sink.write(block.data(), block.size());
      });
    });
    s.Get("/limit", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(kMaxFetchReplyBytes, 'z'), "text/plain");
    });
  });
  for (const char* path : {"/declared", "/streamed"}) {
    auto out = fetch(URLRequest(server.url(path), 20));
    ASSERT_NE(out.error, nullptr) << path;
    EXPECT_EQ(out.error->domain(), kURLErrorDomain);
    EXPECT_EQ(out.error->code(), kURLErrorDataLengthExceedsMaximum) << path;
    EXPECT_FALSE(out.data.has_value());
  }
  auto atLimit = fetch(URLRequest(server.url("/limit"), 20));
  EXPECT_EQ(atLimit.error, nullptr);
  ASSERT_TRUE(atLimit.data);
  EXPECT_EQ(atLimit.data->size(), kMaxFetchReplyBytes);
}

TEST_F(SessionFetcherTest, PlainHTTPOnlyToLoopbackAndOnlyWhenSwitchedOn) {
  URLRequest remote("http://192.0.2.1/never");
  remote.method = "POST";
  auto out = fetch(remote);
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kURLErrorDomain);
  EXPECT_EQ(out.error->code(), kURLErrorInsecureConnectionRefused);
  EXPECT_FALSE(out.data.has_value());

  std::atomic<int> hits{0};
  LoopbackServer server([&](httplib::Server& s) {
    s.Get("/x", [&](const httplib::Request&, httplib::Response& res) {
      ++hits;
      res.set_content("x", "text/plain");
    });
  });
  setAllowsInsecureLoopbackHTTP(false);
  out = fetch(URLRequest(server.url("/x")));
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->code(), kURLErrorInsecureConnectionRefused);
  EXPECT_EQ(hits.load(), 0);

  setAllowsInsecureLoopbackHTTP(true);
  out = fetch(URLRequest("http://localhost:" + std::to_string(server.port()) + "/x"));
  EXPECT_EQ(out.error, nullptr);
  EXPECT_EQ(hits.load(), 1);

  out = fetch(URLRequest("ftp://127.0.0.1/x"));
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->code(), kURLErrorUnsupportedURL);
  out = fetch(URLRequest("not a url"));
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->code(), kURLErrorBadURL);
}

TEST_F(SessionFetcherTest, LoopbackHostsAreRecognised) {
  EXPECT_TRUE(isLoopbackURL("http://127.0.0.1:8080/a"));
  EXPECT_TRUE(isLoopbackURL("http://127.5.6.7/"));
  EXPECT_TRUE(isLoopbackURL("http://localhost/"));
  EXPECT_TRUE(isLoopbackURL("http://LOCALHOST:1/"));
  EXPECT_TRUE(isLoopbackURL("http://[::1]:9/"));
  EXPECT_FALSE(isLoopbackURL("http://128.0.0.1/"));
  EXPECT_FALSE(isLoopbackURL("http://localhost.example.com/"));
  EXPECT_FALSE(isLoopbackURL("http://127.0.0.1.example.com/"));
  EXPECT_FALSE(isLoopbackURL("http://[::2]/"));
  EXPECT_FALSE(isLoopbackURL("http://user@example.com/"));
  EXPECT_FALSE(isLoopbackURL("garbage"));
}

TEST_F(SessionFetcherTest, HttpsVerifiesThePeer) {
  // A plain HTTP server answering a TLS hello fails the handshake: never a silent success.
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
  });
  auto out = fetch(URLRequest("https://127.0.0.1:" + std::to_string(server.port()) + "/x", 5));
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kURLErrorDomain);
  EXPECT_FALSE(out.data.has_value());
}

TEST_F(SessionFetcherTest, DefaultCallbackQueueIsMainAndStoppedFetchNeverCompletes) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
  });
  auto service = SessionFetcherService::create();
  service->setReuseSession(false);
  bool onMain = false;
  bool done = false;
  auto fetcher = service->fetcherWithRequest(URLRequest(server.url("/x")));
  fetcher->beginFetchWithCompletionHandler([&](std::optional<Data> data, ErrorPtr error) {
    onMain = dispatch::isMainThread() && error == nullptr && data == Data("x");
    done = true;
  });
  EXPECT_FALSE(done);  // returns at once; the completion waits for the main run loop
  ASSERT_TRUE(dispatch::RunLoop::runUntil([&] { return done; }, std::chrono::seconds(20)));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(fetcher->statusCode(), 200);

  bool called = false;
  auto stopped = service->fetcherWithRequest(URLRequest(server.url("/x")));
  stopped->beginFetchWithCompletionHandler([&](std::optional<Data>, ErrorPtr) { called = true; });
  stopped->stopFetching();
  dispatch::RunLoop::runUntil([&] { return called; }, std::chrono::milliseconds(500));
  EXPECT_FALSE(called);
}

TEST_F(SessionFetcherTest, StopWhileTheCompletionWaitsOnItsQueueStillDropsIt) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
  });
  auto service = SessionFetcherService::create();
  auto queue = dispatch::Queue::serial("test.fetcher.held");
  queue->suspend();  // the finished fetch's completion waits here
  service->setCallbackQueue(queue);
  std::atomic<bool> called{false};
  auto fetcher = service->fetcherWithRequest(URLRequest(server.url("/x")));
  fetcher->beginFetchWithCompletionHandler([&](std::optional<Data>, ErrorPtr) { called = true; });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (fetcher->statusCode() != 200 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(fetcher->statusCode(), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the completion reach the queue
  fetcher->stopFetching();
  queue->resume();
  queue->sync([] {});
  EXPECT_FALSE(called.load());
}

TEST_F(SessionFetcherTest, LoopbackTrafficNeverGoesThroughAProxyFromTheEnvironment) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
  });
  struct ProxyEnv {  // a proxy nobody listens on: a request sent there fails
    ProxyEnv() {
      ::setenv("http_proxy", "http://127.0.0.1:9", 1);
      ::setenv("ALL_PROXY", "http://127.0.0.1:9", 1);
    }
    ~ProxyEnv() {
      ::unsetenv("http_proxy");
      ::unsetenv("ALL_PROXY");
    }
  } proxy;
  auto out = fetch(URLRequest(server.url("/x"), 10));
  ASSERT_EQ(out.error, nullptr) << out.error->description();
  EXPECT_EQ(out.data, Data("x"));
}

TEST_F(SessionFetcherTest, HeaderWithALineBreakIsRefusedBeforeAnythingIsSent) {
  std::atomic<int> hits{0};
  LoopbackServer server([&](httplib::Server& s) {
    s.Get("/x", [&](const httplib::Request&, httplib::Response& res) {
      ++hits;
      res.set_content("x", "text/plain");
    });
  });
  URLRequest request(server.url("/x"));
  request.setValue("1\r\nX-Injected: yes", "X-Client-Version");
  auto out = fetch(request);
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kURLErrorDomain);
  EXPECT_EQ(out.error->code(), kURLErrorBadURL);
  EXPECT_FALSE(out.data.has_value());
  EXPECT_EQ(hits.load(), 0);
}

TEST_F(SessionFetcherTest, ReusedSessionServesManyFetchesAtOnce) {
  std::atomic<int> hits{0};
  LoopbackServer server([&](httplib::Server& s) {
    s.Post("/echo", [&](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      res.set_content(req.body, "text/plain");
    });
  });
  auto service = SessionFetcherService::create();
  service->setCallbackQueue(queue_);
  constexpr int kCount = 12;
  std::vector<std::promise<std::optional<Data>>> results(kCount);
  for (int i = 0; i < kCount; ++i) {
    URLRequest r(server.url("/echo"));
    r.method = "POST";
    auto f = service->fetcherWithRequest(r);
    f->setBodyData(std::to_string(i));
    f->beginFetchWithCompletionHandler([&results, i](std::optional<Data> data, ErrorPtr error) {
      results[i].set_value(error ? std::nullopt : data);
    });
  }
  for (int i = 0; i < kCount; ++i) {
    auto f = results[i].get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(f.get(), std::to_string(i));
  }
  EXPECT_EQ(hits.load(), kCount);
}

TEST(SessionFetcherUserAgentTest, StandardStringNamesProductSystemAndFetcher) {
  std::string ua = fetcherStandardUserAgentString();
  EXPECT_TRUE(std::regex_match(ua, std::regex(R"([^ /]+/[^ /]+ [^ /]+/[^ /]+ VrlSessionFetcher/1\.0)"))) << ua;
}

}  // namespace
}  // namespace platform::net

namespace platform::net {
namespace {

TEST_F(SessionFetcherTest, ARedirectedPostIsNeverSentOnAndFailsWithTheStatus) {
  std::atomic<int> posts{0};
  LoopbackServer server([&](httplib::Server& s) {
    s.Post("/call", [&](const httplib::Request&, httplib::Response& res) {
      ++posts;
      // Elsewhere over https, which a redirect may otherwise use.
      res.status = 307;
      res.set_header("Location", "https://127.0.0.1:9/stolen");
      res.set_content("{\"moved\":true}", "application/json");
    });
  });
  URLRequest request(server.url("/call"));
  request.method = "POST";
  auto out = fetch(request, [](SessionFetcher& f) { f.setBodyData(Data("{\"refreshToken\":\"secret\"}")); });
  ASSERT_NE(out.error, nullptr);
  EXPECT_EQ(out.error->domain(), kFetcherStatusDomain);
  EXPECT_EQ(out.error->code(), 307);
  EXPECT_FALSE(out.data.has_value());  // a failed transfer, not a reply to read
  EXPECT_EQ(posts.load(), 1);
}

}  // namespace
}  // namespace platform::net
