// Encode and decode throughput of the ordered key encoding.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "davedove/verorariv/util/ordered_code.h"

namespace {

using davedove::verorariv::util::OrderedCode;

std::vector<std::string> RandomStrings(size_t count, size_t length, bool with_specials) {
  std::mt19937_64 rng(1);
  std::vector<std::string> strings(count, std::string(length, 'a'));
  for (auto& s : strings) {
    for (char& c : s) {
      c = static_cast<char>('a' + rng() % 26);
      if (with_specials && rng() % 16 == 0) c = (rng() & 1) ? '\x00' : '\xff';
    }
  }
  return strings;
}

std::vector<int64_t> RandomNumbers(size_t count) {
  std::mt19937_64 rng(2);
  std::vector<int64_t> numbers(count);
  for (auto& n : numbers) n = static_cast<int64_t>(rng()) >> (rng() % 64);
  return numbers;
}

void BM_WriteString(benchmark::State& state) {
  auto strings = RandomStrings(1024, static_cast<size_t>(state.range(0)), state.range(1) != 0);
  std::string out;
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& s : strings) {
      out.clear();
      OrderedCode::WriteString(&out, s);
      benchmark::DoNotOptimize(out.data());
      bytes += s.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * strings.size()));
}
BENCHMARK(BM_WriteString)->ArgsProduct({{8, 64, 1024}, {0, 1}});

void BM_ReadString(benchmark::State& state) {
  auto strings = RandomStrings(1024, static_cast<size_t>(state.range(0)), state.range(1) != 0);
  std::vector<std::string> encoded;
  for (const auto& s : strings) {
    encoded.emplace_back();
    OrderedCode::WriteString(&encoded.back(), s);
  }
  std::string result;
  size_t bytes = 0;
  for (auto _ : state) {
    for (const auto& e : encoded) {
      absl::string_view src(e);
      result.clear();
      bool ok = OrderedCode::ReadString(&src, &result);
      benchmark::DoNotOptimize(ok);
      bytes += e.size();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * encoded.size()));
}
BENCHMARK(BM_ReadString)->ArgsProduct({{8, 64, 1024}, {0, 1}});

void BM_WriteSignedNum(benchmark::State& state) {
  auto numbers = RandomNumbers(4096);
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (int64_t n : numbers) OrderedCode::WriteSignedNumIncreasing(&out, n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * numbers.size()));
}
BENCHMARK(BM_WriteSignedNum);

void BM_ReadSignedNum(benchmark::State& state) {
  auto numbers = RandomNumbers(4096);
  std::string encoded;
  for (int64_t n : numbers) OrderedCode::WriteSignedNumIncreasing(&encoded, n);
  for (auto _ : state) {
    absl::string_view src(encoded);
    int64_t value = 0;
    while (OrderedCode::ReadSignedNumIncreasing(&src, &value)) benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * numbers.size()));
}
BENCHMARK(BM_ReadSignedNum);

void BM_WriteNum(benchmark::State& state) {
  auto numbers = RandomNumbers(4096);
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (int64_t n : numbers) OrderedCode::WriteNumIncreasing(&out, static_cast<uint64_t>(n));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * numbers.size()));
}
BENCHMARK(BM_WriteNum);

void BM_ReadNum(benchmark::State& state) {
  auto numbers = RandomNumbers(4096);
  std::string encoded;
  for (int64_t n : numbers) OrderedCode::WriteNumIncreasing(&encoded, static_cast<uint64_t>(n));
  for (auto _ : state) {
    absl::string_view src(encoded);
    uint64_t value = 0;
    while (OrderedCode::ReadNumIncreasing(&src, &value)) benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * numbers.size()));
}
BENCHMARK(BM_ReadNum);

}  // namespace
