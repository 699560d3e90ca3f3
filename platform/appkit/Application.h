// The shared application: the window list, the delegate, target/action dispatch, termination, and
// the main loop (Qt's event loop, which also drains the main dispatch queue and fires main-loop
// timers). Qt runs offscreen when the process has no display.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/Responder.h"
#include "platform/foundation/NotificationCenter.h"

namespace platform::appkit {

class Window;

inline constexpr const char* kApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

class Application;

class ApplicationDelegate : public Responder {
 public:
  virtual void applicationDidFinishLaunching(const Notification& notification) {}
  virtual void applicationWillTerminate(const Notification& notification) {}
  virtual bool applicationShouldTerminateAfterLastWindowClosed(Application& sender) { return false; }
};

class Application : public Responder {
 public:
  // The one application object; makes the Qt application on first use.
  static Application& shared();
  std::string className() const override { return "NSApplication"; }

  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

  // In list order: ascending window number.
  std::vector<std::shared_ptr<Window>> windows() const;
  std::shared_ptr<Window> windowWithWindowNumber(int64_t number) const;
  std::shared_ptr<Window> keyWindow() const;

  void activateIgnoringOtherApps(bool ignore);
  bool isActive() const { return active_; }
  size_t activationCount() const { return activations_; }

  // Sends the action to the target, or along the responder chain: the key window's content view
  // controller, its window controller, the window, the application, the delegate. True when
  // someone performed it.
  bool sendAction(const std::string& action, const std::shared_ptr<Responder>& target, Object* sender);

  // Posts the launch notification and tells the delegate.
  void finishLaunching();
  bool isRunning() const { return running_; }
  // The main loop, until terminate.
  void run();

  // Tells the delegate and ends the process. Returns only when a test has replaced the exit.
  void terminate(Object* sender);
  // The status terminate ends the process with (0 unless a program that failed says otherwise).
  void setExitStatus(int status) { exitStatus_ = status; }
  bool isTerminated() const { return terminated_; }

  // From now on SIGTERM and SIGINT quit the application as the quit command does (the delegate is told).
  void installTerminationSignalHandlers();

  // Runs events, main-queue work and timers until pred() is true or the timeout passes.
  bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // Runs what is due now (events, main-queue work, due timers).
  void processEvents();

  // How terminate ends the process (default: flush the logs and exit with the exit status).
  void setExitHandlerForTesting(std::function<void()> handler);
  // Closes every window, drops the delegate and the termination mark.
  void resetForTesting();

  // The window system in use: "offscreen", "xcb", "wayland", ...
  static std::string platformName();

  NotificationCenter& notificationCenter() { return NotificationCenter::defaultCenter(); }

  // Internal: window bookkeeping.
  void addWindow(const std::shared_ptr<Window>& window);
  void removeWindow(const Window* window);
  void windowBecameKey(const Window* window);
  void windowClosed(const Window* window);

 private:
  Application();
  std::shared_ptr<ApplicationDelegate> delegate_;
  std::vector<std::shared_ptr<Window>> windows_;
  const Window* keyWindow_ = nullptr;
  bool active_ = false;
  size_t activations_ = 0;
  bool running_ = false;
  bool terminated_ = false;
  int exitStatus_ = 0;
  std::function<void()> exitHandler_;
};

class WindowController;

// The launch part of the program's entry, without the main loop: makes the delegate and sets it,
// shows the initial controller of the main storyboard (when the bundle names one) and finishes
// launching. Returns the initial window controller (nullptr without a storyboard). Nothing runs after
// a termination during the delegate's initialiser.
std::shared_ptr<WindowController> launchApplication(
    const std::function<std::shared_ptr<ApplicationDelegate>()>& makeDelegate);

// The program's entry: makes the shared application, installs the on-screen alert presenter, the
// wake signal and the termination signals, makes the delegate, shows the initial controller of the storyboard named under
// "NSMainStoryboardFile" in the main bundle's Info.plist, finishes launching and runs the main loop.
// With VRL_LAUNCH_REPORT set it writes "first window shown" and, once launched, "resident after
// launch: <n> kB" to standard error; VRL_QUIT_AFTER_LAUNCH does the same and then terminates.
int applicationMain(int argc, char** argv, const std::function<std::shared_ptr<ApplicationDelegate>()>& makeDelegate);

}  // namespace platform::appkit
