// Answers DNS queries by asking DNS-over-HTTPS servers (POST application/dns-message) in order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Vorellin/dnscrypt/service/ProxyConfiguration.h"

namespace vorellin::fenwix {

class DohForwarder {
 public:
  explicit DohForwarder(const ProxyConfiguration& config);

  // The wire answer to one wire query: the first server's answer that matches the question, with the
  // client's id; SERVFAIL when no server gives one. maxSize (UDP) truncates a larger answer to its
  // header and question with TC set; 0 means no limit (TCP). nullopt: not a query, drop it.
  std::optional<std::string> resolve(const std::string& query, size_t maxSize) const;

  // The largest answer a UDP client takes: its EDNS buffer size, at least 512. 0 for an unparsable query.
  static size_t udpLimit(const std::string& query);
  // SERVFAIL for the query (same id and question); nullopt when it does not parse as a query.
  static std::optional<std::string> servfail(const std::string& query);

 private:
  struct Upstream {
    std::string name;
    std::string url;
    std::string resolve;  // libcurl "host:port:address" pin from the stamp's address, or ""
  };
  // HTTP body of a 200 application/dns-message reply, or nullopt.
  std::optional<std::string> post(const Upstream& upstream, const std::string& body) const;

  std::vector<Upstream> upstreams_;
  int timeoutMs_;
  std::string caFile_;
};

}  // namespace vorellin::fenwix
