// The built VRLFenwixService as the application runs it: "-service" commands under a fresh platform
// root, the detached daemon seen by ps and queried with the real dig.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "Vorellin/dnscrypt/service/ServiceController.h"
#include "Vorellin/dnscrypt/service/tests/ProxyTestSupport.h"
#include "backend/dns/DohResolver.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/System.h"

namespace vorellin::fenwix {
namespace {

namespace fs = std::filesystem;
using namespace testing;

class ServiceControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    platform::setPlatformRoot(dir_.path() + "/mac");
    resources_ = dir_.path() + "/Vorellin.app/Contents/Resources";
    fs::create_directories(resources_);
    fs::create_directories(dir_.path() + "/certs");
    exe_ = resources_ + "/VRLFenwixService";
    fs::copy_file(VRL_FENWIX_SERVICE_EXE, exe_);
    std::string error;
    ASSERT_TRUE(resolver_.start(dir_.path() + "/certs", 0, &error)) << error;
    port_ = freePort();
    writeConfig(stamp("/uid-7"), stamp("/uid-7"));
  }

  void TearDown() override {
    // Leave no daemon behind, whatever the test did.
    if (fs::exists(plistPath())) service("uninstall");
    if (pid_t pid = ServiceController::runningPid()) ::kill(pid, SIGKILL);
    std::string log = readFile(platform::systemPath(ServiceController::kLogPath));
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  }

  std::string stamp(const std::string& path) { return makeStamp(resolver_.hostAndPort(), path); }
  void writeConfig(const std::string& primary, const std::string& secondary) {
    writeFile(resources_ + "/dnscrypt-proxy.toml", proxyToml(port_, primary, secondary, resolver_.caFile()));
  }
  std::string plistPath() const { return platform::systemPath(ServiceController::kPlistPath); }
  std::string pidPath() const { return platform::systemPath(ServiceController::kPidPath); }

  // What the application runs: the quoted executable path and the switch.
  platform::ProcessResult service(const std::string& action) {
    return platform::runShell(platform::shellQuote(exe_) + " -service " + action + " 2>&1");
  }
  // ps lines of this test's daemon (other daemons may run beside it).
  int processCount() {
    auto r = platform::runShell("ps aux | grep -v grep | grep -c -i " + platform::shellQuote(exe_));
    return std::atoi(r.output.c_str());
  }
  std::string shortAnswer(const std::string& name, const std::string& transport = "+notcp") {
    return trimmed(dig(port_, name, transport + " +time=5 +tries=1 +short").output);
  }

  TempDir dir_;
  std::string resources_, exe_;
  backend::DohResolver resolver_{{"blocked.example"}, "192.0.2.80"};
  uint16_t port_ = 0;
};

