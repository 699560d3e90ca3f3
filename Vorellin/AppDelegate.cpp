#include "Vorellin/AppDelegate.h"

#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "Vorellin/AppUtils.h"
#include "Vorellin/CloudCollections.h"
#include "Vorellin/LoginServiceKit.h"
#include "Vorellin/Main.h"
#include "Vorellin/VrlUserDefault.h"
#include "Vorellin/dnscrypt/FenwixHelper.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/View.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/System.h"
#include "platform/logging/ConsoleLogger.h"
#include "platform/logging/Log.h"
#include "platform/logging/SystemLogger.h"
#include "platform/net/URLRequest.h"
#include "auth/DAVAuth.h"
#include "davedove/verorariv/api/DAVVerorariv.h"
#include "sdk-core/DAVApp.h"

namespace vorellin {

using platform::appkit::Alert;
using platform::appkit::AlertPresenter;
using platform::appkit::Application;
using platform::dispatch::Timer;
using platform::net::Reachability;

namespace {

constexpr const char* kApplicationsPath = "/Applications/Vorellin.app";

void showAlert(const std::string& message, const std::string& button) {
  Alert alert;
  alert.messageText = message;
  alert.buttons = {button};
  AlertPresenter::shared()->runModal(alert);
}

// Every DNS request of the delegate is queued, never awaited.
void requestDns(bool force, bool clearDns, const char* caller, const char* file, int line) {
  std::string callerName = caller, fileName = file;
  AppUtils::dnsTransitionQueue()->async(
      [=] { AppUtils::setDns(force, clearDns, callerName, fileName, line); });
}

std::string productName() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
  const platform::Value* name = bundle ? bundle->objectForInfoDictionaryKey("CFBundleName") : nullptr;
  return name && name->asString() && !name->asString()->empty() ? *name->asString() : "Vorellin";
}

}  // namespace

AppDelegate::AppDelegate() {
  // 1-4: the reachability monitor (notifications on the main queue), the status item, the file logger.
  reachability = Reachability::forInternetConnection(platform::dispatch::Queue::main());
  mainWindowNumber = 0;
  statusItem = platform::appkit::StatusBar::systemStatusBar().statusItemWithLength(
      platform::appkit::StatusBar::kSquareLength);
  fileLogger = std::make_shared<platform::logging::FileLogger>();

  registerAction("showAppWindow:", [this](platform::appkit::Object* sender) { showAppWindow(sender); });
  registerAction("checkForUpdates:", [this](platform::appkit::Object* sender) { checkForUpdates(sender); });

  // 6: the SDK, before any window and before the cloud listeners. Its clients register first, as
  // their classes would when loaded on the Mac.
  DAVAuth::load();
  DAVVerorariv::load();
  DAVApp::configure();
  // A configuration naming a stand-in of the backend on this machine over plain HTTP gets it; the
  // transport still refuses plain HTTP to any host but loopback.
  if (auto app = DAVApp::defaultApp(); app && app->options()->namesPlainHTTPService())
    platform::net::setAllowsInsecureLoopbackHTTP(true);

  // 7-8: the launchd service must be registered, else the application cannot run.
  const std::string output = AppUtils::shellResult(AppUtils::kServiceCheckCommand).output;
  if (output.empty()) {
    std::error_code ec;
    if (!std::filesystem::exists(platform::systemPath(kApplicationsPath), ec)) {
      std::cout << "FILE NOT AVAILABLE" << std::endl;
      showAlert("Please put Vorellin into your Applications folder", "Ok");
      std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
      LoginServiceKit::removeLoginItem(bundle ? bundle->bundlePath() : "");
    } else {
      std::cout << "FILE AVAILABLE" << std::endl;
      std::make_shared<Main>()->Service("load");
    }
    Application::shared().terminate(nullptr);
    // Terminating ends the process; should it come back, nothing more runs in a quitting application.
    if (Application::shared().isTerminated()) return;
  }

  // 9: after an update the service is reloaded once, when the user has seen why.
  if (VrlUserDefault::shared().UpdateInstalled()) {
    showAlert(
        "The setup must update files or services that cannot be updated while the system is running. Vorellin will "
        "be restarted to let everything work correctly. Please restart Vorellin.",
        "Restart Vorellin");
    setUpdateInstalled(false);
    AppUtils::rebootService();
  }
}

