// The local store over the LevelDB persistence, each benchmark in a fresh temporary directory,
// beside raw LevelDB doing the same row puts and scans.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../local_store_bench_util.h"
#include "absl/strings/match.h"
#include "davedove/verorariv/auth/user.h"
#include "davedove/verorariv/core/VRVQuery.h"
#include "davedove/verorariv/local/VRVLevelDB.h"
#include "davedove/verorariv/local/VRVLocalSerializer.h"
#include "davedove/verorariv/local/VRVLocalStore.h"
#include "davedove/verorariv/local/leveldb_key.h"
#include "davedove/verorariv/local/leveldb_transaction.h"
#include "davedove/verorariv/model/database_id.h"
#include "davedove/verorariv/remote/VRVSerializerBeta.h"
#include "davedove/verorariv/util/filesystem.h"
#include "davedove/verorariv/util/path.h"
#include "leveldb/db.h"
#include "leveldb/write_batch.h"

namespace {

using davedove::verorariv::auth::User;
using davedove::verorariv::core::QueryPtr;
using davedove::verorariv::core::TargetId;
using davedove::verorariv::core::VRVQuery;
using davedove::verorariv::local::LevelDbDocumentMutationKey;
using davedove::verorariv::local::LevelDbMutationKey;
using davedove::verorariv::local::LevelDbRemoteDocumentKey;
using davedove::verorariv::local::LevelDbTransaction;
using davedove::verorariv::local::LruParams;
using davedove::verorariv::local::LruResults;
using davedove::verorariv::local::VRVLevelDB;
using davedove::verorariv::local::VRVLocalSerializer;
using davedove::verorariv::local::VRVLocalStore;
using davedove::verorariv::model::ResourcePath;
using davedove::verorariv::util::Path;
using local_store_bench::Cache10000Documents;
using local_store_bench::Data;
using local_store_bench::EventOf;
using local_store_bench::KeyAt;
using local_store_bench::QueueOperation;
using local_store_bench::RunQueueOperation;
using local_store_bench::kWritesPerDrain;
using local_store_bench::RunApplyRemoteEvent1000Documents;
using local_store_bench::RunLocalWrites1KiB;
using local_store_bench::RunQueryMatchingOnePercent;
using local_store_bench::WriteOf;

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vrv-ldbbench-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    path_ = Path::FromUtf8(made);
  }
  ~TempDir() { davedove::verorariv::util::RecursivelyDelete(path_).IgnoreError(); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  Path Sub(const std::string& name) const { return path_.AppendUtf8(name); }

 private:
  Path path_;
};

// A started local store over a LevelDB persistence in its own temporary directory. Members go
// in reverse order: the store, then the database, then the directory.
struct LevelDbStore {
  explicit LevelDbStore(const LruParams& lruParams = LruParams{104857600, 10, 1000}) {
    auto serializer = std::make_shared<const VRVLocalSerializer>(
        std::make_shared<const davedove::verorariv::remote::VRVSerializerBeta>(
            davedove::verorariv::model::DatabaseId("bench", "(default)")));
    auto opened = VRVLevelDB::dbWithDirectory(directory.Sub("main"), serializer, lruParams);
    if (!opened.ok()) {
      std::fprintf(stderr, "Cannot open the store: %s\n", opened.status().ToString().c_str());
      std::abort();
    }
    db = opened.value();
    store = std::make_unique<VRVLocalStore>(db, User("bench"));
    store->start();
  }

  TempDir directory;
  std::shared_ptr<VRVLevelDB> db;
  std::unique_ptr<VRVLocalStore> store;
};

// A raw database opened as the persistence opens its own, in its own temporary directory.
struct RawLevelDb {
  RawLevelDb() {
    Path path = directory.Sub("main");
    if (!davedove::verorariv::util::RecursivelyCreateDir(path).ok()) std::abort();
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB* opened = nullptr;
    if (!leveldb::DB::Open(options, path.ToUtf8String(), &opened).ok()) std::abort();
    db.reset(opened);
  }

  TempDir directory;
  std::unique_ptr<leveldb::DB> db;
};

void BM_LocalWrite1KiBDocument(benchmark::State& state) {
  LevelDbStore ldb;
  RunLocalWrites1KiB(state, *ldb.store);
}
// Wall time: LevelDB flushes and compacts on its own thread.
BENCHMARK(BM_LocalWrite1KiBDocument)->UseRealTime();

