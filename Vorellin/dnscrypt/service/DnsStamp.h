// A resolver's DNS stamp ("sdns://..."), DNS-over-HTTPS kind only: the record is the protocol byte
// 0x02, eight property bytes (little-endian), the address, the certificate hashes, the host, the path
// and optional bootstrap addresses, in base64url without padding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorellin::fenwix {

struct DnsStamp {
  static constexpr uint8_t kProtocolDoH = 0x02;

  uint64_t props = 0;
  std::string address;              // "" when none: the host is resolved by the system
  std::vector<std::string> hashes;  // SHA-256 of a certificate's to-be-signed part; "" entries pin nothing
  std::string host;                 // may carry ":port" and a path prefix
  std::string path;
  std::vector<std::string> bootstrapIps;

  // nullopt (and a reason) unless text is a complete, well-formed DNS-over-HTTPS stamp.
  static std::optional<DnsStamp> parse(const std::string& text, std::string* error = nullptr);

  // Where queries go: "https://" + host + path.
  std::string url() const { return "https://" + host + path; }
  // True when some hash is not empty, i.e. the server's certificate chain is pinned.
  bool pinsCertificates() const;
};

}  // namespace vorellin::fenwix
