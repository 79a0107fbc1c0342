// Speed of the PROCESS stage's inner loop on a 1000 x 1000 grid with 5 % of the cells allocated:
// moves per second (proposal, incremental evaluation, Metropolis rule, commit or undo) and the
// time of one full evaluation, which runs once per annealing stage, and of the run's first one.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "driver/log.h"
#include "driver/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_stage.h"
#include "raster/grid.h"
#include "raster/islands.h"

namespace {

constexpr int32_t SIDE = 1000;

// Smooth value maps (sums of gentle waves, as normalised potentials look) and a random 5 %
// allocation, with the stage's weights and its first evaluation done.
void setup_stage() {
  static FILE* null_log = std::fopen("/dev/null", "w");
  log_set_stream(null_log);
  process_reset_state();
  maps_release();
  islands_release();
  grid_reset_geometry();
  grid_geometry.nrows = SIDE;
  grid_geometry.ncols = SIDE;
  grid_geometry.cellsize = 1.0;
  maps_allocate(8);
  rand_seed(42);
  working_cell_value = 1.0f;
  int32_t allocated = 0;
  for (int32_t r = 0; r < SIDE; ++r) {
    for (int32_t c = 0; c < SIDE; ++c) {
      const size_t i = static_cast<size_t>(r) * SIDE + static_cast<size_t>(c);
      const float potential = static_cast<float>(((r * 7 + c * 3) % 1000) / 1000.0);
      map_cells(1)[i] = potential;
      map_cells(2)[i] = selection_quantise(potential);
      map_cells(3)[i] = static_cast<float>(((r * 13 + c * 11) % 997) / 997.0);
      map_cells(4)[i] = static_cast<float>(((r + c) % 500) / 500.0);
      const bool in = rand15() < 1638;  // 5 %
      map_cells(0)[i] = in ? 1.0f : 0.0f;
      allocated += in;
    }
  }
  islands_allocate(static_cast<size_t>(allocated));
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
  process_reset_state();
  islands_release();
  maps_release();
}

void BM_FullEvaluation(benchmark::State& state) {
  setup_stage();
  for (auto _ : state) benchmark::DoNotOptimize(energy_evaluate());
  process_reset_state();
  islands_release();
  maps_release();
}

// The first evaluation of a run also finds the top and bottom sums of the three value maps.
void BM_FirstEvaluation(benchmark::State& state) {
  setup_stage();
  for (auto _ : state) {
    energy_reset_normalisers();
    benchmark::DoNotOptimize(energy_evaluate());
  }
  process_reset_state();
  islands_release();
  maps_release();
}

}  // namespace

BENCHMARK(BM_Moves);
BENCHMARK(BM_FullEvaluation)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstEvaluation)->Unit(benchmark::kMillisecond);
