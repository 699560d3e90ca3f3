// How soon the client is of use over a slow link: identity and document requests cross a relay
// that holds every chunk for the one-way delay given as the argument (0, 50, 150 or 300 ms). Measured
// from a fresh client (a new database instance, the user signed in before) and again after the
// stream closed as idle: the time to a listener's first snapshot from the server, and to a first
// write's acknowledgement. The "_ms" counters are medians of the runs in milliseconds, and each
// "_round_trips" counter divides one by the link's round trip (twice the delay, "round_trip_ms").
//
// The same times without a relay when the service's name gives first an address that drops every
// packet (BM_DeadFirstAddress), and what network off/on cycles over a 150 ms link leave behind: the
// relay's open connections and the process's threads before the cycles and once they settled, and
// the connections left after a shutdown 30 ms into a connection (BM_NetworkOffOnCycles).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
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
#include "davedove/verorariv/api/tests/dead_first_address.h"
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

// Signs the user in and gives them a document; false (the run skipped) when the sign-in failed.
bool SignedInWithDocument(benchmark::State& state, vrvtest::StandIn& standIn) {
  if (!standIn.SignIn("alice@example.com")) {
    state.SkipWithError("sign-in failed");
    return false;
  }
  standIn.backend().setDocument("users/" + standIn.aliceUid, {{"userId", standIn.aliceUid}, {"n", 0}});
  return true;
}

// Times a listener, and apart from it a write with nothing listened to, on each iteration, into
// median counters (and round trips when the link has a delay).
void FirstAnswers(benchmark::State& state, vrvtest::StandIn& standIn, std::chrono::milliseconds oneWay) {
  std::map<std::string, std::vector<double>> samples;
  for (auto _ : state) {
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

void BM_SlowLinkFirstAnswers(benchmark::State& state) {
  const std::chrono::milliseconds oneWay(state.range(0));
  vrvtest::StandIn standIn("bench-slow-link");
  backend::SlowLink http(standIn.backend().port(), oneWay);
  backend::SlowLink documents(standIn.backend().documents().port(), oneWay);
  standIn.UseHosts(http.baseURL(), documents.hostAndPort());
  if (SignedInWithDocument(state, standIn)) FirstAnswers(state, standIn, oneWay);
}
BENCHMARK(BM_SlowLinkFirstAnswers)->Arg(0)->Arg(50)->Arg(150)->Arg(300)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_DeadFirstAddress(benchmark::State& state) {
  vrvtest::StandIn standIn("bench-dead-address");
  vrvtest::DeadFirstAddress named(standIn.backend());
  if (!named.error().empty() || !named.unsupported().empty()) {
    state.SkipWithError(named.error().empty() ? named.unsupported().c_str() : named.error().c_str());
    return;
  }
  standIn.UseHosts(standIn.backend().baseURL(), named.documentsHost(), /*documentsTls=*/true);
  if (SignedInWithDocument(state, standIn)) FirstAnswers(state, standIn, std::chrono::milliseconds(0));
}
BENCHMARK(BM_DeadFirstAddress)->Iterations(3)->Unit(benchmark::kMillisecond);

double ThreadCount() {
  return static_cast<double>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                           std::filesystem::directory_iterator()));
}

// Waits up to `patience` for the relay's open connections to come down to `connections`; the
// connections then open.
double SettledConnections(const backend::SlowLink& link, int connections, std::chrono::seconds patience) {
  vrvtest::SpinPolling([&] { return link.open() <= connections; }, patience);
  return link.open();
}

void BM_NetworkOffOnCycles(benchmark::State& state) {
  const int cycles = static_cast<int>(state.range(0));
  vrvtest::StandIn standIn("bench-off-on-cycles");
  backend::SlowLink documents(standIn.backend().documents().port(), std::chrono::milliseconds(150));
  standIn.UseHosts(standIn.backend().baseURL(), documents.hostAndPort());
  if (!SignedInWithDocument(state, standIn)) return;
  for (auto _ : state) {
    standIn.Restart();
    auto db = standIn.Database(false);
    auto doc = db->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
    auto registration = doc->addSnapshotListener([](std::shared_ptr<DAVDocumentSnapshot>, platform::ErrorPtr) {});
    if (!TimeToServerSnapshot(doc) || !TimeToAcknowledgement(doc)) {
      state.SkipWithError("the client never connected");
      return;
    }
    const int connections = documents.open();
    state.counters["connections_before"] = connections;
    state.counters["threads_before"] = ThreadCount();
    for (int cycle = 0; cycle < cycles; ++cycle) {
      vrvtest::SetNetwork(db, false);
      doc->setData({{"cycle", cycle}}, /*merge=*/true, nullptr);
      vrvtest::SetNetwork(db, true);
      // Off again within the two round trips a new connection takes.
      vrvtest::Spin([] { return false; }, std::chrono::milliseconds(100 * (1 + cycle % 4)));
    }
    if (!TimeToAcknowledgement(doc)) {
      state.SkipWithError("the last write was not acknowledged");
      return;
    }
    state.counters["connections_after"] = SettledConnections(documents, connections, std::chrono::seconds(2));
    state.counters["threads_after"] = ThreadCount();
    registration->remove();
    standIn.ShutDownDatabase();
    SettledConnections(documents, 0, std::chrono::seconds(5));
    // A shutdown while the streams connect.
    doc = standIn.Database(false)->collectionWithPath("users")->documentWithPath(standIn.aliceUid);
    registration = doc->addSnapshotListener([](std::shared_ptr<DAVDocumentSnapshot>, platform::ErrorPtr) {});
    doc->setData({{"cycle", cycles}}, /*merge=*/true, nullptr);
    vrvtest::Spin([] { return false; }, std::chrono::milliseconds(30));
    standIn.ShutDownDatabase();
    state.counters["connections_after_shutdown"] = SettledConnections(documents, 0, std::chrono::seconds(5));
  }
}
BENCHMARK(BM_NetworkOffOnCycles)->Arg(40)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
