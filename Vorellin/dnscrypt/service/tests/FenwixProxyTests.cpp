// The proxy in-process against the backend's DNS-over-HTTPS resolver, queried with the real dig.
#include <gtest/gtest.h>

#include "Vorellin/dnscrypt/service/DnsProxyServer.h"
#include "Vorellin/dnscrypt/service/DohForwarder.h"
#include "Vorellin/dnscrypt/service/tests/ProxyTestSupport.h"
#include "backend/dns/DohResolver.h"

namespace vorellin::fenwix {
namespace {

using namespace testing;

constexpr const char* kAddress = "192.0.2.44";

class FenwixProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(certs_.path().empty());
    ASSERT_TRUE(resolver_.start(certs_.path(), 0, &error_)) << error_;
  }

  // Starts the proxy on a free port with the given configuration body (listen address added here).
  bool startProxy(const std::string& primary, const std::string& secondary, bool trustCa = true) {
    port_ = freePort();
    auto config = ProxyConfiguration::parse(proxyToml(port_, primary, secondary, trustCa ? resolver_.caFile() : ""),
                                            &error_, TrustOverride::Honoured);
    if (!config) return false;
    proxy_ = std::make_unique<DnsProxyServer>(*config);
    return proxy_->start(&error_);
  }

  std::string stamp(const std::string& path = "/uid-1") { return makeStamp(resolver_.hostAndPort(), path); }

  TempDir certs_;
  backend::DohResolver resolver_{{"blocked.example", "ads.tracker.example"}, kAddress};
  std::unique_ptr<DnsProxyServer> proxy_;
  uint16_t port_ = 0;
  std::string error_;
};

TEST_F(FenwixProxyTest, AnswersOverUdpAndTcpThroughTheResolver) {
  ASSERT_TRUE(startProxy(stamp("/uid-1"), stamp("/uid-1"))) << error_;
  for (const std::string transport : {"+notcp", "+tcp"}) {
    auto blocked = dig(port_, "blocked.example", transport + " +time=3 +tries=1 +short");
    EXPECT_EQ(blocked.status, 0) << blocked.output;
    EXPECT_EQ(trimmed(blocked.output), "0.0.0.0") << transport;
    auto upper = dig(port_, "ADS.Tracker.Example.", transport + " +time=3 +tries=1 +short");
    EXPECT_EQ(trimmed(upper.output), "0.0.0.0") << transport;
    auto other = dig(port_, "www.vorellin.example", transport + " +time=3 +tries=1 +short");
    EXPECT_EQ(other.status, 0) << other.output;
    EXPECT_EQ(trimmed(other.output), kAddress) << transport;
    auto v6 = dig(port_, "blocked.example", transport + " +time=3 +tries=1 +short", "AAAA");
    EXPECT_EQ(trimmed(v6.output), "::") << transport;
  }
  // Every query reached the resolver on the stamp's path.
  auto paths = resolver_.requestPaths();
  ASSERT_EQ(paths.size(), 8u);
  for (const auto& p : paths) EXPECT_EQ(p, "/uid-1");
}

TEST_F(FenwixProxyTest, FullAnswerKeepsTheClientsIdAndQuestion) {
  ASSERT_TRUE(startProxy(stamp(), stamp())) << error_;
  auto full = dig(port_, "www.vorellin.example", "+time=3 +tries=1");
  EXPECT_NE(full.output.find("status: NOERROR"), std::string::npos) << full.output;
  EXPECT_NE(full.output.find("www.vorellin.example.\t60\tIN\tA\t192.0.2.44"), std::string::npos) << full.output;
  // dig rejects answers with a foreign id or question, so a clean answer also proves those.
  EXPECT_EQ(full.output.find("WARNING"), std::string::npos) << full.output;
}

TEST_F(FenwixProxyTest, FallsBackToTheSecondServerAndAnswersServfailWhenNoneAnswers) {
  // The first stamp points at a closed port.
  uint16_t closed = freePort();
  ASSERT_TRUE(startProxy(makeStamp("127.0.0.1:" + std::to_string(closed), "/uid-1"), stamp("/uid-2"))) << error_;
  auto viaSecond = dig(port_, "blocked.example", "+time=5 +tries=1 +short");
  EXPECT_EQ(trimmed(viaSecond.output), "0.0.0.0") << viaSecond.output;
  EXPECT_EQ(resolver_.requestPaths(), std::vector<std::string>{"/uid-2"});

  resolver_.stop();
  for (const std::string transport : {"+notcp", "+tcp"}) {
    auto down = dig(port_, "www.vorellin.example", transport + " +time=5 +tries=1");
    EXPECT_EQ(down.status, 0) << down.output;
    EXPECT_NE(down.output.find("status: SERVFAIL"), std::string::npos) << down.output;
    auto shortForm = dig(port_, "www.vorellin.example", transport + " +time=5 +tries=1 +short");
    EXPECT_EQ(trimmed(shortForm.output), "") << "a SERVFAIL carries no address";
  }
}

