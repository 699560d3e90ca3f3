// Fixture for tests that run the application's commands against the simulated Mac: a fresh platform
// root per test, one fresh HOME per test program (the settings store binds to it once), the settings
// domain emptied, and every log line captured.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Vorellin/AppUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"
#include "platform/process/Process.h"
#include "platform/tools/SimulatedMac.h"

// In a fixture's SetUp, for tests that need root (port 53): skipped on a developer's machine, failed
// under CI, so that a CI run can never pass without them.
#define VRL_REQUIRE_ROOT(why)                                                                   \
  if (::geteuid() != 0) {                                                                       \
    if (std::getenv("CI")) FAIL() << why << ": these tests must run as root under CI";          \
    GTEST_SKIP() << why;                                                                        \
  }

namespace vorellin::testing {

class CaptureLogger : public platform::logging::Logger {
 public:
  void logMessage(const platform::logging::LogMessage& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(message);
  }
  std::vector<platform::logging::LogMessage> messages() const {
    platform::logging::Log::shared().flush();
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  // Texts of the lines of one level, optionally only those of one function.
  std::vector<std::string> texts(platform::logging::LogFlag flag, const std::string& function = "") const {
    std::vector<std::string> out;
    for (const auto& m : messages())
      if (m.flag == flag && (function.empty() || m.function == function)) out.push_back(m.message);
    return out;
  }
  size_t count(const std::string& function) const {
    size_t n = 0;
    for (const auto& m : messages())
      if (m.function == function) ++n;
    return n;
  }
  void clear() {
    platform::logging::Log::shared().flush();
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::logging::LogMessage> messages_;
};

inline std::string macBinDir() { return std::string(std::getenv("VRL_BINARY_DIR")) + "/mac-bin"; }

inline std::string makeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  char* made = ::mkdtemp(pattern.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  return made;
}

// A networksetup that records its arguments and answers -getdnsservers with a fixed text; everything
// else goes to the simulated Mac's tool.
inline std::string writeScriptedNetworksetup(const std::string& dir, const std::string& getAnswer,
                                      const std::string& failingService = "") {
  std::string path = dir + "/networksetup";
  std::ofstream script(path);
  // One write per call: networksetup runs from the main thread and the DNS-transition queue at once,
  // and two appends per line would interleave with the other call's.
  script << "#!/bin/sh\n"
         << "line=$(printf '%s|' \"$@\"); printf '%s\\n' \"$line\" >> \"" << dir << "/calls\"\n";
  if (!failingService.empty())
    script << "if [ \"$1\" = -setdnsservers ] && [ \"$2\" = " << platform::shellQuote(failingService) << " ]; then\n"
           << "  echo \"$2 is not a recognized network service.\"; echo '** Error: The parameters were not valid.'\n"
           << "  exit 1\nfi\n";
  if (!getAnswer.empty())
    script << "if [ \"$1\" = -getdnsservers ]; then printf '%s\\n' " << platform::shellQuote(getAnswer) << "; exit 0; fi\n";
  script << "exec " << platform::shellQuote(macBinDir() + "/networksetup") << " \"$@\"\n";
  script.close();
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return dir + "/calls";
}

class SimulatedMacTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Never destroyed, so the exit handler that removes it can still read it.
    static const std::string* home = [] {
      auto* dir = new std::string(makeTempDir("vorellin-home-"));
      ::setenv("HOME", dir->c_str(), 1);
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(*home, ignored);
      });
      return dir;
    }();
    (void)home;
  }

  void SetUp() override {
    root_ = makeTempDir("vorellin-root-");
    platform::setPlatformRoot(root_);
    savedPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    VrlUserDefault::shared().resetForTesting();
    prefs()->removePersistentDomain();
    platform::logging::Log::shared().addLogger(log);
  }

  void TearDown() override {
    platform::logging::Log::shared().flush();
    platform::logging::Log::shared().removeLogger(log);
    platform::logging::setDynamicLogLevel(platform::logging::LogLevel::All);
    AppUtils::setFenwixServiceCheck(nullptr);
    AppUtils::setAddressShuffle(nullptr);
    prefs()->removePersistentDomain();
    ::setenv("PATH", savedPath_.c_str(), 1);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  static std::shared_ptr<platform::UserDefaults> prefs() { return VrlUserDefault::shared().preferences; }

  static void set(const std::string& key, platform::Value value) { prefs()->set(key, std::move(value)); }
  static platform::Value list(const std::vector<std::string>& items) {
    platform::Array a(items.begin(), items.end());
    return platform::Value(a);
  }

  // Protection switches and the resolver lists of the three modes.
  static void setSwitches(bool blocker, bool customBlacklist, bool fenwix) {
    set(keys::kBlockerState, blocker);
    set(keys::kCustomBlacklist, customBlacklist);
    set(keys::kFenwixState, fenwix);
  }
  static void setModeLists() {
    set(keys::kNormal, list({"10.0.0.1", "10.0.0.2"}));
    set(keys::kExtreme, list({"10.0.1.1", "10.0.1.2"}));
    set(keys::kUltraExtreme, list({"10.0.2.1", "10.0.2.2"}));
  }

  static platform::NetworkService service(const std::string& name, bool enabled = true,
                                          std::vector<std::string> dhcp = {"192.168.1.1"},
                                          std::vector<std::string> manual = {}) {
    platform::NetworkService s;
    s.name = name;
    s.enabled = enabled;
    s.dhcpDnsServers = std::move(dhcp);
    s.dnsServers = std::move(manual);
    return s;
  }
  static void writeServices(const std::vector<platform::NetworkService>& services) {
    std::string error;
    ASSERT_TRUE(platform::SimulatedMac::writeNetworkServices(services, &error)) << error;
  }
  static platform::NetworkService current(const std::string& name) {
    auto s = platform::SimulatedMac::networkService(name);
    EXPECT_TRUE(s.has_value()) << name;
    return s.value_or(platform::NetworkService{});
  }

  // Puts a folder of the test's own tool scripts first on PATH (restored after the test).
  std::string toolOverrideDir() {
    std::string dir = root_ + "/override-bin";
    std::filesystem::create_directories(dir);
    ::setenv("PATH", (dir + ":" + savedPath_).c_str(), 1);
    return dir;
  }

  std::string root_;
  std::string savedPath_;
  std::shared_ptr<CaptureLogger> log = std::make_shared<CaptureLogger>();
};

}  // namespace vorellin::testing
