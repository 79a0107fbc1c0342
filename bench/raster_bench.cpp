// Whole-map raster operations at 4000 x 4000: the distance transform against a normalisation of
// the same map (the distance map should cost at most about three of them, however far the
// farthest cell lies), and the island labelling on a scattered and on a single-island map.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "driver/log.h"
#include "driver/random.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "raster/map_ops.h"

namespace {

constexpr int32_t SIDE = 4000;

// The fastest of the repetitions (--benchmark_repetitions=N): on a shared machine the median
// carries the neighbours' load, the minimum is closest to the cost itself.
double fastest(const std::vector<double>& runs) {
  return *std::min_element(runs.begin(), runs.end());
}

// A 4000 x 4000 grid with `maps` maps, the log silenced.
void setup(int32_t maps) {
  static FILE* quiet = std::fopen("/dev/null", "w");
  log_set_stream(quiet);
  maps_release();
  grid_reset_geometry();
  grid_geometry.nrows = SIDE;
  grid_geometry.ncols = SIDE;
  grid_geometry.cellsize = 1.0;
  maps_allocate(maps);
}

// Map 0: data everywhere and one mask cell in the top-left corner, so the largest distance is
// 3999 and a level-by-level sweep would pass over the grid 4000 times.
void corner_mask_map() {
  setup(2);
  map_fill(0, 0, 0.0f);
  map_cells(0)[0] = CELL_MASKED;
}

void BM_DistanceCornerMask(benchmark::State& state) {
  corner_mask_map();
  for (auto _ : state) {
    map_distance(0, 1, CELL_MASKED);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * SIDE * SIDE);
}
BENCHMARK(BM_DistanceCornerMask)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", fastest);

void BM_NormalizeDistanceMap(benchmark::State& state) {
  corner_mask_map();
  map_distance(0, 1, CELL_MASKED);
  for (auto _ : state) {
    map_normalize(1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * SIDE * SIDE);
}
BENCHMARK(BM_NormalizeDistanceMap)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);

// density: percentage of solution cells, placed at random; 100 makes one island of every cell.
void BM_IslandsLabel(benchmark::State& state) {
  setup(1);
  const int32_t density = static_cast<int32_t>(state.range(0));
  rand_seed(1);
  float* cells = map_cells(0);
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    cells[i] = rand_index(100) < density ? 1.0f : 0.0f;
  }
  working_cell_value = 1.0f;
  if (!islands_allocate(grid_cell_count())) {
    state.SkipWithError("no memory for the labelling arrays");
    return;
  }
  for (auto _ : state) {
    island_state.f3_range = -1.0;
    benchmark::DoNotOptimize(islands_label());
  }
  state.counters["islands"] = island_state.island_count;
  state.SetItemsProcessed(state.iterations() * SIDE * SIDE);
  islands_release();
}
BENCHMARK(BM_IslandsLabel)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", fastest);

}  // namespace
