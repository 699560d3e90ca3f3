// Latencies of the remote layer against the backend stand-in over loopback, median and 99th
// percentile: a change made in the cloud (the admin interface) until the listening client's
// remote event, and a written batch until the server's acknowledgement.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/remote/tests/remote_harness.h"

namespace {

using namespace davedove::verorariv;  // NOLINT
using Clock = std::chrono::steady_clock;

// Median and 99th percentile of the samples as counters.
void Report(benchmark::State& state, std::vector<double> samples_ms) {
  if (samples_ms.empty()) return;
  std::sort(samples_ms.begin(), samples_ms.end());
  auto percentile = [&](double p) {
    size_t index = static_cast<size_t>(p * static_cast<double>(samples_ms.size() - 1) + 0.5);
    return samples_ms[index];
  };
  state.counters["median_ms"] = percentile(0.5);
  state.counters["p99_ms"] = percentile(0.99);
}

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
  Report(state, samples_ms);
}
BENCHMARK(BM_AdminChangeToRemoteEvent)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_WriteBatchToAcknowledgement(benchmark::State& state) {
  backend::TestBackend backend({backend::TestBackend::passwordUser("bench@example.com", "bench-pass")});
  remote::testing::RemoteClient client(&backend, "bench@example.com", "bench-pass");
  const model::DocumentKey key = model::DocumentKey::FromPathString("users/" + client.credentials.uid());

  std::vector<double> samples_ms;
  int64_t n = 0;
  for (auto _ : state) {
    ++n;
    std::map<std::string, model::FieldValuePtr> fields{{"n", model::VRVIntegerValue::integerValue(n)}};
    auto mutation = std::make_shared<model::VRVSetMutation>(key, std::make_shared<const model::VRVObjectValue>(fields),
                                                            model::Precondition::None());
    Clock::time_point start = Clock::now();
    client.Write({mutation});
    if (!client.syncer->WaitFor([&] { return client.syncer->acks_.size() == static_cast<size_t>(n); })) {
      state.SkipWithError("a batch was never acknowledged");
      return;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    samples_ms.push_back(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  Report(state, samples_ms);
}
BENCHMARK(BM_WriteBatchToAcknowledgement)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
