// The proxy's configuration file, "dnscrypt-proxy.toml":
//
//   listen_addresses = ['127.0.0.1:53']          # "ip:port", "[ipv6]:port"; UDP and TCP on each
//   server_names = ['vorellin-primary', 'vorellin-secondary']   # optional: which static servers, in order
//   timeout = 2500                               # optional: milliseconds per upstream query
//   vorellin_ca_file = '/path/ca.pem'            # test builds only: trust only these CA certificates
//                                                # upstream (env VRL_FENWIX_CA_FILE when the key is absent)
//   [static.'vorellin-primary']
//   stamp = 'sdns://...'                         # DNS-over-HTTPS stamps only
//
// Unknown keys are ignored, so a fuller configuration loads as well.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Vorellin/dnscrypt/service/DnsStamp.h"

namespace vorellin::fenwix {

struct UpstreamServer {
  std::string name;
  DnsStamp stamp;
};

// Whether the configuration may replace the system's trust store. Only a test build of the proxy
// honours it: the shipped proxy must never trust an authority that a configuration file names.
enum class TrustOverride { Ignored, Honoured };

struct ProxyConfiguration {
  std::vector<std::string> listenAddresses;
  std::vector<UpstreamServer> servers;  // in the order they are tried
  int timeoutMs = 2500;
  std::string caFile;                   // "": the system's trust store (always, unless honoured)
  std::vector<std::string> warnings;    // servers left out, and why

  // nullopt and a reason when the file cannot be read or parsed, lists no listen address, or leaves no
  // usable server.
  static std::optional<ProxyConfiguration> load(const std::string& path, std::string* error = nullptr,
                                                TrustOverride trust = TrustOverride::Ignored);
  static std::optional<ProxyConfiguration> parse(const std::string& text, std::string* error = nullptr,
                                                 TrustOverride trust = TrustOverride::Ignored);
};

}  // namespace vorellin::fenwix
