// The filtering resolvers answer real DNS clients (dig) on their own loopback addresses, port 53.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "backend/dns/FilteringDnsService.h"
#include "backend/src/TestBackend.h"

namespace backend {
namespace {

std::string dig(const std::string& server, const std::string& name, const std::string& type = "A") {
  return digAnswer(server, name, type);
}

std::string digTcp(const std::string& server, const std::string& name, const std::string& type = "A") {
  return digAnswer(server, name, type, "+tcp");
}

nlohmann::json seedFor(const std::string& normal, const std::string& extreme, const std::string& custom) {
  nlohmann::json seed = nlohmann::json::parse(R"({
    "documents": {
      "dnsServers/blockModes": {"normal": {"ipv4": []}, "extreme": {"ipv4": []}, "ultraExtreme": "not a map"},
      "dnsServers/customDns": {"ipv4": [], "dnsOverHttps": ["https://127.0.0.1:1/dns-query"]},
      "customBlacklist/u1": {"userId": "u1", "blockMode": 0, "blacklist": ["Social.Example"]}
    },
    "filteringDns": {
      "answers": {"www.example": "192.0.2.20", "games.example": "192.0.2.21", "adult.example": "192.0.2.22",
                  "social.example": "192.0.2.23"},
      "blockLists": {"normal": ["adult.example"], "extreme": ["adult.example", "games.example"]}
    }})");
  auto& documents = seed["documents"];
  documents["dnsServers/blockModes"]["normal"]["ipv4"].push_back(normal);
  documents["dnsServers/blockModes"]["extreme"]["ipv4"].push_back(extreme);
  documents["dnsServers/customDns"]["ipv4"].push_back(custom);
  return seed;
}

TEST(FilteringDnsServiceTest, EachResolverFiltersWithItsOwnListAndNothingElseResolves) {
  if (::geteuid() != 0) GTEST_SKIP() << "port 53 needs root";
  const std::string normal = randomLoopbackAddress(), extreme = randomLoopbackAddress(),
                    custom = randomLoopbackAddress();
  FilteringDnsService service;
  std::string error;
  ASSERT_TRUE(service.applySeed(seedFor(normal, extreme, custom), &error)) << error;
  ASSERT_TRUE(service.start(&error)) << error;
  ASSERT_EQ(service.resolvers()->resolvers().size(), 3u);

  // Normal: only its own list; subdomains of a blocked name too.
  EXPECT_EQ(dig(normal, "adult.example"), "0.0.0.0");
  EXPECT_EQ(dig(normal, "cdn.ADULT.example"), "0.0.0.0");
  EXPECT_EQ(dig(normal, "adult.example", "AAAA"), "::");
  EXPECT_EQ(dig(normal, "games.example"), "192.0.2.21");
  EXPECT_EQ(dig(normal, "www.example"), "192.0.2.20");
  // Extreme blocks more.
  EXPECT_EQ(dig(extreme, "games.example"), "0.0.0.0");
  EXPECT_EQ(dig(extreme, "www.example"), "192.0.2.20");
  // The custom block list's resolver blocks what the user listed, nothing of the mode lists.
  EXPECT_EQ(dig(custom, "social.example"), "0.0.0.0");
  EXPECT_EQ(dig(custom, "adult.example"), "192.0.2.22");
  // Nothing is forwarded: an unknown name is NXDOMAIN everywhere.
  EXPECT_EQ(dig(normal, "example.com"), "NXDOMAIN");
  EXPECT_EQ(dig(custom, "example.com"), "NXDOMAIN");
  EXPECT_GE(service.resolvers()->answered(), 11u);

  // Over TCP on the same addresses, with the same lists: where a truncated UDP answer sends the client.
  EXPECT_EQ(digTcp(normal, "adult.example"), "0.0.0.0");
  EXPECT_EQ(digTcp(normal, "adult.example", "AAAA"), "::");
  EXPECT_EQ(digTcp(extreme, "games.example"), "0.0.0.0");
  EXPECT_EQ(digTcp(custom, "www.example"), "192.0.2.20");
  EXPECT_EQ(digTcp(custom, "example.com"), "NXDOMAIN");

  // A resolver added later (a new address in the cloud) serves at once with its mode's list.
  const std::string later = randomLoopbackAddress();
  ASSERT_TRUE(service.addResolver(later, "extreme", &error)) << error;
  EXPECT_EQ(dig(later, "games.example"), "0.0.0.0");

  EXPECT_EQ(digTcp(later, "games.example"), "0.0.0.0");

  service.stop();
  EXPECT_EQ(dig(normal, "www.example"), "");  // no answer once stopped
  EXPECT_EQ(digTcp(normal, "www.example"), "");
}

TEST(FilteringDnsServiceTest, RefusesMalformedResolverDocumentsAndBusyAddresses) {
  FilteringDnsService bad;
  std::string error;
  nlohmann::json seed = seedFor("127.0.0.1", "127.0.0.1", "127.0.0.1");
  seed["documents"]["dnsServers/blockModes"]["normal"]["ipv4"] = "127.0.0.1";
  EXPECT_FALSE(bad.applySeed(seed, &error));
  EXPECT_NE(error.find("normal.ipv4"), std::string::npos) << error;

  FilteringDnsService notAnAddress;
  seed = seedFor("127.0.0.1; rm -rf /", "localhost", "127.0.0.1");
  seed["filteringDns"]["port"] = 0;
  ASSERT_TRUE(notAnAddress.applySeed(seed, &error)) << error;
  EXPECT_FALSE(notAnAddress.start(&error));
  EXPECT_NE(error.find("not an IP address"), std::string::npos) << error;

  if (::geteuid() != 0) return;
  const std::string address = randomLoopbackAddress();
  FilteringDnsService first, second;
  ASSERT_TRUE(first.addResolver(address, "normal", &error)) << error;
  EXPECT_FALSE(second.addResolver(address, "normal", &error));
  EXPECT_NE(error.find("cannot listen on " + address), std::string::npos) << error;
}

}  // namespace
}  // namespace backend
