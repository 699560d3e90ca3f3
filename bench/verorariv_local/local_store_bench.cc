// The local store over the memory persistence with eager collection, as the client runs it
// without persistence.
#include <benchmark/benchmark.h>

#include <memory>

#include "../local_store_bench_util.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"

namespace {

using davedove::verorariv::auth::User;
using davedove::verorariv::local::VRVLocalStore;
using davedove::verorariv::local::VRVMemoryPersistence;
using local_store_bench::Cache10000Documents;
using local_store_bench::QueueOperation;
using local_store_bench::RunQueueOperation;
using local_store_bench::RunApplyRemoteEvent1000Documents;
using local_store_bench::RunLocalWrites1KiB;
using local_store_bench::RunQueryMatchingOnePercent;

std::unique_ptr<VRVLocalStore> NewStore() {
  auto store =
      std::make_unique<VRVLocalStore>(VRVMemoryPersistence::persistenceWithEagerGC(), User("bench"));
  store->start();
  return store;
}

void BM_LocalWrite1KiBDocument(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  RunLocalWrites1KiB(state, *store);
}
BENCHMARK(BM_LocalWrite1KiBDocument);

void BM_ApplyRemoteEvent1000Documents(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  RunApplyRemoteEvent1000Documents(state, *store);
}
BENCHMARK(BM_ApplyRemoteEvent1000Documents)->Unit(benchmark::kMillisecond);

void BM_QueryMatchingOnePercentOf10000(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  Cache10000Documents(*store);
  RunQueryMatchingOnePercent(state, *store);
}
BENCHMARK(BM_QueryMatchingOnePercentOf10000)->Unit(benchmark::kMicrosecond);

// Each with 1,000 and then 10,000 batches queued; per-call time of the one operation.
void BM_AcknowledgeOldestBatch(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  RunQueueOperation(state, *store, QueueOperation::Acknowledge);
}
BENCHMARK(BM_AcknowledgeOldestBatch)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RejectOldestBatch(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  RunQueueOperation(state, *store, QueueOperation::Reject);
}
BENCHMARK(BM_RejectOldestBatch)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_NextBatchFromTheStart(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  RunQueueOperation(state, *store, QueueOperation::FindFirst);
}
BENCHMARK(BM_NextBatchFromTheStart)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
