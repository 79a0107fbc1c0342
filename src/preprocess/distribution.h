// The two maps the random placement starts from: existing allocations copied from an
// initial-values grid into the solution map, and the distribution map of placement weights, 1.0
// on the cells the distribution masks mark and falling linearly with the chessboard distance to
// 0.0 on the data cells farthest from every mask.
#pragma once

#include "config/config.h"
#include "raster/maps.h"

/// The maps of the PREPROCESS stage's block.
constexpr int32_t PREPROCESS_SOLUTION_MAP = 0;
constexpr int32_t PREPROCESS_DISTRIBUTION_MAP = 1;  ///< also the loaders' scratch before
constexpr int32_t PREPROCESS_SCRATCH_MAP = 2;       ///< masks, then the distance map
constexpr int32_t PREPROCESS_MAPS = 3;


/// Builds the distribution map from "preprocess.distribution-masks".
void distribution_map_build(const ConfigDocument& config, MapBlock& maps);
