// The records of a PROCESS run that the energy, the moves, the annealing and the min-cut method
// read and change: the energy with its running sums and normalisers, the annealing's parameters
// and state, the move under evaluation and the index of allocated cells. They live here, apart
// from the functions, so that the run's record (process_run.h) includes no module that includes
// it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scenario/scenario.h"

/// Weights, running sums, reference values and normalisers of the energy.
struct EnergyState {
  double f1_weight = 0.0;
  double f2_weight = 0.0;
  double f3_weight = 0.0;
  double f4_weight = 0.0;
  double f5_weight = 0.0;
  double f1_sum = 0.0;     ///< potential over the solution cells
  double f1_top = 0.0;     ///< the n largest potential values >= 0
  double f1_range = -1.0;  ///< -1.0 = unset
  int64_t perimeter = 0;
  int64_t min_perimeter = 0;  ///< 4 * ceil(sqrt(n))
  double f2_range = -1.0;
  int32_t island_count = 0;  ///< islands of the solution, kept by the moves between labellings
  double f3_range = -1.0;    ///< n - 1 at the first evaluation
  double f4_sum = 0.0;
  double f4_top = 0.0;
  double f4_range = -1.0;
  double f5_sum = 0.0;
  double f5_bottom = 0.0;  ///< the n smallest distances values > 0
  double f5_range = -1.0;
  int64_t solution_size = 0;  ///< n at the last full evaluation
  /// A term with a degenerate normaliser is 0.
  bool term_off[ENERGY_TERMS] = {};
  /// The run's extra costs (ProcessRun::extra_cost) of the solution cells, when it has them.
  bool extra_on = false;
  double extra_sum = 0.0;
  ValueBounds bounds;
};

/// The annealing parameters, one per "process." property of the same name.
struct ProcessParameters {
  float pinit = 0.0f;  ///< initial acceptance probability for the autotuning
  float tinit = 0.0f;  ///< initial temperature
  float tnext = 0.0f;  ///< cooling factor per stage; raised by a re-try
  int64_t nmovs = 0;   ///< moves per stage; replaced by the autotuning
  int32_t nstages = 0;
  double kb = 0.0;         ///< Boltzmann factor of the manual mode
  bool keep_best = false;  ///< "process.keep-best": the best map of the stage ends is written
  bool polish = false;     ///< "process.polish": a cold polish with exact islands after the last
};

/// Energies, temperature and factor of the running annealing.
struct AnnealingState {
  double temperature = 0.0;
  double effective_kb = 0.0;  ///< factor k of the acceptance rule
  double current_energy = 0.0;
  double minimal_energy = 0.0;
  double initial_energy = 0.0;
  int64_t solution_cell_count = 0;  ///< solution cells of the loaded map; size of the queues
};

/// The move under evaluation and the running values it replaced.
struct Move {
  size_t out = 0;  ///< bordered index (move_cells.h) of the cell taken out
  size_t in = 0;   ///< bordered index of the cell put in
  double previous_f1_sum = 0.0;
  int64_t previous_perimeter = 0;
  int32_t previous_island_count = 0;
  double previous_f4_sum = 0.0;
  double previous_f5_sum = 0.0;
  double previous_extra_sum = 0.0;
};

/// The allocated cells of the solution map (bordered indices), in no particular order. Drawing
/// the cell taken out from this list is the same uniform choice as drawing grid positions until
/// one is allocated, but costs one draw instead of about nrows * ncols / n of them. A committed
/// move puts the cell put in where the cell taken out was listed.
struct AllocatedCells {
  std::vector<size_t> cells;
  size_t drawn = 0;  ///< the slot of the cell taken out by the current move
  /// The free cells whose selection value is above 0, kept up to date by every committed move:
  /// moves can use them all up (the cells freed may have a selection of 0, negative or NaN), and
  /// then no draw of the cell put in could ever end.
  int64_t receivers = 0;
};
