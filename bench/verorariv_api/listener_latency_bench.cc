// How long a change takes to reach an application's snapshot listener on the main queue:
// from a change through the backend's admin interface (the cloud road: document service, watch
// stream, sync engine, event manager, main queue), and from a local write (local store, views).
// Each run makes 1,000 changes and reports the median and the 99th percentile in milliseconds.
#include <functional>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/tests/verorariv_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChanges = 1000;

struct Latencies {
  double median_ms;
  double p99_ms;
};

Latencies Summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double fraction) {
    size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
    return samples[index];
  };
  return Latencies{at(0.5), at(0.99)};
}

// A listener on the user's document that records when each value of "n" arrived.
struct Probe {
  std::optional<int64_t> latest;
  Clock::time_point arrived;
  std::shared_ptr<DAVListenerRegistration> registration;

  explicit Probe(const std::shared_ptr<DAVDocumentReference>& doc) {
    registration = doc->addSnapshotListener(
        [this](std::shared_ptr<DAVDocumentSnapshot> snapshot, platform::ErrorPtr) {
          if (!snapshot) return;
          std::optional<DAVValue> n = (*snapshot)["n"];
          if (n && n->asInteger()) {
            latest = *n->asInteger();
            arrived = Clock::now();
          }
        });
  }
  ~Probe() { registration->remove(); }
};

void Report(benchmark::State& state, const std::vector<double>& samples) {
  Latencies latencies = Summarize(samples);
  state.counters["median_ms"] = latencies.median_ms;
  state.counters["p99_ms"] = latencies.p99_ms;
  state.counters["changes"] = static_cast<double>(samples.size());
}

// Makes change i = 1..kChanges and times each until the listener has seen it.
void MeasureChanges(benchmark::State& state, const Probe& probe, const std::function<void(int)>& change,
                    const char* missing) {
  std::vector<double> samples;
  for (auto _ : state) {
    samples.clear();
    for (int i = 1; i <= kChanges; ++i) {
      Clock::time_point start = Clock::now();
      change(i);
      if (!vrvtest::Spin([&] { return probe.latest == i; })) {
        state.SkipWithError(missing);
        return;
      }
      samples.push_back(std::chrono::duration<double, std::milli>(probe.arrived - start).count());
    }
  }
  Report(state, samples);
}

void BM_AdminChangeToListener(benchmark::State& state) {
  vrvtest::StandIn standIn("bench-admin");
  if (!standIn.SignIn("alice@example.com")) {
    state.SkipWithError("sign-in failed");
    return;
  }
  std::string path = "users/" + standIn.aliceUid;
  standIn.backend().setDocument(path, {{"userId", standIn.aliceUid}, {"n", 0}});
  auto db = standIn.Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
  Probe probe(doc);
  if (!vrvtest::Spin([&] { return probe.latest == 0; })) {
    state.SkipWithError("no first snapshot");
    return;
  }
  MeasureChanges(state, probe, [&](int i) { standIn.backend().mergeDocument(path, {{"n", i}}); },
                 "change did not arrive");
}
BENCHMARK(BM_AdminChangeToListener)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_LocalWriteToListener(benchmark::State& state) {
  vrvtest::StandIn standIn("bench-local");
  if (!standIn.SignIn("alice@example.com")) {
    state.SkipWithError("sign-in failed");
    return;
  }
  standIn.backend().setDocument("users/" + standIn.aliceUid, {{"userId", standIn.aliceUid}, {"n", 0}});
  auto db = standIn.Database(state.range(0) != 0);
  auto doc = db->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
  Probe probe(doc);
  if (!vrvtest::Spin([&] { return probe.latest == 0; })) {
    state.SkipWithError("no first snapshot");
    return;
  }
  MeasureChanges(state, probe, [&](int i) { doc->setData({{"n", i}}, /*merge=*/true); },
                 "local snapshot did not arrive");
}
// 0: memory persistence, 1: LevelDB.
BENCHMARK(BM_LocalWriteToListener)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