// The rows one local write puts: the batch row and the document's index row, in one write batch
// with the persistence's write options. The batch row's bytes are taken from a real local write.
void BM_RawLevelDbPutsOfLocalWrite(benchmark::State& state) {
  std::string userId;
  std::string batchRow;
  {
    LevelDbStore ldb;
    ldb.store->locallyWriteMutations(WriteOf(0, Data(0, 1024)));
    std::unique_ptr<leveldb::Iterator> it(
        ldb.db->ptr()->NewIterator(VRVLevelDB::standardReadOptions()));
    it->Seek(LevelDbMutationKey::KeyPrefix());
    LevelDbMutationKey rowKey;
    if (!it->Valid() || !rowKey.Decode(absl::string_view(it->key().data(), it->key().size()))) {
      state.SkipWithError("no batch row after a local write");
      return;
    }
    userId = rowKey.user_id();
    batchRow = it->value().ToString();
  }

  RawLevelDb raw;
  const leveldb::WriteOptions& writeOptions = LevelDbTransaction::DefaultWriteOptions();
  int i = 0;
  for (auto _ : state) {
    leveldb::WriteBatch batch;
    batch.Put(LevelDbMutationKey::Key(userId, i), batchRow);
    batch.Put(LevelDbDocumentMutationKey::Key(userId, KeyAt("writes", i % kWritesPerDrain), i),
              std::string());
    if (!raw.db->Write(writeOptions, &batch).ok()) std::abort();
    if (++i % kWritesPerDrain == 0) {
      state.PauseTiming();
      leveldb::WriteBatch drop;
      for (int b = i - kWritesPerDrain; b < i; ++b) {
        drop.Delete(LevelDbMutationKey::Key(userId, b));
        drop.Delete(
            LevelDbDocumentMutationKey::Key(userId, KeyAt("writes", b % kWritesPerDrain), b));
      }
      if (!raw.db->Write(writeOptions, &drop).ok()) std::abort();
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_RawLevelDbPutsOfLocalWrite)->UseRealTime();

void BM_ApplyRemoteEvent1000Documents(benchmark::State& state) {
  LevelDbStore ldb;
  RunApplyRemoteEvent1000Documents(state, *ldb.store);
}
BENCHMARK(BM_ApplyRemoteEvent1000Documents)->Unit(benchmark::kMillisecond);

std::unique_ptr<LevelDbStore> StoreWith10000CachedDocuments() {
  auto ldb = std::make_unique<LevelDbStore>();
  Cache10000Documents(*ldb->store);
  return ldb;
}

void BM_QueryMatchingOnePercentOf10000(benchmark::State& state) {
  std::unique_ptr<LevelDbStore> ldb = StoreWith10000CachedDocuments();
  RunQueryMatchingOnePercent(state, *ldb->store);
}
BENCHMARK(BM_QueryMatchingOnePercentOf10000)->Unit(benchmark::kMicrosecond);

// The same 10,000 document rows read with a raw iterator and the persistence's read options.
void BM_RawLevelDbScanOf10000Documents(benchmark::State& state) {
  std::unique_ptr<LevelDbStore> ldb = StoreWith10000CachedDocuments();
  std::string prefix = LevelDbRemoteDocumentKey::KeyPrefix(ResourcePath::FromString("cached"));
  size_t rows = 0;
  for (auto _ : state) {
    std::unique_ptr<leveldb::Iterator> it(
        ldb->db->ptr()->NewIterator(VRVLevelDB::standardReadOptions()));
    size_t bytes = 0;
    rows = 0;
    for (it->Seek(prefix);
         it->Valid() && absl::StartsWith(absl::string_view(it->key().data(), it->key().size()),
                                         prefix);
         it->Next()) {
      bytes += it->key().size() + it->value().size();
      ++rows;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_RawLevelDbScanOf10000Documents)->Unit(benchmark::kMicrosecond);

// Each with 1,000 and then 10,000 batches queued; per-call time of the one operation.
void BM_AcknowledgeOldestBatch(benchmark::State& state) {
  LevelDbStore ldb;
  RunQueueOperation(state, *ldb.store, QueueOperation::Acknowledge);
}
BENCHMARK(BM_AcknowledgeOldestBatch)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RejectOldestBatch(benchmark::State& state) {
  LevelDbStore ldb;
  RunQueueOperation(state, *ldb.store, QueueOperation::Reject);
}
BENCHMARK(BM_RejectOldestBatch)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_NextBatchFromTheStart(benchmark::State& state) {
  LevelDbStore ldb;
  RunQueueOperation(state, *ldb.store, QueueOperation::FindFirst);
}
BENCHMARK(BM_NextBatchFromTheStart)
    ->Arg(1000)->Arg(10000)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);

constexpr int kLruTargets = 1000;
constexpr int kLruDocumentsPerTarget = 100;

// One collection over 1,000 released targets of 100 documents each (100,000 documents); the
// targets were released in order, so the run removes the oldest tenth and their documents. The
// byte threshold is 0 so that the collection always runs. Only the collection is timed.
void BM_LruCollection1000Targets100000Documents(benchmark::State& state) {
  LruResults results = LruResults::DidNotRun();
  for (auto _ : state) {
    LevelDbStore ldb(LruParams{0, 10, 1000});
    std::vector<QueryPtr> queries;
    for (int t = 0; t < kLruTargets; ++t) {
      std::string collection = "lru" + std::to_string(t);
      queries.push_back(VRVQuery::queryWithPath(ResourcePath::FromString(collection)));
      TargetId targetID = ldb.store->allocateQuery(queries.back())->targetID();
      ldb.store->applyRemoteEvent(EventOf(targetID, collection, kLruDocumentsPerTarget, 64));
    }
    for (const QueryPtr& query : queries) ldb.store->releaseQuery(query);

    auto start = std::chrono::steady_clock::now();
    results = ldb.store->collectGarbage(ldb.db->lruDelegate()->gc().get());
    auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["targetsRemoved"] = results.targetsRemoved;
  state.counters["documentsRemoved"] = results.documentsRemoved;
}
BENCHMARK(BM_LruCollection1000Targets100000Documents)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
