// Fixture for the application's views offscreen: the simulated Mac (fresh platform root and settings),
// the application folder in place with the SDK's property list pointed at the backend stand-in (one
// user, one disabled user) and a public-IP echo on loopback, alerts recorded, animations instant,
// browser and exit captured. launch() starts the application as its entry does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "Vorellin/Login.h"
#include "Vorellin/Main.h"
#include "Vorellin/ViewSupport.h"
#include "Vorellin/AppUtils.h"
#include "Vorellin/CloudCollections.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "auth/DAVAuth.h"
#include "auth/DAVAuthDataResult.h"
#include "auth/DAVAuthGlobalWorkQueue.h"
#include "auth/DAVUser.h"
#include "backend/dns/PublicIpEchoServer.h"
#include "backend/src/TestBackend.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/AnimationContext.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/WindowController.h"
#include "platform/appkit/Workspace.h"
#include "platform/net/URLRequest.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vorellin::testing {

inline constexpr const char kUserEmail[] = "ann@vorellin.test";
inline constexpr const char kUserPassword[] = "ann-password";
inline constexpr const char kAPIKey[] = "views-test-key";
inline constexpr const char kPublicIp[] = "203.0.113.7";

class AppViewTest : public SimulatedMacTest {
 protected:
  static void SetUpTestSuite() {
    SimulatedMacTest::SetUpTestSuite();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }

  void SetUp() override {
    SimulatedMacTest::SetUp();
    layOutAppBundle(false);
    writeServices({service("Wi-Fi"), service("Ethernet", true, {"192.168.2.1"})});
    setModeLists();
    alerts = std::make_shared<platform::appkit::RecordingAlertPresenter>();
    platform::appkit::AlertPresenter::setShared(alerts);
    platform::appkit::AnimationContext::setInstantAnimationsForTesting(true);
    app().setExitHandlerForTesting([this] { ++exits; });
    platform::appkit::Workspace::shared().setURLOpenerForTesting([this](const std::string& url) {
      opened.push_back(url);
      return true;
    });
    registerApplicationClasses();

    platform::net::setAllowsInsecureLoopbackHTTP(true);
    std::string error;
    ASSERT_TRUE(echo_.start(0, &error)) << error;
    backend::SeedUser user;
    user.email = kUserEmail;
    user.password = kUserPassword;
    backend::SeedUser disabled;
    disabled.email = "off@vorellin.test";
    disabled.password = "off-password";
    disabled.disabled = true;
    backend_ = std::make_unique<backend::TestBackend>(std::vector<backend::SeedUser>{user, disabled},
                                                      std::vector<std::string>{kAPIKey});
    uid = backend_->identity().userByEmail(kUserEmail)->uid;
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    // The database's own copy of an earlier case's documents would answer for this case's.
    forgetDatabaseCopy();
    DAVAuth::load();
    DAVVerorariv::load();
    writeServiceInfo();
    // The application's launchd job is registered, so the start-up goes on.
    ASSERT_TRUE(platform::SimulatedMac::writeLoadedJobs(
        {{"mac.com.trennelwick.vorellin.VorellinService", AppUtils::kServicePlistPath}}));
  }

  // The SDK's property list of the application folder, pointed at the stand-in.
  void writeServiceInfo() {
    testing::writeServiceInfo(kAPIKey, backend_->projectId(), backend_->baseURL(), backend_->documentsHost(),
                              {echo_.url(), echo_.url(), echo_.url()});
  }

  // The application as it starts: the delegate (SDK configured, start-up checks), the window of the
  // main storyboard and the launch sequence; then the window is shown again, as the status menu does.
  // Like a new process, it has read no settings yet.
  void launch() {
    VrlUserDefault::shared().resetForTesting();
    windowController = platform::appkit::launchApplication([] { return std::make_shared<AppDelegate>(); });
    ASSERT_TRUE(windowController);
    ASSERT_FALSE(app().isTerminated());
    // The network monitor reports the state once at start and then on every change; its DNS request
    // (not forced) would land in the middle of a view's steps whenever the main queue runs. The views
    // are tested without it: the start's report is handled now and no later one comes.
    settle();
    if (auto delegate = std::dynamic_pointer_cast<AppDelegate>(app().delegate()); delegate && delegate->reachability)
      delegate->reachability->stopNotifier();
    drainDns();
    windowController->showWindow();
  }

  // The user's document of "users", which the sign-in looks up.
  void seedUserDocument(const nlohmann::json& devices) {
    nlohmann::json fields = {{"userId", uid}, {"email", kUserEmail}};
    if (!devices.is_null()) fields["devices"] = devices;
    ASSERT_TRUE(backend().setDocument("users/" + uid, fields));
  }

  // Types into the sign-in form and clicks "Log in".
  void submitLogin(const std::shared_ptr<Login>& login, const std::string& email, const std::string& password) {
    login->inputEmail->setStringValue(email);
    (login->passwordRevealState ? login->inputPasswordNormal : login->inputPasswordField)->setStringValue(password);
    login->btnLoginOutlet->performClick();
  }

