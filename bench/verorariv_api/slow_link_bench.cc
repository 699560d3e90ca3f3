// How soon the client is of use over a slow link: identity and document requests cross a relay
// that holds every chunk for the one-way delay given as the argument (0, 50, 150 or 300 ms). Measured
// from a fresh client (a new database instance, the user signed in before) and again after the
// stream closed as idle: the time to a listener's first snapshot from the server, and to a first
// write's acknowledgement. The "_ms" counters are medians of the runs in milliseconds, and each
// "_round_trips" counter divides one by the link's round trip (twice the delay, "round_trip_ms").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/src/SlowLink.h"
#include "davedove/verorariv/api/DAVCollectionReference.h"
#include "davedove/verorariv/api/DAVDocumentReference.h"
#include "davedove/verorariv/api/DAVDocumentSnapshot.h"
#include "davedove/verorariv/api/DAVListenerRegistration.h"
#include "davedove/verorariv/api/tests/verorariv_test_support.h"
#include "davedove/verorariv/util/async_queue.h"

namespace {

using Clock = std::chrono::steady_clock;
using davedove::verorariv::util::TimerId;
constexpr std::chrono::seconds kPatience(60);

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What a listener or a completion heard; shared with it, as it may be called after we gave up.
struct Heard {
  bool done = false;
  platform::ErrorPtr error;
};

using Measure = std::function<std::optional<double>(const std::shared_ptr<DAVDocumentReference>&)>;

// From adding a listener until its first snapshot from the server; nullopt when none came.
std::optional<double> TimeToServerSnapshot(const std::shared_ptr<DAVDocumentReference>& doc) {
  auto heard = std::make_shared<Heard>();
  Clock::time_point start = Clock::now();
  auto registration = doc->addSnapshotListener([heard](std::shared_ptr<DAVDocumentSnapshot> snapshot,
                                                       platform::ErrorPtr) {
    if (snapshot && !snapshot->metadata().isFromCache()) heard->done = true;
  });
  bool arrived = vrvtest::Spin([&] { return heard->done; }, kPatience);
  registration->remove();
  if (!arrived) return std::nullopt;
  return MillisecondsSince(start);
}

// From a write until the server's acknowledgement; nullopt when it failed or none came.
std::optional<double> TimeToAcknowledgement(const std::shared_ptr<DAVDocumentReference>& doc) {
  static int64_t n = 0;
  auto heard = std::make_shared<Heard>();
  Clock::time_point start = Clock::now();
  doc->setData({{"n", ++n}}, /*merge=*/true, [heard](platform::ErrorPtr e) {
    heard->error = e;
    heard->done = true;
  });
  if (!vrvtest::Spin([&] { return heard->done; }, kPatience) || heard->error) return std::nullopt;
  return MillisecondsSince(start);
}

// Closes the stream behind `timer` as 60 s without use would, once the stream has marked itself
// idle; false when it never did.
bool CloseAsIdle(const std::shared_ptr<DAVVerorariv>& db, TimerId timer) {
  if (!vrvtest::Spin([&] { return db->workerQueue()->IsScheduled(timer); })) return false;
  db->workerQueue()->RunScheduledOperationsUntil(timer);
  return true;
}

// Times `measure` on a fresh client, and again after the stream behind `idleTimer` closed as
// idle, into samples "<name>_fresh" and "<name>_after_idle"; false (the run skipped) when one failed.
bool FreshAndAfterIdle(benchmark::State& state, vrvtest::StandIn& standIn, const std::string& name,
                       TimerId idleTimer, const Measure& measure,
                       std::map<std::string, std::vector<double>>& samples) {
  // A new run of the program: it takes its database at once, as a program does.
  standIn.Restart();
  auto db = standIn.Database(false);
  auto doc = db->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
  std::optional<double> fresh = measure(doc);
  bool closed = fresh && CloseAsIdle(db, idleTimer);
  std::optional<double> again = closed ? measure(doc) : std::nullopt;
  if (!again) {
    static std::string failure;  // outlives the run, whatever the library keeps of it
    failure = name + (!fresh ? ": nothing on a fresh client" : !closed ? ": the stream never went idle"
                                                                       : ": nothing after the idle close");
    state.SkipWithError(failure.c_str());
    return false;
  }
  samples[name + "_fresh"].push_back(*fresh);
  samples[name + "_after_idle"].push_back(*again);
  return true;
}

void BM_SlowLinkFirstAnswers(benchmark::State& state) {
  const std::chrono::milliseconds oneWay(state.range(0));
  vrvtest::StandIn standIn("bench-slow-link");
  backend::SlowLink http(standIn.backend().port(), oneWay);
  backend::SlowLink documents(standIn.backend().documents().port(), oneWay);
  standIn.UseHosts(http.baseURL(), documents.hostAndPort());
  if (!standIn.SignIn("alice@example.com")) {
    state.SkipWithError("sign-in failed");
    return;
  }
  standIn.backend().setDocument("users/" + standIn.aliceUid, {{"userId", standIn.aliceUid}, {"n", 0}});

  std::map<std::string, std::vector<double>> samples;
  for (auto _ : state) {
    // A listener, and apart from it a write with nothing listened to.
    if (!FreshAndAfterIdle(state, standIn, "snapshot", TimerId::WatchStreamIdle, TimeToServerSnapshot, samples) ||
        !FreshAndAfterIdle(state, standIn, "ack", TimerId::WriteStreamIdle, TimeToAcknowledgement, samples)) {
      return;
    }
  }

  const double roundTrip = 2.0 * static_cast<double>(oneWay.count());
  state.counters["round_trip_ms"] = roundTrip;
  for (auto& [name, values] : samples) {
    std::sort(values.begin(), values.end());
    double median = values[values.size() / 2];
    state.counters[name + "_ms"] = median;
    if (roundTrip > 0) state.counters[name + "_round_trips"] = median / roundTrip;
  }
}
BENCHMARK(BM_SlowLinkFirstAnswers)->Arg(0)->Arg(50)->Arg(150)->Arg(300)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
