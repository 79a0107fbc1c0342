// The PROCESS stage: reads its parameters, takes the PREPROCESS output as the solution map, builds
// the potential, selection, nservices and distances maps the energy and the moves read, anneals
// (after a dry run in the autotuning mode) and hands the solution map over as "process.output".
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "process/annealing.h"
#include "scenario/scenario.h"

/// Everything the stage reads from the configuration, checked.
struct ProcessStageParameters {
  double weights[5] = {};  ///< "process.functions-weight", f1 to f5
  ProcessParameters annealing;
  std::string input;  ///< "preprocess.output", the map to anneal
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

/// Runs the stage of `run` on its scenario; fatal errors end the process.
void run_process_stage(const Scenario& scenario, Run& run);

/// The quantised selection value of a potential: 0 <= v < 0.2 gives 0.2, up to 0.8 <= v < 1
/// giving 1.0, so that better cells are favoured but none with data is barred; 1.0 and values
/// below 0 are kept.
float selection_quantise(float potential);
