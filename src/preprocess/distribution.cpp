#include "preprocess/distribution.h"

#include <cstddef>

#include "base/log.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/map_ops.h"
#include "scenario/loaders.h"

void distribution_map_build(const ConfigDocument& config, MapBlock& maps) {
  const int32_t weights_map = PREPROCESS_SCRATCH_MAP;
  map_fill(maps, PREPROCESS_SOLUTION_MAP, PREPROCESS_DISTRIBUTION_MAP, 0.0f);
  maps_apply_masks(config, maps, "preprocess.distribution-masks", PREPROCESS_DISTRIBUTION_MAP,
                   CELL_MASKED);
  map_distance(maps, PREPROCESS_DISTRIBUTION_MAP, weights_map, CELL_MASKED);
  map_normalize(maps, weights_map);

  // Distance 0 becomes weight 1, the farthest data cell weight 0; no-data stays -1.
  log_message("* reverse map\n");
  float* weights = maps.map(weights_map);
  const size_t n = maps.cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (weights[i] >= 0.0f) weights[i] = static_cast<float>(1.0 - static_cast<double>(weights[i]));
  }
  map_copy(maps, weights_map, PREPROCESS_DISTRIBUTION_MAP);
}
