// A blocking data task on a URL session, for callers already off the main thread.
#pragma once

#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSession.h"

namespace vorellin {

struct DataTaskResult {
  std::optional<platform::Data> data;  // nullopt when no reply came
  int httpStatus = 0;                  // 0 when no reply came
  platform::ErrorPtr error;            // a transfer failure, else nullptr
};

// Starts a data task for the whole request (method, headers, body, timeout) and waits for its
// completion; the request's own timeout is the only limit.
DataTaskResult synchronousDataTask(platform::net::URLSession& session, const platform::net::URLRequest& request);

}  // namespace vorellin
