#include "raster/map_ops.h"

#include "driver/log.h"
#include "raster/grid.h"

size_t map_cell_count() {
  if (grid_geometry.nrows <= 0 || grid_geometry.ncols <= 0) return 0;
  return grid_cell_count();
}

float map_max_value() {
  const size_t n = map_cell_count();
  const float* cells = map_cells(0);
  float m = CELL_NODATA;
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] > m) m = cells[i];
  }
  return m;
}

void map_normalize(int32_t k) {
  log_message("* normalize map\n");
  const size_t n = map_cell_count();
  float* cells = map_cells(k);
  float m = -1.0f;
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] >= 0.0f && cells[i] > m) m = cells[i];
  }
  // A map without a positive value has nothing to scale by; all-zero data stays all zero.
  if (!(m > 0.0f)) return;
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] >= 0.0f) cells[i] = cells[i] / m;
  }
}

void map_copy(int32_t src, int32_t dst) {
  const size_t n = map_cell_count();
  const float* from = map_cells(src);
  float* to = map_cells(dst);
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

void map_fill(int32_t src, int32_t dst, float value) {
  const size_t n = map_cell_count();
  const float* from = map_cells(src);
  float* to = map_cells(dst);
  for (size_t i = 0; i < n; ++i) to[i] = from[i] == CELL_NODATA ? CELL_NODATA : value;
}
