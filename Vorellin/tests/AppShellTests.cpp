// The application object offscreen: start-up checks, launch, DNS requests of the system events,
// the status menu, the updater's callbacks, window tracking and presentation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <future>

#include "Vorellin/LoginServiceKit.h"
#include "Vorellin/Main.h"
#include "Vorellin/ReplacePresentationAnimator.h"
#include "Vorellin/WindowController.h"
#include "Vorellin/tests/AppShellTest.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/View.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/PropertyList.h"
#include "platform/process/Process.h"
#include "platform/servicemanagement/AppService.h"

namespace vorellin::testing {
namespace {

using platform::AppService;
using platform::appkit::Application;
using platform::appkit::Panel;
using platform::appkit::Rect;
using platform::appkit::ViewController;
using platform::appkit::Window;
using platform::logging::LogFlag;
using platform::net::Reachability;

constexpr const char* kRestartText =
    "The setup must update files or services that cannot be updated while the system is running. Vorellin will be "
    "restarted to let everything work correctly. Please restart Vorellin.";

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using AppShell = AppShellTest;

TEST_F(AppShell, ServiceCheckOutsideApplicationsAlertsRemovesLoginItemAndQuitsBeforeAnythingElse) {
  // The running copy lies outside /Applications; its login item exists.
  const std::string elsewhere = root_ + "/Downloads/Vorellin.app";
  std::filesystem::create_directories(elsewhere);
  std::filesystem::copy(builtAppBundle(), elsewhere, std::filesystem::copy_options::recursive);
  std::filesystem::remove_all(platform::systemPath("/Applications/Vorellin.app"));
  platform::Bundle::setMainBundleForTesting(platform::Bundle::atPath(elsewhere));
  ASSERT_TRUE(LoginServiceKit::addLoginItem(elsewhere));
  set(keys::kUpdateInstalled, platform::Value(true));

  ::testing::internal::CaptureStdout();
  launch();
  const std::string out = ::testing::internal::GetCapturedStdout();

  EXPECT_NE(out.find("FILE NOT AVAILABLE\n"), std::string::npos) << out;
  ASSERT_EQ(alerts->count(), 1u);  // the restart check never runs in a quitting application
  EXPECT_EQ(alerts->alerts()[0].messageText, "Please put Vorellin into your Applications folder");
  EXPECT_EQ(alerts->alerts()[0].buttons, std::vector<std::string>{"Ok"});
  EXPECT_EQ(AppService::loginItemServiceWithIdentifier(elsewhere)->status(), AppService::Status::NotRegistered);
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(Application::shared().isTerminated());
  EXPECT_EQ(delegate, nullptr);  // launching stopped: no delegate, no window
  EXPECT_TRUE(Application::shared().windows().empty());
  EXPECT_TRUE(VrlUserDefault::shared().UpdateInstalled());
  EXPECT_FALSE(serviceRegistered());
}

TEST_F(AppShell, ServiceCheckInApplicationsLoadsTheServiceAndQuitsWithoutAlert) {
  ::testing::internal::CaptureStdout();
  launch();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("FILE AVAILABLE\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("FILE NOT AVAILABLE"), std::string::npos);
  EXPECT_EQ(alerts->count(), 0u);
  EXPECT_TRUE(serviceRegistered());
  EXPECT_EQ(exits, 1);
  EXPECT_EQ(delegate, nullptr);
}

TEST_F(AppShell, RegisteredServiceAndInstalledUpdateShowRestartAlertThenClearTheMarkThenReloadTheService) {
  registerService();
  set(keys::kUpdateInstalled, platform::Value(true));
  // At the moment of the alert nothing of its consequences has happened yet.
  struct Probe : platform::appkit::AlertPresenter {
    std::shared_ptr<CaptureLogger> log;
    std::vector<platform::appkit::Alert> seen;
    bool markStillSet = false, rebootedBefore = false;
    size_t runModal(const platform::appkit::Alert& alert) override {
      seen.push_back(alert);
      markStillSet = VrlUserDefault::shared().UpdateInstalled();
      rebootedBefore = !log->texts(LogFlag::Info, "rebootService()").empty();
      return 0;
    }
  };
  auto probe = std::make_shared<Probe>();
  probe->log = log;
  platform::appkit::AlertPresenter::setShared(probe);

  launch();

  ASSERT_EQ(probe->seen.size(), 1u);
  EXPECT_EQ(probe->seen[0].messageText, kRestartText);
  EXPECT_EQ(probe->seen[0].buttons, std::vector<std::string>{"Restart Vorellin"});
  EXPECT_TRUE(probe->markStillSet);
  EXPECT_FALSE(probe->rebootedBefore);
  EXPECT_FALSE(VrlUserDefault::shared().UpdateInstalled());
  // Written through to the file: another process sees it.
  EXPECT_EQ(AppUtils::shellResult("defaults read mac.com.trennelwick.vorellin UpdateInstalled").output, "0\n");
  EXPECT_EQ(log->texts(LogFlag::Info, "rebootService()"), std::vector<std::string>{"reboot service"});
  EXPECT_TRUE(serviceRegistered());
  EXPECT_EQ(exits, 0);
  ASSERT_NE(delegate, nullptr);

  // Without the mark a second start shows nothing.
  probe->seen.clear();
  Application::shared().resetForTesting();
  DAVApp::resetApps();
  launch();
  EXPECT_TRUE(probe->seen.empty());
}

TEST_F(AppShell, LaunchRecordsAndClosesTheWindowThenLoggersStatusItemMenuLoginItemEventsAndTimer) {
  registerService();
  std::filesystem::remove_all(platform::logging::LogFileManager::defaultLogsDirectory());
  launch();
  ASSERT_NE(delegate, nullptr);
  ASSERT_NE(initial, nullptr);
  std::shared_ptr<Window> window = initial->window();

  EXPECT_NE(delegate->updaterController, nullptr);
  EXPECT_EQ(delegate->mainWindowNumber, window->windowNumber());
  EXPECT_EQ(window->className(), "NSWindow");
  EXPECT_FALSE(window->isVisible());  // the last window is closed at launch ...
  EXPECT_EQ(Application::shared().windowWithWindowNumber(window->windowNumber()), window);  // ... but kept

  // Console, system log, then the file logger (a day per file, seven files), after which the first
  // line is written: the file's first line is the SDK notice.
  auto loggers = platform::logging::Log::shared().allLoggers();
  ASSERT_GE(loggers.size(), 3u);
  EXPECT_EQ(loggers[loggers.size() - 3], platform::logging::ConsoleLogger::shared());
  EXPECT_EQ(loggers[loggers.size() - 2], platform::logging::SystemLogger::shared());
  EXPECT_EQ(loggers.back(), delegate->fileLogger);
  EXPECT_EQ(delegate->fileLogger->rollingFrequency(), std::chrono::seconds(86400));
  EXPECT_EQ(delegate->fileLogger->logFileManager()->maximumNumberOfLogFiles(), 7u);
  platform::logging::Log::shared().flush();
  const std::string firstFile = readFile(delegate->fileLogger->currentLogFilePath());
  EXPECT_NE(firstFile.find("VavazuzeZud configured"), std::string::npos);
  EXPECT_EQ(firstFile.find('\n'), firstFile.size() - 1) << firstFile;  // nothing logged before it
  EXPECT_EQ(log->texts(LogFlag::Verbose, "applicationDidFinishLaunching(_:)"),
            std::vector<std::string>{"VavazuzeZud configured"});

  const std::string bundlePath = platform::Bundle::main()->bundlePath();
  EXPECT_EQ(AppService::loginItemServiceWithIdentifier(bundlePath)->status(), AppService::Status::Enabled);

  ASSERT_NE(delegate->statusItem, nullptr);
  EXPECT_EQ(delegate->statusItem->length(), -2.0);
  ASSERT_NE(delegate->statusItem->button()->image(), nullptr);
  EXPECT_EQ(delegate->statusItem->button()->image()->name(), "menuIcon");
  EXPECT_GT(delegate->statusItem->button()->image()->size().width, 0);
  auto menu = delegate->statusItem->menu();
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->items().size(), 2u);
  EXPECT_EQ(menu->items()[0]->title(), "Show Vorellin");
  EXPECT_EQ(menu->items()[0]->action(), "showAppWindow:");
  EXPECT_EQ(menu->items()[0]->keyEquivalent(), "V");
  EXPECT_EQ(menu->items()[0]->target(), nullptr);
  EXPECT_EQ(menu->items()[1]->title(), "Check for updates");
  EXPECT_EQ(menu->items()[1]->action(), "checkForUpdates:");
  EXPECT_EQ(menu->items()[1]->keyEquivalent(), "U");

  // Every picture the application names ships in its folder.
  for (const char* name : {"menuIcon", "VRL Active", "Circle On", "Circle Off", "eyeON", "eyeOFF"}) {
    auto image = platform::appkit::Image::named(name);
    ASSERT_NE(image, nullptr) << name;
    EXPECT_GT(image->size().height, 0) << name;
  }

  EXPECT_TRUE(delegate->reachability->isNotifierRunning());
  ASSERT_NE(delegate->fenwixHealthTimer, nullptr);
  EXPECT_TRUE(delegate->fenwixHealthTimer->isValid());
  EXPECT_TRUE(delegate->fenwixHealthTimer->repeats());
  EXPECT_EQ(delegate->fenwixHealthTimer->interval(), std::chrono::milliseconds(60000));
  auto first = delegate->fenwixHealthTimer;
  delegate->startFenwixHealthMonitoring();  // a second start replaces the timer
  EXPECT_FALSE(first->isValid());
  EXPECT_TRUE(delegate->fenwixHealthTimer->isValid());

  // Closing the window never quits the menu-bar application.
  window->makeKeyAndOrderFront(nullptr);
  window->performClose(nullptr);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(exits, 0);
  EXPECT_FALSE(Application::shared().isTerminated());
}

TEST_F(AppShell, NetworkWakeTimerAndQuitSignalRequestDnsWithTheirCallersAndQuitClearsTheResolvers) {
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"1.1.1.3"})});
  registerService();
  std::atomic<int> link{int(Reachability::Connection::None)};
  launch([&](AppDelegate& d) {
    d.reachability->setProbeForTesting([&] { return std::optional<Reachability::Connection>(Reachability::Connection(link.load())); });
  });
  ASSERT_NE(delegate, nullptr);
  auto settle = [] { AppUtils::dnsTransitionQueue()->sync([] {}); };
  Application::shared().processEvents();
  settle();
  EXPECT_TRUE(dnsCallers().empty());  // no connection yet: the reachable handler has not run

  link = int(Reachability::Connection::WiFi);
  delegate->reachability->pollNowForTesting();
  ASSERT_TRUE(runUntil([&] { settle(); return contains(dnsCallers(), "registerSystemEvent()"); }));
  EXPECT_EQ(log->texts(LogFlag::Debug, "registerSystemEvent()"), std::vector<std::string>{"Reach WiFi"});

  platform::appkit::Workspace::shared().installWakeSignalHandler();
  ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
  ASSERT_TRUE(runUntil([&] { settle(); return contains(dnsCallers(), "onWakeUp()"); }));
  EXPECT_EQ(log->texts(LogFlag::Debug, "onWakeUp()"), std::vector<std::string>{"Reach onWakeUp"});

  // The timer asks only with protection, the custom block list and the proxy all on.
  set(keys::kBlockerState, platform::Value(true));
  set(keys::kCustomBlacklist, platform::Value(true));
  set(keys::kFenwixState, platform::Value(false));
  delegate->fenwixHealthTimer->fire();
  settle();
  EXPECT_FALSE(contains(dnsCallers(), "startFenwixHealthMonitoring()"));
  set(keys::kFenwixState, platform::Value(true));
  int proxyChecks = 0;
  AppUtils::setFenwixServiceCheck([&](bool forceRestart) {
    EXPECT_FALSE(forceRestart);
    ++proxyChecks;
    return true;
  });
  delegate->fenwixHealthTimer->fire();
  settle();
  EXPECT_TRUE(contains(dnsCallers(), "startFenwixHealthMonitoring()"));
  EXPECT_EQ(proxyChecks, 1);  // the periodic proxy supervision

  // Quit: the clear is the last request, and it has run when terminate returns.
  EXPECT_EQ(current("Wi-Fi").dnsServers.size() > 0, true);
  auto timer = delegate->fenwixHealthTimer;
  Application::shared().installTerminationSignalHandlers();
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);  // a session's quit request
  ASSERT_TRUE(runUntil([&] { return exits == 1; }));
  EXPECT_EQ(dnsCallers().back(), "applicationWillTerminate(_:)");
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(delegate->fenwixHealthTimer, nullptr);
  EXPECT_FALSE(delegate->reachability->isNotifierRunning());
  EXPECT_TRUE(log->texts(LogFlag::Error, "applicationWillTerminate(_:)").empty());
}

