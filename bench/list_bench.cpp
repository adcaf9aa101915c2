// Time per entry of the tree-list transformations. Each should stay flat
// from 10,000 to 1,000,000 entries (linear work, or n log n at most).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "tree/listing.h"

namespace {

const std::string kRoot = "/bench/source/root/";

// A listing as ListTree would make it: 100 entries per directory, three
// levels, with every tenth path listed twice (as a move's delete does).
TPathList MakeListing(size_t entries) {
  TPathList list;
  list.reserve(entries);
  for (size_t i = 0; list.size() < entries; ++i) {
    std::string path = kRoot + "d" + std::to_string(i / 10000) + "/s" + std::to_string(i / 100 % 100) +
                       "/file-number-" + std::to_string(i) + ".txt";
    list.push_back(path);
    if (i % 10 == 0 && list.size() < entries) list.push_back(path);
  }
  return list;
}

// The floor any duplicate removal stands on: reading every path once, from
// a list laid out as the operations' own lists are.
void BM_ReadEveryPath(benchmark::State& state) {
  const TPathList list = MakeListing(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    PathList = list;
    state.ResumeTiming();
    uint64_t sum = 0;
    for (const std::string& path : PathList) {
      for (unsigned char ch : path) sum = sum * 31 + ch;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  TPathList().swap(PathList);
}

void BM_DistinctPaths(benchmark::State& state) {
  const TPathList list = MakeListing(static_cast<size_t>(state.range(0)));
  // As the tree operations call it: on PathList itself.
  for (auto _ : state) {
    state.PauseTiming();
    PathList = list;
    state.ResumeTiming();
    DistinctPaths(PathList);
    benchmark::DoNotOptimize(PathList.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  TPathList().swap(PathList);
}

void BM_OrderByDepth(benchmark::State& state) {
  const TPathList list = MakeListing(static_cast<size_t>(state.range(0)));
  // As the tree operations call it: on PathList, which it replaces.
  for (auto _ : state) {
    state.PauseTiming();
    PathList = list;
    state.ResumeTiming();
    PathList = OrderByDepth(std::move(PathList), static_cast<unsigned char>(state.range(1)));
    benchmark::DoNotOptimize(PathList.size());
  }
  TPathList().swap(PathList);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MakeRelative(benchmark::State& state) {
  const TPathList list = MakeListing(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TPathList relative = MakeRelative(list, kRoot);
    benchmark::DoNotOptimize(relative.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_ReadEveryPath)->RangeMultiplier(10)->Range(10000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistinctPaths)->RangeMultiplier(10)->Range(10000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderByDepth)
    ->ArgsProduct({{10000, 100000, 1000000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakeRelative)->RangeMultiplier(10)->Range(10000, 1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
