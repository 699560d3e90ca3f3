// The application delegate of the menu-bar application: start-up checks, the launch and quit
// sequences, the status item and its menu, the loggers, the updater's callbacks, and the network,
// wake-up and health-timer requests of the DNS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/appkit/Application.h"
#include "platform/appkit/StatusBar.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/logging/FileLogger.h"
#include "platform/net/Reachability.h"
#include "platform/updater/UpdaterController.h"

namespace vorellin {

class AppDelegate : public platform::appkit::ApplicationDelegate,
                    public platform::updater::UpdaterDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  // The start-up: SDK configuration, the service check and the restart check.
  AppDelegate();
  ~AppDelegate() override;

  // The running application's delegate, when it is an AppDelegate.
  static std::shared_ptr<AppDelegate> shared();

  void applicationDidFinishLaunching(const platform::Notification& notification) override;
  void applicationWillTerminate(const platform::Notification& notification) override;
  bool applicationShouldTerminateAfterLastWindowClosed(platform::appkit::Application& sender) override;

  void registerSystemEvent();
  void onWakeUp();
  void startFenwixHealthMonitoring();

  // Status menu and actions.
  void buildStatusMenu();
  void showAppWindow(platform::appkit::Object* sender);
  void checkForUpdates(platform::appkit::Object* sender);

  // Updater callbacks.
  void updaterDidNotFindUpdate(platform::updater::Updater& updater) override;
  void updaterWillRelaunchApplication(platform::updater::Updater& updater) override;
  bool updaterShouldRelaunchApplication(platform::updater::Updater& updater) override;
  void updaterWillInstallUpdate(platform::updater::Updater& updater,
                                const platform::updater::AppcastItem& item) override;
  void updaterDidAbortWithError(platform::updater::Updater& updater, const platform::Error& error) override;
  void updaterFailedToDownloadUpdate(platform::updater::Updater& updater, const platform::updater::AppcastItem& item,
                                     const platform::Error& error) override;
  void userDidCancelDownload(platform::updater::Updater& updater) override;

  // How long quitting waits for the queued DNS clear before the process ends.
  static constexpr std::chrono::seconds kQuitDnsWait{5};
  static constexpr std::chrono::milliseconds kHealthInterval{60000};

  std::shared_ptr<platform::net::Reachability> reachability;
  std::shared_ptr<platform::dispatch::Timer> fenwixHealthTimer;
  std::shared_ptr<platform::updater::StandardUpdaterController> updaterController;
  int64_t mainWindowNumber = 0;
  std::shared_ptr<platform::appkit::StatusItem> statusItem;
  std::shared_ptr<platform::logging::FileLogger> fileLogger;

 private:
  void setUpdateInstalled(bool installed);
  platform::ObserverToken wakeObserver_ = 0;
};

}  // namespace vorellin
