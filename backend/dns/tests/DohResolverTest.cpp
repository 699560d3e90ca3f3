#include <gtest/gtest.h>
#include <httplib.h>
#include <ldns/ldns.h>

#include <cstdlib>
#include <filesystem>

#include "backend/dns/DohResolver.h"
#include "platform/foundation/Base64.h"

namespace backend {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = "/tmp/vrl-doh-test-XXXXXX";
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

std::string wireQuery(const std::string& name, ldns_rr_type type) {
  ldns_pkt* q = nullptr;
  EXPECT_EQ(ldns_pkt_query_new_frm_str(&q, name.c_str(), type, LDNS_RR_CLASS_IN, LDNS_RD), LDNS_STATUS_OK);
  ldns_pkt_set_id(q, 0);
  uint8_t* wire = nullptr;
  size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, q, &size), LDNS_STATUS_OK);
  std::string out(reinterpret_cast<char*>(wire), size);
  LDNS_FREE(wire);
  ldns_pkt_free(q);
  return out;
}

// The answer records of a wire response, as "type data" texts.
std::vector<std::string> answers(const std::string& wire) {
  std::vector<std::string> out;
  ldns_pkt* p = nullptr;
  if (ldns_wire2pkt(&p, reinterpret_cast<const uint8_t*>(wire.data()), wire.size()) != LDNS_STATUS_OK) return out;
  EXPECT_TRUE(ldns_pkt_qr(p));
  EXPECT_EQ(ldns_pkt_get_rcode(p), LDNS_RCODE_NOERROR);
  for (size_t i = 0; i < ldns_pkt_ancount(p); ++i) {
    ldns_rr* rr = ldns_rr_list_rr(ldns_pkt_answer(p), i);
    char* data = ldns_rdf2str(ldns_rr_rdf(rr, 0));
    out.push_back(std::string(ldns_rr_get_type(rr) == LDNS_RR_TYPE_A ? "A " : "AAAA ") + data);
    LDNS_FREE(data);
  }
  ldns_pkt_free(p);
  return out;
}

TEST(DohResolverTest, AnswersBlockedNamesWithTheNullAddress) {
  DohResolver resolver({"Blocked.Example.", "tracker.example"}, "192.0.2.9");
  using V = std::vector<std::string>;
  EXPECT_EQ(answers(*resolver.answer(wireQuery("blocked.example.", LDNS_RR_TYPE_A))), V{"A 0.0.0.0"});
  EXPECT_EQ(answers(*resolver.answer(wireQuery("TRACKER.example", LDNS_RR_TYPE_A))), V{"A 0.0.0.0"});
  EXPECT_EQ(answers(*resolver.answer(wireQuery("blocked.example", LDNS_RR_TYPE_AAAA))), V{"AAAA ::"});
  // Only the listed names, not their neighbours or subdomains.
  EXPECT_EQ(answers(*resolver.answer(wireQuery("www.blocked.example", LDNS_RR_TYPE_A))), V{"A 192.0.2.9"});
  EXPECT_EQ(answers(*resolver.answer(wireQuery("other.example", LDNS_RR_TYPE_A))), V{"A 192.0.2.9"});
  EXPECT_EQ(answers(*resolver.answer(wireQuery("other.example", LDNS_RR_TYPE_AAAA))), V{});
  EXPECT_EQ(answers(*resolver.answer(wireQuery("other.example", LDNS_RR_TYPE_MX))), V{});
  EXPECT_FALSE(resolver.answer("not dns"));
}

TEST(DohResolverTest, ServesHttpsWithItsOwnAuthority) {
  TempDir dir;
  DohResolver resolver({"blocked.example"}, "192.0.2.9");
  std::string error;
  ASSERT_TRUE(resolver.start(dir.path, 0, &error)) << error;
  ASSERT_GT(resolver.port(), 0);

  httplib::SSLClient client("127.0.0.1", resolver.port());
  client.set_ca_cert_path(resolver.caFile().c_str());
  client.enable_server_certificate_verification(true);
  const std::string query = wireQuery("blocked.example", LDNS_RR_TYPE_A);

  auto post = client.Post("/dns-query/uid-1", query, "application/dns-message");
  ASSERT_TRUE(post) << httplib::to_string(post.error());
  EXPECT_EQ(post->status, 200);
  EXPECT_EQ(post->get_header_value("Content-Type"), "application/dns-message");
  EXPECT_EQ(answers(post->body), std::vector<std::string>{"A 0.0.0.0"});

  auto get = client.Get("/uid-2?dns=" + platform::base64URLEncode(wireQuery("x.example", LDNS_RR_TYPE_A)));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(answers(get->body), std::vector<std::string>{"A 192.0.2.9"});

  auto wrongType = client.Post("/uid-3", query, "text/plain");
  ASSERT_TRUE(wrongType);
  EXPECT_EQ(wrongType->status, 415);
  auto garbage = client.Post("/uid-4", "garbage", "application/dns-message");
  ASSERT_TRUE(garbage);
  EXPECT_EQ(garbage->status, 400);
  EXPECT_EQ(resolver.requestPaths(), (std::vector<std::string>{"/dns-query/uid-1", "/uid-2", "/uid-4"}));

  // A client that does not trust the stand-in's authority gets no answer.
  httplib::SSLClient stranger("127.0.0.1", resolver.port());
  stranger.set_ca_cert_path("/nonexistent.pem");
  stranger.enable_server_certificate_verification(true);
  EXPECT_FALSE(stranger.Post("/uid", query, "application/dns-message"));

  resolver.stop();
  httplib::SSLClient after("127.0.0.1", resolver.port());
  after.enable_server_certificate_verification(false);
  EXPECT_FALSE(after.Post("/uid", query, "application/dns-message"));
}

}  // namespace
}  // namespace backend
