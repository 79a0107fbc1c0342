// Regrowth of 100 000 cells on a 2000 x 2000 grid in basic and in basins filling mode; the best
// group is one 300 x 300 island whose border grows by one ring per sweep, in 400 basins of
// 100 x 100 cells. The sweeps after the first visit only the island's rim; the "whole_map" cases
// sweep the whole grid every time (the plain reference), whose cost is sweeps x grid cells.
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

void BM_Expand(benchmark::State& state, bool basins, bool narrowing) {
  Scenario scenario;
  Run run;
  PostprocessRun p(scenario, run);
  p.maps = bench_grid(SIDE, POSTPROCESS_MAPS);
  islands_allocate(p.islands, p.maps.cell_count());
  for (auto _ : state) {
    state.PauseTiming();
    reset_maps(p);
    rand_seed(run.rng, 1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(basins
                                 ? expand_basins(p, 0, 100000, AssignPreference::large, narrowing)
                                 : expand_basic(p, 100000, AssignPreference::large, narrowing));
  }
}

BENCHMARK_CAPTURE(BM_Expand, basic, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expand, basins, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expand, basic_whole_map, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expand, basins_whole_map, true, false)->Unit(benchmark::kMillisecond);

}  // namespace
