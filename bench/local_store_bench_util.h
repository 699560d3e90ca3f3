// Documents and remote events shared by the local store benchmarks of every persistence.
#ifndef BENCH_LOCAL_STORE_BENCH_UTIL_H_
#define BENCH_LOCAL_STORE_BENCH_UTIL_H_

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/model/VRVMutation.h"
#include "davedove/verorariv/model/VRVMutationBatch.h"
#include "davedove/verorariv/model/VRVDocument.h"
#include "davedove/verorariv/model/VRVFieldValue.h"
#include "davedove/verorariv/model/document_key.h"
#include "davedove/verorariv/model/document_key_set.h"
#include "davedove/verorariv/model/precondition.h"
#include "davedove/verorariv/model/snapshot_version.h"
#include "davedove/verorariv/remote/remote_event.h"

namespace local_store_bench {

inline davedove::verorariv::model::DocumentKey KeyAt(const std::string& collection, int i) {
  return davedove::verorariv::model::DocumentKey::FromSegments({collection, "doc" + std::to_string(i)});
}

// A document with an integer "bucket" to filter on and a string payload of the given size.
inline davedove::verorariv::model::ObjectValuePtr Data(int bucket, size_t payloadBytes) {
  using davedove::verorariv::model::FieldValuePtr;
  using davedove::verorariv::model::VRVIntegerValue;
  using davedove::verorariv::model::VRVObjectValue;
  using davedove::verorariv::model::VRVStringValue;
  return std::make_shared<const VRVObjectValue>(std::map<std::string, FieldValuePtr>{
      {"bucket", VRVIntegerValue::integerValue(bucket)},
      {"payload", VRVStringValue::stringValue(std::string(payloadBytes, 'x'))}});
}

// One event that adds `count` documents of `collection` to the target; document i is in bucket
// i % 100.
inline davedove::verorariv::remote::RemoteEvent EventOf(
    davedove::verorariv::core::TargetId targetID, const std::string& collection, int count,
    size_t payloadBytes) {
  using davedove::verorariv::model::DocumentKey;
  using davedove::verorariv::model::DocumentKeySet;
  using davedove::verorariv::model::DocumentState;
  using davedove::verorariv::model::SnapshotVersion;
  using davedove::verorariv::model::VRVDocument;
  using davedove::verorariv::remote::RemoteEvent;
  using davedove::verorariv::remote::TargetChange;
  SnapshotVersion version(davedove::Timestamp(100, 0));
  DocumentKeySet keys;
  RemoteEvent::DocumentUpdateMap updates;
  for (int i = 0; i < count; ++i) {
    DocumentKey key = KeyAt(collection, i);
    keys = keys.insert(key);
    updates[key] = VRVDocument::documentWithData(Data(i % 100, payloadBytes), key, version,
                                                 DocumentState::Synced);
  }
  RemoteEvent::TargetChangeMap changes;
  changes[targetID] = TargetChange("resume", true, keys, DocumentKeySet(), DocumentKeySet());
  return RemoteEvent(version, std::move(changes), std::move(updates), DocumentKeySet());
}

// Local writes drop their batches every this many writes, as a live client's queue drains.
constexpr int kWritesPerDrain = 1000;

// Sets document i % kWritesPerDrain of collection "writes".
inline std::vector<davedove::verorariv::model::MutationPtr> WriteOf(
    int i, const davedove::verorariv::model::ObjectValuePtr& data) {
  using davedove::verorariv::model::Precondition;
  using davedove::verorariv::model::VRVSetMutation;
  return {std::make_shared<const VRVSetMutation>(KeyAt("writes", i % kWritesPerDrain), data,
                                                 Precondition::None())};
}

// Local writes of one 1 KiB document each; items per second is writes per second.
inline void RunLocalWrites1KiB(benchmark::State& state,
                               davedove::verorariv::local::VRVLocalStore& store) {
  davedove::verorariv::model::ObjectValuePtr data = Data(0, 1024);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.locallyWriteMutations(WriteOf(i, data)));
    // Keep the queue at the size a live client has: drop the batches now and then, untimed.
    if (++i % kWritesPerDrain == 0) {
      state.PauseTiming();
      while (auto batch =
                 store.nextMutationBatchAfterBatchID(davedove::verorariv::model::kBatchIdUnknown)) {
        store.rejectBatchID(batch->batchID());
      }
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 1024);
}

// One remote event of 1,000 documents applied to an active target.
inline void RunApplyRemoteEvent1000Documents(benchmark::State& state,
                                             davedove::verorariv::local::VRVLocalStore& store) {
  using davedove::verorariv::core::VRVQuery;
  using davedove::verorariv::model::ResourcePath;
  auto query = VRVQuery::queryWithPath(ResourcePath::FromString("events"));
  davedove::verorariv::core::TargetId targetID = store.allocateQuery(query)->targetID();
  davedove::verorariv::remote::RemoteEvent event = EventOf(targetID, "events", 1000, 64);
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.applyRemoteEvent(event));
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