AppDelegate::~AppDelegate() {
  if (wakeObserver_) platform::appkit::Workspace::shared().notificationCenter().removeObserver(wakeObserver_);
  if (reachability) reachability->stopNotifier();
}

std::shared_ptr<AppDelegate> AppDelegate::shared() {
  return std::dynamic_pointer_cast<AppDelegate>(Application::shared().delegate());
}

void AppDelegate::applicationDidFinishLaunching(const platform::Notification&) {
  Application& app = Application::shared();
  updaterController = std::make_shared<platform::updater::StandardUpdaterController>(
      std::weak_ptr<platform::updater::UpdaterDelegate>(shared_from_this()), nullptr);
  AppUtils::recordMainWindowNumber();
  auto windows = app.windows();
  if (!windows.empty()) windows.back()->close();
  CloudCollections::shared().openCloudCollections();

  using platform::logging::Log;
  Log::shared().addLogger(platform::logging::ConsoleLogger::shared());
  Log::shared().addLogger(platform::logging::SystemLogger::shared());
  fileLogger->setRollingFrequency(std::chrono::seconds(86400));
  fileLogger->logFileManager()->setMaximumNumberOfLogFiles(7);
  Log::shared().addLogger(fileLogger);
  VRL_LOG_VERBOSE_AT(__FILE__, "applicationDidFinishLaunching(_:)", __LINE__, "VavazuzeZud configured");
  // The store found it first, before any logger was there to take it.
  if (auto readError = VrlUserDefault::shared().preferences->readError()) {
    VRL_LOG_ERROR_AT(__FILE__, "applicationDidFinishLaunching(_:)", __LINE__,
                     "Settings cannot be read; protection is held at its strictest, the DNS follows it, and "
                     "changes wait in memory until a setting is changed in the window, with the PIN where one is "
                     "known: "
                         << *readError);
  }

  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::main();
  LoginServiceKit::addLoginItem(bundle ? bundle->bundlePath() : "");
  if (auto* button = statusItem->button()) button->setImage(platform::appkit::Image::named("menuIcon"));
  buildStatusMenu();
  registerSystemEvent();
  startFenwixHealthMonitoring();
}

void AppDelegate::applicationWillTerminate(const platform::Notification&) {
  if (fenwixHealthTimer) fenwixHealthTimer->invalidate();
  fenwixHealthTimer.reset();

  // The clear is queued behind the requests already waiting; the process ends only once it ran (or
  // after the wait), so the filtering resolvers never outlive the application.
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool ran = false;
  };
  auto done = std::make_shared<Done>();
  const int line = __LINE__ + 2;
  AppUtils::dnsTransitionQueue()->async([done, line] {
    AppUtils::setDns(true, true, "applicationWillTerminate(_:)", __FILE__, line);
    std::lock_guard<std::mutex> lock(done->mutex);
    done->ran = true;
    done->cv.notify_all();
  });
  if (reachability) reachability->stopNotifier();

  std::unique_lock<std::mutex> lock(done->mutex);
  if (!done->cv.wait_for(lock, kQuitDnsWait, [&] { return done->ran; })) {
    VRL_LOG_ERROR_AT(__FILE__, "applicationWillTerminate(_:)", __LINE__,
                     "Quitting before the DNS servers were cleared: still waiting after "
                         << kQuitDnsWait.count() << " seconds");
  }
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed(Application&) { return false; }

void AppDelegate::registerSystemEvent() {
  reachability->setWhenReachable([](Reachability& monitor) {
    VRL_LOG_DEBUG_AT(__FILE__, "registerSystemEvent()", __LINE__,
                     "Reach " << Reachability::description(monitor.connection()));
    AppUtils::refreshPublicIp();
    requestDns(false, false, "registerSystemEvent()", __FILE__, __LINE__);
  });
  if (!reachability->startNotifier()) std::cout << "Unable to start notifier" << std::endl;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  if (wakeObserver_) platform::appkit::Workspace::shared().notificationCenter().removeObserver(wakeObserver_);
  wakeObserver_ = platform::appkit::Workspace::shared().notificationCenter().addObserver(
      platform::appkit::kWorkspaceDidWakeNotification, nullptr, [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->onWakeUp();
      });
}

