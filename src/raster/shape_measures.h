// What a planner reads off a solution map, in cells and cell sides: how many cells are allocated,
// the length of the boundary between allocated and other cells, the islands, and the holes they
// enclose. The driver turns these into map units with the cell size.
#pragma once

#include <cstdint>

/// The shape of the allocated cells of one map.
struct ShapeMeasures {
  int64_t cells = 0;       ///< allocated cells
  int64_t edges = 0;       ///< cell sides between an allocated cell and any other cell or the edge
  int64_t islands = 0;     ///< 4-connected groups of allocated cells
  int64_t holes = 0;       ///< groups of other cells that allocated cells enclose
  int64_t hole_cells = 0;  ///< cells of those groups
};

/// The shape of the cells of the nrows x ncols map `cells` that hold `value`. Islands are
/// 4-connected, so the cells around them are 8-connected: two allocated cells that touch only at
/// a corner do not close a hole between them. A group of other cells is a hole when it does not
/// reach the edge of the grid, whatever its cells hold (no data included).
ShapeMeasures shape_measure(const float* cells, int32_t nrows, int32_t ncols, float value);
