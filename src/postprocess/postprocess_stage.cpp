#include "postprocess/postprocess_stage.h"

#include <cmath>

#include "config/config.h"
#include "driver/log.h"
#include "driver/random.h"
#include "postprocess/expand_basins.h"
#include "postprocess/selection.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "raster/loaders.h"
#include "raster/map_ops.h"

namespace {

constexpr int32_t POSTPROCESS_MAPS = 5;
constexpr const char* DISTANCE_MASKS = "postprocess.select.method-distance.distance-masks";
constexpr const char* DISTANCE_MAPS = "postprocess.select.method-distance.distance-maps";

// Distance maps are given in map units; the selection counts cells, so each positive mean
// distance becomes the whole number of cells that covers it.
void distances_to_cells() {
  float* cells = map_cells(3);
  const float cellsize = static_cast<float>(grid_geometry.cellsize);
  const size_t n = grid_cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] > 0.0f) cells[i] = static_cast<float>(std::ceil(double(cells[i] / cellsize)));
  }
}

// Map 3: per cell, the distance in cells to the nearest distance mask (or the mean of the
// distance maps, or 1 when neither is given); -1.0 where the solution map has no data.
void init_distance_map(const PostprocessParameters& p) {
  log_message("init distance map\n");
  if (!p.distance_masks.empty()) {
    map_fill(0, 3, CELL_AVAILABLE);
    maps_apply_masks(DISTANCE_MASKS, 3, CELL_MASKED);
    map_distance(3, 4, CELL_MASKED);
    map_copy(4, 3);
  } else if (!p.distance_maps.empty()) {
    map_fill(0, 3, CELL_AVAILABLE);
    maps_load_postprocess_distances();
    distances_to_cells();
  } else {
    map_fill(0, 3, 1.0f);
  }
}

// The count parameters of the selection are whole numbers of cells, 0 or more.
int32_t read_cells_parameter(const char* path, const char* name, const char* echo) {
  const int32_t value = config_get_integer(path);
  if (value < 0) {
    log_message(echo, value);
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value, "0 or more");
  }
  return value;
}

std::string read_text(const char* path) {
  char text[CONFIG_TEXT_MAX];
  config_get_string(path, text);
  return text;
}

}  // namespace

PostprocessParameters postprocess_read_parameters() {
  PostprocessParameters p;
  p.input = read_text("process.output");
  p.distance_masks = config_get_text_list(DISTANCE_MASKS);
  if (p.distance_masks.empty()) p.distance_maps = config_get_text_list(DISTANCE_MAPS);
  p.debug_maps = config_get_flag("postprocess.debug-maps");
  p.purge_limit = config_get_integer("postprocess.select.purge-limit");
  p.min_distance =
      read_cells_parameter("postprocess.select.method-distance.minimum-distance-to-mask",
                           "minimum-distance-to-mask", SELECT_ECHO_DISTANCE);
  p.min_cells = read_cells_parameter("postprocess.select.method-distance.minimum-cells-at-distance",
                                     "minimum-cells-at-distance", SELECT_ECHO_CELLS);
  p.accumulated_value =
      static_cast<float>(config_get_number("postprocess.select.method-value.accumulated-value"));
  if (!(p.accumulated_value >= 0.0f && p.accumulated_value <= 1.0f)) {
    log_message(SELECT_ECHO_VALUE, double(p.accumulated_value));
    config_out_of_range(1, "error: property 'accumulated-value' out of range!\n",
                        "property 'postprocess.select.method-value.accumulated-value'",
                        p.accumulated_value, "0 to 1");
  }
  p.basins_map = read_text("postprocess.expand.basins-map");
  if (!p.basins_map.empty()) {
    p.min_cells_in_basin = read_cells_parameter("postprocess.expand.minimim-cells-in-basin",
                                                "minimim-cells-in-basin", BASINS_ECHO_CELLS);
  }
  p.preference = read_assign_preference();
  p.output = read_text("postprocess.output");
  p.output_mask = read_text("postprocess.output-mask");
  return p;
}

bool postprocess_debug_begin(const PostprocessParameters& p) {
  if (!p.debug_maps) return false;
  log_message("debug maps\n");
  return true;
}

void run_postprocess_stage() {
  log_message("POSTPROCESS begin\n");
  const PostprocessParameters p = postprocess_read_parameters();
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(POSTPROCESS_MAPS);

  log_message("load solution map\n");
  grid_read(p.input.c_str(), 0);
  working_cell_value = map_max_value();
  log_message("  working cell value is %f\n", double(working_cell_value));
  // A largest value below 0 means the map holds no allocated cell either; taking it as the working
  // value would treat no-data cells as allocated ones and mark them in the output mask.
  if (working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(1);

  log_message("init potential map\n");
  maps_load_potential(1);
  log_message("init probability map\n");
  map_fill(1, 2, 1.0f);
  init_distance_map(p);

  if (postprocess_debug_begin(p)) {
    grid_write_suffixed(p.output.c_str(), ".debug.map-1.asc", 1);
    grid_write_suffixed(p.output.c_str(), ".debug.map-3.asc", 3);
  }

  // The expansion can grow one island over the whole grid, so the flood-fill queues get room
  // for every cell rather than for the current solution size.
  if (!islands_allocate(grid_cell_count())) fatal(1, "error: not enough memory!\n");
  rand_seed_stage();
  postprocess_islands(p);
  log_message("POSTPROCESS end\n");

  maps_release();
  islands_release();
}
