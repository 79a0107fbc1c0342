// What the three stages share: the scenario (the configuration and the --seed option, read-only
// and shared by every run of it) and the state of one run (its geometry, its generator and the
// solution maps its stages hand each other). A stage is a function of (const Scenario&, Run&):
// two runs on two threads share nothing they change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/random.h"
#include "config/config.h"
#include "raster/geometry.h"
#include "raster/maps.h"

/// The read-only description of a run: its configuration and its fixed seed, if any.
struct Scenario {
  ConfigDocument config;
  std::optional<uint64_t> seed;  ///< the --seed option: every stage seeds with it
};

/// What one run changes. The geometry is taken from the first potential map the first time a
/// stage needs it and kept from then on; the driver carries it from one run to the next.
struct Run {
  GridGeometry geometry;
  Rng rng;
  /// When set, the stages hand "preprocess.output" and "process.output" to each other in memory
  /// instead of through those files.
  bool in_memory = false;
  std::vector<float> preprocess_output;  ///< the map PREPROCESS handed over (in memory)
  std::vector<float> process_output;     ///< the map PROCESS handed over (in memory)
};

/// The solution maps one stage hands the next.
enum class Handover { preprocess_output, process_output };

/// Seeds the run's generator as a stage does when it starts.
void stage_seed(const Scenario& scenario, Run& run);

/// Reads the solution map handed over as `which` into map k: from memory when the run keeps its
/// maps there, else from the file `path`.
void stage_read_handover(Run& run, Handover which, const std::string& path, MapBlock& maps,
                         int32_t k);

/// Hands map k over as `which`: into memory when the run keeps its maps there, else to the file
/// `path`.
void stage_write_handover(Run& run, Handover which, const std::string& path, const MapBlock& maps,
                          int32_t k);
