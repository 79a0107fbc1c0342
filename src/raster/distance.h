// Chessboard distance maps: for every cell, the number of eight-neighbour steps to the nearest
// cell of a source map that holds a target value. The stages use it to weight placement and to
// measure how far allocated cells lie from their masks.
#pragma once

#include <cstdint>

#include "raster/maps.h"

/// Map dst receives, per cell, the chessboard distance in cells to the nearest cell of map src
/// equal to `target` (0.0 on those), and -1.0 where src is -1.0. Without any such cell, dst is 1.0
/// on the cells that are not -1.0 in src.
void map_distance(MapBlock& maps, int32_t src, int32_t dst, float target);
