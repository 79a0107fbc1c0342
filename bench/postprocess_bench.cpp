// Regrowth of 100 000 cells on a 2000 x 2000 grid in basic and in basins filling mode. Every sweep
// scans the whole grid, so the time is about (sweeps x grid cells); the best group is one
// 300 x 300 island whose border grows by one ring per sweep, in 400 basins of 100 x 100 cells.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "driver/random.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"

namespace {

constexpr int32_t SIDE = 2000;

void reset_maps() {
  working_cell_value = 1.0f;
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    const size_t r = i / SIDE, c = i % SIDE;
    const bool island = r >= 850 && r < 1150 && c >= 850 && c < 1150;
    map_cells(0)[i] = island ? 1.0f : CELL_AVAILABLE;              // solution
    map_cells(2)[i] = island ? 1.0f : 0.5f;                        // probability
    map_cells(4)[i] = static_cast<float>(r / 100 * 20 + c / 100);  // basins
  }
}

void BM_Expand(benchmark::State& state, bool basins) {
  bench_grid(SIDE, 5);
  islands_allocate(grid_cell_count());
  for (auto _ : state) {
    state.PauseTiming();
    reset_maps();
    rand_seed(1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(basins ? expand_basins(0, 100000, AssignPreference::large)
                                    : expand_basic(100000, AssignPreference::large));
  }
  islands_release();
}

BENCHMARK_CAPTURE(BM_Expand, basic, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expand, basins, true)->Unit(benchmark::kMillisecond);

}  // namespace
