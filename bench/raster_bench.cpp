// Whole-grid operations at 4000 x 4000: writing and reading grid text of six-digit values, the
// distance transform from one corner mask cell against a normalisation of the same map (the
// distance map should cost at most about three of them, however far the farthest cell lies), and
// the island labelling.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "base/random.h"
#include "bench_support.h"
#include "raster/distance.h"
#include "raster/islands.h"
#include "raster/map_ops.h"

namespace {

constexpr int32_t SIDE = 4000;
const char* const PATH = "/tmp/landalloc_bench_grid.asc";

void BM_GridWrite(benchmark::State& state) {
  const MapBlock maps = bench_six_digit_map(SIDE);
  for (auto _ : state) benchmark::DoNotOptimize(grid_write(PATH, maps, 0));
  std::remove(PATH);
}
BENCHMARK(BM_GridWrite)->Unit(benchmark::kMillisecond);

void BM_GridRead(benchmark::State& state) {
  MapBlock maps = bench_six_digit_map(SIDE);
  grid_write(PATH, maps, 0);
  for (auto _ : state) benchmark::DoNotOptimize(grid_read(PATH, maps, 1));
  std::remove(PATH);
}
BENCHMARK(BM_GridRead)->Unit(benchmark::kMillisecond);

// Map 0: data everywhere and one mask cell in the top-left corner, so the largest distance is
// 3999 and a level-by-level sweep would pass over the grid 4000 times.
MapBlock corner_mask_map() {
  MapBlock maps = bench_grid(SIDE, 2);
  // Written once, as a loaded map is: untouched cleared memory would time page faults.
  map_fill(maps, 0, 0, 0.0f);
  maps.map(0)[0] = CELL_MASKED;
  return maps;
}

void BM_DistanceCornerMask(benchmark::State& state) {
  MapBlock maps = corner_mask_map();
  for (auto _ : state) {
    map_distance(maps, 0, 1, CELL_MASKED);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DistanceCornerMask)->Unit(benchmark::kMillisecond);

void BM_NormalizeDistanceMap(benchmark::State& state) {
  MapBlock maps = corner_mask_map();
  map_distance(maps, 0, 1, CELL_MASKED);
  for (auto _ : state) {
    map_normalize(maps, 1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_NormalizeDistanceMap)->Unit(benchmark::kMillisecond);

// Half of the cells allocated at random: many islands of every size.
void BM_IslandsLabel(benchmark::State& state) {
  MapBlock maps = bench_grid(SIDE, 1);
  Rng rng;
  rand_seed(rng, 1);
  for (size_t i = 0; i < maps.cell_count(); ++i) maps.map(0)[i] = float(rand_index(rng, 2));
  IslandState islands;
  islands_allocate(islands, maps.cell_count());
  for (auto _ : state) benchmark::DoNotOptimize(islands_label(islands, maps, 0, 1.0f));
}
BENCHMARK(BM_IslandsLabel)->Unit(benchmark::kMillisecond);

}  // namespace
