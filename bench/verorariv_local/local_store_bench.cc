// The local store over the memory persistence with eager collection, as the client runs it
// without persistence.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../local_store_bench_util.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/VRVMemoryPersistence.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/remote/remote_event.h"

namespace {

using davedove::verorariv::auth::User;
using davedove::verorariv::core::QueryPtr;
using davedove::verorariv::core::TargetId;
using davedove::verorariv::core::VRVFilter;
using davedove::verorariv::core::VRVQuery;
using davedove::verorariv::core::VRVRelationFilterOperator;
using davedove::verorariv::local::VRVLocalStore;
using davedove::verorariv::local::VRVMemoryPersistence;
using davedove::verorariv::model::FieldPath;
using davedove::verorariv::model::kBatchIdUnknown;
using davedove::verorariv::model::MutationPtr;
using davedove::verorariv::model::ObjectValuePtr;
using davedove::verorariv::model::Precondition;
using davedove::verorariv::model::ResourcePath;
using davedove::verorariv::model::VRVIntegerValue;
using davedove::verorariv::model::VRVSetMutation;
using davedove::verorariv::remote::RemoteEvent;
using local_store_bench::Data;
using local_store_bench::EventOf;
using local_store_bench::KeyAt;

std::unique_ptr<VRVLocalStore> NewStore() {
  auto store =
      std::make_unique<VRVLocalStore>(VRVMemoryPersistence::persistenceWithEagerGC(), User("bench"));
  store->start();
  return store;
}

// Local writes of one 1 KiB document each; items per second is writes per second.
void BM_LocalWrite1KiBDocument(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  ObjectValuePtr data = Data(0, 1024);
  int i = 0;
  for (auto _ : state) {
    std::vector<MutationPtr> mutations{
        std::make_shared<const VRVSetMutation>(KeyAt("writes", i % 1000), data, Precondition::None())};
    benchmark::DoNotOptimize(store->locallyWriteMutations(std::move(mutations)));
    // Keep the queue at the size a live client has: drop the batches now and then, untimed.
    if (++i % 1000 == 0) {
      state.PauseTiming();
      while (auto batch = store->nextMutationBatchAfterBatchID(kBatchIdUnknown)) {
        store->rejectBatchID(batch->batchID());
      }
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_LocalWrite1KiBDocument);

// One remote event of 1,000 documents applied to an active target.
void BM_ApplyRemoteEvent1000Documents(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  QueryPtr query = VRVQuery::queryWithPath(ResourcePath::FromString("events"));
  TargetId targetID = store->allocateQuery(query)->targetID();
  RemoteEvent event = EventOf(targetID, "events", 1000, 64);
  for (auto _ : state) {
    benchmark::DoNotOptimize(store->applyRemoteEvent(event));
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ApplyRemoteEvent1000Documents)->Unit(benchmark::kMillisecond);

// A query that matches 1 % of 10,000 cached documents.
void BM_QueryMatchingOnePercentOf10000(benchmark::State& state) {
  std::unique_ptr<VRVLocalStore> store = NewStore();
  QueryPtr all = VRVQuery::queryWithPath(ResourcePath::FromString("cached"));
  TargetId targetID = store->allocateQuery(all)->targetID();
  store->applyRemoteEvent(EventOf(targetID, "cached", 10000, 64));
  QueryPtr onePercent = all->queryByAddingFilter(VRVFilter::filterWithField(
      FieldPath::FromServerFormat("bucket"), VRVRelationFilterOperator::Equal,
      VRVIntegerValue::integerValue(7)));
  size_t matched = 0;
  for (auto _ : state) {
    auto result = store->executeQuery(*onePercent);
    matched = result.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["matched"] = static_cast<double>(matched);
}
BENCHMARK(BM_QueryMatchingOnePercentOf10000)->Unit(benchmark::kMicrosecond);

}  // namespace
