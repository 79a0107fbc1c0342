// A PROCESS stage set up in memory for the energy, move and annealing tests: the eight maps of
// the stage filled from inline grids, the labelling arrays, weights and reset normalisers.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_stage.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "test_support.h"

/// Fresh process state with an nrows x ncols block of the stage's eight maps.
inline void process_setup(int nrows, int ncols) {
  reset_process_state();
  process_reset_state();
  setup_grid(nrows, ncols, 8);
  for (int k = 0; k < 8; ++k) set_map(k, std::vector<float>(grid_cell_count(), 0.0f));
}

/// Makes map 0 the solution map with `value` as the working cell value, sizes the labelling
/// queues for it and unsets the normalisers.
inline void process_load_solution(const std::vector<float>& solution, float value) {
  set_map(0, solution);
  working_cell_value = value;
  int32_t n = 0;
  for (float v : solution) n += v == value;
  annealing_state.solution_cell_count = n;
  islands_release();
  ASSERT_TRUE(islands_allocate(static_cast<size_t>(n > 0 ? n : 1)));
  energy_reset_normalisers();
}

/// Sets the five weights.
inline void process_set_weights(double f1, double f2, double f3, double f4, double f5) {
  energy_state.f1_weight = f1;
  energy_state.f2_weight = f2;
  energy_state.f3_weight = f3;
  energy_state.f4_weight = f4;
  energy_state.f5_weight = f5;
}

/// Writes `solution` as the PREPROCESS output that the annealing reloads, and a configuration
/// naming it; the caller's `dir` must outlive the run.
inline void process_write_preprocess_output(const TempDir& dir, int nrows, int ncols,
                                            const std::vector<float>& solution) {
  const std::string path = dir.write("pre.asc", grid_text(nrows, ncols, solution));
  load_config("{\"preprocess\": {\"output\": \"" + path + "\"}}");
}
