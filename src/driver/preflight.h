// The check before a run: everything the selected stages will read from the configuration (read
// by the stages' own parameter readers, so with their messages and exit codes), the header of
// every input grid against the first potential map, and every file the run would write (outputs,
// debug files, the files of kept repeats, the frequency grids and the runs table): its folder, what
// already lies there, and that no other output and no input of the run is the same file. A
// mistake that a late stage would meet therefore stops the run before an early stage writes
// anything.
#pragma once

#include <cstdint>
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

/// How many times the stages run, and whether each run also writes its own files.
struct RepeatShape {
  int32_t repeats = 1;
  bool keep_runs = false;  ///< with more than one repeat: every run's files, tagged ".runNNN"
  std::vector<std::string> also_written;  ///< files written beside the runs' (a sweep's own)
};

/// What the selected stages read and write.
struct RunPlan {
  std::vector<std::string> inputs;   ///< grid files read, each once, in the order first read
  std::vector<std::string> outputs;  ///< every file written, in the order written
  /// Kept runs whose files are not in `outputs`: those of every run from 2 to runs_between + 1,
  /// named as the first run's with their own tags (many repeats, each keeping its files).
  int32_t runs_between = 0;
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

/// The frequency grid of land use `use` when several are decided together: `.<use>` before the
/// extension of the frequency grid's name ("out/post.frequency.housing.asc").
std::string repeat_use_frequency_path(const RepeatSummaryPaths& paths, const std::string& use);

/// The property of all stages nearest to `path` by edit distance, or "" when none is near.
std::string nearest_known_property(const std::string& path);

/// Warns about properties that no stage reads, then checks the configuration, the input grids
/// and every output of `stages` run as `shape` says. The first fault ends the run as the stage
/// would end it. Initialises `geometry` (quietly) when it is not yet set.
RunPlan preflight_check(const ConfigDocument& config, const StageFlags& stages,
                        const RepeatShape& shape, GridGeometry& geometry);
