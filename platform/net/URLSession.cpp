#include "platform/net/URLSession.h"

#include "platform/net/Transfer.h"

namespace platform::net {

std::shared_ptr<URLSession> URLSession::shared() {
  static auto* session = new std::shared_ptr<URLSession>(std::make_shared<URLSession>());
  return *session;
}

void URLSession::dataTask(const std::string& url, double timeoutSeconds, DataTaskCompletion completion) {
  dataTask(URLRequest(url, timeoutSeconds), std::move(completion));
}

void URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
  detail::runInBackground([request = std::move(request), completion = std::move(completion)] {
    auto result = detail::performTransfer(request, "", true, nullptr, nullptr);
    if (completion) completion(std::move(result.body), result.status, result.error);
  });
}

}  // namespace platform::net
