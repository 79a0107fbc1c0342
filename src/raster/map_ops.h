// Whole-map operations on the maps of a stage's block, shared by every stage and by the loaders:
// the largest value of a map, normalisation to 0..1, copy, and a fill that keeps the no-data
// pattern of another map. Maps are named by their number in the block.
#pragma once

#include <cstdint>

#include "raster/maps.h"

/// Largest cell of map k (a solution map), at least -1.0.
float map_max_value(const MapBlock& maps, int32_t k);

/// Divides every cell >= 0 of map k by the largest such cell when that is above 0; returns what it
/// divided by (1 when nothing), which turns the map back into its units.
float map_normalize(MapBlock& maps, int32_t k);

/// Makes map dst an exact copy of map src.
void map_copy(MapBlock& maps, int32_t src, int32_t dst);

/// Map dst becomes -1.0 where map src is exactly -1.0 and `value` everywhere else.
void map_fill(MapBlock& maps, int32_t src, int32_t dst, float value);
