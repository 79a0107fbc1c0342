// Regrowth of 100 000 cells on a 2000 x 2000 grid in basic and in basins filling mode. Every sweep
// scans the whole grid, so the time is about (sweeps x grid cells); the best group is one
// 300 x 300 island whose border grows by one ring per sweep, in 400 basins of 100 x 100 cells.
#include <benchmark/benchmark.h>

#include "base/random.h"
#include "bench_support.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/postprocess_run.h"

namespace {

constexpr int32_t SIDE = 2000;

void reset_maps(PostprocessRun& p) {
  p.working_cell_value = 1.0f;
  for (size_t i = 0; i < p.maps.cell_count(); ++i) {
    const size_t r = i / SIDE, c = i % SIDE;
    const bool island = r >= 850 && r < 1150 && c >= 850 && c < 1150;
    p.maps.map(POSTPROCESS_SOLUTION_MAP)[i] = island ? 1.0f : CELL_AVAILABLE;
    p.maps.map(POSTPROCESS_PROBABILITY_MAP)[i] = island ? 1.0f : 0.5f;
    p.maps.map(POSTPROCESS_BASINS_MAP)[i] = static_cast<float>(r / 100 * 20 + c / 100);
  }
}

void BM_Expand(benchmark::State& state, bool basins) {
  Scenario scenario;
  Run run;
  PostprocessRun p(scenario, run);
  p.maps = bench_grid(SIDE, POSTPROCESS_MAPS);
  islands_allocate(p.islands, p.maps.cell_count(), p.maps.cell_count());
  for (auto _ : state) {
    state.PauseTiming();
    reset_maps(p);
    rand_seed(run.rng, 1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(basins ? expand_basins(p, 0, 100000, AssignPreference::large)
                                    : expand_basic(p, 100000, AssignPreference::large));
  }
}

BENCHMARK_CAPTURE(BM_Expand, basic, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expand, basins, true)->Unit(benchmark::kMillisecond);

}  // namespace
