#include "postprocess/postprocess_stage.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "base/log.h"
#include "postprocess/expand_basins.h"
#include "postprocess/expansion.h"
#include "postprocess/selection.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/map_ops.h"
#include "raster/packed_map.h"
#include "scenario/loaders.h"

namespace {

// Passes of the rules over their own result at most, where they are applied until they hold.
constexpr int32_t POSTPROCESS_PASSES = 64;

constexpr const char* DISTANCE_MASKS = "postprocess.select.method-distance.distance-masks";
constexpr const char* DISTANCE_MAPS = "postprocess.select.method-distance.distance-maps";

// Distance maps are given in map units; the selection counts cells, so each positive mean
// distance becomes the whole number of cells that covers it.
void distances_to_cells(MapBlock& maps) {
  float* cells = maps.map(POSTPROCESS_DISTANCE_MAP);
  const float cellsize = static_cast<float>(maps.geometry.cellsize);
  const size_t n = maps.cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] > 0.0f) cells[i] = static_cast<float>(std::ceil(double(cells[i] / cellsize)));
  }
}

// Per cell, the distance in cells to the nearest distance mask (or the mean of the distance
// maps, or 1 when neither is given); -1.0 where the solution map has no data.
void init_distance_map(const PostprocessRun& run, MapBlock& maps) {
  const ConfigDocument& config = run.scenario.config;
  const PostprocessParameters& p = run.params;
  const int32_t distance = POSTPROCESS_DISTANCE_MAP;
  const int32_t scratch = POSTPROCESS_BASINS_MAP;
  log_message("init distance map\n");
  if (!p.distance_masks.empty()) {
    map_fill(maps, POSTPROCESS_SOLUTION_MAP, distance, CELL_AVAILABLE);
    maps_apply_masks(config, maps, DISTANCE_MASKS, distance, CELL_MASKED);
    map_distance(maps, distance, scratch, CELL_MASKED);
    map_copy(maps, scratch, distance);
  } else if (!p.distance_maps.empty()) {
    map_fill(maps, POSTPROCESS_SOLUTION_MAP, distance, CELL_AVAILABLE);
    maps_load_postprocess_distances(config, maps, distance);
    distances_to_cells(maps);
  } else {
    map_fill(maps, POSTPROCESS_SOLUTION_MAP, distance, 1.0f);
  }
}

// The count parameters of the selection are whole numbers of cells, 0 or more.
int32_t read_cells_parameter(const ConfigDocument& config, const char* path, const char* name,
                             const char* echo) {
  const int32_t value = config_get_integer(config, path);
  if (value < 0) {
    log_message(echo, value);
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value, "0 or more");
  }
  return value;
}

std::string read_text(const ConfigDocument& config, const char* path) {
  char text[CONFIG_TEXT_MAX];
  config_get_text(config, path, text);
  return text;
}

// "postprocess.expand.method", "greedy" or "min-cut"; absent, it follows "process.method".
bool read_expand_method(const ConfigDocument& config) {
  const char* const path = "postprocess.expand.method";
  if (config_find(config, 0, path) < 0) {
    return config_find(config, 0, "process.method") >= 0 &&
           read_text(config, "process.method") == "min-cut";
  }
  const std::string text = read_text(config, path);
  if (text == "greedy" || text == "min-cut") return text == "min-cut";
  log_message("  expand method '%s'\n", text.c_str());
  log_message("error: property 'method' out of range!\n");
  fatal(1, "  accepted values are 'greedy', 'min-cut'\n");
}

// The shared distance map, or its bits where the runs write no debug maps.
void take_shared_distance(PostprocessRun& p) {
  if (p.params.debug_maps) {
    p.distance = p.shared->distance.data();
  } else {
    p.near = &p.shared->near;
  }
}

// The distance map of the run: map 3, or the shared one when the run's solution map has no data
// at the same cells as the one it was built for. The first run to get here builds it (the others
// wait) and leaves its lines, and its error if it fails, for the others to print.
void load_distance_map(PostprocessRun& p) {
  PostprocessInputs* shared = p.shared;
  if (shared == nullptr) return init_distance_map(p, p.maps);
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const size_t n = p.maps.cell_count();
  std::unique_lock<std::mutex> hold(shared->lock);
  if (!shared->distance_build.done) {
    shared->distance_nodata.resize(n);
    for (size_t i = 0; i < n; ++i) shared->distance_nodata[i] = solution[i] == CELL_NODATA;
    shared_step_run(shared->distance_build, [&] { init_distance_map(p, p.maps); });
    const float* own = p.maps.map(POSTPROCESS_DISTANCE_MAP);
    if (p.params.debug_maps) {
      shared->distance.assign(own, own + n);
    } else {
      const auto limit = static_cast<float>(p.params.min_distance);
      shared->near.resize(n);
      for (size_t i = 0; i < n; ++i) shared->near[i] = within_distance(own[i], limit);
    }
    p.maps.discard(POSTPROCESS_DISTANCE_MAP, 0, n);
    take_shared_distance(p);
    shared->distance_build.done = true;
    return;
  }
  bool same_layout = true;
  for (size_t i = 0; i < n && same_layout; ++i) {
    same_layout = shared->distance_nodata[i] == (solution[i] == CELL_NODATA);
  }
  if (!same_layout) {
    hold.unlock();
    return init_distance_map(p, p.maps);
  }
  shared_step_replay(shared->distance_build);
  take_shared_distance(p);
}