  static void forgetDatabaseCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(davedove::verorariv::local::VRVLevelDB::documentsDirectory().ToUtf8String(), ignored);
  }

  // Quits the window and the SDK as a new start of the program would find them, then launches again;
  // without the database's own copy of the documents, as a new installation would.
  void relaunch(bool withoutDatabaseCopy = false) {
    windowController->close();
    windowController.reset();
    app().resetForTesting();
    shutDownDatabase();
    if (withoutDatabaseCopy) forgetDatabaseCopy();
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    settle();
    launch();
  }

  // The listeners go with the database, as they would with the process.
  void shutDownDatabase() {
    CloudCollections::shared().resetForTesting();
    if (!DAVApp::isDefaultAppConfigured()) return;
    bool shutDown = false;
    DAVVerorariv::verorariv()->shutdownWithCompletion([&](platform::ErrorPtr) { shutDown = true; });
    spin([&] { return shutDown; });
  }

  // The user signed in by an earlier run (kept in the keychain), then the application starts: the
  // loading view hands the window straight to the main view.
  std::shared_ptr<Main> launchSignedIn() {
    DAVApp::configure();
    signIn();
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    settle();
    launch();
    auto main = waitForContent<Main>();
    EXPECT_TRUE(main);
    drainDns();
    return main;
  }

  void TearDown() override {
    if (windowController) windowController->close();
    windowController.reset();
    app().resetForTesting();
    drainDns();
    if (DAVApp::isDefaultAppConfigured()) {
      platform::ErrorPtr ignored;
      DAVAuth::auth()->signOut(&ignored);
      shutDownDatabase();
    }
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    settle();
    backend_.reset();
    platform::net::setAllowsInsecureLoopbackHTTP(false);
    platform::appkit::Workspace::shared().setURLOpenerForTesting(nullptr);
    platform::appkit::AlertPresenter::setShared(nullptr);
    forgetAppBundle();
    SimulatedMacTest::TearDown();
  }

  static platform::appkit::Application& app() { return platform::appkit::Application::shared(); }

  // Runs events, the main queue and timers until pred holds; false on timeout.
  static bool spin(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    return app().runUntil(pred, timeout);
  }
  // Lets queued work of the auth client and the main queue finish.
  static void settle() {
    for (int i = 0; i < 3; ++i) {
      DAVAuthGlobalWorkQueue()->sync([] {});
      app().runUntil([] { return false; }, std::chrono::milliseconds(10));
    }
  }
  // Every DNS request queued so far has run.
  static void drainDns() { AppUtils::dnsTransitionQueue()->sync([] {}); }

  // The callers of the DNS requests that ran, in order; the delegate's own (network up, wake-up, the
  // health timer) come whenever the system says so and are left out.
  std::vector<std::string> dnsCallers() const {
    std::vector<std::string> out;
    for (const auto& text : log->texts(platform::logging::LogFlag::Debug, "setDns(force:clearDns:functionCaller:file:line:)")) {
      if (text.rfind("Caller: ", 0) != 0) continue;
      std::string caller = text.substr(8, text.find(" | ") - 8);
      if (caller != "registerSystemEvent()" && caller != "onWakeUp()" && caller != "startFenwixHealthMonitoring()")
        out.push_back(caller);
    }
    return out;
  }

  void signIn() {
    bool done = false;
    platform::ErrorPtr error;
    DAVAuth::auth()->signInWithEmail(kUserEmail, kUserPassword, [&](std::shared_ptr<DAVAuthDataResult>, platform::ErrorPtr e) {
      error = e;
      done = true;
    });
    ASSERT_TRUE(spin([&] { return done; }));
    ASSERT_FALSE(error) << error->description();
  }

  template <typename T>
  std::shared_ptr<T> content() {
    auto w = windowController ? windowController->window() : nullptr;
    return w ? std::dynamic_pointer_cast<T>(w->contentViewController()) : nullptr;
  }
  template <typename T>
  std::shared_ptr<T> waitForContent() {
    std::shared_ptr<T> found;
    spin([&] { return (found = content<T>()) != nullptr; });
    return found;
  }

  std::vector<std::string> alertTexts() const {
    std::vector<std::string> out;
    for (const auto& a : alerts->alerts()) out.push_back(a.messageText);
    return out;
  }

  static std::string screenshotPath(const std::string& name) {
    std::string dir = std::string(std::getenv("VRL_BINARY_DIR")) + "/screenshots";
    std::filesystem::create_directories(dir);
    return dir + "/" + name + ".png";
  }

  backend::TestBackend& backend() { return *backend_; }

  std::string uid;
  std::shared_ptr<platform::appkit::RecordingAlertPresenter> alerts;
  std::shared_ptr<platform::appkit::WindowController> windowController;
  std::vector<std::string> opened;
  int exits = 0;

 private:
  std::unique_ptr<backend::TestBackend> backend_;
  backend::PublicIpEchoServer echo_{kPublicIp};
};

}  // namespace vorellin::testing
