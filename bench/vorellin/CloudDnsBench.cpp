// How long a change of the current mode's resolvers in the cloud takes to reach the computer's DNS:
// from the backend's admin interface (document service, watch stream, sync engine, main queue) through
// the application's block-mode listener and the DNS-transition queue to the simulated Mac's
// networksetup having set the new resolver on the first network service. 200 changes per run; the
// median and the 99th percentile in milliseconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Vorellin/CloudCollections.h"
#include "Vorellin/VrlUserDefault.h"
#include "davedove/verorariv/api/tests/verorariv_test_support.h"
#include "platform/foundation/System.h"
#include "platform/tools/SimulatedMac.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChanges = 200;

double at(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

std::vector<std::string> wifi() {
  auto service = platform::SimulatedMac::networkService("Wi-Fi");
  return service ? service->dnsServers : std::vector<std::string>{};
}

// Runs the main loop in small steps until the Wi-Fi service holds exactly `wanted`.
bool awaitWifi(const std::vector<std::string>& wanted, Clock::time_point* seen) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    platform::dispatch::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(1));
    if (wifi() == wanted) {
      *seen = Clock::now();
      return true;
    }
  }
  return false;
}

void BM_CloudResolverChangeToNetworksetup(benchmark::State& state) {
  namespace fs = std::filesystem;
  vrvtest::StandIn standIn("bench-cloud-dns");  // fresh HOME first: the settings store binds to it
  std::string pattern = (fs::temp_directory_path() / "vorellin-bench-mac-XXXXXX").string();
  const std::string root = ::mkdtemp(pattern.data()) ? pattern : "";
  platform::setPlatformRoot(root);
  ::setenv("PATH", (std::string(VRL_MAC_BIN_DIR) + ":" + std::getenv("PATH")).c_str(), 1);
  platform::NetworkService wifiService, ethernet;
  wifiService.name = "Wi-Fi";
  ethernet.name = "Ethernet";
  wifiService.enabled = ethernet.enabled = true;
  wifiService.dhcpDnsServers = ethernet.dhcpDnsServers = {"192.168.1.1"};
  platform::SimulatedMac::writeNetworkServices({wifiService, ethernet});

  auto settings = vorellin::VrlUserDefault::shared().preferences;
  settings->set(vorellin::keys::kBlockerState, true);
  settings->set(vorellin::keys::kBlockerMode, 0);
  auto modes = [](const std::string& normal) {
    return nlohmann::json{{"normal", {{"ipv4", {normal}}}},
                          {"extreme", {{"ipv4", {"127.0.2.1"}}}},
                          {"ultraExtreme", {{"ipv4", {"127.0.3.1"}}}}};
  };
  standIn.backend().setDocument("dnsServers/blockModes", modes("127.0.1.0"));
  if (!standIn.SignIn("alice@example.com")) {
    state.SkipWithError("sign-in failed");
    return;
  }
  standIn.Database(true);
  vorellin::CloudCollections::shared().openCloudCollections();
  Clock::time_point seen;
  if (!awaitWifi({"127.0.1.0"}, &seen)) {
    state.SkipWithError("the first snapshot never reached the DNS");
    return;
  }

  std::vector<double> samples;
  for (auto _ : state) {
    samples.clear();
    for (int i = 1; i <= kChanges; ++i) {
      const std::string address = "127.0.1." + std::to_string(i);
      const Clock::time_point start = Clock::now();
      standIn.backend().mergeDocument("dnsServers/blockModes", modes(address));
      if (!awaitWifi({address}, &seen)) {
        state.SkipWithError("a change did not reach the DNS");
        return;
      }
      samples.push_back(std::chrono::duration<double, std::milli>(seen - start).count());
    }
  }
  state.counters["median_ms"] = at(samples, 0.5);
  state.counters["p99_ms"] = at(samples, 0.99);
  state.counters["changes"] = static_cast<double>(samples.size());
  vorellin::CloudCollections::shared().resetForTesting();
  std::error_code ignored;
  fs::remove_all(root, ignored);
}
BENCHMARK(BM_CloudResolverChangeToNetworksetup)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
