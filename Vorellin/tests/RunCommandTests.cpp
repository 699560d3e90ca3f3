// The run command itself (scripts/run --tour), without root and without port 53: the programs it
// starts are stand-ins in a build folder of the test's own (VRL_SKIP_BUILD=1), the encrypted-DNS
// proxy is a copy of sleep at the proxy's path, started by the tour's stand-in as the application
// starts the daemon, and `id` answers 0, since nothing in these runs listens on port 53. What is
// real: the script, its install step, its seed, and (for a taken address) the backend stand-in.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/Process.h"

extern char** environ;

namespace vorellin {
namespace {

namespace fs = std::filesystem;
using platform::shellQuote;

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeExecutable(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
  fs::permissions(path, fs::perms::owner_all);
}

// The executable a process runs, "" when it is gone (or a zombie).
std::string executableOf(pid_t pid) {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  return ec ? "" : exe.string();
}

// Waits for a condition the script brings about; false when it never came.
bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Starts a copy of sleep at `path` in a session of its own, as a launch daemon runs.
pid_t startDaemonAt(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::copy_file("/usr/bin/sleep", path, fs::copy_options::overwrite_existing);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(path.c_str(), path.c_str(), "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  waitFor([&] { return executableOf(pid) == path; });
  return pid;
}

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vorellin-run-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    build_ = root_ + "/build";
    state_ = root_ + "/state";
    proxy_ = state_ + "/mac/Applications/Vorellin.app/Contents/Resources/VRLFenwixService";
    writeExecutable(root_ + "/bin/id", "#!/bin/sh\nif [ \"$1\" = -u ]; then echo 0; else exec /usr/bin/id \"$@\"; fi\n");
    // Port 53 of this machine is not the test's: ss shows it free, or held by the program the test
    // names. Every other port is as the real ss sees it.
    std::string ss = platform::runShell("command -v ss").output;
    ASSERT_FALSE(ss.empty()) << "the run command needs ss (iproute2)";
    ss.erase(ss.find('\n'));
    writeExecutable(root_ + "/bin/ss",
                    "#!/bin/sh\n"
                    "case \"$*\" in\n"
                    "  *'sport = :53 )'*) [ -z \"$STAND_IN_PORT_53_HOLDER\" ] || echo \"udp   UNCONN 0      0      "
                    "127.0.0.1:53      0.0.0.0:*    users:((\\\"$STAND_IN_PORT_53_HOLDER\\\",pid=4242,fd=5))\" ;;\n"
                    "  *) exec " + shellQuote(ss) + " \"$@\" ;;\n"
                    "esac\n");

    // The backend's stand-in says where it serves, as the backend does, and waits to be stopped.
    writeExecutable(build_ + "/backend/vorellin-backend",
                    "#!/bin/sh\n"
                    "while [ $# -gt 0 ]; do [ \"$1\" = --data-dir ] && data=\"$2\"; shift; done\n"
                    "mkdir -p \"$data\" && : > \"$data/admin-token\" && echo $$ > \"$data/pid\"\n"
                    "echo port=1; echo documents_port=2; echo \"admin_token_file=$data/admin-token\"\n"
                    "exec sleep 600\n");
    writeExecutable(build_ + "/Vorellin.app/Contents/MacOS/Vorellin", "#!/bin/sh\nexit 0\n");
    fs::create_directories(build_ + "/Vorellin.app/Contents/Resources");
    writeExecutable(build_ + "/mac-bin/launchctl",
                    "#!/bin/sh\nprintf -- '-\\t0\\tmac.com.trennelwick.vorellin.VorellinService\\n'\n");
    writeExecutable(build_ + "/mac-bin/scutil",
                    "#!/bin/sh\n[ -n \"$STAND_IN_SCUTIL_FAILS\" ] && exit 1\necho '  nameserver[0] : 127.0.0.53'\n");
    fs::create_directories(build_ + "/Vorellin/dnscrypt/service");
    fs::copy_file("/usr/bin/sleep", build_ + "/Vorellin/dnscrypt/service/VRLFenwixServiceTestBuild");
    // The tour's stand-in starts the proxy as the application has it started (running once the start
    // returns, its pid in the daemon's pid file), then ends as the test says: "pass", "fail", or
    // "wait" until a signal ends it.
    writeExecutable(build_ + "/Vorellin/vorellin_tour",
                    "#!/bin/sh\n"
                    "proxy=\"$VRL_MAIN_BUNDLE/Contents/Resources/VRLFenwixService\"\n"
                    "mkdir -p \"$VRL_PLATFORM_ROOT/private/var/run\"\n"
                    "setsid \"$proxy\" 600 </dev/null >/dev/null 2>&1 &\n"
                    "until [ \"$(readlink /proc/$!/exe)\" = \"$proxy\" ]; do sleep 0.01; done\n"
                    "echo $! > \"$VRL_PLATFORM_ROOT/private/var/run/dnscrypt-proxy.pid\"\n"
                    "echo \"stand-in proxy pid $!\"\n"
                    "case \"$STAND_IN_TOUR_ENDS\" in\n"
                    "  pass) exit 0 ;;\n"
                    "  fail) exit 1 ;;\n"
                    "  wait) : > \"$VRL_PLATFORM_ROOT/../tour-waits\"; exec sleep 600 ;;\n"
                    "esac\n");
  }