TEST_F(AppShell, QuitWaitsAtMostFiveSecondsForTheDnsClearAndSaysSo) {
  registerService();
  launch();
  ASSERT_NE(delegate, nullptr);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  AppUtils::dnsTransitionQueue()->async([released] { released.wait(); });

  const auto start = std::chrono::steady_clock::now();
  Application::shared().terminate(nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::seconds(5));
  EXPECT_FALSE(contains(dnsCallers(), "applicationWillTerminate(_:)"));
  EXPECT_EQ(log->texts(LogFlag::Error, "applicationWillTerminate(_:)").size(), 1u);
  release.set_value();
  AppUtils::dnsTransitionQueue()->sync([] {});
  EXPECT_TRUE(contains(dnsCallers(), "applicationWillTerminate(_:)"));
}

TEST_F(AppShell, StatusMenuShowsTheMainWindowAndChecksForUpdates) {
  registerService();
  launch();
  ASSERT_NE(delegate, nullptr);
  auto window = initial->window();
  auto later = Window::make(Rect(0, 0, 200, 100));
  later->makeKeyAndOrderFront(nullptr);
  const size_t activations = Application::shared().activationCount();

  auto menu = delegate->statusItem->menu();
  ASSERT_TRUE(menu->itemWithTitle("Show Vorellin")->performAction());
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_FALSE(later->isVisible());
  EXPECT_EQ(Application::shared().activationCount(), activations + 1);
  EXPECT_TRUE(window->saveScreenshot(screenshotPath("main-window")));

  set(keys::kUpdateInstalled, platform::Value(true));
  ASSERT_TRUE(menu->itemWithTitle("Check for updates")->performAction());  // no feed file: the check aborts
  EXPECT_EQ(delegate->updaterController->updater().checkCount(), 1u);
  EXPECT_EQ(log->texts(LogFlag::Debug, "updater(_:didAbortWithError:)"),
            std::vector<std::string>{"updaterDidAbortWithError"});
  EXPECT_FALSE(VrlUserDefault::shared().UpdateInstalled());
}

