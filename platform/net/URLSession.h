#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

namespace platform::net {

// A session for small lookups. The HTTP status is reported, never turned into an error.
class URLSession {
 public:
  static std::shared_ptr<URLSession> shared();

  // data: the body (nullopt on a transfer failure); httpStatus: 0 when no reply came;
  // error: a kURLErrorDomain error on a transfer failure, else nullptr.
  using DataTaskCompletion = std::function<void(std::optional<Data> data, int httpStatus, ErrorPtr error)>;

  // Starts at once and returns; the completion runs on a background thread of the transfer pool.
  // timeoutSeconds bounds the whole transfer. Same http:// rule as the session fetcher.
  void dataTask(const std::string& url, double timeoutSeconds, DataTaskCompletion completion);
  // The same for a whole request: its method, headers, body and timeout.
  void dataTask(URLRequest request, DataTaskCompletion completion);
};

}  // namespace platform::net
