// The PROCESS stage's inner loop on a 1000 x 1000 grid with 5 % of the cells allocated: moves per
// second (proposal, incremental evaluation, Metropolis rule, commit or undo) and one full
// evaluation, which runs once per annealing stage.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "driver/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_stage.h"

namespace {

constexpr int32_t SIDE = 1000;

// Smooth value maps (gentle waves, as normalised potentials look) and a random 5 % allocation,
// with the stage's weights and its first evaluation done, whatever a previous benchmark left.
void setup_stage() {
  process_reset_state();
  bench_grid(SIDE, 8);
  rand_seed(42);
  working_cell_value = 1.0f;
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    const size_t r = i / SIDE, c = i % SIDE;
    const float potential = static_cast<float>(((r * 7 + c * 3) % 1000) / 1000.0);
    map_cells(1)[i] = potential;
    map_cells(2)[i] = selection_quantise(potential);
    map_cells(3)[i] = static_cast<float>(((r * 13 + c * 11) % 997) / 997.0);
    map_cells(4)[i] = static_cast<float>(((r + c) % 500) / 500.0);
    map_cells(0)[i] = rand15() < 1638 ? 1.0f : 0.0f;  // 5 %
  }
  islands_allocate(grid_cell_count());
  EnergyState& e = energy_state;
  e.f1_weight = e.f2_weight = e.f3_weight = e.f4_weight = e.f5_weight = 1.0;
  moves_prepare();
  AnnealingState& a = annealing_state;
  a.current_energy = a.minimal_energy = energy_evaluate();
  a.temperature = 1.0;
  a.effective_kb = 1000.0;
}

void BM_Moves(benchmark::State& state) {
  setup_stage();
  for (auto _ : state) {
    propose_move();
    benchmark::DoNotOptimize(apply_acceptance_rule(true));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Moves);

void BM_FullEvaluation(benchmark::State& state) {
  setup_stage();
  for (auto _ : state) benchmark::DoNotOptimize(energy_evaluate());
}
BENCHMARK(BM_FullEvaluation)->Unit(benchmark::kMillisecond);

}  // namespace
