// One DNS switch on a simulated Mac with two enabled network services: the time it takes and how many
// child processes the application starts for it (each one a /bin/sh running one command line).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Vorellin/AppUtils.h"
#include "Vorellin/VrlUserDefault.h"
#include "platform/foundation/System.h"
#include "platform/logging/Log.h"
#include "platform/tools/SimulatedMac.h"

namespace {

using vorellin::AppUtils;

// Every command run as the user logs its output once under the runner's name.
class CommandCounter : public platform::logging::Logger {
 public:
  void logMessage(const platform::logging::LogMessage& m) override {
    if (m.function == "shellResult(_:)") ++commands;
  }
  std::atomic<long> commands{0};
};

std::string makeTempDir(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

// One fresh HOME (the settings store binds to it once) and platform root for the whole program.
void prepare() {
  static const std::string home = makeTempDir("vorellin-bench-home-");
  static const std::string root = makeTempDir("vorellin-bench-root-");
  static const bool cleanup = [] {
    ::setenv("HOME", home.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(root, ignored);
      std::filesystem::remove_all(home, ignored);
    });
    return true;
  }();
  (void)cleanup;
  platform::setPlatformRoot(root);
  const std::string macBin = VRL_MAC_BIN_DIR;
  const char* path = std::getenv("PATH");
  if (!path || std::string(path).rfind(macBin + ":", 0) != 0)
    ::setenv("PATH", (macBin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  platform::NetworkService wifi{"Wi-Fi", true, {"192.168.1.1"}, {}, false};
  platform::NetworkService ethernet{"Ethernet", true, {"192.168.2.1"}, {}, false};
  platform::SimulatedMac::writeNetworkServices({wifi, ethernet});

  auto prefs = vorellin::VrlUserDefault::shared().preferences;
  prefs->set(vorellin::keys::kBlockerState, true);
  prefs->set(vorellin::keys::kCustomBlacklist, false);
  prefs->set(vorellin::keys::kFenwixState, false);
  prefs->set(vorellin::keys::kNormal, platform::Value(platform::Array{"10.0.0.1", "10.0.0.2"}));
  prefs->set(vorellin::keys::kExtreme, platform::Value(platform::Array{"10.0.1.1", "10.0.1.2"}));
  prefs->set(vorellin::keys::kUltraExtreme, platform::Value(platform::Array{"10.0.2.1", "10.0.2.2"}));
}

// A user action switches the block mode: forced, two services written and verified.
void BM_DnsSwitchTwoServices(benchmark::State& state) {
  prepare();
  auto counter = std::make_shared<CommandCounter>();
  platform::logging::Log::shared().addLogger(counter);
  auto prefs = vorellin::VrlUserDefault::shared().preferences;
  const auto& queue = AppUtils::dnsTransitionQueue();

  int64_t mode = 0;
  for (auto _ : state) {
    state.PauseTiming();
    mode = (mode + 1) % 3;
    prefs->set(vorellin::keys::kBlockerMode, mode);
    state.ResumeTiming();
    queue->async([] { AppUtils::setDns(true, false, "ModeSelected(mode:)", __FILE__, __LINE__); });
    queue->sync([] {});
  }
  platform::logging::Log::shared().flush();
  platform::logging::Log::shared().removeLogger(counter);
  state.counters["child_processes_per_switch"] =
      benchmark::Counter(static_cast<double>(counter->commands.load()) / static_cast<double>(state.iterations()));
  state.counters["switches_per_second"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DnsSwitchTwoServices)->Unit(benchmark::kMillisecond)->UseRealTime();

// The request that finds its resolvers already in force: one command, nothing written.
void BM_DnsRequestAlreadyInForce(benchmark::State& state) {
  prepare();
  auto counter = std::make_shared<CommandCounter>();
  platform::logging::Log::shared().addLogger(counter);
  const auto& queue = AppUtils::dnsTransitionQueue();
  queue->async([] { AppUtils::setDns(true, false, "setup", __FILE__, __LINE__); });
  queue->sync([] {});
  platform::logging::Log::shared().flush();
  counter->commands = 0;

  for (auto _ : state) {
    queue->async([] { AppUtils::setDns(false, false, "onWakeUp()", __FILE__, __LINE__); });
    queue->sync([] {});
  }
  platform::logging::Log::shared().flush();
  platform::logging::Log::shared().removeLogger(counter);
  state.counters["child_processes_per_switch"] =
      benchmark::Counter(static_cast<double>(counter->commands.load()) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_DnsRequestAlreadyInForce)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
