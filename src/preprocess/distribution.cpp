#include "preprocess/distribution.h"

#include <cstddef>

#include "driver/log.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/loaders.h"
#include "raster/map_ops.h"

void init_values_apply(const char* path) {
  grid_read(path, 1);
  float* solution = map_cells(0);
  const float* values = map_cells(1);
  size_t n = grid_cell_count();
  // Excluded cells may be overwritten: an allocation that already exists wins over a mask.
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] != CELL_NODATA && values[i] > 0.0f) solution[i] = values[i];
  }
}

void distribution_map_build() {
  map_fill(0, 1, 0.0f);
  maps_apply_masks("preprocess.distribution-masks", 1, CELL_MASKED);
  map_distance(1, 2, CELL_MASKED);
  map_normalize(2);

  // Distance 0 becomes weight 1, the farthest data cell weight 0; no-data stays -1.
  log_message("* reverse map\n");
  float* weights = map_cells(2);
  size_t n = grid_cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (weights[i] >= 0.0f) weights[i] = static_cast<float>(1.0 - static_cast<double>(weights[i]));
  }
  map_copy(2, 1);
}
