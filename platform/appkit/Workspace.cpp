#include "platform/appkit/Workspace.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QSocketNotifier>
#include <QUrl>

#include "platform/appkit/QtSupport.h"
#include "platform/dispatch/Queue.h"

namespace platform::appkit {

namespace {

int wakePipe[2] = {-1, -1};

void onWakeSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (wakePipe[1] >= 0) (void)::write(wakePipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

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
  if (wakePipe[0] >= 0) return;
  qt::ensureApplication();
  if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read);  // lives as long as the process
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
    char buffer[64];
    bool woke = false;
    while (::read(wakePipe[0], buffer, sizeof buffer) > 0) woke = true;
    if (woke) dispatch::Queue::main()->async([] { Workspace::shared().postDidWake(); });
  });
  struct sigaction action {};
  action.sa_handler = onWakeSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGUSR1, &action, nullptr);
}

}  // namespace platform::appkit
