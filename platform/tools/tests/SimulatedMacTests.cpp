#include <gtest/gtest.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "platform/tools/SimulatedMac.h"
#include "platform/tools/StateFile.h"
#include "platform/tools/tests/TempPlatformRoot.h"

namespace platform {
namespace {

using SimulatedMacTest = TempPlatformRootTest;

TEST_F(SimulatedMacTest, NetworkStateRoundTripsThroughTheDocumentedFile) {
  std::vector<NetworkService> services = {{"Wi-Fi", true, {"192.168.1.1"}, {"1.1.1.1", "1.0.0.1"}, true},
                                          {"Ethernet", false, {}, {}, false}};
  std::string error;
  ASSERT_TRUE(SimulatedMac::writeNetworkServices(services, &error)) << error;
  EXPECT_EQ(SimulatedMac::networkStatePath(), root_ + "/SimulatedMac/network.json");
  auto read = SimulatedMac::readNetworkServices();
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, services);

  auto doc = nlohmann::json::parse(readFile(SimulatedMac::networkStatePath()));
  EXPECT_EQ(doc["services"][0]["name"], "Wi-Fi");
  EXPECT_EQ(doc["services"][0]["dnsServers"][1], "1.0.0.1");
  EXPECT_EQ(doc["services"][0]["dhcpDnsServers"][0], "192.168.1.1");
  EXPECT_EQ(doc["services"][0]["ipv6Off"], true);
  EXPECT_EQ(doc["services"][1]["enabled"], false);
  EXPECT_EQ(services[0].resolvers(), services[0].dnsServers);
  EXPECT_EQ(SimulatedMac::networkService("Ethernet"), services[1]);
  EXPECT_FALSE(SimulatedMac::networkService("Fiber"));
}

TEST_F(SimulatedMacTest, HandWrittenStateMayLeaveOutMembers) {
  writeFile(SimulatedMac::networkStatePath(), R"({"services": [{"name": "Wi-Fi", "dhcpDnsServers": ["10.0.0.1"]}]})");
  auto s = SimulatedMac::networkService("Wi-Fi");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->enabled);
  EXPECT_FALSE(s->ipv6Off);
  EXPECT_TRUE(s->dnsServers.empty());
  EXPECT_EQ(s->resolvers(), std::vector<std::string>{"10.0.0.1"});
}

TEST_F(SimulatedMacTest, MalformedOrInvalidStateIsRefusedWithoutLosingTheFile) {
  std::string error;
  EXPECT_FALSE(SimulatedMac::writeNetworkServices({{"A", true, {}, {}, false}, {"A", true, {}, {}, false}}, &error));
  EXPECT_NE(error.find("duplicate"), std::string::npos);
  EXPECT_FALSE(SimulatedMac::writeNetworkServices({{"", true, {}, {}, false}}));
  EXPECT_FALSE(std::filesystem::exists(SimulatedMac::networkStatePath()));

  for (const char* broken : {"[1, 2]", "{\"services\": {}}", "{\"services\": [{\"name\": \"A\", \"enabled\": \"yes\"}]}",
                             "{\"services\": [{\"name\": \"A\", \"dnsServers\": [1]}]}", "{trunc"}) {
    writeFile(SimulatedMac::networkStatePath(), broken);
    error.clear();
    EXPECT_FALSE(SimulatedMac::readNetworkServices(&error)) << broken;
    EXPECT_FALSE(error.empty()) << broken;
    EXPECT_FALSE(SimulatedMac::writeNetworkServices({{"Wi-Fi", true, {}, {}, false}})) << broken;
    EXPECT_EQ(readFile(SimulatedMac::networkStatePath()), broken);
  }
}

TEST_F(SimulatedMacTest, UpdatesFromManyThreadsAreNotLost) {
  ASSERT_TRUE(SimulatedMac::writeNetworkServices({{"Wi-Fi", true, {}, {}, false}}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        SimulatedMac::updateNetworkServices([&](std::vector<NetworkService>& s) {
          s[0].dnsServers.push_back("10.0." + std::to_string(t) + "." + std::to_string(i));
          return true;
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(SimulatedMac::networkService("Wi-Fi")->dnsServers.size(), 40u);
}

TEST_F(SimulatedMacTest, UpdateThatDeclinesWritesNothing) {
  ASSERT_TRUE(SimulatedMac::writeNetworkServices({{"Wi-Fi", true, {}, {}, false}}));
  std::string before = readFile(SimulatedMac::networkStatePath());
  EXPECT_TRUE(SimulatedMac::updateNetworkServices([](std::vector<NetworkService>& s) {
    s.clear();
    return false;
  }));
  EXPECT_EQ(readFile(SimulatedMac::networkStatePath()), before);
}

TEST_F(SimulatedMacTest, LoadedJobsRoundTrip) {
  auto none = SimulatedMac::readLoadedJobs();
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  std::vector<LaunchJob> jobs = {{"a.job", "/Library/LaunchAgents/a.plist"}, {"b.job", ""}};
  ASSERT_TRUE(SimulatedMac::writeLoadedJobs(jobs));
  EXPECT_EQ(SimulatedMac::readLoadedJobs(), jobs);
  EXPECT_TRUE(SimulatedMac::isJobLoaded("b.job"));
  EXPECT_FALSE(SimulatedMac::isJobLoaded("c.job"));
  EXPECT_FALSE(SimulatedMac::writeLoadedJobs({{"a.job", ""}, {"a.job", "x"}}));
  auto doc = nlohmann::json::parse(readFile(SimulatedMac::launchdStatePath()));
  EXPECT_EQ(doc["jobs"][0]["label"], "a.job");
  EXPECT_EQ(doc["jobs"][0]["plist"], "/Library/LaunchAgents/a.plist");
}

}  // namespace
}  // namespace platform
