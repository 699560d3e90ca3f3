#include "platform/net/Transfer.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/foundation/LoopbackHost.h"

namespace platform::net {

namespace {
std::atomic<bool> gAllowInsecureLoopback{false};

struct ParsedURL {
  std::string scheme;
  std::string host;
};

std::optional<ParsedURL> parseURL(const std::string& url) {
  CURLU* h = curl_url();
  if (!h) return std::nullopt;
  std::optional<ParsedURL> out;
  if (curl_url_set(h, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    if (curl_url_get(h, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(h, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
      out = ParsedURL{scheme, host};
      std::transform(out->scheme.begin(), out->scheme.end(), out->scheme.begin(), ::tolower);
      std::transform(out->host.begin(), out->host.end(), out->host.begin(), ::tolower);
    }
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(h);
  return out;
}

}  // namespace

void URLRequest::setValue(const std::string& value, const std::string& headerField) {
  for (auto& [name, v] : headers) {
    if (strcasecmp(name.c_str(), headerField.c_str()) == 0) {
      v = value;
      return;
    }
  }
  headers.emplace_back(headerField, value);
}

std::optional<std::string> URLRequest::valueForHeader(const std::string& headerField) const {
  for (const auto& [name, v] : headers)
    if (strcasecmp(name.c_str(), headerField.c_str()) == 0) return v;
  return std::nullopt;
}

void setAllowsInsecureLoopbackHTTP(bool allowed) { gAllowInsecureLoopback = allowed; }
bool allowsInsecureLoopbackHTTP() { return gAllowInsecureLoopback; }

bool isLoopbackURL(const std::string& url) {
  auto parsed = parseURL(url);
  return parsed && platform::isLoopbackHost(parsed->host);
}

namespace detail {
namespace {

void globalInit() {
  static std::once_flag flag;
  std::call_once(flag, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

ErrorPtr urlError(int64_t code, const std::string& description, const std::string& detail = {}) {
  Dictionary info;
  if (!detail.empty()) info[kURLErrorTransferDetailKey] = Value(detail);
  return makeError(kURLErrorDomain, code, description, std::move(info));
}

int64_t codeFor(CURLcode rc) {
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: return kURLErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST: return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return kURLErrorCannotConnectToHost;
    case CURLE_URL_MALFORMAT: return kURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL: return kURLErrorUnsupportedURL;
    case CURLE_PEER_FAILED_VERIFICATION: return kURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return kURLErrorSecureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return kURLErrorNetworkConnectionLost;
    case CURLE_ABORTED_BY_CALLBACK: return kURLErrorCancelled;
    case CURLE_WEIRD_SERVER_REPLY: return kURLErrorBadServerResponse;
    default: return kURLErrorUnknown;
  }
}

struct BodySink {
  std::string body;
  size_t limit = 0;  // 0: none
  bool exceeded = false;
};

size_t writeBody(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* sink = static_cast<BodySink*>(userdata);
  const size_t n = size * nmemb;
  if (sink->limit != 0 && n > sink->limit - sink->body.size()) {
    sink->exceeded = true;
    return 0;  // ends the transfer with a write error
  }
  sink->body.append(ptr, n);
  return n;
}

int progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* stop = static_cast<const std::atomic<bool>*>(clientp);
  return stop && stop->load() ? 1 : 0;
}

}  // namespace

bool requestCarriesBody(const URLRequest& request) { return request.method == "POST" || request.body.has_value(); }

TransferResult performTransfer(const URLRequest& request, const std::string& userAgent, bool reuse, CURLSH* share,
                               const std::atomic<bool>* stop, size_t maxBodyBytes) {
  globalInit();
  TransferResult result;
  auto parsed = parseURL(request.url);
  if (!parsed) {
    result.error = urlError(kURLErrorBadURL, "The URL is not valid.");
    return result;
  }
  bool plain = parsed->scheme == "http";
  if (!plain && parsed->scheme != "https") {
    result.error = urlError(kURLErrorUnsupportedURL, "Only http and https URLs are supported.");
    return result;
  }
  if (plain && !(allowsInsecureLoopbackHTTP() && platform::isLoopbackHost(parsed->host))) {
    result.error = urlError(kURLErrorInsecureConnectionRefused,
                            "Plain HTTP is refused: it is allowed only to a loopback host, and only when enabled.");
    return result;
  }

  // A line break in a header would let its text add headers of its own (or end the head early).
  for (const auto& [name, value] : request.headers) {
    if ((name + value).find_first_of(std::string("\r\n\0", 3)) != std::string::npos || name.empty()) {
      result.error = urlError(kURLErrorBadURL, "A request header holds a line break or is unnamed.");
      return result;
    }
  }

  CURL* curl = curl_easy_init();
  if (!curl) {
    result.error = urlError(kURLErrorUnknown, "Cannot start a transfer.");
    return result;
  }
  char errbuf[CURL_ERROR_SIZE] = {0};
  BodySink sink;
  sink.limit = maxBodyBytes;
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
  headers = curl_slist_append(headers, "Expect:");

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, plain ? "http" : "https");
  // A body (passwords, refresh tokens) is never re-sent to another host: only body-less requests
  // follow redirects.
  if (!requestCarriesBody(request)) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  }
  // A proxy from the environment would carry loopback traffic (plain text included) off this machine.
  if (platform::isLoopbackHost(parsed->host)) curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  long timeoutMs = request.timeoutInterval > 0 ? static_cast<long>(request.timeoutInterval * 1000.0) : 0L;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  // A declared length over the limit fails before any of the body arrives.
  if (maxBodyBytes != 0) curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, stop);
  if (!userAgent.empty() && !request.valueForHeader("User-Agent"))
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
  static const std::string kNoBody;
  const std::string& postBody = request.body ? *request.body : kNoBody;  // outlives the transfer
  if (request.method == "POST" || request.body) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postBody.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody.data());
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (reuse && share) {
    curl_easy_setopt(curl, CURLOPT_SHARE, share);
  } else if (!reuse) {
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  }

  CURLcode rc = curl_easy_perform(curl);
  if (rc == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result.status = static_cast<int>(status);
    result.body = std::move(sink.body);
  } else if (sink.exceeded || rc == CURLE_FILESIZE_EXCEEDED) {
    result.error = urlError(kURLErrorDataLengthExceedsMaximum,
                            "The reply is larger than " + std::to_string(maxBodyBytes) + " bytes.");
  } else {
    std::string detail = errbuf[0] ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
    result.error = urlError(codeFor(rc), std::string("The transfer failed: ") + curl_easy_strerror(rc), detail);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

namespace {

// Threads are started on demand and kept; the pool lives until the process ends.
class Pool {
 public:
  void submit(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
    if (idle_ < jobs_.size()) {
      std::thread([this] { work(); }).detach();
      ++idle_;
    }
    cv_.notify_one();
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return !jobs_.empty(); });
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      --idle_;
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      ++idle_;
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  size_t idle_ = 0;  // threads waiting (or about to wait) for a job
};

}  // namespace

void runInBackground(std::function<void()> job) {
  static Pool* pool = new Pool();  // never destroyed: its threads may run past static destruction
  pool->submit(std::move(job));
}

}  // namespace detail
}  // namespace platform::net
