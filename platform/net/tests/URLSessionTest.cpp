#include "platform/net/URLSession.h"

#include <future>

#include <gtest/gtest.h>

#include "platform/net/URLRequest.h"
#include "platform/net/tests/LoopbackServer.h"

namespace platform::net {
namespace {

using testing::LoopbackServer;

struct Result {
  std::optional<Data> data;
  int status = 0;
  ErrorPtr error;
  std::thread::id thread;
};

Result get(const std::string& url, double timeout = 10) {
  std::promise<Result> p;
  URLSession::shared()->dataTask(url, timeout, [&](std::optional<Data> data, int status, ErrorPtr error) {
    p.set_value({std::move(data), status, std::move(error), std::this_thread::get_id()});
  });
  auto f = p.get_future();
  EXPECT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  return f.get();
}

class URLSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { setAllowsInsecureLoopbackHTTP(true); }
  void TearDown() override { setAllowsInsecureLoopbackHTTP(false); }
};

TEST_F(URLSessionTest, GetReturnsBodyAndStatusWithoutTurningStatusIntoError) {
  LoopbackServer server([](httplib::Server& s) {
    s.Get("/ip", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method == "GET" ? "203.0.113.7\n" : "wrong method", "text/plain");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("not here", "text/plain");
    });
  });
  auto ok = get(server.url("/ip"));
  EXPECT_EQ(ok.error, nullptr);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.data, Data("203.0.113.7\n"));
  EXPECT_NE(ok.thread, std::this_thread::get_id());

  auto missing = get(server.url("/missing"));
  EXPECT_EQ(missing.error, nullptr);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.data, Data("not here"));
}

TEST_F(URLSessionTest, TransferFailuresGiveAnErrorAndNoStatus) {
  int closedPort;
  {
    LoopbackServer server([](httplib::Server&) {});
    closedPort = server.port();
  }
  auto refused = get("http://127.0.0.1:" + std::to_string(closedPort) + "/ip");
  ASSERT_NE(refused.error, nullptr);
  EXPECT_EQ(refused.error->code(), kURLErrorCannotConnectToHost);
  EXPECT_EQ(refused.status, 0);
  EXPECT_FALSE(refused.data.has_value());

  setAllowsInsecureLoopbackHTTP(false);
  auto insecure = get("http://127.0.0.1:" + std::to_string(closedPort) + "/ip");
  ASSERT_NE(insecure.error, nullptr);
  EXPECT_EQ(insecure.error->code(), kURLErrorInsecureConnectionRefused);
}

}  // namespace
}  // namespace platform::net
