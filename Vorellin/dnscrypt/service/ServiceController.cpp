#include "Vorellin/dnscrypt/service/ServiceController.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"

namespace vorellin::fenwix {
namespace fs = std::filesystem;
namespace {

constexpr auto kStopWait = std::chrono::seconds(5);

std::string dirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Alive and not a zombie waiting for its parent.
bool isLive(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  char state = stat[close + 2];
  return state != 'Z' && state != 'X';
}

bool makeParents(const std::string& path) {
  std::error_code ec;
  fs::create_directories(dirName(path), ec);
  return !ec;
}

}  // namespace

std::string invokedExecutablePath(const char* argv0) {
  std::string path = argv0 ? argv0 : "";
  if (path.find('/') == std::string::npos) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? path : self.string();
  }
  if (path[0] != '/') {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    if (!ec) path = (cwd / path).lexically_normal().string();
  }
  return path;
}

ServiceController::ServiceController(std::string executablePath, std::ostream& out, std::ostream& err)
    : executablePath_(std::move(executablePath)), out_(out), err_(err) {}

int ServiceController::run(const std::string& action) {
  if (action == "install") return install();
  if (action == "start") return start();
  if (action == "restart") return restart();
  if (action == "uninstall") return uninstall();
  err_ << "Unknown service action \"" << action << "\". Valid actions: install, start, restart, uninstall"
       << std::endl;
  return 2;
}

int ServiceController::fail(const std::string& verb, const std::string& why) {
  err_ << "Failed to " << verb << " " << kLabel << ": " << why << std::endl;
  return 1;
}

std::vector<std::string> ServiceController::daemonArguments() const {
  return {executablePath_, "-config", dirName(executablePath_) + "/" + kConfigName};
}

int ServiceController::install() {
  const std::string plist = platform::systemPath(kPlistPath);
  if (::access(plist.c_str(), F_OK) == 0) return fail("install", std::string("Init already exists: ") + kPlistPath);
  platform::Array arguments;
  for (const auto& a : daemonArguments()) arguments.emplace_back(a);
  platform::Dictionary d;
  d["Label"] = kLabel;
  d["ProgramArguments"] = arguments;
  d["WorkingDirectory"] = dirName(executablePath_);
  d["RunAtLoad"] = true;
  d["KeepAlive"] = true;
  d["StandardOutPath"] = kLogPath;
  d["StandardErrorPath"] = kLogPath;
  std::string why;
  if (!makeParents(plist) || !platform::writePropertyListFile(plist, platform::Value(d), &why)) {
    return fail("install", why.empty() ? "cannot write " + std::string(kPlistPath) : why);
  }
  out_ << "Installed as a service: " << kPlistPath << std::endl;
  return 0;
}

bool ServiceController::readInstalled(std::vector<std::string>* arguments, std::string* workingDirectory,
                                      std::string* why) {
  const std::string plist = platform::systemPath(kPlistPath);
  if (::access(plist.c_str(), F_OK) != 0) {
    *why = "the service is not installed";
    return false;
  }
  std::optional<platform::Value> v = platform::readPropertyListFile(plist, why);
  const platform::Dictionary* d = v ? v->asDictionary() : nullptr;
  const platform::Value* args = d ? v->find("ProgramArguments") : nullptr;
  if (!args || !args->asArray() || args->asArray()->empty()) {
    *why = std::string("no ProgramArguments in ") + kPlistPath;
    return false;
  }
  for (const auto& a : *args->asArray()) {
    if (!a.asString()) {
      *why = std::string("bad ProgramArguments in ") + kPlistPath;
      return false;
    }
    arguments->push_back(*a.asString());
  }
  const platform::Value* wd = v->find("WorkingDirectory");
  *workingDirectory = wd && wd->asString() ? *wd->asString() : "/";
  return true;
}

int ServiceController::start() {
  std::vector<std::string> arguments;
  std::string workingDirectory, why;
  if (!readInstalled(&arguments, &workingDirectory, &why)) return fail("start", why);
  if (runningPid() != 0) {
    out_ << "Service is already running" << std::endl;
    return 0;
  }
  if (!launch(arguments, workingDirectory, &why)) return fail("start", why);
  out_ << "Service started" << std::endl;
  return 0;
}

int ServiceController::restart() {
  std::vector<std::string> arguments;
  std::string workingDirectory, why;
  if (!readInstalled(&arguments, &workingDirectory, &why)) return fail("restart", why);
  if (!stopRunning(&why) || !launch(arguments, workingDirectory, &why)) return fail("restart", why);
  out_ << "Service restarted" << std::endl;
  return 0;
}

