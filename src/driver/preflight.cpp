#include "driver/preflight.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "config/config.h"
#include "postprocess/postprocess_stage.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_stage.h"
#include "raster/geotiff.h"
#include "raster/grid.h"
#include "scenario/loaders.h"

namespace {

// Every property that some stage reads, also those read only in some modes.
const char* const KNOWN_PROPERTIES[] = {
    "maps.potential-maps",
    "maps.potential-maps-weight",
    "maps.exclusion-masks",
    "preprocess.init-values-map",
    "preprocess.distribution-masks",
    "preprocess.convert-area",
    "preprocess.debug-maps",
    "preprocess.output",
    "process.method",
    "process.portfolio-gap",
    "process.functions-weight",
    "process.pinit",
    "process.tinit",
    "process.tnext",
    "process.nmovs",
    "process.nstages",
    "process.kb",
    "process.random-select",
    "process.distance-masks",
    "process.distance-maps",
    "process.debug-maps",
    "process.debug-evolution",
    "process.autotunning",
    "process.output",
    "postprocess.select.purge-limit",
    "postprocess.select.method-distance.distance-masks",
    "postprocess.select.method-distance.distance-maps",
    "postprocess.select.method-distance.minimum-distance-to-mask",
    "postprocess.select.method-distance.minimum-cells-at-distance",
    "postprocess.select.method-value.accumulated-value",
    "postprocess.expand.assign-preference",
    "postprocess.expand.basins-map",
    "postprocess.expand.minimim-cells-in-basin",
    "postprocess.debug-maps",
    "postprocess.output",
    "postprocess.output-mask",
};

bool is_known(const std::string& path) {
  for (const char* known : KNOWN_PROPERTIES) {
    if (path == known) return true;
  }
  return false;
}

// Levenshtein distance: insertions, deletions and substitutions of single characters.
size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

void warn_unknown_properties(const ConfigDocument& config) {
  for (const std::string& path : config_leaf_paths(config)) {
    if (is_known(path)) continue;
    const std::string nearest = nearest_known_property(path);
    if (nearest.empty()) {
      log_message("! unknown property '%s'\n", path.c_str());
    } else {
      log_message("! unknown property '%s' (did you mean '%s'?)\n", path.c_str(), nearest.c_str());
    }
  }
}

void add_unique(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

void add_all(std::vector<std::string>& list, const std::vector<std::string>& items) {
  for (const std::string& item : items) add_unique(list, item);
}

// The stage would fail to create the file: same message, and the reason on an added line.
void check_output_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  struct stat info;
  const char* problem = nullptr;
  if (stat(folder.c_str(), &info) != 0) {
    problem = "does not exist";
  } else if (!S_ISDIR(info.st_mode)) {
    problem = "is not a folder";
  } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
    problem = "is not writable";
  } else if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    log_message("error: unable to open file '%s'!\n", path.c_str());
    fatal(1, "  '%s' is a folder\n", path.c_str());
  }
  if (problem != nullptr) {
    log_message("error: unable to open file '%s'!\n", path.c_str());
    fatal(1, "  folder '%s' %s\n", folder.c_str(), problem);
  }
}

}  // namespace

std::string nearest_known_property(const std::string& path) {
  std::string nearest;
  size_t best = path.size();
  for (const char* known : KNOWN_PROPERTIES) {
    const size_t d = edit_distance(path, known);
    if (d < best) {
      best = d;
      nearest = known;
    }
  }
  // Near means a few slips for the length of the name; anything further is no suggestion.
  const size_t allowed = std::max<size_t>(2, nearest.size() / 4);
  return best <= allowed ? nearest : "";
}

RunPlan preflight_check(const ConfigDocument& config, const StageFlags& stages,
                        GridGeometry& geometry) {
  warn_unknown_properties(config);
  RunPlan plan;
  add_all(plan.inputs, maps_potential_files(config, stages.process || stages.postprocess));
  maps_init_geometry(config, geometry, true);

  if (stages.preprocess) {
    const PreprocessParameters p = preprocess_read_parameters(config);
    add_all(plan.inputs, p.exclusion_masks);
    if (!p.init_values_map.empty()) add_unique(plan.inputs, p.init_values_map);
    add_all(plan.inputs, p.distribution_masks);
    plan.outputs.push_back(p.output);
  }
  if (stages.process) {
    const ProcessStageParameters p = process_read_parameters(config);
    // A map that an earlier stage of the run writes is checked when it is read.
    if (!stages.preprocess) add_unique(plan.inputs, p.input);
    add_all(plan.inputs, p.distance_masks);
    add_all(plan.inputs, p.distance_maps);
    plan.outputs.push_back(p.output);
  }
  if (stages.postprocess) {
    const PostprocessParameters p = postprocess_read_parameters(config);
    if (!stages.process) add_unique(plan.inputs, p.input);
    add_all(plan.inputs, p.distance_masks);
    add_all(plan.inputs, p.distance_maps);
    if (!p.basins_map.empty()) add_unique(plan.inputs, p.basins_map);
    plan.outputs.push_back(p.output);
    plan.outputs.push_back(p.output_mask);
  }

  for (const std::string& input : plan.inputs) grid_check_header(input.c_str(), geometry);
  for (const std::string& output : plan.outputs) {
    check_output_folder(output);
    geotiff_check_output(output.c_str());
  }
  return plan;
}
