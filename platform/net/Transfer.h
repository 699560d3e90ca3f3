#pragma once

// Internal to platform_net: the transfer routine and the thread pool behind the session fetcher and
// the URL session.

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"

typedef void CURLSH;

namespace platform::net::detail {

struct TransferResult {
  std::optional<std::string> body;  // nullopt when no reply came
  int status = 0;
  ErrorPtr error;                   // transfer failures only; statuses are the caller's concern
};

// POST requests and requests with a body: they never follow a redirect.
bool requestCarriesBody(const URLRequest& request);

// Runs the request on the calling thread. share: connection cache or nullptr; reuse off forces a
// fresh connection; stop (optional) aborts the transfer when it turns true; a reply body longer than
// maxBodyBytes (0: no limit) fails the transfer with kURLErrorDataLengthExceedsMaximum.
TransferResult performTransfer(const URLRequest& request, const std::string& userAgent, bool reuse, CURLSH* share,
                               const std::atomic<bool>* stop, size_t maxBodyBytes = 0);

// Runs jobs on background threads (grown on demand, kept for reuse).
void runInBackground(std::function<void()> job);

}  // namespace platform::net::detail
