// The PREPROCESS stage: builds the first solution map from the potential maps, the exclusion
// masks, an optional initial-values map and the distribution masks, places the fraction
// "preprocess.convert-area" of the available cells, or the "preprocess.demand", at random, and
// hands the result over as "preprocess.output" for the PROCESS stage to read back.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/log.h"
#include "config/config.h"
#include "preprocess/demand.h"
#include "raster/packed_map.h"
#include "scenario/scenario.h"

/// Everything the stage reads from the configuration, checked.
struct PreprocessParameters {
  std::vector<std::string> exclusion_masks;
  std::string init_values_map;  ///< empty for none
  std::vector<std::string> distribution_masks;
  float convert_area = 0.0f;     ///< read only without a demand
  std::optional<Demand> demand;  ///< new cells to place, in place of convert_area
  bool debug_maps = false;
  std::string output;
};

/// What the stage builds before it places cells: the solution map with its masks and initial
/// values, the distribution map and the working cell value. They follow from the configuration
/// alone, so the runs of a scenario share them: the first run to start builds them (the others
/// wait) and leaves its lines, and its error if it fails, for the others to print.
struct PreprocessInputs {
  std::mutex lock;  ///< guards the rest
  SharedStep build;
  PackedMap solution;               ///< before the placement
  std::vector<float> distribution;  ///< the placement weights
  float value = 0.0f;
  int64_t to_assign = 0;  ///< the demand's cells; 0 without a demand
};

/// Reads and checks the stage's properties; a fault ends the run with the stage's message and
/// exit code (a range error after echoing the value), so that the check before a run and the stage
/// share one reading.
PreprocessParameters preprocess_read_parameters(const ConfigDocument& config);

/// The free allocatable cells the stage would start from (the potential maps' cells, without the
/// excluded ones and the initial values'), built quietly on `geometry`; a fault ends the run
/// with the stage's message and exit code.
int64_t preprocess_free_cells(const ConfigDocument& config, const PreprocessParameters& p,
                              const GridGeometry& geometry);

/// The debug files the stage writes for the output named `prefix`, in the order it writes them.
std::vector<std::string> preprocess_debug_files(const PreprocessParameters& p,
                                                const std::string& prefix);

/// Runs the stage of `run` on its scenario; any fatal error ends the process.
void run_preprocess_stage(const Scenario& scenario, Run& run);
