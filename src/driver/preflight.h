// The check before a run: everything the selected stages will read from the configuration (read
// by the stages' own parameter readers, so with their messages and exit codes), the header of
// every input grid against the first potential map, and the folder of every output. A mistake
// that a late stage would meet therefore stops the run before an early stage writes anything.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "raster/geometry.h"

/// The stages selected for a configuration file.
struct StageFlags {
  bool preprocess = false;
  bool process = false;
  bool postprocess = false;
  bool any() const { return preprocess || process || postprocess; }
};

/// What the selected stages read and write.
struct RunPlan {
  std::vector<std::string> inputs;   ///< grid files read, each once, in the order first read
  std::vector<std::string> outputs;  ///< grid files written (besides the debug files)
};

/// Where repeats put the frequency grid and the runs table: beside the final output (that of the
/// last selected stage), its extension (".asc", ".tif" or ".tiff", in any case) replaced by
/// ".frequency" and the same extension, and by ".runs.csv"; a name without one of these
/// extensions gets ".frequency.asc" appended.
struct RepeatSummaryPaths {
  std::string frequency;
  std::string table;
};
RepeatSummaryPaths repeat_summary_paths(const ConfigDocument& config, const StageFlags& stages);

/// The property of all stages nearest to `path` by edit distance, or "" when none is near.
std::string nearest_known_property(const std::string& path);

/// Warns about properties that no stage reads, then checks the configuration, the input grids
/// and the output folders for `stages`. The first fault ends the run as the stage would end it.
/// Initialises `geometry` (quietly) when it is not yet set.
RunPlan preflight_check(const ConfigDocument& config, const StageFlags& stages,
                        GridGeometry& geometry);