TEST_F(AppShell, UpdaterCallbacksLogAndMarkTheInstalledUpdate) {
  registerService();
  launch();
  ASSERT_NE(delegate, nullptr);
  auto& updater = delegate->updaterController->updater();
  const std::string feed = updater.feedPath();
  ASSERT_EQ(feed, platform::systemPath("/Library/Application Support/Vorellin/appcast.plist"));
  std::filesystem::create_directories(std::filesystem::path(feed).parent_path());
  const std::string archive = "/Library/Application Support/Vorellin/Vorellin-2.0.zip";
  auto writeFeed = [&](const std::string& version, const std::string& url) {
    platform::Dictionary item{{"version", platform::Value(version)},
                              {"displayVersion", platform::Value("Vorellin " + version)},
                              {"url", platform::Value(url)}};
    ASSERT_TRUE(platform::writePropertyListFile(
        feed, platform::Value(platform::Dictionary{{"items", platform::Value(platform::Array{platform::Value(item)})}})));
  };
  auto debug = [&](const char* fn) { return log->texts(LogFlag::Debug, fn); };
  auto installed = [] { return VrlUserDefault::shared().UpdateInstalled(); };

  // Nothing newer than this build.
  writeFeed("1.0", "file://" + archive);  // 1.0 is 1.0.0
  set(keys::kUpdateInstalled, platform::Value(true));
  updater.checkForUpdates();
  EXPECT_EQ(debug("updaterDidNotFindUpdate(_:)"), std::vector<std::string>{"updaterDidNotFindUpdate"});
  EXPECT_FALSE(installed());

  // A newer version whose archive is missing.
  writeFeed("1.10", "file://" + archive);  // compared part by part: newer than 1.0.0
  set(keys::kUpdateInstalled, platform::Value(true));
  updater.checkForUpdates();
  EXPECT_EQ(debug("updater(_:failedToDownloadUpdate:error:)"), std::vector<std::string>{"updaterFailedToDownloadUpdate"});
  EXPECT_FALSE(installed());

  // Installed: the relaunch notice sets the mark; install and relaunch are recorded.
  std::ofstream(platform::systemPath(archive)) << "archive";
  updater.checkForUpdates();
  ASSERT_EQ(alerts->count(), 2u);  // asked twice: before the failed download and before this one
  EXPECT_EQ(alerts->alerts().back().buttons, (std::vector<std::string>{"Install Update", "Cancel"}));
  EXPECT_EQ(debug("updater(_:willInstallUpdate:)"), std::vector<std::string>{"willInstallUpdate file://" + archive + "|Vorellin 1.10"});
  EXPECT_EQ(debug("updaterShouldRelaunchApplication(_:)"), std::vector<std::string>{"updaterShouldRelaunchApplication"});
  EXPECT_EQ(debug("updaterWillRelaunchApplication(_:)"), std::vector<std::string>{"updaterWillRelaunchApplication"});
  EXPECT_TRUE(installed());
  EXPECT_TRUE(std::filesystem::exists(platform::systemPath("/Library/Application Support/Updater/install.plist")));
  EXPECT_TRUE(std::filesystem::exists(platform::systemPath("/Library/Application Support/Updater/relaunch.plist")));

  // A cancelled download after that relaunch notice clears the mark again.
  alerts->setAnswer(1);
  updater.checkForUpdates();
  EXPECT_EQ(debug("userDidCancelDownload(_:)"), std::vector<std::string>{"updaterUserDidCancelDownload"});
  EXPECT_FALSE(installed());

  // An item without a file URL.
  delegate->updaterWillInstallUpdate(updater, platform::updater::AppcastItem{"31", "3.1", std::nullopt});
  EXPECT_EQ(debug("updater(_:willInstallUpdate:)").back(), "willInstallUpdate unknown|3.1");

  // An unreadable feed aborts.
  std::ofstream(feed, std::ios::trunc) << "not a property list";
  set(keys::kUpdateInstalled, platform::Value(true));
  updater.checkForUpdates();
  EXPECT_EQ(debug("updater(_:didAbortWithError:)"), std::vector<std::string>{"updaterDidAbortWithError"});
  EXPECT_FALSE(installed());
}