  void TearDown() override {
    // Whatever a failed case left running goes: its runs, and what runs from this test's folders.
    for (pid_t run : runs_) {
      ::kill(-run, SIGKILL);
      ::waitpid(run, nullptr, 0);
    }
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (executableOf(pid).rfind(root_ + "/", 0) == 0) ::kill(pid, SIGKILL);
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Starts the run in a process group of its own, as a terminal starts a command.
  pid_t start(const std::map<std::string, std::optional<std::string>>& changes = {}) {
    std::map<std::string, std::optional<std::string>> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      env[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    env["PATH"] = root_ + "/bin:" + env["PATH"].value_or("/usr/bin:/bin");
    env["BUILD_DIR"] = build_;
    env["VRL_SKIP_BUILD"] = "1";
    env["VRL_STATE_DIR"] = state_;
    for (const char* unset : {"DISPLAY", "SUDO_USER", "QT_QPA_PLATFORM", "VRL_PLATFORM_ROOT", "VRL_RESOLVER_NET",
                              "VRL_DOH_PORT", "VRL_MAIN_BUNDLE"})
      env[unset] = std::nullopt;
    for (const auto& [key, value] : changes) env[key] = value;
    std::vector<std::string> entries;
    for (const auto& [key, value] : env)
      if (value) entries.push_back(key + "=" + *value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string script = std::string(std::getenv("VRL_SOURCE_DIR")) + "/scripts/run";
    const std::string out = root_ + "/out", err = root_ + "/err";

    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      for (int sig : {SIGINT, SIGTERM}) ::signal(sig, SIG_DFL);
      const int in = ::open("/dev/null", O_RDONLY);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::execle("/bin/bash", "bash", script.c_str(), "--tour", static_cast<char*>(nullptr), envp.data());
      ::_exit(127);
    }
    ::setpgid(pid, pid);
    runs_.push_back(pid);
    return pid;
  }

  // Exit status of the run: its code, or 128 + the signal that ended it.
  int finish(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    runs_.erase(std::remove(runs_.begin(), runs_.end(), pid), runs_.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int run(const std::map<std::string, std::optional<std::string>>& changes = {}) { return finish(start(changes)); }

  std::string out() const { return readFile(root_ + "/out"); }
  std::string err() const { return readFile(root_ + "/err"); }
  // The proxy the tour's stand-in started in the last run.
  pid_t startedProxy() const {
    const std::string text = out();
    const size_t at = text.find("stand-in proxy pid ");
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 19);
  }
  bool proxyRuns(pid_t pid) const {
    const std::string exe = executableOf(pid);
    return exe == proxy_ || exe == proxy_ + " (deleted)";
  }
  static std::string stopped(pid_t pid) {
    return "== stopped the encrypted-DNS proxy (pid " + std::to_string(pid) + ")\n";
  }

  std::string root_, build_, state_, proxy_;
  std::vector<pid_t> runs_;
};

TEST_F(RunCommandTest, EveryWayARunEndsStopsTheProxyItStartedAndTheBackend) {
  struct End {
    const char* how;
    std::map<std::string, std::optional<std::string>> env;
    int signal;
    int status;
  };
  const std::vector<End> ends = {
      {"the tour's end", {{"STAND_IN_TOUR_ENDS", "pass"}}, 0, 0},
      {"a failed step", {{"STAND_IN_TOUR_ENDS", "fail"}}, 0, 1},
      {"an error after the tour", {{"STAND_IN_TOUR_ENDS", "pass"}, {"STAND_IN_SCUTIL_FAILS", "1"}}, 0, 1},
      {"Ctrl-C", {{"STAND_IN_TOUR_ENDS", "wait"}}, SIGINT, 130},
      {"a hangup of the session", {{"STAND_IN_TOUR_ENDS", "wait"}}, SIGTERM, 143},
  };
  for (const End& end : ends) {
    SCOPED_TRACE(end.how);
    fs::remove(root_ + "/state/tour-waits");
    const pid_t run = start(end.env);
    if (end.signal) {
      ASSERT_TRUE(waitFor([&] { return fs::exists(state_ + "/tour-waits"); })) << out() << err();
      ::kill(-run, end.signal);  // the whole foreground group, as the terminal signals it
    }
    EXPECT_EQ(finish(run), end.status) << out() << err();
    const pid_t proxy = startedProxy();
    ASSERT_NE(proxy, 0) << out() << err();
    EXPECT_FALSE(proxyRuns(proxy));
    EXPECT_NE(out().find(stopped(proxy)), std::string::npos) << out();
    EXPECT_FALSE(fs::exists(state_ + "/mac/private/var/run/dnscrypt-proxy.pid"));
    const int backend = std::atoi(readFile(state_ + "/backend/data/pid").c_str());
    ASSERT_GT(backend, 0);
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(backend))) << "the backend still runs";
  }
}

TEST_F(RunCommandTest, AProxyThatAKilledRunLeftIsStoppedBeforeItsStateGoesAndNoOtherProcessIs) {
  // A run killed outright leaves its proxy running; its state goes, pid file and executable with it.
  const pid_t killed = start({{"STAND_IN_TOUR_ENDS", "wait"}});
  ASSERT_TRUE(waitFor([&] { return fs::exists(state_ + "/tour-waits"); })) << out() << err();
  ::kill(-killed, SIGKILL);
  finish(killed);
  const pid_t left = startedProxy();
  ASSERT_TRUE(proxyRuns(left));
  fs::remove_all(state_ + "/mac");
  ASSERT_EQ(executableOf(left), proxy_ + " (deleted)");
  // A program of the same name elsewhere, and an old pid file that names it: neither makes it the proxy.
  const pid_t namesake = startDaemonAt(root_ + "/elsewhere/VRLFenwixService");
  fs::create_directories(state_ + "/mac/private/var/run");
  std::ofstream(state_ + "/mac/private/var/run/dnscrypt-proxy.pid") << namesake << "\n";

  EXPECT_EQ(run({{"STAND_IN_TOUR_ENDS", "pass"}}), 0) << out() << err();
  const std::string text = out();
  const size_t leftStopped = text.find(stopped(left));
  ASSERT_NE(leftStopped, std::string::npos) << text;
  EXPECT_LT(leftStopped, text.find("== backend stand-in")) << text;
  EXPECT_FALSE(proxyRuns(left));
  EXPECT_NE(text.find(stopped(startedProxy())), std::string::npos) << text;
  EXPECT_EQ(text.find(stopped(namesake)), std::string::npos) << text;
  EXPECT_EQ(executableOf(namesake), root_ + "/elsewhere/VRLFenwixService");
}

TEST_F(RunCommandTest, ATakenAddressIsNamedWithWhoHoldsItAndNothingIsLeftRunning) {
  // The DNS-over-HTTPS resolver's port, held by this test: the real backend stand-in cannot start.
  fs::remove(build_ + "/backend/vorellin-backend");
  fs::create_symlink(std::string(std::getenv("VRL_BINARY_DIR")) + "/backend/vorellin-backend",
                     build_ + "/backend/vorellin-backend");
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  std::string self = readFile("/proc/self/comm");
  self.erase(self.find_last_not_of('\n') + 1);

  EXPECT_EQ(run({{"VRL_DOH_PORT", std::to_string(port)}}), 1) << out() << err();
  ::close(holder);
  EXPECT_NE(err().find("run: 127.0.0.1:" + std::to_string(port) + ", which the backend stand-in needs, is taken (by " +
                       self + ")\n     choose another port for its DNS-over-HTTPS resolver, e.g. VRL_DOH_PORT=" +
                       std::to_string(port + 1) + " scripts/run\n"),
            std::string::npos)
      << err();
  EXPECT_EQ(startedProxy(), 0) << out();

  // 127.0.0.1 port 53, where the proxy must listen, held by another resolver: the run names it
  // before it starts anything.
  EXPECT_EQ(run({{"STAND_IN_PORT_53_HOLDER", "dnsmasq"}}), 1) << out() << err();
  EXPECT_EQ(err(),
            "run: 127.0.0.1:53, which the encrypted-DNS proxy needs, is taken (by dnsmasq)\n"
            "     the proxy can listen nowhere else: stop dnsmasq and run again\n");
  EXPECT_FALSE(fs::exists(state_ + "/backend/backend.log")) << "the backend was started";
}

}  // namespace
}  // namespace vorellin
