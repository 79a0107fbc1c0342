// The PREPROCESS stage: builds the first solution map from the potential maps, the exclusion
// masks, an optional initial-values map and the distribution masks, places the fraction
// "preprocess.convert-area" of the available cells at random, and hands the result over as
// "preprocess.output" for the PROCESS stage to read back.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "config/config.h"
#include "raster/packed_map.h"
#include "scenario/scenario.h"

/// Everything the stage reads from the configuration, checked.
struct PreprocessParameters {
  std::vector<std::string> exclusion_masks;
  std::string init_values_map;  ///< empty for none
  std::vector<std::string> distribution_masks;
  float convert_area = 0.0f;
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
};

/// Reads and checks the stage's properties; a fault ends the run with the stage's message and
/// exit code (a range error after echoing the value), so that the check before a run and the stage
/// share one reading.
PreprocessParameters preprocess_read_parameters(const ConfigDocument& config);

/// The debug files the stage writes for the output named `prefix`, in the order it writes them.
std::vector<std::string> preprocess_debug_files(const PreprocessParameters& p,
                                                const std::string& prefix);

/// Runs the stage of `run` on its scenario; any fatal error ends the process.
void run_preprocess_stage(const Scenario& scenario, Run& run);
