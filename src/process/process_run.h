// The state of one PROCESS run: the stage's maps, the working cell value, the island labelling,
// the annealing parameters, the energy with its running sums and normalisers, the annealing
// state, the move under evaluation and the index of allocated cells. The stage builds one for its
// run and passes it to the energy, the moves and the annealing; constructing a new one is the one
// way to start afresh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "process/annealing.h"
#include "process/energy.h"
#include "process/move_cells.h"
#include "process/moves.h"
#include "raster/islands.h"
#include "raster/maps.h"
#include "scenario/scenario.h"

/// The maps of the PROCESS stage's block that the energy and the moves read.
constexpr int32_t PROCESS_SOLUTION_MAP = 0;
constexpr int32_t PROCESS_POTENTIAL_MAP = 1;
constexpr int32_t PROCESS_SELECTION_MAP = 2;
constexpr int32_t PROCESS_NSERVICES_MAP = 3;
constexpr int32_t PROCESS_DISTANCES_MAP = 4;
constexpr int32_t PROCESS_SCRATCH_MAP = 5;  ///< the loaders' working space, 5 to 7
constexpr int32_t PROCESS_MAPS = 8;

/// The read-only maps of PROCESS, built once and shared by every run of a scenario.
struct ProcessInputs {
  MapBlock maps;       ///< the potential, selection, nservices and distances maps, by number
  std::string log;     ///< what building them printed; each run that takes them prints it again
  int fatal_code = 0;  ///< the exit code of a build that failed; its message ends the log
};

struct ProcessRun {
  ProcessRun(const Scenario& s, Run& r) : scenario(s), run(r) {}
  ProcessRun(const ProcessRun&) = delete;
  ProcessRun& operator=(const ProcessRun&) = delete;

  const Scenario& scenario;
  Run& run;                        ///< its generator draws the moves and the acceptance tests
  MapBlock maps;                   ///< the solution map, and the inputs when the run builds its own
  const MapBlock* inputs = &maps;  ///< the potential, selection, nservices and distances maps
  std::string input;               ///< the map PREPROCESS handed over, reloaded by every try
  float working_cell_value = 0.0f;
  IslandState islands;
  ProcessParameters parameters;
  EnergyState energy;
  AnnealingState annealing;
  CellRecords records;  ///< read-only values of the cells, packed for the moves
  CellStates states;    ///< the moves' view of the solution map
  Move move;
  AllocatedCells allocated;
};
