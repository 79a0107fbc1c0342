// The PROCESS stage: reads its parameters, takes the PREPROCESS output as the solution map, builds
// the records of the potential, nservices and distances values the energy and the moves read,
// anneals (after a dry run in the autotuning mode) and hands the solution map over as
// "process.output".
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "process/annealing.h"
#include "process/min_cut.h"
#include "scenario/scenario.h"

/// How PROCESS lowers the energy: "process.method".
enum class ProcessMethod { annealing, min_cut };

/// Everything the stage reads from the configuration, checked.
struct ProcessStageParameters {
  ProcessMethod method = ProcessMethod::annealing;
  MinCutParameters min_cut;
  double weights[ENERGY_TERMS] = {};  ///< "process.functions-weight", f1 to f5
  ProcessParameters annealing;        ///< read for the annealing only
  std::optional<double> time_limit;   ///< "process.time-limit" in seconds, for either method
  std::string input;                  ///< "preprocess.output", the map to anneal
  bool random_select = false;
  std::vector<std::string> distance_masks;
  std::vector<std::string> distance_maps;  ///< read only when there is no distance mask
  bool debug_maps = false;
  bool debug_evolution = false;
  bool autotuning = false;
  std::string output;
};

/// Reads and checks the stage's properties in the stage's order; a fault ends the run with the
/// stage's message and exit code (a range error after echoing the value), so that the check
/// before a run and the stage share one reading.
ProcessStageParameters process_read_parameters(const ConfigDocument& config);

/// The debug files the stage writes for the output named `prefix`, in the order it writes them.
std::vector<std::string> process_debug_files(const ProcessStageParameters& p,
                                             const std::string& prefix);

/// Opens the evolution listing when the configuration asks for it (and the run writes files):
/// a temporary file beside its target, `header` its first line (empty: the method's own).
void open_evolution_listing(const ProcessStageParameters& p, const Run& run,
                            EvolutionListing& listing, const std::string& header = "");

/// Gives the listing its target's name; fatal (exit 1) when it cannot be written.
void close_evolution_listing(EvolutionListing& listing);

/// Puts the weights f1 to f5 and the normalisers `fixed` (unset ones are fixed by the first
/// evaluation) into the energy state.
void process_set_energy(EnergyState& e, const double weights[ENERGY_TERMS],
                        const Normalisers& fixed);

/// Runs the stage of `run` on its scenario; fatal errors end the process.
void run_process_stage(const Scenario& scenario, Run& run);

struct ProcessInputs;

/// Builds the read-only cell records of the stage once for all runs of a scenario, with what the
/// build prints (and, if it fails, its message and exit code) kept in `inputs` for each run to
/// print, its passes over whole maps on `threads` threads. Call it from a thread whose fatal
/// errors end the process.
void process_build_inputs(const ConfigDocument& config, const GridGeometry& geometry,
                          ProcessInputs& inputs, int32_t threads = 1);

/// The stage's energy of one solution map and what it is made of.
struct MapEnergy {
  double energy = 0.0;
  double terms[ENERGY_TERMS] = {};  ///< f1 to f5 as the evolution listing shows them
  int64_t cells = 0;                ///< allocated cells
  int32_t islands = 0;
  Normalisers normalisers;  ///< those used: `fixed`, with the unset ones fixed by this map
};

/// The energy of `map` (`working_cell_value` marks its allocated cells) with the configuration's
/// weights and the normalisers `fixed`; a normaliser still unset is fixed by this map, as a run's
/// first evaluation fixes it. Two maps evaluated with the same normalisers compare. `bounds`, when
/// given, holds the value bounds of earlier evaluations on the same inputs, and keeps this one's.
/// `threads`: the threads its passes over the grid may use.
MapEnergy process_map_energy(const Scenario& scenario, const ProcessInputs& inputs,
                             const PackedMap& map, float working_cell_value,
                             const Normalisers& fixed, ValueBounds* bounds = nullptr,
                             int32_t threads = 1);