TEST_F(ServiceControllerTest, InstallStartRestartUninstall) {
  auto early = service("start");
  EXPECT_EQ(early.status, 1) << early.output;
  EXPECT_NE(early.output.find("not installed"), std::string::npos) << early.output;

  // install: the launch daemon's property list under the platform root, running this executable.
  auto installed = service("install");
  ASSERT_EQ(installed.status, 0) << installed.output;
  ASSERT_TRUE(fs::exists(plistPath()));
  auto plist = platform::readPropertyListFile(plistPath());
  ASSERT_TRUE(plist);
  const platform::Value* args = plist->find("ProgramArguments");
  ASSERT_TRUE(args && args->asArray() && args->asArray()->size() == 3);
  EXPECT_EQ(*(*args->asArray())[0].asString(), exe_);
  EXPECT_EQ(*(*args->asArray())[2].asString(), resources_ + "/dnscrypt-proxy.toml");
  auto again = service("install");
  EXPECT_EQ(again.status, 1) << again.output;
  EXPECT_NE(again.output.find("already exists"), std::string::npos) << again.output;
  EXPECT_EQ(processCount(), 0);

  // start: a detached daemon, seen by the application's own process count.
  auto started = service("start");
  ASSERT_EQ(started.status, 0) << started.output;
  EXPECT_EQ(processCount(), 1);
  auto appCount = platform::runShell("ps aux | grep -v grep | grep -c -i VRLFenwixService");
  EXPECT_GE(std::atoi(appCount.output.c_str()), 1) << appCount.output;
  pid_t first = ServiceController::runningPid();
  EXPECT_GT(first, 0);
  EXPECT_EQ(shortAnswer("blocked.example"), "0.0.0.0");
  EXPECT_EQ(shortAnswer("blocked.example", "+tcp"), "0.0.0.0");
  EXPECT_EQ(shortAnswer("mail.vorellin.example"), "192.0.2.80");
  EXPECT_EQ(shortAnswer("mail.vorellin.example", "+tcp"), "192.0.2.80");

  auto twice = service("start");
  EXPECT_EQ(twice.status, 0) << twice.output;
  EXPECT_EQ(ServiceController::runningPid(), first);
  EXPECT_EQ(processCount(), 1);

  // restart: a new daemon in place of the old one.
  auto restarted = service("restart");
  ASSERT_EQ(restarted.status, 0) << restarted.output;
  pid_t second = ServiceController::runningPid();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(processCount(), 1);
  EXPECT_EQ(shortAnswer("blocked.example"), "0.0.0.0");

  // The resolver going away turns answers into SERVFAIL, with the daemon still up.
  resolver_.stop();
  auto down = dig(port_, "mail.vorellin.example", "+time=5 +tries=1");
  EXPECT_NE(down.output.find("status: SERVFAIL"), std::string::npos) << down.output;

  // uninstall: daemon, pid file and property list gone.
  auto removed = service("uninstall");
  ASSERT_EQ(removed.status, 0) << removed.output;
  EXPECT_FALSE(fs::exists(plistPath()));
  EXPECT_FALSE(fs::exists(pidPath()));
  EXPECT_EQ(processCount(), 0);
  EXPECT_EQ(ServiceController::runningPid(), 0);
  auto noAnswer = dig(port_, "blocked.example", "+time=1 +tries=1 +short");
  EXPECT_NE(noAnswer.status, 0) << noAnswer.output;

  auto twiceRemoved = service("uninstall");
  EXPECT_EQ(twiceRemoved.status, 1) << twiceRemoved.output;
  EXPECT_EQ(service("restart").status, 1);
  EXPECT_EQ(service("stopall").status, 2);
}

TEST_F(ServiceControllerTest, StartReportsABrokenConfiguration) {
  ASSERT_EQ(service("install").status, 0);
  writeFile(resources_ + "/dnscrypt-proxy.toml", "listen_addresses = ['127.0.0.1:" + std::to_string(port_) + "']\n");
  auto failed = service("start");
  EXPECT_EQ(failed.status, 1) << failed.output;
  EXPECT_NE(failed.output.find("no usable server"), std::string::npos) << failed.output;
  EXPECT_EQ(processCount(), 0);
  EXPECT_FALSE(fs::exists(pidPath()));

  ::unlink((resources_ + "/dnscrypt-proxy.toml").c_str());
  auto missing = service("start");
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("cannot read"), std::string::npos) << missing.output;

  writeConfig(stamp("/u"), stamp("/u"));
  EXPECT_EQ(service("start").status, 0);
  EXPECT_EQ(processCount(), 1);
}

TEST_F(ServiceControllerTest, ANewConfigurationTakesEffectOnRestart) {
  uint16_t closed = freePort();
  std::string dead = makeStamp("127.0.0.1:" + std::to_string(closed), "/u");
  writeConfig(dead, dead);
  ASSERT_EQ(service("install").status, 0);
  ASSERT_EQ(service("start").status, 0);
  EXPECT_EQ(shortAnswer("blocked.example"), "");

  // The running daemon keeps what it read at start.
  writeConfig(stamp("/u"), stamp("/u"));
  EXPECT_EQ(shortAnswer("blocked.example"), "");
  ASSERT_EQ(service("restart").status, 0);
  EXPECT_EQ(shortAnswer("blocked.example"), "0.0.0.0");
}

