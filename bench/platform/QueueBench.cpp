#include <benchmark/benchmark.h>

#include <atomic>

#include "platform/dispatch/Queue.h"

namespace {

using platform::dispatch::Queue;

// Blocks posted to a serial queue per second, including the final wait for the last one.
void BM_SerialAsyncThroughput(benchmark::State& state) {
  auto q = Queue::serial("bench.async");
  std::atomic<int64_t> ran{0};
  for (auto _ : state) {
    q->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
  }
  q->sync([] {});
  if (ran.load() != static_cast<int64_t>(state.iterations())) state.SkipWithError("lost blocks");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialAsyncThroughput);

// sync onto an idle serial queue: the caller runs the block itself.
void BM_SyncRoundTripIdle(benchmark::State& state) {
  auto q = Queue::serial("bench.sync-idle");
  int64_t value = 0;
  for (auto _ : state) {
    q->sync([&value] { ++value; });
  }
  benchmark::DoNotOptimize(value);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncRoundTripIdle);

// async then sync: the sync waits behind queued work and is handed to the queue's worker thread.
void BM_SyncRoundTripBusy(benchmark::State& state) {
  auto q = Queue::serial("bench.sync-busy");
  int64_t value = 0;
  for (auto _ : state) {
    q->async([&value] { ++value; });
    q->sync([&value] { ++value; });
  }
  benchmark::DoNotOptimize(value);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncRoundTripBusy);

}  // namespace
