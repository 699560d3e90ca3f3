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

}  // namespace