// 10,000 documents of collection "cached" in the remote document cache, one target holding them.
inline void Cache10000Documents(davedove::verorariv::local::VRVLocalStore& store) {
  using davedove::verorariv::core::VRVQuery;
  using davedove::verorariv::model::ResourcePath;
  auto all = VRVQuery::queryWithPath(ResourcePath::FromString("cached"));
  davedove::verorariv::core::TargetId targetID = store.allocateQuery(all)->targetID();
  store.applyRemoteEvent(EventOf(targetID, "cached", 10000, 64));
}

// A query that matches 1 % of the documents Cache10000Documents added.
inline void RunQueryMatchingOnePercent(benchmark::State& state,
                                       davedove::verorariv::local::VRVLocalStore& store) {
  using davedove::verorariv::core::VRVFilter;
  using davedove::verorariv::core::VRVQuery;
  using davedove::verorariv::core::VRVRelationFilterOperator;
  using davedove::verorariv::model::FieldPath;
  using davedove::verorariv::model::ResourcePath;
  using davedove::verorariv::model::VRVIntegerValue;
  auto onePercent =
      VRVQuery::queryWithPath(ResourcePath::FromString("cached"))
          ->queryByAddingFilter(VRVFilter::filterWithField(FieldPath::FromServerFormat("bucket"),
                                                           VRVRelationFilterOperator::Equal,
                                                           VRVIntegerValue::integerValue(7)));
  size_t matched = 0;
  for (auto _ : state) {
    auto result = store.executeQuery(*onePercent);
    matched = result.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["matched"] = static_cast<double>(matched);
}


// ----- the mutation queue under load -----

// Writes `count` batches, each setting a small document of its own in collection "queued": the
// local view of a document costs one read per pending write on it, so documents shared between
// batches would measure that rather than the queue.
inline void QueueBatches(davedove::verorariv::local::VRVLocalStore& store, int first, int count) {
  davedove::verorariv::model::ObjectValuePtr data = Data(0, 16);
  for (int i = first; i < first + count; ++i) {
    using davedove::verorariv::model::Precondition;
    using davedove::verorariv::model::VRVSetMutation;
    store.locallyWriteMutations({std::make_shared<const VRVSetMutation>(
        KeyAt("queued", i), data, Precondition::None())});
  }
}

// Seconds spent in `operation`, for benchmarks that time one call of each iteration by hand.
template <typename Operation>
double SecondsIn(Operation&& operation) {
  auto start = std::chrono::steady_clock::now();
  operation();
  auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(end - start).count();
}

// What each iteration does to the oldest of `state.range(0)` queued batches. After it, untimed,
// the queue is brought back to its length with one new batch, so rows of removed batches pile up
// behind the queue as they do in a live client.
enum class QueueOperation { Acknowledge, Reject, FindFirst };

inline void RunQueueOperation(benchmark::State& state,
                              davedove::verorariv::local::VRVLocalStore& store,
                              QueueOperation operation) {
  using davedove::verorariv::model::kBatchIdUnknown;
  using davedove::verorariv::model::MutationBatchPtr;
  using davedove::verorariv::model::SnapshotVersion;
  using davedove::verorariv::model::VRVMutationBatchResult;
  using davedove::verorariv::model::VRVMutationResult;
  const int queued = static_cast<int>(state.range(0));
  QueueBatches(store, 0, queued);
  int written = queued;
  int64_t commitSeconds = 1000;
  for (auto _ : state) {
    MutationBatchPtr first = store.nextMutationBatchAfterBatchID(kBatchIdUnknown);
    if (!first) {
      state.SkipWithError("the queue ran dry");
      return;
    }
    double seconds = 0;
    switch (operation) {
      case QueueOperation::Acknowledge: {
        SnapshotVersion version(davedove::Timestamp(++commitSeconds, 0));
        auto result = VRVMutationBatchResult::resultWithBatch(
            first, version, {VRVMutationResult(version, std::nullopt)}, "token");
        seconds = SecondsIn([&] { benchmark::DoNotOptimize(store.acknowledgeBatchWithResult(*result)); });
        break;
      }
      case QueueOperation::Reject:
        seconds = SecondsIn([&] { benchmark::DoNotOptimize(store.rejectBatchID(first->batchID())); });
        break;
      case QueueOperation::FindFirst:
        seconds = SecondsIn([&] {
          benchmark::DoNotOptimize(store.nextMutationBatchAfterBatchID(kBatchIdUnknown));
        });
        store.rejectBatchID(first->batchID());
        break;
    }
    state.SetIterationTime(seconds);
    QueueBatches(store, written++, 1);
  }
  state.counters["queued"] = queued;
}

}  // namespace local_store_bench

#endif  // BENCH_LOCAL_STORE_BENCH_UTIL_H_
