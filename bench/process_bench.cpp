// The PROCESS stage's inner loop on square grids of 1000, 4000 and 8000 cells a side with 5 % of
// the cells allocated: moves per second (proposal, incremental evaluation, Metropolis rule, commit
// or undo), where the cost of a move is its cache misses once the maps outgrow the caches; and one
// full evaluation at 1000 x 1000, which runs once per annealing stage.
#include <benchmark/benchmark.h>

#include "base/random.h"
#include "bench_support.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_run.h"
#include "process/process_stage.h"

namespace {

// Smooth value maps (gentle waves, as normalised potentials look) and a random 5 % allocation,
// with the stage's weights and its first evaluation done.
struct StageRun {
  explicit StageRun(int32_t side) {
    p.maps = bench_grid(side, 1);
    MapBlock values = bench_grid(side, 3);
    rand_seed(run.rng, 42);
    p.working_cell_value = 1.0f;
    for (size_t i = 0; i < p.maps.cell_count(); ++i) {
      const size_t r = i / size_t(side), c = i % size_t(side);
      values.map(0)[i] = static_cast<float>(((r * 7 + c * 3) % 1000) / 1000.0);
      values.map(1)[i] = static_cast<float>(((r * 13 + c * 11) % 997) / 997.0);
      values.map(2)[i] = static_cast<float>(((r + c) % 500) / 500.0);
      p.maps.map(PROCESS_SOLUTION_MAP)[i] = rand15(run.rng) < 1638 ? 1.0f : 0.0f;  // 5 %
    }
    p.own_inputs.records =
        cell_records_build(values.geometry, values.map(0), values.map(1), values.map(2), false);
    EnergyState& e = p.energy;
    e.f1_weight = e.f2_weight = e.f3_weight = e.f4_weight = e.f5_weight = 1.0;
    moves_prepare(p);
    AnnealingState& a = p.annealing;
    a.current_energy = a.minimal_energy = energy_evaluate(p);
    a.temperature = 1.0;
    a.effective_kb = 1000.0;
  }
  Scenario scenario;
  Run run;
  ProcessRun p{scenario, run};
};

void BM_Moves(benchmark::State& state) {
  StageRun stage(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) {
    const double candidate = propose_move(stage.p);
    benchmark::DoNotOptimize(apply_acceptance_rule(stage.p, candidate, true));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Moves)->Arg(1000)->Arg(4000)->Arg(8000);

void BM_FullEvaluation(benchmark::State& state) {
  StageRun stage(1000);
  for (auto _ : state) benchmark::DoNotOptimize(energy_evaluate(stage.p));
}
BENCHMARK(BM_FullEvaluation)->Unit(benchmark::kMillisecond);

}  // namespace