TEST_F(AppShell, WindowTrackingRecordsTheLastPlainWindowAndShowingItClosesLaterOnes) {
  registerService();
  auto made = std::make_shared<AppDelegate>();
  Application::shared().setDelegate(made);
  delegate = made;

  // Nothing recorded yet: the first plain window comes forward, nothing is closed.
  auto panelFirst = Panel::make(Rect(0, 0, 100, 100));
  auto a = Window::make(Rect(0, 0, 300, 200));
  auto b = Window::make(Rect(0, 0, 300, 200));
  panelFirst->orderFront(nullptr);
  b->orderFront(nullptr);
  AppUtils::showMainWindow();
  EXPECT_TRUE(a->isVisible());
  EXPECT_TRUE(a->isKeyWindow());
  EXPECT_TRUE(b->isVisible());
  EXPECT_TRUE(panelFirst->isVisible());

  auto panel = Panel::make(Rect(0, 0, 100, 100));  // later than b, but not a plain window
  AppUtils::recordMainWindowNumber();
  EXPECT_EQ(made->mainWindowNumber, b->windowNumber());
  auto c = Window::make(Rect(0, 0, 300, 200));
  AppUtils::recordMainWindowNumber();  // recorded once, never replaced
  EXPECT_EQ(made->mainWindowNumber, b->windowNumber());

  c->orderFront(nullptr);
  panel->orderFront(nullptr);
  const size_t activations = Application::shared().activationCount();
  AppUtils::showMainWindow();
  EXPECT_TRUE(b->isVisible());
  EXPECT_TRUE(b->isKeyWindow());
  EXPECT_EQ(Application::shared().activationCount(), activations + 1);
  EXPECT_FALSE(c->isVisible());
  EXPECT_FALSE(panel->isVisible());
  EXPECT_TRUE(a->isVisible());           // lower numbers stay
  EXPECT_TRUE(panelFirst->isVisible());
  // Windows without a controller go away when closed; the list keeps the rest in creation order.
  auto list = Application::shared().windows();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], panelFirst);
  EXPECT_EQ(list[1], a);
  EXPECT_EQ(list[2], b);

  // The application's window controller closes its window itself and refuses the platform's close.
  auto controller = std::make_shared<WindowController>();
  controller->setWindow(a);
  EXPECT_FALSE(controller->windowShouldClose(*a));
  EXPECT_FALSE(a->isVisible());
  b->makeKeyAndOrderFront(nullptr);
  a->makeKeyAndOrderFront(nullptr);
  a->performClose(nullptr);  // the close button
  EXPECT_FALSE(a->isVisible());
  EXPECT_EQ(Application::shared().windowWithWindowNumber(a->windowNumber()), a);  // kept by its controller
}

