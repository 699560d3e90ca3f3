// The custom block list's DNS-over-HTTPS resolver on loopback HTTPS: names on the block list are
// answered with 0.0.0.0 (AAAA: ::), every other A question with one fixed address. Queries come as
// POST application/dns-message or GET ?dns= (base64url) on any path; the path (the user's id) is recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backend/dns/DnsAnswer.h"
#include "backend/dns/LocalCertificateAuthority.h"

namespace httplib {
class SSLServer;
}

namespace backend {

class DohResolver {
 public:
  // blocked: names without or with the final dot, any letter case.
  DohResolver(std::vector<std::string> blocked, std::string address);
  ~DohResolver();  // stops
  DohResolver(const DohResolver&) = delete;
  DohResolver& operator=(const DohResolver&) = delete;

  // Makes a fresh certificate authority in certificateDir (which must exist) and serves HTTPS on
  // 127.0.0.1:port (0: a free port) on a thread of its own.
  bool start(const std::string& certificateDir, uint16_t port = 0, std::string* error = nullptr);
  void stop();

  uint16_t port() const { return port_; }
  std::string hostAndPort() const;  // "127.0.0.1:<port>"
  std::string url(const std::string& path = "/dns-query") const;
  const std::string& caFile() const { return authority_.caFile(); }  // the CA the proxy must trust
  std::vector<std::string> requestPaths() const;                     // in arrival order

  // The wire answer to a wire query; nullopt when it is not a query with one question.
  std::optional<std::string> answer(const std::string& query) const;

 private:
  DnsBlockList blocked_;
  std::string address_;
  LocalCertificateAuthority authority_;
  std::unique_ptr<httplib::SSLServer> https_;
  std::thread thread_;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
};

}  // namespace backend