// The potential and distance maps as grids, through the scratch map when they are shared.
void write_load_debug_maps(PostprocessRun& p) {
  const char* prefix = p.debug_prefix.c_str();
  const size_t n = p.maps.cell_count();
  int32_t potential = POSTPROCESS_POTENTIAL_MAP;
  if (p.shared != nullptr) {
    potential = POSTPROCESS_SCRATCH_MAP;
    float* cells = p.maps.map(potential);
    for (size_t i = 0; i < n; ++i) cells[i] = p.potential(i);
  }
  grid_write_suffixed(prefix, POSTPROCESS_DEBUG_POTENTIAL, p.maps, potential);
  int32_t distance = POSTPROCESS_DISTANCE_MAP;
  if (p.distance != nullptr) {
    distance = POSTPROCESS_SCRATCH_MAP;
    std::copy(p.distance, p.distance + n, p.maps.map(distance));
  }
  grid_write_suffixed(prefix, POSTPROCESS_DEBUG_DISTANCE, p.maps, distance);
  p.maps.discard(POSTPROCESS_SCRATCH_MAP, 0, n);
}

// Loads the handed-over solution map and builds the maps the island work reads.
void load_maps(PostprocessRun& p) {
  const ConfigDocument& config = p.scenario.config;
  log_message("init\n");
  maps_init_geometry(config, p.run.geometry);
  p.maps = maps_allocate(p.run.geometry, POSTPROCESS_MAPS);
  p.maps.threads = p.run.threads;

  log_message("load solution map\n");
  stage_read_handover(p.run, Handover::process_output, p.params.input, p.maps,
                      POSTPROCESS_SOLUTION_MAP);
  p.working_cell_value = map_max_value(p.maps, POSTPROCESS_SOLUTION_MAP);
  log_message("  working cell value is %f\n", double(p.working_cell_value));
  // A largest value below 0 means the map holds no allocated cell either; taking it as the working
  // value would treat no-data cells as allocated ones and mark them in the output mask.
  if (p.working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(config, p.maps, p.working_cell_value, POSTPROCESS_POTENTIAL_MAP,
                           p.run.working_value_cells);

  log_message("init potential map\n");
  const size_t cells = p.maps.cell_count();
  if (p.shared != nullptr) {
    // The check may have read its map into map 1, which the run does not need.
    p.maps.discard(POSTPROCESS_POTENTIAL_MAP, 0, cells);
    log_message("%s", p.shared->potential_log.c_str());
  } else {
    maps_load_potential(config, p.maps, POSTPROCESS_POTENTIAL_MAP);
    for (int32_t k : {2, 3}) p.maps.discard(k, 0, cells);
  }
  // The probability map follows from the potential once the expansion starts.
  log_message("init probability map\n");
  load_distance_map(p);
  p.maps.discard(POSTPROCESS_BASINS_MAP, 0, cells);

  if (postprocess_debug_begin(p)) write_load_debug_maps(p);

  if (!islands_allocate(p.islands, p.maps.cell_count())) {
    fatal(1, "error: not enough memory!\n");
  }
}

}  // namespace

