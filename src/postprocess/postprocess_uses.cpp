#include "postprocess/postprocess_uses.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/log.h"
#include "postprocess/postprocess_stage.h"
#include "raster/grid.h"
#include "scenario/loaders.h"
#include "scenario/map_style.h"

namespace {

// Whether a use's regrowth failed for want of room: in its basins, or around its islands.
bool no_room(const std::string& log) {
  for (const char* message : {"error: basin map is unable to hold the number of cells needed!",
                              "error: no enough basins left to hold the number of cells needed!",
                              "error: no free cells around the islands to hold the number of "
                              "cells needed!"}) {
    if (log.find(message) != std::string::npos) return true;
  }
  return false;
}

// Whether a use is planned by minimum cuts, its regrowth too ("postprocess.expand.method").
bool by_min_cut(const ConfigDocument& config) {
  if (!postprocess_read_parameters(config).expand_min_cut) return false;
  if (config_find(config, 0, "process.method") < 0) return false;
  char method[CONFIG_TEXT_MAX];
  config_get_text(config, "process.method", method);
  return std::string(method) == "min-cut";
}

}  // namespace

void run_postprocess_uses(const Scenario& scenario, const LandUses& uses, Run& run) {
  run.code_labels = land_uses_code_labels(uses);
  run.written_codes = land_uses_written_codes(uses);
  const ConfigDocument& config = scenario.config;
  maps_init_geometry(config, run.geometry);
  const size_t n =
      static_cast<size_t>(run.geometry.nrows) * static_cast<size_t>(run.geometry.ncols);
  MapBlock maps = maps_allocate(run.geometry, 3);
  maps.threads = run.threads;
  land_uses_base_map(config, maps);
  const std::vector<float> base(maps.map(0), maps.map(0) + n);
  char path[CONFIG_TEXT_MAX];
  config_get_text(config, "process.output", path);
  stage_read_handover(run, Handover::process_output, path, maps, 0);
  std::vector<int32_t> label(n);
  for (size_t i = 0; i < n; ++i) label[i] = land_use_of_cell(uses, maps.map(0)[i], base[i]) + 1;

  // Whether every use's rules hold on its final cells: a later use's regrowth takes only land no
  // use holds, so it leaves an earlier use's islands as they are.
  bool kept = true;
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    const LandUse& use = uses.uses[k];
    log_message("land use '%s'\n", use.name.c_str());
    // The use's cells carry a value above every other, as the working cell value does.
    std::vector<float> view(n);
    float highest = 0.0f;
    for (size_t i = 0; i < n; ++i) {
      const int32_t l = label[i];
      if (l == static_cast<int32_t>(k) + 1) continue;
      // Another use's new cells are written as its code: to this use's rules they are taken
      // land, old or new alike.
      view[i] = l > 0 ? uses.uses[static_cast<size_t>(l - 1)].code
                      : (land_use_may_take(use, base[i]) ? CELL_AVAILABLE : base[i]);
      highest = std::max(highest, view[i]);
    }
    // Past 2^24 a float has no room for highest + 1: the next float above keeps them apart.
    const float value =
        highest + 1.0f > highest ? highest + 1.0f : std::nextafter(highest, INFINITY);
    for (size_t i = 0; i < n; ++i)
      if (label[i] == static_cast<int32_t>(k) + 1) view[i] = value;
    Scenario own;
    own.config = use.config;
    own.seed = scenario.seed;
    // By minimum cuts a use's rules are applied to their own repair until they hold, as for one
    // use: the other uses' regrowth after it leaves its islands as they are.
    const bool until_kept = by_min_cut(use.config);
    Run block;
    const auto regrow = [&] {
      block = Run();
      block.geometry = run.geometry;
      block.seed = run.seed;  // a repeat's own seed, as the stage of one use draws with it
      block.rng = run.rng;
      block.in_memory = true;
      block.write_files = false;
      block.process_output.assign(view.data(), view.data() + n);
      block.postprocess_until_kept = until_kept;
      run_postprocess_stage(own, block);
    };
    SharedStep step;
    shared_step_capture(step, regrow);
    if (step.fatal_code != 0 && no_room(step.log)) {
      // The other uses' cells can leave a use's basins, or the free cells around its islands,
      // too few for the cells it must regrow: the use keeps what PROCESS gave it rather than
      // lose the whole run.
      log_message(
          "! land use '%s': no room to regrow its purged cells; it keeps the cells PROCESS "
          "gave it\n",
          use.name.c_str());
      kept = false;
      continue;
    }
    shared_step_replay(step);
    kept = kept && until_kept && block.postprocess_kept;
    run.rng = block.rng;
    const std::vector<float> result = block.postprocess_output.unpack();
    for (size_t i = 0; i < n; ++i) {
      if (label[i] == static_cast<int32_t>(k) + 1) label[i] = 0;
      if (result[i] == value) label[i] = static_cast<int32_t>(k) + 1;
    }
  }

  run.postprocess_kept = kept;
  float* cells = maps.map(0);
  for (size_t i = 0; i < n; ++i)
    cells[i] = label[i] > 0 ? uses.uses[static_cast<size_t>(label[i] - 1)].value : base[i];
  config_get_text(config, "postprocess.output", path);
  if (run.in_memory || run.also_in_memory) run.postprocess_output.assign(cells, cells + n);
  const std::string output = run_file_path(run, path);
  if (!output.empty()) stage_write_solution(run, output, maps, 0);
  for (size_t i = 0; i < n; ++i) cells[i] = label[i] > 0 ? 1.0f : CELL_NODATA;
  config_get_text(config, "postprocess.output-mask", path);
  const std::string mask = run_file_path(run, path);
  if (!mask.empty()) {
    grid_write(mask.c_str(), maps, 0);
    style_write_mask(mask);
  }
}
