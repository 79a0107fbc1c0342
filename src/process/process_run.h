// The state of one PROCESS run: its solution map, the read-only cell records it reads (its own or
// those shared by the runs of a scenario), the working cell value, the island count's scratch,
// the annealing parameters, the energy with its running sums and normalisers, the annealing
// state, the cell states, the move under evaluation and the index of allocated cells. The stage
// builds one for its run and passes it to the energy, the moves and the annealing; constructing a
// new one is the one way to start afresh.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process/move_cells.h"
#include "process/process_state.h"
#include "raster/islands.h"
#include "raster/maps.h"
#include "raster/packed_map.h"
#include "scenario/scenario.h"

/// The maps of the PROCESS stage's block. Only the solution map lives through the annealing: the
/// others are the loaders' working space while the cell records are built.
constexpr int32_t PROCESS_SOLUTION_MAP = 0;
constexpr int32_t PROCESS_POTENTIAL_MAP = 1;
constexpr int32_t PROCESS_NSERVICES_MAP = 2;  ///< loaded with scratch 3 and 4
constexpr int32_t PROCESS_DISTANCES_MAP = 3;  ///< built with scratch 4
constexpr int32_t PROCESS_MAPS = 8;

/// The read-only values of PROCESS, built once and shared by every run of a scenario.
struct ProcessInputs {
  CellRecords records;  ///< the potential, nservices and distances values of every cell
  /// Map units of a distances value of 1: the distances are kept scaled to 0-1 for the energy,
  /// and a planner reads them in map units.
  double distance_unit = 1.0;
  std::string log;  ///< what building them printed; each run that takes them prints it again
  std::string potential_log;  ///< the part of it that loading the potential printed
  int fatal_code = 0;         ///< the exit code of a build that failed; its message ends the log
};

/// Seconds on the steady clock that runs' deadlines are on.
inline double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct ProcessRun {
  ProcessRun(const Scenario& s, Run& r) : scenario(s), run(r) {}
  ProcessRun(const ProcessRun&) = delete;
  ProcessRun& operator=(const ProcessRun&) = delete;

  const Scenario& scenario;
  Run& run;                  ///< its generator draws the moves and the acceptance tests
  MapBlock maps;             ///< the solution map (and the loaders' working space)
  ProcessInputs own_inputs;  ///< the records when the run builds its own
  const ProcessInputs* inputs = &own_inputs;  ///< the records the run reads
  std::string input;  ///< the map PREPROCESS handed over, reloaded by every try
  float working_cell_value = 0.0f;
  IslandRuns islands;
  ProcessParameters parameters;
  EnergyState energy;
  AnnealingState annealing;
  CellStates states;  ///< the moves' view of the solution map
  Move move;
  AllocatedCells allocated;
  /// Seconds on a steady clock; a test puts a clock of its own, so that no test waits on time.
  std::function<double()> clock = steady_seconds;
  /// When the time limit runs out, on `clock`; none without a time limit.
  std::optional<double> deadline;
  /// A cost of each cell when allocated, in energy units, added to the energy as it stands
  /// (bordered indices, as the records): what the other land uses around a cell make it cost.
  /// Packed: such costs take a few values. nullptr: none, and the energy is the five terms alone.
  const PackedMap* extra_cost = nullptr;
};

/// Whether the run's time limit has run out; never without one.
inline bool time_is_up(const ProcessRun& p) {
  return p.deadline && p.clock() >= *p.deadline;
}
