// Persistent sorted map against std::map: insert, find and in-order walk.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "davedove/verorariv/immutable/sorted_map.h"

namespace {

using davedove::verorariv::immutable::SortedMap;
using IntMap = SortedMap<int64_t, int64_t>;

std::vector<int64_t> ShuffledKeys(int64_t count) {
  std::vector<int64_t> keys(static_cast<size_t>(count));
  std::iota(keys.begin(), keys.end(), 0);
  std::mt19937_64 random(12345);
  std::shuffle(keys.begin(), keys.end(), random);
  return keys;
}

void BM_SortedMapInsert(benchmark::State& state) {
  std::vector<int64_t> keys = ShuffledKeys(state.range(0));
  for (auto _ : state) {
    IntMap map;
    for (int64_t key : keys) map = map.insert(key, key);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StdMapInsert(benchmark::State& state) {
  std::vector<int64_t> keys = ShuffledKeys(state.range(0));
  for (auto _ : state) {
    std::map<int64_t, int64_t> map;
    for (int64_t key : keys) map.emplace(key, key);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SortedMapFind(benchmark::State& state) {
  std::vector<int64_t> keys = ShuffledKeys(state.range(0));
  IntMap map;
  for (int64_t key : keys) map = map.insert(key, key);
  std::vector<int64_t> probes = ShuffledKeys(state.range(0));
  for (auto _ : state) {
    int64_t sum = 0;
    for (int64_t key : probes) sum += map.find(key)->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StdMapFind(benchmark::State& state) {
  std::vector<int64_t> keys = ShuffledKeys(state.range(0));
  std::map<int64_t, int64_t> map;
  for (int64_t key : keys) map.emplace(key, key);
  std::vector<int64_t> probes = ShuffledKeys(state.range(0));
  for (auto _ : state) {
    int64_t sum = 0;
    for (int64_t key : probes) sum += map.find(key)->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SortedMapWalk(benchmark::State& state) {
  IntMap map;
  for (int64_t key : ShuffledKeys(state.range(0))) map = map.insert(key, key);
  for (auto _ : state) {
    int64_t sum = 0;
    for (const auto& entry : map) sum += entry.second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StdMapWalk(benchmark::State& state) {
  std::map<int64_t, int64_t> map;
  for (int64_t key : ShuffledKeys(state.range(0))) map.emplace(key, key);
  for (auto _ : state) {
    int64_t sum = 0;
    for (const auto& entry : map) sum += entry.second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_SortedMapInsert)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMapInsert)->Arg(1000)->Arg(100000);
BENCHMARK(BM_SortedMapFind)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMapFind)->Arg(1000)->Arg(100000);
BENCHMARK(BM_SortedMapWalk)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMapWalk)->Arg(1000)->Arg(100000);

}  // namespace
