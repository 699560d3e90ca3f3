#include <gtest/gtest.h>

#include <cstdlib>

#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"
#include "Vorellin/dnscrypt/service/tests/ProxyTestSupport.h"

namespace vorellin::fenwix {
namespace {

using testing::makeStamp;
using testing::readFile;

TEST(ProxyConfigurationTest, ReadsTheApplicationsConfiguration) {
  // The base configuration followed by the two sections the application appends.
  const std::string text = std::string("# base\nlisten_addresses = ['127.0.0.1:53']\n") +
                           "server_names = ['vorellin-primary', 'vorellin-secondary']\n"
                           "[static.'vorellin-primary']\nstamp = '" + makeStamp("one.example", "/u1") + "'\n" +
                           "[static.'vorellin-secondary']\nstamp = '" + makeStamp("two.example/q", "/u1") + "'\n";
  std::string error;
  auto config = ProxyConfiguration::parse(text, &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->listenAddresses, std::vector<std::string>{"127.0.0.1:53"});
  ASSERT_EQ(config->servers.size(), 2u);
  EXPECT_EQ(config->servers[0].name, "vorellin-primary");
  EXPECT_EQ(config->servers[0].stamp.url(), "https://one.example/u1");
  EXPECT_EQ(config->servers[1].stamp.url(), "https://two.example/q/u1");
  EXPECT_EQ(config->timeoutMs, 2500);
  EXPECT_TRUE(config->warnings.empty());
}

TEST(ProxyConfigurationTest, ReadsTheBundledBaseConfigurationWithItsServers) {
  const char* source = std::getenv("VRL_SOURCE_DIR");
  std::string base = readFile(std::string(source ? source : ".") + "/Vorellin/Resources/original-config.data");
  if (base.empty()) GTEST_SKIP() << "no base configuration in the sources";
  ASSERT_EQ(base.back(), '\n');
  std::string text = base + "[static.'vorellin-primary']\nstamp = '" + makeStamp("one.example", "/u") + "'\n" +
                     "[static.'vorellin-secondary']\nstamp = '" + makeStamp("two.example", "/u") + "'\n";
  std::string error;
  auto config = ProxyConfiguration::parse(text, &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->listenAddresses, std::vector<std::string>{"127.0.0.1:53"});
  ASSERT_EQ(config->servers.size(), 2u);
  EXPECT_EQ(config->servers[0].name, "vorellin-primary");
  EXPECT_EQ(config->servers[1].name, "vorellin-secondary");
}

TEST(ProxyConfigurationTest, OrdersAndFiltersServers) {
  const std::string statics = "[static.'a']\nstamp = '" + makeStamp("a.example", "/x") + "'\n" +
                              "[static.'b']\nstamp = '" + makeStamp("b.example", "/x") + "'\n" +
                              "[static.'broken']\nstamp = 'sdns://AQ'\n" + "[static.'nostamp']\nother = 1\n";
  // server_names picks and orders; unknown and broken entries are left out with a warning.
  auto picked = ProxyConfiguration::parse(
      "listen_addresses = ['127.0.0.1:5353']\nserver_names = ['b', 'missing', 'broken', 'nostamp', 'a']\n" + statics);
  ASSERT_TRUE(picked);
  ASSERT_EQ(picked->servers.size(), 2u);
  EXPECT_EQ(picked->servers[0].name, "b");
  EXPECT_EQ(picked->servers[1].name, "a");
  EXPECT_EQ(picked->warnings.size(), 3u);

  // Without server_names every static server is used.
  auto all = ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:5353']\n" + statics);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->servers.size(), 2u);
}

TEST(ProxyConfigurationTest, RejectsUnusableConfigurations) {
  const std::string server = "[static.'a']\nstamp = '" + makeStamp("a.example", "/x") + "'\n";
  std::string error;
  EXPECT_FALSE(ProxyConfiguration::parse(server, &error));
  EXPECT_NE(error.find("listen_addresses"), std::string::npos) << error;
  EXPECT_FALSE(ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:53']\n", &error));
  EXPECT_NE(error.find("no usable server"), std::string::npos) << error;
  EXPECT_FALSE(ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:53'\n" + server, &error));
  EXPECT_NE(error.find("not valid TOML"), std::string::npos) << error;
  EXPECT_FALSE(ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:53']\ntimeout = 0\n" + server, &error));
  EXPECT_FALSE(ProxyConfiguration::load("/nonexistent/dnscrypt-proxy.toml", &error));
}

// Found by fuzzing: a floating-point timeout far outside the integer range reached a conversion whose
// result is undefined (the sanitizer build stops there). It is refused like any timeout out of range.
TEST(ProxyConfigurationTest, TimeoutOutsideTheIntegerRangeIsRefused) {
  const char* source = std::getenv("VRL_SOURCE_DIR");
  const std::string found =
      readFile(std::string(source ? source : ".") + "/Vorellin/dnscrypt/service/tests/inputs/huge-float-timeout.toml");
  ASSERT_NE(found.find("timeout="), std::string::npos);
  const std::string server = "[static.'a']\nstamp = '" + makeStamp("a.example", "/x") + "'\n";
  std::string error;
  EXPECT_FALSE(ProxyConfiguration::parse(found + server, &error));
  EXPECT_EQ(error, "timeout must be 1 to 60000 milliseconds");
  EXPECT_FALSE(ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:53']\ntimeout = -1e300\n" + server, &error));
  EXPECT_EQ(error, "timeout must be 1 to 60000 milliseconds");
  // A whole number written as a float still counts.
  auto fine = ProxyConfiguration::parse("listen_addresses = ['127.0.0.1:53']\ntimeout = 3000.0\n" + server, &error);
  ASSERT_TRUE(fine) << error;
  EXPECT_EQ(fine->timeoutMs, 3000);
}

TEST(ProxyConfigurationTest, OnlyATestBuildTakesTheTrustedCertificateFromTheFileOrTheEnvironment) {
  const std::string base = "listen_addresses = ['127.0.0.1:53']\ntimeout = 700\n[static.'a']\nstamp = '" +
                           makeStamp("a.example", "/x") + "'\n";
  ::unsetenv("VRL_FENWIX_CA_FILE");
  auto plain = ProxyConfiguration::parse(base, nullptr, TrustOverride::Honoured);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->caFile, "");
  EXPECT_EQ(plain->timeoutMs, 700);

  ::setenv("VRL_FENWIX_CA_FILE", "/env/ca.pem", 1);
  auto fromEnv = ProxyConfiguration::parse(base, nullptr, TrustOverride::Honoured);
  auto fromFile = ProxyConfiguration::parse("vorellin_ca_file = '/toml/ca.pem'\n" + base, nullptr,
                                            TrustOverride::Honoured);
  // The shipped proxy keeps the system's trust store whatever the file or the environment say.
  auto shippedEnv = ProxyConfiguration::parse(base);
  auto shippedFile = ProxyConfiguration::parse("vorellin_ca_file = '/toml/ca.pem'\n" + base);
  ::unsetenv("VRL_FENWIX_CA_FILE");
  ASSERT_TRUE(fromEnv && fromFile && shippedEnv && shippedFile);
  EXPECT_EQ(fromEnv->caFile, "/env/ca.pem");
  EXPECT_EQ(fromFile->caFile, "/toml/ca.pem");
  EXPECT_EQ(shippedEnv->caFile, "");
  EXPECT_EQ(shippedFile->caFile, "");
}

}  // namespace
}  // namespace vorellin::fenwix
