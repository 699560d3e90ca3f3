// The proxy's "-service" commands: install (a launch daemon property list), start (a detached daemon),
// restart and uninstall. The simulated Mac keeps the property list, the daemon's pid and its log under
// the platform root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace vorellin::fenwix {

class ServiceController {
 public:
  static constexpr const char* kLabel = "dnscrypt-proxy";
  static constexpr const char* kPlistPath = "/Library/LaunchDaemons/dnscrypt-proxy.plist";
  static constexpr const char* kPidPath = "/private/var/run/dnscrypt-proxy.pid";
  static constexpr const char* kLogPath = "/private/var/log/dnscrypt-proxy.log";
  static constexpr const char* kConfigName = "dnscrypt-proxy.toml";
  // The daemon tells the starter it listens ("ready <pid>") or why it cannot (any other line) here.
  static constexpr const char* kReadyFdEnv = "VRL_FENWIX_READY_FD";

  // executablePath: this program as invoked; the daemon runs it from the folder it lies in.
  ServiceController(std::string executablePath, std::ostream& out, std::ostream& err);

  // How long start and restart wait for the daemon's "ready" before they kill it.
  static constexpr std::chrono::milliseconds kReadyTimeout{10000};
  void setReadyTimeoutForTesting(std::chrono::milliseconds timeout) { readyTimeout_ = timeout; }

  // Exit status of "-service <action>": 0 done, 1 failed, 2 unknown action.
  int run(const std::string& action);
  int install();
  int start();
  int restart();
  int uninstall();

  // The pid of the running daemon, or 0 (no pid file, process gone, a zombie, or another program).
  static pid_t runningPid();

 private:
  std::vector<std::string> daemonArguments() const;
  bool readInstalled(std::vector<std::string>* arguments, std::string* workingDirectory, std::string* why);
  bool launch(const std::vector<std::string>& arguments, const std::string& workingDirectory, std::string* why);
  bool stopRunning(std::string* why);
  int fail(const std::string& verb, const std::string& why);

  std::string executablePath_;
  std::ostream& out_;
  std::ostream& err_;
  std::chrono::milliseconds readyTimeout_ = kReadyTimeout;
};

// This program's path from argv[0] (made absolute, symlinks kept); /proc/self/exe as the fallback.
std::string invokedExecutablePath(const char* argv0);

}  // namespace vorellin::fenwix
