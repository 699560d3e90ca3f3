// Fixture for tests that run the application object itself offscreen: the simulated Mac of
// SimulatedMacTest, the application folder installed under the platform root, alerts recorded,
// instant animations, and a termination that returns instead of ending the test process.
#pragma once

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "Vorellin/AppClasses.h"
#include "Vorellin/AppDelegate.h"
#include "Vorellin/tests/AppBundle.h"
#include "Vorellin/tests/SimulatedMacTest.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/AnimationContext.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/WindowController.h"
#include "platform/logging/ConsoleLogger.h"
#include "platform/logging/SystemLogger.h"
#include "sdk-core/DAVApp.h"
#include "sdk-core/DAVOptions.h"

namespace vorellin::testing {

class AppShellTest : public SimulatedMacTest {
 protected:
  void SetUp() override {
    SimulatedMacTest::SetUp();
    if (offscreen())
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    else
      ::unsetenv("QT_QPA_PLATFORM");  // the display's own platform
    layOutAppBundle();
    alerts = std::make_shared<platform::appkit::RecordingAlertPresenter>();
    platform::appkit::AlertPresenter::setShared(alerts);
    platform::appkit::AnimationContext::setInstantAnimationsForTesting(true);
    platform::appkit::Application::shared().setExitHandlerForTesting([this] { ++exits; });
    AppUtils::setPublicIpEchoUrls(std::vector<std::string>{});
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    registerApplicationClasses();
  }

  void TearDown() override {
    auto& app = platform::appkit::Application::shared();
    app.resetForTesting();
    if (delegate) {
      platform::logging::Log::shared().removeLogger(delegate->fileLogger);
      delegate->reachability->stopNotifier();
    }
    platform::logging::Log::shared().removeLogger(platform::logging::ConsoleLogger::shared());
    platform::logging::Log::shared().removeLogger(platform::logging::SystemLogger::shared());
    AppUtils::dnsTransitionQueue()->sync([] {});
    initial.reset();
    delegate.reset();
    app.processEvents();
    platform::appkit::AlertPresenter::setShared(nullptr);
    AppUtils::setPublicIpEchoUrls(std::nullopt);
    DAVApp::resetApps();
    DAVOptions::resetDefaultOptions();
    forgetAppBundle();
    SimulatedMacTest::TearDown();
  }

  // Before anything makes the application: offscreen, or on the process's display.
  virtual bool offscreen() const { return true; }

  static void registerService() {
    ASSERT_EQ(AppUtils::shellResult(AppUtils::serviceCommand("load")).status, 0);
  }
  static bool serviceRegistered() { return !AppUtils::shellResult(AppUtils::kServiceCheckCommand).output.empty(); }

  // Runs the platform's launch with the application's delegate; `prepare` sees the delegate right
  // after its initialiser, before it becomes the application's delegate.
  void launch(const std::function<void(AppDelegate&)>& prepare = nullptr) {
    initial = platform::appkit::launchApplication([&] {
      auto made = std::make_shared<AppDelegate>();
      if (prepare) prepare(*made);
      return made;
    });
    delegate = AppDelegate::shared();
  }

  // The callers of the DNS requests that have run, in order.
  std::vector<std::string> dnsCallers() const {
    std::vector<std::string> out;
    for (const std::string& t : log->texts(platform::logging::LogFlag::Debug, "setDns(force:clearDns:functionCaller:file:line:)")) {
      const std::string prefix = "Caller: ";
      if (t.rfind(prefix, 0) == 0) out.push_back(t.substr(prefix.size(), t.find(" | ") - prefix.size()));
    }
    return out;
  }

  static bool runUntil(const std::function<bool()>& pred, int ms = 10000) {
    return platform::appkit::Application::shared().runUntil(pred, std::chrono::milliseconds(ms));
  }

  static std::string screenshotPath(const std::string& name) {
    std::string dir = std::string(std::getenv("VRL_BINARY_DIR")) + "/screenshots";
    std::filesystem::create_directories(dir);
    return dir + "/" + name + ".png";
  }

  std::shared_ptr<platform::appkit::RecordingAlertPresenter> alerts;
  std::shared_ptr<platform::appkit::WindowController> initial;
  std::shared_ptr<AppDelegate> delegate;
  int exits = 0;
};

}  // namespace vorellin::testing