PostprocessParameters postprocess_read_parameters(const ConfigDocument& config) {
  PostprocessParameters p;
  p.input = read_text(config, "process.output");
  p.distance_masks = config_get_text_list(config, DISTANCE_MASKS);
  if (p.distance_masks.empty()) p.distance_maps = config_get_text_list(config, DISTANCE_MAPS);
  p.debug_maps = config_get_flag(config, "postprocess.debug-maps");
  p.purge_limit = config_get_integer(config, "postprocess.select.purge-limit");
  p.min_distance =
      read_cells_parameter(config, "postprocess.select.method-distance.minimum-distance-to-mask",
                           "minimum-distance-to-mask", SELECT_ECHO_DISTANCE);
  p.min_cells =
      read_cells_parameter(config, "postprocess.select.method-distance.minimum-cells-at-distance",
                           "minimum-cells-at-distance", SELECT_ECHO_CELLS);
  p.accumulated_value = static_cast<float>(
      config_get_number(config, "postprocess.select.method-value.accumulated-value"));
  if (!(p.accumulated_value >= 0.0f && p.accumulated_value <= 1.0f)) {
    log_message(SELECT_ECHO_VALUE, double(p.accumulated_value));
    config_out_of_range(1, "error: property 'accumulated-value' out of range!\n",
                        "property 'postprocess.select.method-value.accumulated-value'",
                        p.accumulated_value, "0 to 1");
  }
  p.basins_map = read_text(config, "postprocess.expand.basins-map");
  if (!p.basins_map.empty()) {
    p.min_cells_in_basin = read_cells_parameter(config, "postprocess.expand.minimim-cells-in-basin",
                                                "minimim-cells-in-basin", BASINS_ECHO_CELLS);
  }
  p.preference = read_assign_preference(config);
  p.expand_min_cut = read_expand_method(config);
  p.output = read_text(config, "postprocess.output");
  p.output_mask = read_text(config, "postprocess.output-mask");
  return p;
}

std::vector<std::string> postprocess_debug_files(const PostprocessParameters& p,
                                                 const std::string& prefix) {
  if (!p.debug_maps) return {};
  std::vector<std::string> files;
  for (const char* suffix :
       {POSTPROCESS_DEBUG_POTENTIAL, POSTPROCESS_DEBUG_DISTANCE, POSTPROCESS_DEBUG_PURGED,
        POSTPROCESS_DEBUG_SELECTED, POSTPROCESS_DEBUG_SELECTION, POSTPROCESS_DEBUG_SELECTION_MASK,
        POSTPROCESS_DEBUG_PROBABILITY}) {
    files.push_back(prefix + suffix);
  }
  if (!p.basins_map.empty()) files.push_back(prefix + POSTPROCESS_DEBUG_BASINS);
  return files;
}

bool postprocess_debug_begin(const PostprocessRun& p) {
  if (!p.params.debug_maps || p.debug_prefix.empty()) return false;
  log_message("debug maps\n");
  return true;
}

void run_postprocess_stage(const Scenario& scenario, Run& run) {
  log_message("POSTPROCESS begin\n");
  PostprocessRun p(scenario, run);
  // Shared maps without a potential (their build failed) are no maps to share.
  if (run.postprocess_inputs != nullptr && run.postprocess_inputs->potential != nullptr) {
    p.shared = run.postprocess_inputs;
  }
  p.params = postprocess_read_parameters(scenario.config);
  p.debug_prefix = run_debug_prefix(run, p.params.output);
  load_maps(p);
  stage_seed(scenario, run);
  // The greedy regrowth can leave islands the selection drops: where asked, the rules are applied
  // again to their own result until it holds (each pass that changes the map drops an island, so
  // few passes do).
  const size_t cells = p.maps.cell_count();
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  // The map a pass began from, packed: it is held beside every map of the stage.
  PackedMap before;
  run.postprocess_kept = false;
  for (int32_t pass = 1;; ++pass) {
    if (run.postprocess_until_kept) before.assign(solution, solution + cells);
    const int64_t cells_purged = purge_stage(p);
    select_islands(p);
    if (!run.postprocess_until_kept) p.maps.discard(POSTPROCESS_DISTANCE_MAP, 0, cells);
    expand_islands(p, cells_purged);
    if (!run.postprocess_until_kept) break;
    if (pass == 1 && run.postprocess_keep_repair) {
      run.postprocess_repair.assign(solution, solution + cells);
    }
    run.postprocess_kept = true;
    for (size_t i = 0; i < cells && run.postprocess_kept; ++i) {
      run.postprocess_kept = before[i] == solution[i];
    }
    if (run.postprocess_kept || pass == POSTPROCESS_PASSES) break;
    log_message("POSTPROCESS again over its own map, whose islands the rules changed\n");
    // The selection's debug maps wrote over a distance map of the run's own.
    if (p.distance == nullptr && p.params.debug_maps) init_distance_map(p, p.maps);
  }
  before = PackedMap();
  // The labels and growth chances are done with; their memory goes back before the final map is
  // copied out.
  p.islands = IslandState{};
  p.taken = std::vector<bool>{};
  // Only a complete expansion reaches this point: a failed one ends the run without a final map.
  write_final_maps(p);
  run.working_cell_value = p.working_cell_value;
  log_message("POSTPROCESS end\n");
}
