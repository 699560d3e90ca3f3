#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

namespace platform::net {

// An HTTP status >= 300 arrives as an error of this domain whose code is the status; the reply
// body (possibly empty) sits in its user info under kFetcherStatusDataKey as a Data value, and is
// also handed to the completion as data.
inline constexpr const char* kFetcherStatusDomain = "VrlSessionFetcherStatusDomain";
inline constexpr const char* kFetcherStatusDataKey = "data";

// data: the reply body; nullopt when the transfer failed (then error is a kURLErrorDomain error).
// error: nullptr on success (status < 300).
using FetchCompletion = std::function<void(std::optional<Data> data, ErrorPtr error)>;

class SessionFetcherService;

// Replies longer than this fail the fetch with kURLErrorDataLengthExceedsMaximum; every call made
// through the fetcher answers with a few kilobytes.
inline constexpr size_t kMaxFetchReplyBytes = 4u << 20;

// One request, fetched once. Transfers run on a background thread pool, never on the caller's
// thread; the completion runs on the callback queue (the main queue unless set).
class SessionFetcher : public std::enable_shared_from_this<SessionFetcher> {
 public:
  const URLRequest& request() const { return request_; }
  URLRequest& mutableRequest() { return request_; }  // change before beginning the fetch

  void setBodyData(std::optional<Data> body);   // nullopt: no body
  void setUserAgent(std::string userAgent);     // "" leaves the request's own User-Agent (or none)
  void setCallbackQueue(dispatch::QueuePtr queue);
  void setTimeoutInterval(double seconds);      // same as the request's timeoutInterval
  const std::string& userAgent() const { return userAgent_; }
  dispatch::QueuePtr callbackQueue() const { return callbackQueue_; }

  // Returns at once; the completion is called exactly once. A second call is ignored.
  void beginFetchWithCompletionHandler(FetchCompletion completion);
  // Drops the completion of a fetch in flight (it is then never called) and aborts the transfer.
  void stopFetching();

  // After completion: the HTTP status of the reply (0 when none came).
  int statusCode() const { return statusCode_.load(); }

 private:
  friend class SessionFetcherService;
  SessionFetcher(std::shared_ptr<SessionFetcherService> service, URLRequest request);
  void run();
  void finish(std::optional<Data> data, ErrorPtr error);

  std::shared_ptr<SessionFetcherService> service_;
  URLRequest request_;
  std::string userAgent_;
  dispatch::QueuePtr callbackQueue_;
  std::mutex mutex_;
  FetchCompletion completion_;
  bool started_ = false;
  std::atomic<bool> stopped_{false};
  std::atomic<int> statusCode_{0};
};
using SessionFetcherPtr = std::shared_ptr<SessionFetcher>;

// Makes fetchers that share a user agent, a callback queue and (when reuse is on) connections.
class SessionFetcherService : public std::enable_shared_from_this<SessionFetcherService> {
 public:
  static std::shared_ptr<SessionFetcherService> create();
  ~SessionFetcherService();

  SessionFetcherPtr fetcherWithRequest(const URLRequest& request);

  void setUserAgent(std::string userAgent);
  std::string userAgent() const;
  void setCallbackQueue(dispatch::QueuePtr queue);   // nullptr: the main queue
  dispatch::QueuePtr callbackQueue() const;
  void setReuseSession(bool reuse);                  // default on; off: a fresh connection per fetch
  bool reuseSession() const;

 private:
  SessionFetcherService();
  friend class SessionFetcher;
  struct Shared;
  mutable std::mutex mutex_;
  std::string userAgent_;
  dispatch::QueuePtr callbackQueue_;
  bool reuseSession_ = true;
  std::unique_ptr<Shared> shared_;  // connection cache used when reuse is on
};

// "<product>/<version> <system>/<release> VrlSessionFetcher/1.0": product and version from the
// bundle's Info.plist (CFBundleName / CFBundleShortVersionString, else the executable name and
// "0"), spaces turned into "_". nullptr: the main bundle.
std::string fetcherStandardUserAgentString(const std::shared_ptr<Bundle>& bundle = nullptr);

}  // namespace platform::net
