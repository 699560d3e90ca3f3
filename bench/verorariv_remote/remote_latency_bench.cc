// Time from a change made in the cloud (the backend's admin interface) to the remote event on a
// client listening to the document, over loopback: median and 99th percentile per change.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/remote/tests/remote_harness.h"

namespace {

using namespace davedove::verorariv;  // NOLINT
using Clock = std::chrono::steady_clock;

void BM_AdminChangeToRemoteEvent(benchmark::State& state) {
  backend::TestBackend backend({backend::TestBackend::passwordUser("bench@example.com", "bench-pass")}, {},
                               nlohmann::json{{"dnsServers/bench", {{"n", 0}}}});
  remote::testing::RemoteClient client(&backend, "bench@example.com", "bench-pass");
  const model::DocumentKey key = model::DocumentKey::FromPathString("dnsServers/bench");

  std::mutex mutex;
  std::condition_variable arrived;
  int64_t last_seen = -1;
  Clock::time_point seen_at;
  client.syncer->on_event = [&](const remote::RemoteEvent& event) {
    auto it = event.document_updates().find(key);
    if (it == event.document_updates().end()) return;
    auto doc = std::dynamic_pointer_cast<const model::VRVDocument>(it->second);
    if (!doc) return;
    auto value = std::dynamic_pointer_cast<const model::VRVIntegerValue>(
        doc->fieldForPath(model::FieldPath::FromServerFormat("n")));
    if (!value) return;
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    last_seen = value->internalValue();
    seen_at = now;
    arrived.notify_all();
  };
  client.Listen(core::VRVQuery::queryWithPath(model::ResourcePath::FromString("dnsServers/bench")));
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(30), [&] { return last_seen == 0; })) {
      state.SkipWithError("the listen never became current");
      return;
    }
  }

  std::vector<double> samples_ms;
  int64_t n = 0;
  for (auto _ : state) {
    ++n;
    Clock::time_point start = Clock::now();
    if (!backend.setDocument("dnsServers/bench", {{"n", n}})) {
      state.SkipWithError("the admin interface refused the change");
      return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(30), [&] { return last_seen == n; })) {
      state.SkipWithError("a change never arrived");
      return;
    }
    double ms = std::chrono::duration<double, std::milli>(seen_at - start).count();
    samples_ms.push_back(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  std::sort(samples_ms.begin(), samples_ms.end());
  auto percentile = [&](double p) {
    size_t index = static_cast<size_t>(p * static_cast<double>(samples_ms.size() - 1) + 0.5);
    return samples_ms[index];
  };
  if (!samples_ms.empty()) {
    state.counters["median_ms"] = percentile(0.5);
    state.counters["p99_ms"] = percentile(0.99);
  }
}
BENCHMARK(BM_AdminChangeToRemoteEvent)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
