#include "Vorellin/dnscrypt/service/DnsStamp.h"

#include "platform/foundation/Base64.h"

namespace vorellin::fenwix {
namespace {

constexpr const char* kScheme = "sdns://";

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool atEnd() const { return pos_ >= bytes_.size(); }
  bool byte(uint8_t* out) {
    if (atEnd()) return false;
    *out = static_cast<uint8_t>(bytes_[pos_++]);
    return true;
  }
  bool take(size_t n, std::string* out) {
    if (bytes_.size() - pos_ < n) return false;
    *out = bytes_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  // One length-prefixed field.
  bool lp(std::string* out) {
    uint8_t len = 0;
    return byte(&len) && take(len, out);
  }
  // A set of length-prefixed fields; the high bit of a length says another field follows.
  bool vlp(std::vector<std::string>* out) {
    for (;;) {
      uint8_t len = 0;
      if (!byte(&len)) return false;
      std::string item;
      if (!take(len & 0x7f, &item)) return false;
      out->push_back(std::move(item));
      if (!(len & 0x80)) return true;
    }
  }

 private:
  const std::string& bytes_;
  size_t pos_ = 0;
};

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

std::optional<DnsStamp> DnsStamp::parse(const std::string& text, std::string* error) {
  if (text.compare(0, 7, kScheme) != 0) {
    fail(error, "stamp does not start with sdns://");
    return std::nullopt;
  }
  std::string encoded = text.substr(7);
  if (encoded.find('=') != std::string::npos) {
    fail(error, "stamp carries base64 padding");
    return std::nullopt;
  }
  std::optional<std::string> record = platform::base64URLDecode(encoded);
  if (!record || record->empty()) {
    fail(error, "stamp is not base64url");
    return std::nullopt;
  }
  Reader r(*record);
  uint8_t protocol = 0;
  r.byte(&protocol);
  if (protocol != kProtocolDoH) {
    fail(error, "stamp protocol " + std::to_string(protocol) + " is not DNS-over-HTTPS");
    return std::nullopt;
  }
  DnsStamp stamp;
  std::string props;
  if (!r.take(8, &props) || !r.lp(&stamp.address) || !r.vlp(&stamp.hashes) || !r.lp(&stamp.host) ||
      !r.lp(&stamp.path)) {
    fail(error, "stamp record is truncated");
    return std::nullopt;
  }
  for (int i = 7; i >= 0; --i) stamp.props = (stamp.props << 8) | static_cast<uint8_t>(props[i]);
  if (!r.atEnd() && !r.vlp(&stamp.bootstrapIps)) {
    fail(error, "stamp bootstrap addresses are truncated");
    return std::nullopt;
  }
  if (!r.atEnd()) {
    fail(error, "stamp has trailing bytes");
    return std::nullopt;
  }
  if (stamp.host.empty()) {
    fail(error, "stamp has no host");
    return std::nullopt;
  }
  for (const auto& h : stamp.hashes) {
    if (!h.empty() && h.size() != 32) {
      fail(error, "stamp certificate hash is not 32 bytes");
      return std::nullopt;
    }
  }
  return stamp;
}

bool DnsStamp::pinsCertificates() const {
  for (const auto& h : hashes)
    if (!h.empty()) return true;
  return false;
}

}  // namespace vorellin::fenwix