// Records its life cycle, and what it sees when it starts to appear.
class RecordingController : public ViewController {
 public:
  static std::vector<std::string>& events() {
    static std::vector<std::string> e;
    return e;
  }
  std::string name;
  double alphaAtWillAppear = -1;
  bool contentAtWillAppear = false;
  void viewDidLoad() override { events().push_back(name + " viewDidLoad"); }
  void viewWillAppear() override {
    events().push_back(name + " viewWillAppear");
    alphaAtWillAppear = view()->alphaValue();
  }
  void viewDidAppear() override {
    events().push_back(name + " viewDidAppear");
    contentAtWillAppear = window() && window()->contentViewController().get() == this;
  }
  void viewWillDisappear() override { events().push_back(name + " viewWillDisappear"); }
  void viewDidDisappear() override { events().push_back(name + " viewDidDisappear"); }
};

void registerRecording(const std::string& cls) {
  platform::appkit::Storyboard::registerViewControllerClass(cls, [cls] {
    auto c = std::make_shared<RecordingController>();
    c->name = cls;
    return c;
  });
}

TEST_F(AppShell, PresentationFadesTheOldViewOutThenSwapsTheContentAndFadesTheNewOneIn) {
  registerRecording("Loading");
  registerRecording("Login");
  RecordingController::events().clear();
  registerService();
  launch();
  ASSERT_NE(initial, nullptr);
  auto window = initial->window();
  auto loading = std::dynamic_pointer_cast<RecordingController>(window->contentViewController());
  ASSERT_NE(loading, nullptr);
  AppUtils::showMainWindow();

  // From a view in no window: nothing shows, nothing changes.
  auto loose = std::make_shared<ViewController>();
  auto notShown = presentStoryboardScene(loose, "Login");
  ASSERT_NE(notShown, nullptr);
  EXPECT_FALSE(notShown->isViewLoaded());
  EXPECT_EQ(loose->view()->alphaValue(), 1.0);
  EXPECT_EQ(window->contentViewController(), loading);

  // Real fades: during the fade the old view is still the content.
  platform::appkit::AnimationContext::setInstantAnimationsForTesting(false);
  auto login = std::dynamic_pointer_cast<RecordingController>(presentStoryboardScene(loading, "Login"));
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(window->contentViewController(), loading);
  EXPECT_EQ(login->presentingViewController(), loading);
  ASSERT_TRUE(runUntil([&] { return window->contentViewController() == login; }, 5000));
  EXPECT_EQ(login->alphaAtWillAppear, 0.0);
  EXPECT_EQ(loading->view()->alphaValue(), 0.0);
  EXPECT_TRUE(login->contentAtWillAppear);
  ASSERT_TRUE(runUntil([&] { return login->view()->alphaValue() == 1.0; }, 5000));
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->contentView(), login->view());
  EXPECT_EQ(login->view()->window(), window);
  EXPECT_EQ(loading->view()->window(), nullptr);
  EXPECT_TRUE(window->saveScreenshot(screenshotPath("presented-login")));

  EXPECT_EQ(RecordingController::events(),
            (std::vector<std::string>{
                "Loading viewDidLoad", "Loading viewWillAppear", "Loading viewDidAppear",      // shown at launch
                "Loading viewWillDisappear", "Loading viewDidDisappear",                       // closed at launch
                "Loading viewWillAppear", "Loading viewDidAppear",                             // Show Vorellin
                "Login viewDidLoad", "Loading viewWillDisappear", "Login viewWillAppear",      // presentation
                "Loading viewDidDisappear", "Login viewDidAppear"}));
}