TEST_F(ServiceControllerTest, AKilledDaemonCountsAsStopped) {
  ASSERT_EQ(service("install").status, 0);
  ASSERT_EQ(service("start").status, 0);
  pid_t pid = ServiceController::runningPid();
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGKILL);
  for (int i = 0; i < 100 && ServiceController::runningPid() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ServiceController::runningPid(), 0);
  EXPECT_EQ(processCount(), 0);

  // The stale pid file does not stop a new start.
  auto started = service("start");
  EXPECT_EQ(started.status, 0) << started.output;
  EXPECT_NE(ServiceController::runningPid(), pid);
  EXPECT_EQ(shortAnswer("blocked.example"), "0.0.0.0");
}

TEST_F(ServiceControllerTest, OnlyTheTestBuildTrustsTheConfiguredCertificateAuthority) {
  // The configuration names the stand-in's authority, and so does the environment.
  ::setenv("VRL_FENWIX_CA_FILE", resolver_.caFile().c_str(), 1);
  fs::copy_file(VRL_FENWIX_SHIPPED_EXE, exe_, fs::copy_options::overwrite_existing);
  ASSERT_EQ(service("install").status, 0);
  auto started = service("start");
  ASSERT_EQ(started.status, 0) << started.output;
  auto refused = dig(port_, "blocked.example", "+time=5 +tries=1");
  EXPECT_NE(refused.output.find("status: SERVFAIL"), std::string::npos) << refused.output;
  EXPECT_TRUE(resolver_.requestPaths().empty()) << "the shipped proxy sent a query to an untrusted resolver";
  ASSERT_EQ(service("uninstall").status, 0);

  fs::copy_file(VRL_FENWIX_SERVICE_EXE, exe_, fs::copy_options::overwrite_existing);
  ASSERT_EQ(service("install").status, 0);
  ASSERT_EQ(service("start").status, 0);
  ::unsetenv("VRL_FENWIX_CA_FILE");
  EXPECT_EQ(shortAnswer("blocked.example"), "0.0.0.0");
  EXPECT_EQ(resolver_.requestPaths(), std::vector<std::string>{"/uid-7"});
}

// Gone, or a zombie waiting for init.
bool processGone(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// No fixture: the starter forks from this process, which should then run no other threads.
TEST(ServiceControllerStartTest, ADaemonThatIsNotReadyInTimeIsKilledWithItsProcessGroup) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  platform::setPlatformRoot(dir.path() + "/mac");
  // A daemon that never says it is ready and has a child of its own, both holding the ready pipe.
  const std::string exe = dir.path() + "/VRLFenwixService";
  writeFile(exe, "#!/bin/sh\nsleep 300 &\necho $! > '" + dir.path() + "/child.pid'\necho $$ > '" + dir.path() +
                     "/daemon.pid'\nexec sleep 300\n");
  fs::permissions(exe, fs::perms::owner_all);
  std::ostringstream out, err;
  ServiceController controller(exe, out, err);
  ASSERT_EQ(controller.install(), 0) << err.str();
  controller.setReadyTimeoutForTesting(std::chrono::milliseconds(1500));

  EXPECT_EQ(controller.start(), 1);
  EXPECT_NE(err.str().find("did not come up"), std::string::npos) << err.str();
  EXPECT_EQ(ServiceController::runningPid(), 0);
  const pid_t daemon = std::atoi(readFile(dir.path() + "/daemon.pid").c_str());
  const pid_t child = std::atoi(readFile(dir.path() + "/child.pid").c_str());
  ASSERT_GT(daemon, 0);
  ASSERT_GT(child, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((!processGone(daemon) || !processGone(child)) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(processGone(daemon)) << "the late daemon still runs";
  EXPECT_TRUE(processGone(child)) << "the late daemon's child still runs";
  if (!processGone(daemon)) ::kill(daemon, SIGKILL);
  if (!processGone(child)) ::kill(child, SIGKILL);
  controller.uninstall();
}

}  // namespace
}  // namespace vorellin::fenwix
