// A signed-in user of the app against the backend stand-in on loopback, with a fresh HOME (the
// keychain and the database's storage live there); for the database's end-to-end tests and
// benchmarks.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "backend/src/TestBackend.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vrvtest {

inline constexpr const char kAppID[] = "1:123456789012:ios:0123456789abcdef";
inline constexpr const char kAPIKey[] = "verorariv-end-to-end-key";
inline constexpr const char kPassword[] = "correct-horse-battery";

// Runs the main run loop until `done` holds; false on timeout.
inline bool Spin(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return platform::dispatch::RunLoop::runUntil(done, timeout);
}

// Polls `done` (which may be costly, such as a backend read) while the run loop turns.
inline bool SpinPolling(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    platform::dispatch::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(20));
  }
  return done();
}

// Turns the database's network off or on and waits until it says it has; false on timeout.
inline bool SetNetwork(const std::shared_ptr<DAVVerorariv>& db, bool enabled) {
  bool done = false;
  auto completion = [&done](platform::ErrorPtr) { done = true; };
  if (enabled) {
    db->enableNetworkWithCompletion(completion);
  } else {
    db->disableNetworkWithCompletion(completion);
  }
  return Spin([&] { return done; });
}

class StandIn {
 public:
  explicit StandIn(const std::string& name) {
    home_ = std::filesystem::temp_directory_path() /
            ("vrv-e2e-home-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    if (const char* home = std::getenv("HOME")) oldHome_ = home;
    ::setenv("HOME", home_.c_str(), 1);
    platform::net::setAllowsInsecureLoopbackHTTP(true);

    std::vector<backend::SeedUser> users;
    for (const char* email : {"alice@example.com", "bob@example.com"}) {
      backend::SeedUser user;
      user.email = email;
      user.password = kPassword;
      users.push_back(user);
    }
    backend_ = std::make_unique<backend::TestBackend>(users, std::vector<std::string>{kAPIKey});
    aliceUid = backend_->identity().userByEmail("alice@example.com")->uid;
    bobUid = backend_->identity().userByEmail("bob@example.com")->uid;
    // Kept here: they stay valid while the stand-in is stopped.
    projectId_ = backend_->projectId();
    baseURL_ = backend_->baseURL();
    documentsHost_ = backend_->documentsHost();

    DAVApp::resetApps();
    DAVAuth::load();
    DAVVerorariv::load();
    Configure();
  }

  ~StandIn() {
    // The client lets go of its storage before HOME goes away.
    ShutDownDatabase();
    DAVApp::resetApps();
    Settle();
    backend_.reset();
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    ::setenv("HOME", oldHome_.c_str(), 1);
    std::filesystem::remove_all(home_);
  }

  std::shared_ptr<DAVOptions> Options() const {
    auto options = DAVOptions::initWithVariruAppID(kAppID, "123456789012");
    options->setAPIKey(kAPIKey);
    options->setProjectID(projectId_);
    auto dictionary = options->optionsDictionary();
    dictionary[kDAVIdentityServiceURL] = baseURL_;
    dictionary[kDAVSecureTokenServiceURL] = baseURL_;
    dictionary[kDAVVerorarivHost] = documentsHost_;
    dictionary[kDAVVerorarivSSLEnabled] = documentsTls_;
    options->setOptionsDictionary(dictionary);
    return options;
  }

  void Configure() {
    DAVApp::configureWithOptions(Options());
    app = DAVApp::defaultApp();
    auth = DAVAuth::authWithApp(app);
  }

  // Ends the program's SDK state as a restart does: the database shuts down, the apps are
  // forgotten (the signed-in user stays in the keychain) and the default app is configured again,
  // so a new client opens the same storage. `beforeStart` runs just before the new start.
  void Restart(const std::function<void()>& beforeStart = nullptr) {
    ShutDownDatabase();
    auth.reset();
    app.reset();
    DAVApp::resetApps();
    Settle();
    if (beforeStart) beforeStart();
    DAVAuth::load();
    DAVVerorariv::load();
    Configure();
  }

  // Sends the client's identity and document requests to these hosts (a relay in front of the
  // stand-in, say), the latter over TLS with `documentsTls`, from the next configuration on, and
  // configures the app again.
  void UseHosts(std::string baseURL, std::string documentsHost, bool documentsTls = false) {
    baseURL_ = std::move(baseURL);
    documentsHost_ = std::move(documentsHost);
    documentsTls_ = documentsTls;
    Restart();
  }

  void ShutDownDatabase() {
    if (!db) return;
    bool shutDown = false;
    db->shutdownWithCompletion([&](platform::ErrorPtr) { shutDown = true; });
    Spin([&] { return shutDown; });
    db.reset();
  }

  // The database of the default app with persistence on or off.
  std::shared_ptr<DAVVerorariv> Database(bool persistence) {
    db = DAVVerorariv::verorariv();
    DAVVerorarivSettings settings = db->settings();
    settings.setPersistenceEnabled(persistence);
    db->setSettings(settings);
    return db;
  }

  bool SignIn(const std::string& email) {
    bool done = false;
    platform::ErrorPtr error;
    auth->signInWithEmail(email, kPassword,
                          [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
                            error = e;
                            done = true;
                          });
    return Spin([&] { return done; }) && !error;
  }

  backend::TestBackend& backend() { return *backend_; }

  // Lets queued work of the auth client and the main queue finish.
  static void Settle() {
    for (int i = 0; i < 3; ++i) {
      DAVAuthGlobalWorkQueue()->sync([] {});
      platform::dispatch::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(10));
    }
  }

  std::string aliceUid;
  std::string bobUid;
  std::shared_ptr<DAVApp> app;
  std::shared_ptr<DAVAuth> auth;
  std::shared_ptr<DAVVerorariv> db;

 private:
  std::filesystem::path home_;
  std::string oldHome_;
  std::unique_ptr<backend::TestBackend> backend_;
  std::string projectId_;
  std::string baseURL_;
  std::string documentsHost_;
  bool documentsTls_ = false;
};

}  // namespace vrvtest