TEST_F(FenwixProxyTest, RefusesAnUntrustedCertificate) {
  // Without the stand-in's CA the resolver's certificate does not verify: no answer is taken from it.
  ::unsetenv("VRL_FENWIX_CA_FILE");
  ASSERT_TRUE(startProxy(stamp(), stamp(), /*trustCa=*/false)) << error_;
  auto result = dig(port_, "blocked.example", "+time=5 +tries=1");
  EXPECT_NE(result.output.find("status: SERVFAIL"), std::string::npos) << result.output;
  EXPECT_TRUE(resolver_.requestPaths().empty());
}

TEST_F(FenwixProxyTest, RefusesAListenAddressInUse) {
  ASSERT_TRUE(startProxy(stamp(), stamp())) << error_;
  auto config = ProxyConfiguration::parse(proxyToml(port_, stamp(), stamp(), resolver_.caFile()), nullptr,
                                          TrustOverride::Honoured);
  ASSERT_TRUE(config);
  DnsProxyServer second(*config);
  std::string error;
  EXPECT_FALSE(second.start(&error));
  EXPECT_NE(error.find("cannot listen on"), std::string::npos) << error;
  // The first keeps serving.
  EXPECT_EQ(trimmed(dig(port_, "blocked.example", "+time=3 +tries=1 +short").output), "0.0.0.0");
}

TEST_F(FenwixProxyTest, TruncatesAnAnswerTooBigForTheDatagram) {
  auto config = ProxyConfiguration::parse(proxyToml(freePort(), stamp(), stamp(), resolver_.caFile()), nullptr,
                                          TrustOverride::Honoured);
  ASSERT_TRUE(config);
  DohForwarder forwarder(*config);
  const char raw[] = "\x00\x07\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x01x\x07" "example\x00\x00\x01\x00\x01";
  const std::string query(raw, sizeof raw - 1);
  auto whole = forwarder.resolve(query, 0);
  ASSERT_TRUE(whole);
  EXPECT_GT(whole->size(), query.size()) << "carries the answer record";
  EXPECT_EQ(static_cast<unsigned char>((*whole)[2]) & 0x02, 0) << "TC clear";

  auto cut = forwarder.resolve(query, whole->size() - 1);
  ASSERT_TRUE(cut);
  EXPECT_EQ(cut->substr(0, 2), std::string("\x00\x07", 2)) << "the client's id";
  EXPECT_EQ(static_cast<unsigned char>((*cut)[2]) & 0x82, 0x82) << "QR and TC";
  EXPECT_EQ(cut->substr(6, 2), std::string("\x00\x00", 2)) << "no answer records";
  EXPECT_EQ(cut->substr(12), query.substr(12));
}

TEST(DohForwarderTest, ServfailMirrorsTheQuery) {
  backend::DohResolver resolver({}, "192.0.2.1");
  // id 0x1234, RD, one question x.example A.
  const char raw[] = "\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x01x\x07" "example\x00\x00\x01\x00\x01";
  const std::string query(raw, sizeof raw - 1);
  auto answer = DohForwarder::servfail(query);
  ASSERT_TRUE(answer);
  ASSERT_GE(answer->size(), 12u);
  EXPECT_EQ(answer->substr(0, 2), "\x12\x34");
  EXPECT_EQ(static_cast<unsigned char>((*answer)[2]) & 0x81, 0x81) << "QR and RD";
  EXPECT_EQ(static_cast<unsigned char>((*answer)[3]) & 0x0f, 2) << "SERVFAIL";
  EXPECT_EQ(answer->substr(12), query.substr(12)) << "the question, unchanged";
  EXPECT_EQ(DohForwarder::udpLimit(query), 512u);

  // A response or garbage is no query.
  std::string response = query;
  response[2] = static_cast<char>(response[2] | 0x80);
  EXPECT_FALSE(DohForwarder::servfail(response));
  EXPECT_FALSE(DohForwarder::servfail("junk"));
  EXPECT_TRUE(resolver.answer(query)) << "the same query is well formed";
}

}  // namespace
}  // namespace vorellin::fenwix
