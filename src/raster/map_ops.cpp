#include "raster/map_ops.h"

#include <algorithm>
#include <vector>

#include "base/log.h"

float map_max_value(const MapBlock& maps, int32_t k) {
  const size_t n = maps.cell_count();
  const float* cells = maps.map(k);
  float m = CELL_NODATA;
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] > m) m = cells[i];
  }
  return m;
}

float map_normalize(MapBlock& maps, int32_t k) {
  log_message("* normalize map\n");
  float* cells = maps.map(k);
  const std::vector<float> largest = maps.range_results<float>([cells](size_t first, size_t end) {
    float m = -1.0f;
    for (size_t i = first; i < end; ++i) {
      if (cells[i] >= 0.0f && cells[i] > m) m = cells[i];
    }
    return m;
  });
  const float m = *std::max_element(largest.begin(), largest.end());
  // A map without a positive value has nothing to scale by; all-zero data stays all zero.
  if (!(m > 0.0f)) return 1.0f;
  maps.each_range([=](size_t, size_t first, size_t end) {
    for (size_t i = first; i < end; ++i) {
      if (cells[i] >= 0.0f) cells[i] = cells[i] / m;
    }
  });
  return m;
}

void map_copy(MapBlock& maps, int32_t src, int32_t dst) {
  const size_t n = maps.cell_count();
  const float* from = maps.map(src);
  float* to = maps.map(dst);
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

void map_fill(MapBlock& maps, int32_t src, int32_t dst, float value) {
  const size_t n = maps.cell_count();
  const float* from = maps.map(src);
  float* to = maps.map(dst);
  for (size_t i = 0; i < n; ++i) to[i] = from[i] == CELL_NODATA ? CELL_NODATA : value;
}
