#include "postprocess/postprocess_stage.h"

#include <cmath>

#include "config/config.h"
#include "driver/log.h"
#include "driver/random.h"
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
void init_distance_map() {
  log_message("init distance map\n");
  if (config_child_count(config_get_array(DISTANCE_MASKS)) > 0) {
    map_fill(0, 3, CELL_AVAILABLE);
    maps_apply_masks(DISTANCE_MASKS, 3, CELL_MASKED);
    map_distance(3, 4, CELL_MASKED);
    map_copy(4, 3);
  } else if (config_child_count(config_get_array(DISTANCE_MAPS)) > 0) {
    map_fill(0, 3, CELL_AVAILABLE);
    maps_load_postprocess_distances();
    distances_to_cells();
  } else {
    map_fill(0, 3, 1.0f);
  }
}

}  // namespace

bool postprocess_debug_begin(std::string& prefix) {
  if (!config_get_flag("postprocess.debug-maps")) return false;
  log_message("debug maps\n");
  char text[CONFIG_TEXT_MAX];
  config_get_string("postprocess.output", text);
  prefix = text;
  return true;
}

void run_postprocess_stage() {
  log_message("POSTPROCESS begin\n");
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(POSTPROCESS_MAPS);

  log_message("load solution map\n");
  char path[CONFIG_TEXT_MAX];
  config_get_string("process.output", path);
  grid_read(path, 0);
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
  init_distance_map();

  std::string prefix;
  if (postprocess_debug_begin(prefix)) {
    grid_write_suffixed(prefix.c_str(), ".debug.map-1.asc", 1);
    grid_write_suffixed(prefix.c_str(), ".debug.map-3.asc", 3);
  }

  // The expansion can grow one island over the whole grid, so the flood-fill queues get room
  // for every cell rather than for the current solution size.
  if (!islands_allocate(grid_cell_count())) fatal(1, "error: not enough memory!\n");
  rand_seed_stage();
  postprocess_islands();
  log_message("POSTPROCESS end\n");

  maps_release();
  islands_release();
}
