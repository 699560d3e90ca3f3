#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::net {

// One HTTP request: URL, method, headers (in the order set) and an optional body.
struct URLRequest {
  std::string url;
  std::string method = "GET";                                // "GET" or "POST"
  std::vector<std::pair<std::string, std::string>> headers;  // names compare case-insensitively
  std::optional<std::string> body;                           // nullopt: no body at all
  double timeoutInterval = 60.0;                             // seconds for the whole transfer

  URLRequest() = default;
  explicit URLRequest(std::string u, double timeout = 60.0) : url(std::move(u)), timeoutInterval(timeout) {}

  // Sets a header, replacing any earlier value of the same name.
  void setValue(const std::string& value, const std::string& headerField);
  std::optional<std::string> valueForHeader(const std::string& headerField) const;
};

// Transfer failures (no usable reply). Codes follow the usual URL-loading numbering.
inline constexpr const char* kURLErrorDomain = "VrlURLErrorDomain";
enum URLErrorCode : int64_t {
  kURLErrorUnknown = -1,
  kURLErrorCancelled = -999,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorUnsupportedURL = -1002,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorBadServerResponse = -1011,
  kURLErrorDataLengthExceedsMaximum = -1103,  // the reply is larger than the caller accepts
  kURLErrorInsecureConnectionRefused = -1022,  // plain http:// that is not allowed
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
};
// User-info key of a transfer error: the transfer library's own error text.
inline constexpr const char* kURLErrorTransferDetailKey = "VrlTransferDetail";

// Plain http:// is refused unless this process-wide switch is on, and even then only towards a
// loopback host (127.0.0.0/8, "localhost", ::1). https:// always verifies the peer. Default: off.
void setAllowsInsecureLoopbackHTTP(bool allowed);
bool allowsInsecureLoopbackHTTP();

// True when the URL names a loopback host (any scheme); false for unparsable URLs.
bool isLoopbackURL(const std::string& url);

}  // namespace platform::net
