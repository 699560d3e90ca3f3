#include "platform/appkit/Workspace.h"

#include <signal.h>

#include <QDesktopServices>
#include <QUrl>

#include "platform/appkit/QtSupport.h"

namespace platform::appkit {

Workspace& Workspace::shared() {
  static auto* workspace = new Workspace();
  return *workspace;
}

bool Workspace::openURL(const std::string& url) {
  const QUrl parsed(qt::q(url), QUrl::StrictMode);
  if (!parsed.isValid() || parsed.scheme().isEmpty()) return false;
  if (opener_) return opener_(url);
  qt::ensureApplication();
  return QDesktopServices::openUrl(parsed);
}

void Workspace::setURLOpenerForTesting(std::function<bool(const std::string&)> opener) { opener_ = std::move(opener); }

void Workspace::postDidWake() { center_.post(kWorkspaceDidWakeNotification, this); }

void Workspace::installWakeSignalHandler() {
  qt::handleSignal(SIGUSR1, [] { Workspace::shared().postDidWake(); });
}

}  // namespace platform::appkit
