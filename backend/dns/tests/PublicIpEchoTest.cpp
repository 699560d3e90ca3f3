#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

#include "backend/dns/PublicIpEchoServer.h"
#include "backend/dns/PublicNetworkServices.h"

namespace backend {
namespace {

httplib::Result get(uint16_t port, const std::string& path) {
  httplib::Client client("127.0.0.1", port);
  return client.Get(path);
}

TEST(PublicIpEchoTest, AnswersWhatItIsSetTo) {
  PublicIpEchoServer echo("203.0.113.5", "/ip");
  ASSERT_TRUE(echo.start());
  EXPECT_EQ(echo.url(), "http://127.0.0.1:" + std::to_string(echo.port()) + "/ip");
  auto first = get(echo.port(), "/ip");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  EXPECT_EQ(first->body, "203.0.113.5");

  echo.setAnswer("203.0.113.6\n");
  EXPECT_EQ(get(echo.port(), "/ip")->body, "203.0.113.6\n") << "sent byte for byte";
  echo.setAnswer("<html>missing</html>", 404);
  auto missing = get(echo.port(), "/ip");
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "<html>missing</html>");
  EXPECT_EQ(get(echo.port(), "/")->status, 404) << "only its own path";
  EXPECT_EQ(echo.requestCount(), 3);

  uint16_t port = echo.port();
  echo.stop();
  EXPECT_FALSE(get(port, "/ip"));
}

TEST(PublicIpEchoTest, SeedStartsThreeDisagreeingServicesAndTheResolver) {
  PublicNetworkServices services;
  std::string error;
  ASSERT_TRUE(services.applySeed(
      {{"publicIpEcho", {{"answers", {"198.51.100.1", "198.51.100.2", "198.51.100.1"}}}},
       {"dohResolver", {{"blocked", {"blocked.example"}}, {"address", "192.0.2.3"}}}},
      &error))
      << error;
  ASSERT_TRUE(services.start(&error)) << error;
  ASSERT_EQ(services.echoServers().size(), 3u);
  EXPECT_EQ(get(services.echoServers()[0]->port(), "/")->body, "198.51.100.1");
  EXPECT_EQ(get(services.echoServers()[1]->port(), "/")->body, "198.51.100.2");
  EXPECT_EQ(get(services.echoServers()[2]->port(), "/ip")->body, "198.51.100.1");
  ASSERT_TRUE(services.dohResolver());
  std::string caFile = services.dohResolver()->caFile();
  EXPECT_TRUE(std::filesystem::exists(caFile));
  services.stop();
  EXPECT_FALSE(std::filesystem::exists(caFile)) << "the certificates go with the services";

  PublicNetworkServices bad;
  EXPECT_FALSE(bad.applySeed({{"publicIpEcho", {{"answers", {"1.2.3.4"}}}}}, &error));
  EXPECT_FALSE(bad.applySeed({{"dohResolver", {{"blocked", {1}}}}}, &error));
  EXPECT_FALSE(bad.applySeed({{"publicIpEcho", "198.51.100.1"}}, &error));
  EXPECT_NE(error.find("publicIpEcho"), std::string::npos) << error;
  EXPECT_FALSE(bad.applySeed({{"dohResolver", 5}}, &error));
  EXPECT_NE(error.find("dohResolver"), std::string::npos) << error;
  PublicNetworkServices none;
  ASSERT_TRUE(none.applySeed({{"users", nlohmann::json::array()}}, &error));
  ASSERT_TRUE(none.start(&error));
  EXPECT_TRUE(none.echoServers().empty());
  EXPECT_EQ(none.dohResolver(), nullptr);
}

}  // namespace
}  // namespace backend