int ServiceController::uninstall() {
  const std::string plist = platform::systemPath(kPlistPath);
  if (::access(plist.c_str(), F_OK) != 0) return fail("uninstall", "the service is not installed");
  std::string why;
  if (!stopRunning(&why)) return fail("uninstall", why);
  if (::unlink(plist.c_str()) != 0) return fail("uninstall", std::strerror(errno));
  out_ << "Service uninstalled" << std::endl;
  return 0;
}

pid_t ServiceController::runningPid() {
  std::string text = readFile(platform::systemPath(kPidPath));
  char* end = nullptr;
  long pid = std::strtol(text.c_str(), &end, 10);
  if (pid <= 0 || end == text.c_str() || !isLive(static_cast<pid_t>(pid))) return 0;
  // A recycled pid belongs to some other program.
  std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
  if (cmdline.find(std::string("\0-config\0", 9)) == std::string::npos) return 0;
  return static_cast<pid_t>(pid);
}

bool ServiceController::stopRunning(std::string* why) {
  const std::string pidPath = platform::systemPath(kPidPath);
  pid_t pid = runningPid();
  if (pid != 0) {
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (isLive(pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (isLive(pid)) {
      ::kill(pid, SIGKILL);
      for (int i = 0; i < 50 && isLive(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (isLive(pid)) {
      *why = "process " + std::to_string(pid) + " does not stop";
      return false;
    }
  }
  ::unlink(pidPath.c_str());
  return true;
}

bool ServiceController::launch(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                               std::string* why) {
  const std::string logPath = platform::systemPath(kLogPath);
  const std::string pidPath = platform::systemPath(kPidPath);
  if (!makeParents(logPath) || !makeParents(pidPath)) {
    *why = "cannot create the folders under " + platform::platformRoot();
    return false;
  }
  int ready[2];
  if (::pipe(ready) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  ::fcntl(ready[0], F_SETFD, FD_CLOEXEC);

  pid_t child = ::fork();
  if (child < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    ::close(ready[0]);
    ::close(ready[1]);
    return false;
  }
  if (child == 0) {
    // Detach like a launch daemon: own session, no controlling terminal, stdio to the log.
    ::setsid();
    pid_t daemon = ::fork();
    if (daemon != 0) ::_exit(daemon < 0 ? 1 : 0);
    auto report = [&](const std::string& text) {
      std::string line = text + "\n";
      ssize_t ignored = ::write(ready[1], line.data(), line.size());
      (void)ignored;
    };
    if (::chdir(workingDirectory.c_str()) != 0) {
      report("cannot enter " + workingDirectory);
      ::_exit(1);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (devnull < 0 || log < 0) {
      report("cannot open " + std::string(kLogPath));
      ::_exit(1);
    }
    ::dup2(devnull, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    // Keep only stdio and the ready pipe (as fd 3), so no caller's pipe stays open behind us.
    if (ready[1] != 3) {
      ::dup2(ready[1], 3);
      ready[1] = 3;
    }
    ::close_range(4, ~0U, 0);
    ::setenv(kReadyFdEnv, "3", 1);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    report("cannot run " + arguments[0] + ": " + std::strerror(errno));
    ::_exit(127);
  }
  ::close(ready[1]);
  int status = 0;
  ::waitpid(child, &status, 0);

  std::string line;
  auto deadline = std::chrono::steady_clock::now() + readyTimeout_;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{ready[0], POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[512];
    ssize_t r = ::read(ready[0], buf, sizeof buf);
    if (r <= 0) break;
    line.append(buf, static_cast<size_t>(r));
    if (line.find('\n') != std::string::npos) break;
  }
  ::close(ready[0]);
  line = line.substr(0, line.find('\n'));
  if (line.rfind("ready ", 0) != 0) {
    // A daemon that comes up late would hold the port untracked, beyond the reach of stop and
    // uninstall: end its whole process group (the session the first child made).
    ::kill(-child, SIGKILL);
    *why = line.empty() ? "the service did not come up (see " + std::string(kLogPath) + ")" : line;
    return false;
  }
  std::string pid = line.substr(6);
  std::string error;
  if (!platform::writeFileAtomically(pidPath, pid + "\n", &error)) {
    // Untracked, it could never be stopped again.
    ::kill(static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10)), SIGKILL);
    *why = "cannot write " + std::string(kPidPath) + ": " + error;
    return false;
  }
  return true;
}

}  // namespace vorellin::fenwix
