#include "platform/appkit/Application.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/QtSupport.h"
#include "platform/appkit/StatusBar.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/ViewController.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/WindowController.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/logging/Log.h"

namespace platform::appkit {

namespace {

// The main queue and main-loop timers run inside Qt's event loop: a wake posts one drain; a drain
// that leaves timers waiting arms a single-shot Qt timer for the next one.
std::atomic<bool> drainPosted{false};
QTimer* nextTimerFire = nullptr;

void drainMainLoop();

void postDrain() {
  if (drainPosted.exchange(true)) return;
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { drainMainLoop(); }, Qt::QueuedConnection);
}

void drainMainLoop() {
  drainPosted = false;
  std::optional<std::chrono::milliseconds> wait = dispatch::RunLoop::drain();
  if (!wait) return;
  if (wait->count() == 0) {
    postDrain();
  } else if (nextTimerFire) {
    nextTimerFire->start(int(std::min<int64_t>(wait->count(), 24LL * 3600 * 1000)));
  }
}

// Shows alerts as Qt message boxes, modal on the main thread.
class QtAlertPresenter : public AlertPresenter {
 public:
  size_t runModal(const Alert& alert) override {
    QMessageBox box;
    box.setText(qt::q(alert.messageText));
    box.setInformativeText(qt::q(alert.informativeText));
    box.setIcon(alert.style == AlertStyle::Critical        ? QMessageBox::Critical
                : alert.style == AlertStyle::Informational ? QMessageBox::Information
                                                           : QMessageBox::Warning);
    std::vector<QAbstractButton*> buttons;
    std::vector<std::string> titles = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (size_t i = 0; i < titles.size(); ++i) {
      QPushButton* b = box.addButton(qt::q(titles[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
      if (i == 0) box.setDefaultButton(b);
      buttons.push_back(b);
    }
    box.exec();
    for (size_t i = 0; i < buttons.size(); ++i)
      if (box.clickedButton() == buttons[i]) return i;
    return 0;
  }
};

// Start-up figures on standard error, for benchmarks and scripts that wait for the window.
bool launchReport() { return std::getenv("VRL_LAUNCH_REPORT") || std::getenv("VRL_QUIT_AFTER_LAUNCH"); }

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace

void qt::ensureApplication(int* argc, char** argv) {
  if (QCoreApplication::instance()) return;
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int fallbackArgc = 1;
  static char name[] = "Vorellin";
  static char* fallbackArgv[] = {name, nullptr};
  if (!argc || !argv) {
    argc = &fallbackArgc;
    argv = fallbackArgv;
  }
  auto* app = new QApplication(*argc, argv);  // lives as long as the process
  app->setQuitOnLastWindowClosed(false);      // the application decides through its delegate
  nextTimerFire = new QTimer(app);
  nextTimerFire->setSingleShot(true);
  QObject::connect(nextTimerFire, &QTimer::timeout, app, [] { drainMainLoop(); });
  dispatch::RunLoop::setWakeHook([] { postDrain(); });
  postDrain();
}

Application::Application() { qt::ensureApplication(); }

Application& Application::shared() {
  static Application* app = new Application();  // never destroyed: callbacks may come at exit
  return *app;
}

std::vector<std::shared_ptr<Window>> Application::windows() const { return windows_; }

std::shared_ptr<Window> Application::windowWithWindowNumber(int64_t number) const {
  for (const auto& w : windows_)
    if (w->windowNumber() == number) return w;
  return nullptr;
}

std::shared_ptr<Window> Application::keyWindow() const {
  for (const auto& w : windows_)
    if (w.get() == keyWindow_) return w;
  return nullptr;
}

void Application::activateIgnoringOtherApps(bool) {
  active_ = true;
  ++activations_;
  if (auto key = keyWindow())
    if (key->widget() && QGuiApplication::platformName() != "offscreen") key->widget()->activateWindow();
}

bool Application::sendAction(const std::string& action, const std::shared_ptr<Responder>& target, Object* sender) {
  if (action.empty()) return false;
  if (target) return target->tryToPerform(action, sender);
  if (auto key = keyWindow()) {
    if (auto content = key->contentViewController())
      if (content->tryToPerform(action, sender)) return true;
    if (auto controller = key->windowController())
      if (controller->tryToPerform(action, sender)) return true;
    if (key->tryToPerform(action, sender)) return true;
  }
  if (tryToPerform(action, sender)) return true;
  auto d = delegate_;
  return d && d->tryToPerform(action, sender);
}

void Application::finishLaunching() {
  Notification n{kApplicationDidFinishLaunchingNotification, this, {}};
  notificationCenter().post(n.name, this);
  if (auto d = delegate_) d->applicationDidFinishLaunching(n);
}

void Application::run() {
  running_ = true;
  QApplication::exec();
  running_ = false;
}

void Application::terminate(Object*) {
  if (terminated_) return;
  terminated_ = true;
  Notification n{kApplicationWillTerminateNotification, this, {}};
  notificationCenter().post(n.name, this);
  if (auto d = delegate_) d->applicationWillTerminate(n);
  if (exitHandler_) {
    exitHandler_();
    return;
  }
  logging::Log::shared().flush();
  std::fflush(nullptr);
  ::_exit(exitStatus_);  // as the platform does: the process ends here, without unwinding the event loop
}

void Application::installTerminationSignalHandlers() {
  for (int signo : {SIGTERM, SIGINT}) qt::handleSignal(signo, [] { Application::shared().terminate(nullptr); });
}

void Application::processEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  drainMainLoop();
}

bool Application::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;  // bounds each wait: the predicate may turn true without any event
  tick.start(5);
  for (;;) {
    processEvents();
    if (pred()) return true;
    if (clock.elapsed() >= timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

std::string Application::platformName() {
  qt::ensureApplication();
  return qt::s(QGuiApplication::platformName());
}

void Application::setExitHandlerForTesting(std::function<void()> handler) { exitHandler_ = std::move(handler); }

void Application::resetForTesting() {
  std::vector<std::shared_ptr<Window>> all = windows_;
  for (auto& w : all) {
    w->orderOut(nullptr);
    w->setContentViewController(nullptr);
  }
  windows_.clear();
  keyWindow_ = nullptr;
  delegate_.reset();
  terminated_ = false;
  active_ = false;
  activations_ = 0;
  running_ = false;
  for (auto& item : StatusBar::systemStatusBar().items()) StatusBar::systemStatusBar().removeStatusItem(item);
  processEvents();
}

void Application::addWindow(const std::shared_ptr<Window>& window) {
  windows_.push_back(window);
  std::stable_sort(windows_.begin(), windows_.end(),
                   [](const auto& a, const auto& b) { return a->windowNumber() < b->windowNumber(); });
}

void Application::removeWindow(const Window* window) {
  windows_.erase(std::remove_if(windows_.begin(), windows_.end(), [&](const auto& w) { return w.get() == window; }),
                 windows_.end());
}

void Application::windowBecameKey(const Window* window) { keyWindow_ = window; }

void Application::windowClosed(const Window* window) {
  if (keyWindow_ == window) keyWindow_ = nullptr;
  if (window->isReleasedWhenClosed()) removeWindow(window);
  const bool anyVisible = std::any_of(windows_.begin(), windows_.end(), [](const auto& w) { return w->isVisible(); });
  if (!anyVisible && delegate_ && delegate_->applicationShouldTerminateAfterLastWindowClosed(*this)) terminate(nullptr);
}

std::shared_ptr<WindowController> launchApplication(
    const std::function<std::shared_ptr<ApplicationDelegate>()>& makeDelegate) {
  Application& app = Application::shared();
  std::shared_ptr<ApplicationDelegate> delegate = makeDelegate();
  if (app.isTerminated()) return nullptr;
  app.setDelegate(delegate);
  std::shared_ptr<WindowController> initial;
  std::shared_ptr<Bundle> bundle = Bundle::main();
  const Value* storyboardName = bundle ? bundle->objectForInfoDictionaryKey("NSMainStoryboardFile") : nullptr;
  if (storyboardName && storyboardName->asString()) {
    initial = Storyboard::storyboardWithName(*storyboardName->asString(), bundle)->instantiateInitialController();
    if (initial) initial->showWindow(nullptr);
  }
  if (launchReport()) std::cerr << "first window shown" << std::endl;
  app.finishLaunching();
  return initial;
}

int applicationMain(int argc, char** argv, const std::function<std::shared_ptr<ApplicationDelegate>()>& makeDelegate) {
  static int savedArgc = argc;  // Qt keeps a reference to it
  qt::ensureApplication(&savedArgc, argv);
  Application& app = Application::shared();
  AlertPresenter::setShared(std::make_shared<QtAlertPresenter>());
  Workspace::shared().installWakeSignalHandler();
  app.installTerminationSignalHandlers();
  std::shared_ptr<WindowController> initial = launchApplication(makeDelegate);
  if (launchReport()) std::cerr << "resident after launch: " << residentKilobytes() << " kB" << std::endl;
  if (std::getenv("VRL_QUIT_AFTER_LAUNCH")) app.terminate(nullptr);
  app.run();
  return 0;
}

}  // namespace platform::appkit

#if defined(__SANITIZE_ADDRESS__)
// The desktop libraries under Qt keep caches for the life of the process (font configuration, the
// session bus); they are not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
#endif
