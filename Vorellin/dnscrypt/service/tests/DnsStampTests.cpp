#include <gtest/gtest.h>

#include "Vorellin/dnscrypt/service/DnsStamp.h"
#include "Vorellin/dnscrypt/service/tests/ProxyTestSupport.h"

namespace vorellin::fenwix {
namespace {

using testing::makeStamp;

TEST(DnsStampTest, ParsesTheWorkedExample) {
  std::string error;
  auto stamp = DnsStamp::parse("sdns://AgcAAAAAAAAAAAABYQIvYg", &error);
  ASSERT_TRUE(stamp) << error;
  EXPECT_EQ(stamp->props, 7u);
  EXPECT_EQ(stamp->address, "");
  EXPECT_EQ(stamp->hashes, std::vector<std::string>{""});
  EXPECT_EQ(stamp->host, "a");
  EXPECT_EQ(stamp->path, "/b");
  EXPECT_TRUE(stamp->bootstrapIps.empty());
  EXPECT_FALSE(stamp->pinsCertificates());
  EXPECT_EQ(stamp->url(), "https://a/b");
}

TEST(DnsStampTest, ReadsEveryField) {
  std::string hash1(32, '\x11'), hash2(32, '\x22');
  auto stamp = DnsStamp::parse(
      makeStamp("doh.example:8443/dns-query", "/uid-42", "127.0.0.1:8443", {hash1, hash2}, 0x0102030405060708ull));
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->props, 0x0102030405060708ull);
  EXPECT_EQ(stamp->address, "127.0.0.1:8443");
  EXPECT_EQ(stamp->hashes, (std::vector<std::string>{hash1, hash2}));
  EXPECT_TRUE(stamp->pinsCertificates());
  // The host field may carry a port and a path; the path field follows it.
  EXPECT_EQ(stamp->url(), "https://doh.example:8443/dns-query/uid-42");

  // A 255-byte host and path (the largest a length byte holds) survive.
  std::string longHost(255, 'h'), longPath = "/" + std::string(254, 'p');
  auto big = DnsStamp::parse(makeStamp(longHost, longPath));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->host, longHost);
  EXPECT_EQ(big->path, longPath);
}

TEST(DnsStampTest, ReadsBootstrapAddresses) {
  std::string text = makeStamp("a", "/b");
  auto record = platform::base64URLDecode(text.substr(7));
  ASSERT_TRUE(record);
  *record += std::string("\x87") + "1.1.1.1" + "\x07" + "8.8.8.8";
  auto stamp = DnsStamp::parse("sdns://" + platform::base64URLEncode(*record));
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->bootstrapIps, (std::vector<std::string>{"1.1.1.1", "8.8.8.8"}));
}

TEST(DnsStampTest, RejectsMalformedStamps) {
  const std::string good = makeStamp("a", "/b");
  auto record = platform::base64URLDecode(good.substr(7));
  ASSERT_TRUE(record);
  auto encode = [](const std::string& bytes) { return "sdns://" + platform::base64URLEncode(bytes); };

  std::string error;
  EXPECT_FALSE(DnsStamp::parse("https://AgcAAAAAAAAAAAABYQIvYg", &error));
  EXPECT_FALSE(DnsStamp::parse("sdns://AgcAAAAAAAAAAAABYQIvYg==", &error)) << "padding is not part of a stamp";
  EXPECT_FALSE(DnsStamp::parse("sdns://AgcAAAAAAAAAAAABYQIv+g", &error)) << "standard alphabet";
  EXPECT_FALSE(DnsStamp::parse("sdns://", &error));

  std::string dnscrypt = *record;
  dnscrypt[0] = '\x01';
  EXPECT_FALSE(DnsStamp::parse(encode(dnscrypt), &error));
  EXPECT_NE(error.find("not DNS-over-HTTPS"), std::string::npos) << error;

  // Every cut of the record short of the path is truncated.
  for (size_t cut = 1; cut < record->size(); ++cut)
    EXPECT_FALSE(DnsStamp::parse(encode(record->substr(0, cut)))) << "cut at " << cut;

  EXPECT_FALSE(DnsStamp::parse(encode(*record + "\x01")));  // bootstrap length past the end
  EXPECT_FALSE(DnsStamp::parse(makeStamp("", "/b"), &error)) << "no host";
  EXPECT_FALSE(DnsStamp::parse(makeStamp("a", "/b", "", {"short"}), &error)) << "hash of 5 bytes";
}

}  // namespace
}  // namespace vorellin::fenwix