TEST_F(AppShell, TheInstalledProgramRegistersItsServiceFirstThenRunsAndClearsTheDnsWhenQuit) {
  const std::string installed = platform::systemPath("/Applications/Vorellin.app/Contents/MacOS/Vorellin");
  std::filesystem::copy_file(builtAppBundle() + "/Contents/MacOS/Vorellin", installed);
  const std::string exe = platform::shellQuote(installed);
  writeServices({service("Wi-Fi", true, {"192.168.1.1"}, {"1.1.1.3"})});

  // First start: no service yet, so it loads it and quits.
  platform::ShellCapture first = platform::runShellCapturingErrors("VRL_QUIT_AFTER_LAUNCH=1 " + exe);
  EXPECT_EQ(first.status, 0) << first.errorOutput;
  EXPECT_NE(first.output.find("FILE AVAILABLE\n"), std::string::npos) << first.output;
  EXPECT_TRUE(serviceRegistered());
  EXPECT_EQ(current("Wi-Fi").dnsServers, std::vector<std::string>{"1.1.1.3"});  // it never launched

  // Second start: the window comes up; a session's quit request ends it through the quit sequence.
  const std::string err = root_ + "/app-stderr";
  platform::ShellCapture second = platform::runShellCapturingErrors(
      "VRL_LAUNCH_REPORT=1 " + exe + " 2>" + platform::shellQuote(err) + " & pid=$!; for i in $(seq 1 400); do grep -q 'first window shown' " +
      platform::shellQuote(err) + " && break; sleep 0.05; done; kill -TERM $pid; wait $pid; echo \"exit=$?\"");
  EXPECT_NE(second.output.find("exit=0"), std::string::npos) << second.output << readFile(err);
  EXPECT_NE(readFile(err).find("first window shown"), std::string::npos);
  EXPECT_EQ(second.output.find("FILE"), std::string::npos);
  EXPECT_TRUE(current("Wi-Fi").dnsServers.empty());

  // A FIFO where the settings belong is no settings file: the start does not wait for a writer, and a
  // quit request still ends the program (timeout kills one that stays).
  const std::string settings = prefs()->filePath();
  std::filesystem::remove(settings);
  std::filesystem::create_directories(std::filesystem::path(settings).parent_path());
  ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0);
  platform::ShellCapture overFifo = platform::runShellCapturingErrors(
      "VRL_LAUNCH_REPORT=1 timeout -s KILL 60 " + exe + " 2>" + platform::shellQuote(err) + " & pid=$!; for i in $(seq 1 400); do grep -q 'first window shown' " +
      platform::shellQuote(err) + " && break; sleep 0.05; done; kill -TERM $pid; wait $pid; echo \"exit=$?\"");
  EXPECT_NE(overFifo.output.find("exit=0"), std::string::npos) << overFifo.output << readFile(err);
  EXPECT_NE(readFile(err).find("first window shown"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_fifo(settings)) << "unreadable settings are never written over unasked";
}

TEST_F(AppShell, MainServiceRunsLaunchctlWhateverTheLogLevel) {
  auto main = std::make_shared<Main>();
  platform::logging::setDynamicLogLevel(platform::logging::LogLevel::Debug);
  main->Service("load");
  EXPECT_TRUE(serviceRegistered());
  EXPECT_TRUE(log->texts(LogFlag::Verbose, "Service(command:)").empty());
  platform::logging::setDynamicLogLevel(platform::logging::LogLevel::All);
  main->Service("unload");
  EXPECT_FALSE(serviceRegistered());
  EXPECT_EQ(log->texts(LogFlag::Verbose, "Service(command:)").size(), 1u);
}

}  // namespace
}  // namespace vorellin::testing
