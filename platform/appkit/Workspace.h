// The shared workspace: opening URLs in the default browser, and the workspace notifications (the
// wake-from-sleep notification is posted when the process receives SIGUSR1).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.h"

namespace platform::appkit {

inline constexpr const char* kWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";

class Workspace {
 public:
  static Workspace& shared();

  // False when the text is no valid absolute URL or nothing could open it.
  bool openURL(const std::string& url);
  // Replaces the browser hand-off (tests); nullptr restores the desktop's default handler.
  void setURLOpenerForTesting(std::function<bool(const std::string& url)> opener);

  NotificationCenter& notificationCenter() { return center_; }

  // From now on SIGUSR1 posts kWorkspaceDidWakeNotification on the main queue. Idempotent.
  void installWakeSignalHandler();
  // Posts kWorkspaceDidWakeNotification on the calling thread.
  void postDidWake();

 private:
  Workspace() = default;
  NotificationCenter center_;
  std::function<bool(const std::string&)> opener_;
};

}  // namespace platform::appkit