void AppDelegate::onWakeUp() {
  VRL_LOG_DEBUG_AT(__FILE__, "onWakeUp()", __LINE__, "Reach onWakeUp");
  AppUtils::refreshPublicIp();
  requestDns(false, false, "onWakeUp()", __FILE__, __LINE__);
}

void AppDelegate::startFenwixHealthMonitoring() {
  if (fenwixHealthTimer) fenwixHealthTimer->invalidate();
  fenwixHealthTimer = Timer::scheduled(kHealthInterval, true, [](Timer&) {
    const VrlUserDefault& settings = VrlUserDefault::shared();
    if (!settings.blockerState() || !settings.customBlacklistState() || !settings.fenwixInEffect()) return;
    requestDns(false, false, "startFenwixHealthMonitoring()", __FILE__, __LINE__);
  });
}

void AppDelegate::buildStatusMenu() {
  auto menu = std::make_shared<platform::appkit::Menu>();
  const std::string name = productName();
  std::string key(1, char(std::toupper(static_cast<unsigned char>(name[0]))));
  menu->addItemWithTitle("Show Vorellin", "showAppWindow:", key);
  menu->addItemWithTitle("Check for updates", "checkForUpdates:", "U");
  statusItem->setMenu(menu);
}

void AppDelegate::showAppWindow(platform::appkit::Object*) { AppUtils::showMainWindow(); }

void AppDelegate::checkForUpdates(platform::appkit::Object* sender) {
  if (updaterController) updaterController->checkForUpdates(sender);
}

void AppDelegate::setUpdateInstalled(bool installed) {
  auto prefs = VrlUserDefault::shared().preferences;
  prefs->set(keys::kUpdateInstalled, platform::Value(installed));
  prefs->synchronize();
}

void AppDelegate::updaterDidNotFindUpdate(platform::updater::Updater&) {
  VRL_LOG_DEBUG_AT(__FILE__, "updaterDidNotFindUpdate(_:)", __LINE__, "updaterDidNotFindUpdate");
  setUpdateInstalled(false);
}

void AppDelegate::updaterWillRelaunchApplication(platform::updater::Updater&) {
  VRL_LOG_DEBUG_AT(__FILE__, "updaterWillRelaunchApplication(_:)", __LINE__, "updaterWillRelaunchApplication");
  setUpdateInstalled(true);
}

bool AppDelegate::updaterShouldRelaunchApplication(platform::updater::Updater&) {
  VRL_LOG_DEBUG_AT(__FILE__, "updaterShouldRelaunchApplication(_:)", __LINE__, "updaterShouldRelaunchApplication");
  return true;
}

void AppDelegate::updaterWillInstallUpdate(platform::updater::Updater&, const platform::updater::AppcastItem& item) {
  VRL_LOG_DEBUG_AT(__FILE__, "updater(_:willInstallUpdate:)", __LINE__,
                   "willInstallUpdate " << item.fileURL.value_or("unknown") << "|" << item.displayVersionString);
}

void AppDelegate::updaterDidAbortWithError(platform::updater::Updater&, const platform::Error&) {
  VRL_LOG_DEBUG_AT(__FILE__, "updater(_:didAbortWithError:)", __LINE__, "updaterDidAbortWithError");
  setUpdateInstalled(false);
}

void AppDelegate::updaterFailedToDownloadUpdate(platform::updater::Updater&, const platform::updater::AppcastItem&,
                                                const platform::Error&) {
  VRL_LOG_DEBUG_AT(__FILE__, "updater(_:failedToDownloadUpdate:error:)", __LINE__, "updaterFailedToDownloadUpdate");
  setUpdateInstalled(false);
}

void AppDelegate::userDidCancelDownload(platform::updater::Updater&) {
  VRL_LOG_DEBUG_AT(__FILE__, "userDidCancelDownload(_:)", __LINE__, "updaterUserDidCancelDownload");
  setUpdateInstalled(false);
}

}  // namespace vorellin
