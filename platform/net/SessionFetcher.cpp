#include "platform/net/SessionFetcher.h"

#include <curl/curl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>

#include "platform/net/Transfer.h"

namespace platform::net {

// ---- connection cache shared by the fetchers of one service ----

struct SessionFetcherService::Shared {
  CURLSH* share = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

  Shared() {
    share = curl_share_init();
    if (!share) return;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  }
  ~Shared() {
    if (share) curl_share_cleanup(share);
  }
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* userptr) {
    static_cast<Shared*>(userptr)->locks[static_cast<size_t>(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* userptr) {
    static_cast<Shared*>(userptr)->locks[static_cast<size_t>(data)].unlock();
  }
};

// ---- SessionFetcherService ----

SessionFetcherService::SessionFetcherService() : shared_(std::make_unique<Shared>()) {}
SessionFetcherService::~SessionFetcherService() = default;

std::shared_ptr<SessionFetcherService> SessionFetcherService::create() {
  curl_global_init(CURL_GLOBAL_DEFAULT);  // before the first share handle; counted, so repeats are harmless
  return std::shared_ptr<SessionFetcherService>(new SessionFetcherService());
}

SessionFetcherPtr SessionFetcherService::fetcherWithRequest(const URLRequest& request) {
  auto fetcher = SessionFetcherPtr(new SessionFetcher(shared_from_this(), request));
  std::lock_guard<std::mutex> lock(mutex_);
  fetcher->userAgent_ = userAgent_;
  fetcher->callbackQueue_ = callbackQueue_;
  return fetcher;
}

void SessionFetcherService::setUserAgent(std::string userAgent) {
  std::lock_guard<std::mutex> lock(mutex_);
  userAgent_ = std::move(userAgent);
}
std::string SessionFetcherService::userAgent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return userAgent_;
}
void SessionFetcherService::setCallbackQueue(dispatch::QueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  callbackQueue_ = std::move(queue);
}
dispatch::QueuePtr SessionFetcherService::callbackQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return callbackQueue_;
}
void SessionFetcherService::setReuseSession(bool reuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  reuseSession_ = reuse;
}
bool SessionFetcherService::reuseSession() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reuseSession_;
}

// ---- SessionFetcher ----

SessionFetcher::SessionFetcher(std::shared_ptr<SessionFetcherService> service, URLRequest request)
    : service_(std::move(service)), request_(std::move(request)) {}

void SessionFetcher::setBodyData(std::optional<Data> body) { request_.body = std::move(body); }
void SessionFetcher::setUserAgent(std::string userAgent) { userAgent_ = std::move(userAgent); }
void SessionFetcher::setCallbackQueue(dispatch::QueuePtr queue) { callbackQueue_ = std::move(queue); }
void SessionFetcher::setTimeoutInterval(double seconds) { request_.timeoutInterval = seconds; }

void SessionFetcher::beginFetchWithCompletionHandler(FetchCompletion completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    completion_ = std::move(completion);
    if (!callbackQueue_) callbackQueue_ = dispatch::Queue::main();
  }
  detail::runInBackground([self = shared_from_this()] { self->run(); });
}

void SessionFetcher::stopFetching() {
  stopped_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  completion_ = nullptr;
}

void SessionFetcher::run() {
  if (stopped_) return;
  auto result = detail::performTransfer(request_, userAgent_, service_->reuseSession(), service_->shared_->share,
                                        &stopped_, kMaxFetchReplyBytes);
  statusCode_ = result.status;
  if (result.error) {
    finish(std::nullopt, result.error);
    return;
  }
  if (result.status >= 300 && result.status < 400 && detail::requestCarriesBody(request_)) {
    // A redirect that was not followed is a failed transfer, not a reply to read.
    finish(std::nullopt, makeError(kFetcherStatusDomain, result.status,
                                   "The server redirected a request with a body (HTTP status " +
                                       std::to_string(result.status) + "); it is not re-sent."));
    return;
  }
  if (result.status >= 300) {
    Dictionary info{{kFetcherStatusDataKey, Value::data(result.body ? *result.body : Data())}};
    auto error = makeError(kFetcherStatusDomain, result.status,
                           "The server answered with HTTP status " + std::to_string(result.status) + ".",
                           std::move(info));
    finish(std::move(result.body), error);
    return;
  }
  finish(std::move(result.body), nullptr);
}

void SessionFetcher::finish(std::optional<Data> data, ErrorPtr error) {
  FetchCompletion completion;
  dispatch::QueuePtr queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    completion = std::move(completion_);
    completion_ = nullptr;
    queue = callbackQueue_;
  }
  if (!completion || stopped_) return;
  // A stop that comes while the completion waits on its queue still keeps it from being called.
  queue->async([self = shared_from_this(), completion = std::move(completion), data = std::move(data),
                error = std::move(error)]() mutable {
    if (self->stopped_) return;
    completion(std::move(data), std::move(error));
  });
}

// ---- user agent ----

namespace {
std::string noSpaces(std::string s) {
  for (char& c : s)
    if (c == ' ') c = '_';
  return s;
}
}  // namespace

std::string fetcherStandardUserAgentString(const std::shared_ptr<Bundle>& bundle) {
  auto b = bundle ? bundle : Bundle::main();
  std::string product;
  std::string version;
  if (b) {
    if (const Value* v = b->objectForInfoDictionaryKey("CFBundleName"); v && v->asString()) product = *v->asString();
    if (const Value* v = b->objectForInfoDictionaryKey("CFBundleShortVersionString"); v && v->asString())
      version = *v->asString();
  }
  if (product.empty()) {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("unknown");
    product = exe.substr(exe.rfind('/') + 1);
  }
  if (version.empty()) version = "0";
  struct utsname u {};
  std::string system = "Linux";
  std::string release = "0";
  if (::uname(&u) == 0) {
    system = u.sysname;
    release = u.release;
  }
  return noSpaces(product) + "/" + noSpaces(version) + " " + noSpaces(system) + "/" + noSpaces(release) +
         " VrlSessionFetcher/1.0";
}

}  // namespace platform::net
