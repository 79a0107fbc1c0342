// Regrowth of 100 000 cells on a 2000 x 2000 grid in basic mode (random and large preferences)
// and in basins filling mode. Every sweep of the expansion scans the whole grid, so the time is
// about (sweeps x grid cells); the best group is one 300 x 300 island whose border grows by one
// ring per sweep, with 400 basins of 100 x 100 cells for the basins mode.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "driver/log.h"
#include "driver/random.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "raster/grid.h"
#include "raster/islands.h"

namespace {

constexpr int32_t SIDE = 2000;
constexpr int32_t CELLS_TO_ASSIGN = 100000;

void setup_grid_once() {
  if (memory_maps.block != nullptr) return;
  grid_geometry.nrows = SIDE;
  grid_geometry.ncols = SIDE;
  grid_geometry.cellsize = 1.0;
  maps_allocate(5);
  islands_allocate(grid_cell_count());
}

// One square island in the middle, free cells elsewhere with potential 0.5, basins of 100 x 100.
void reset_maps() {
  working_cell_value = 1.0f;
  CellMap solution = map_get(0);
  CellMap probability = map_get(2);
  CellMap basins = map_get(4);
  for (int32_t r = 0; r < SIDE; ++r) {
    for (int32_t c = 0; c < SIDE; ++c) {
      const bool island = r >= 850 && r < 1150 && c >= 850 && c < 1150;
      solution.at(r, c) = island ? 1.0f : CELL_AVAILABLE;
      probability.at(r, c) = island ? 1.0f : 0.5f;
      basins.at(r, c) = float((r / 100) * 20 + c / 100);
    }
  }
}

void run_expansion(benchmark::State& state, AssignPreference preference, bool basins) {
  FILE* quiet = std::fopen("/dev/null", "w");
  log_set_stream(quiet);
  setup_grid_once();
  int32_t sweeps = 0;
  for (auto _ : state) {
    state.PauseTiming();
    reset_maps();
    rand_seed(1);
    state.ResumeTiming();
    sweeps = basins ? expand_basins(0, CELLS_TO_ASSIGN, preference)
                    : expand_basic(CELLS_TO_ASSIGN, preference);
  }
  state.counters["sweeps"] = sweeps;
  log_set_stream(nullptr);
  std::fclose(quiet);
}

void BM_ExpandBasicRandom(benchmark::State& state) {
  run_expansion(state, AssignPreference::random, false);
}
void BM_ExpandBasicLarge(benchmark::State& state) {
  run_expansion(state, AssignPreference::large, false);
}
void BM_ExpandBasinsLarge(benchmark::State& state) {
  run_expansion(state, AssignPreference::large, true);
}

BENCHMARK(BM_ExpandBasicRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandBasicLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandBasinsLarge)->Unit(benchmark::kMillisecond);

}  // namespace
