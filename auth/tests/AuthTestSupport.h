// Shared helpers of the auth tests: a scripted RPC issuer, a test bundle, a log capture and waiting.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <filesystem>
#include <future>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/DAVAuthBackend.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/PropertyList.h"
#include "platform/keychain/Keychain.h"
#include "platform/utilities/Logger.h"
#include "sdk-core/DAVOptions.h"

namespace authtest {

// Options of an app whose identity and secure-token services are both the stand-in at baseURL.
inline std::shared_ptr<DAVOptions> standInOptions(const std::string& appID, const std::string& apiKey,
                                                  const std::string& baseURL) {
  auto options = DAVOptions::initWithVariruAppID(appID, "123456789012");
  options->setAPIKey(apiKey);
  auto dictionary = options->optionsDictionary();
  dictionary[kDAVIdentityServiceURL] = baseURL;
  dictionary[kDAVSecureTokenServiceURL] = baseURL;
  options->setOptionsDictionary(dictionary);
  return options;
}

// The call raises the platform exception of that name with exactly that reason.
inline void expectRaise(const std::function<void()>& call, const std::string& name, const std::string& reason) {
  try {
    call();
    ADD_FAILURE() << "nothing raised, expected " << name << ": " << reason;
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), name);
    EXPECT_EQ(e.reason(), reason);
  }
}

// Waits for a value delivered on another queue.
template <class T>
T waitFor(std::future<T>& future, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  if (future.wait_for(timeout) != std::future_status::ready) {
    ADD_FAILURE() << "timed out waiting for a callback";
    std::abort();
  }
  return future.get();
}

// Runs one backend operation and waits for its (response, error).
template <class Response, class Request>
std::pair<std::shared_ptr<Response>, platform::ErrorPtr> call(
    void (*operation)(std::shared_ptr<Request>, DAVAuthBackendCallback<Response>), std::shared_ptr<Request> request) {
  std::promise<std::pair<std::shared_ptr<Response>, platform::ErrorPtr>> promise;
  auto future = promise.get_future();
  operation(request, [&promise](std::shared_ptr<Response> response, platform::ErrorPtr error) {
    promise.set_value({response, error});
  });
  return waitFor(future);
}

// An issuer that records what it is asked to send and answers from a script.
class FakeIssuer : public DAVAuthBackendRPCIssuer {
 public:
  struct Sent {
    std::string URL;
    std::optional<platform::Data> body;
    std::string contentType;
    DAVAuthRequestConfigurationPtr configuration;
  };
  struct Reply {
    std::optional<platform::Data> data;
    platform::ErrorPtr error;
  };

  void asyncPostToURLWithRequestConfiguration(const DAVAuthRequestConfigurationPtr& configuration,
                                              const std::string& URL, const std::optional<platform::Data>& body,
                                              const std::string& contentType,
                                              DAVAuthBackendRPCIssuerCompletion completion) override {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.push_back({URL, body, contentType, configuration});
      if (!replies_.empty()) {
        reply = replies_.front();
        replies_.pop_front();
      } else {
        reply.data = std::string("{}");
      }
    }
    completion(reply.data, reply.error);
  }

  void replyOK(const std::string& json) { push({json, nullptr}); }
  // An HTTP error status with the given body.
  void replyHTTPError(const std::string& body, int status = 400) {
    push({body, platform::makeError("VrlSessionFetcherStatusDomain", status)});
  }
  void replyTransferFailure() { push({std::nullopt, platform::makeError("VrlURLErrorDomain", -1004)}); }
  void replyServerMessage(const std::string& message) {
    replyHTTPError(nlohmann::json{{"error", {{"code", 400}, {"message", message}}}}.dump());
  }

  std::vector<Sent> sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  void push(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
  }
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
  std::deque<Reply> replies_;
};

// Installs a fresh default implementation over a fake issuer for one test.
class FakeBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    issuer_ = std::make_shared<FakeIssuer>();
    DAVAuthBackend::setDefaultBackendImplementationWithRPCIssuer(issuer_);
  }
  void TearDown() override { DAVAuthBackend::setBackendImplementation(nullptr); }
  std::shared_ptr<FakeIssuer> issuer_;
};

// A main bundle with an identifier and a development region, removed at the end.
class ScopedTestBundle {
 public:
  explicit ScopedTestBundle(const std::string& identifier = "mac.com.trennelwick.vorellin.authtests",
                            const std::string& region = "en") {
    dir_ = std::filesystem::temp_directory_path() / ("dav-auth-bundle-" + std::to_string(::getpid()) + "-" +
                                                     std::to_string(counter()++));
    std::filesystem::create_directories(dir_);
    platform::Dictionary info{{"CFBundleIdentifier", identifier}};
    if (!region.empty()) info["CFBundleDevelopmentRegion"] = region;
    platform::writePropertyListFile((dir_ / "Info.plist").string(), platform::Value(info));
    platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath(dir_.string()));
  }
  ~ScopedTestBundle() {
    platform::Bundle::setMainBundleForTesting(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  static int& counter() {
    static int c = 0;
    return c;
  }
  std::filesystem::path dir_;
};

// Every SDK log message written while alive.
class LogCapture {
 public:
  LogCapture() {
    token_ = platform::VULAddLogObserver([this](const platform::VULLogRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(platform::VULFormatLogLine(record));
    });
  }
  ~LogCapture() { platform::VULRemoveLogObserver(token_); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  platform::VULLogObserverToken token_ = 0;
};

// Holds the keychain's lock from a descriptor of its own, as another program busy with the
// keychain would: every read of it waits, the client's start-up load of its stored user included.
// Lets go at release() or after `longest`, from a thread of its own.
class HeldKeychain {
 public:
  explicit HeldKeychain(std::chrono::milliseconds longest)
      : lock_(std::make_unique<platform::FileLock>(platform::keychain::Keychain::defaultPath() + ".lock")),
        releaser_([this, longest] {
          std::unique_lock<std::mutex> guard(mutex_);
          asked_.wait_for(guard, longest, [this] { return releaseAsked_; });
          // Said before the lock goes, so whoever the lock held back finds it said.
          released_ = true;
          lock_.reset();
        }) {
    EXPECT_TRUE(lock_->locked()) << lock_->error();
  }
  ~HeldKeychain() {
    release();
    releaser_.join();
  }
  HeldKeychain(const HeldKeychain&) = delete;
  HeldKeychain& operator=(const HeldKeychain&) = delete;

  void release() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      releaseAsked_ = true;
    }
    asked_.notify_all();
  }
  bool released() const { return released_; }

 private:
  std::unique_ptr<platform::FileLock> lock_;
  std::mutex mutex_;
  std::condition_variable asked_;
  bool releaseAsked_ = false;
  std::atomic<bool> released_{false};
  std::thread releaser_;
};

}  // namespace authtest
