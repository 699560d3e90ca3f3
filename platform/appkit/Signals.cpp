#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/appkit/QtSupport.h"
#include "platform/dispatch/Queue.h"

namespace platform::appkit {

namespace {

// The handler only writes the signal's number into a pipe; the main loop reads it and runs the
// signal's action on the main thread.
int signalPipe[2] = {-1, -1};

void onSignal(int signo) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  if (signalPipe[1] >= 0) (void)::write(signalPipe[1], &byte, 1);
  errno = saved;
}

std::mutex& actionsMutex() {
  static std::mutex m;
  return m;
}
std::map<int, std::function<void()>>& actions() {
  static auto* a = new std::map<int, std::function<void()>>();
  return *a;
}

}  // namespace

void qt::handleSignal(int signo, std::function<void()> action) {
  ensureApplication();
  if (signalPipe[0] < 0) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read);  // lives as long as the process
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
      unsigned char buffer[64];
      ssize_t n;
      while ((n = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
          std::function<void()> run;
          {
            std::lock_guard<std::mutex> lock(actionsMutex());
            auto it = actions().find(buffer[i]);
            if (it != actions().end()) run = it->second;
          }
          if (run) dispatch::Queue::main()->async(run);
        }
      }
    });
  }
  {
    std::lock_guard<std::mutex> lock(actionsMutex());
    actions()[signo] = std::move(action);
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(signo, &sa, nullptr);
}

}  // namespace platform::appkit
