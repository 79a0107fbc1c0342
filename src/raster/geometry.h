// The grid every raster of a run shares: its geometry, the cell values every layer agrees on, and
// the index and neighbour helpers of a row-major raster. Cells are 32-bit floats, row-major, row 0
// being the first row of the file.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr float CELL_NODATA = -1.0f;    ///< no data; written to files as FILE_NODATA
constexpr float CELL_MASKED = -2.0f;    ///< excluded cell, or destination of a distance map
constexpr float MOVE_MARK = -3.0f;      ///< a cell of a move under evaluation
constexpr float GROWN_MARK = -3.0f;     ///< a cell grown in the current expansion sweep
constexpr float CELL_AVAILABLE = 0.0f;  ///< allocatable and not allocated
constexpr int FILE_NODATA = -999;

/// A coordinate system as its file spells it.
struct GridCrs {
  std::string text;   ///< empty for none
  bool esri = false;  ///< `text` is a `.prj` (Esri WKT or the older Esri form), else WKT
};

/// The shared grid. Header fields keep the precision of the file they came from (doubles) and are
/// compared in double precision to a small fraction of a cell (same_grid_place), so that outputs
/// line up with their inputs.
struct GridGeometry {
  int32_t ncols = 0;
  int32_t nrows = 0;
  double xllcorner = 0.0;  ///< the lower-left corner, also when the file gave the centre
  double yllcorner = 0.0;
  double xllcenter = 0.0;  ///< the centre of the lower-left cell, when the file gave it
  double yllcenter = 0.0;
  bool x_center = false;  ///< the file gave the x origin as xllcenter (written back so)
  bool y_center = false;  ///< the file gave the y origin as yllcenter (written back so)
  double cellsize = 0.0;
  std::string source;  ///< the file it was taken from, named when another file does not match
  GridCrs crs;         ///< its coordinate system, carried to every output
};

/// The lower-left corner along one axis of a geometry that gives either the corner or the centre
/// of the lower-left cell (half a cell further in): both describe the same place. A header read
/// from a file always holds the corner; a geometry built with a centre alone reads it from there.
inline double grid_lower_left(double corner, double center, double cellsize) {
  return corner == 0.0 && center != 0.0 ? center - cellsize / 2.0 : corner;
}

/// Fraction of a cell by which two headers may place their grids apart and still be the same
/// grid: a header written with fewer decimals than its source still matches, a grid moved by a
/// visible part of a cell does not (at 9e6 a 32-bit float cannot tell a cell of 0.5 apart).
constexpr double GRID_PLACE_TOLERANCE = 1e-3;

/// Whether two origins along one axis (or two cell sizes, `cells` cells long) of grids of cell
/// size `cellsize` lie within GRID_PLACE_TOLERANCE of a cell of each other.
inline bool same_grid_place(double a, double b, double cellsize, double cells = 1.0) {
  return a == b || std::fabs(a - b) * cells <= GRID_PLACE_TOLERANCE * std::fabs(cellsize);
}

/// Whether the geometry describes a grid (both counts set).
inline bool geometry_is_set(const GridGeometry& g) {
  return g.nrows != 0 && g.ncols != 0;
}

/// Cells of one raster of the geometry; 0 unless both counts are positive.
inline size_t geometry_cell_count(const GridGeometry& g) {
  if (g.nrows <= 0 || g.ncols <= 0) return 0;
  return static_cast<size_t>(g.nrows) * static_cast<size_t>(g.ncols);
}

/// Row-major index of (row, col) in rows of `ncols` cells.
inline size_t cell_index(int32_t ncols, int32_t row, int32_t col) {
  return static_cast<size_t>(row) * static_cast<size_t>(ncols) + static_cast<size_t>(col);
}

/// Row-major index of (row, col) on the grid.
inline size_t cell_index(const GridGeometry& g, int32_t row, int32_t col) {
  return cell_index(g.ncols, row, col);
}

/// Whether (row, col) lies on the grid.
inline bool in_grid(const GridGeometry& g, int32_t row, int32_t col) {
  return row >= 0 && row < g.nrows && col >= 0 && col < g.ncols;
}

/// The four side neighbours in the order every sweep visits them: up, left, right, down.
constexpr int32_t SIDE_ROW[4] = {-1, 0, 0, 1};
constexpr int32_t SIDE_COL[4] = {0, -1, 1, 0};

/// Number of the n cells from `cells` that hold exactly `value`.
inline int64_t count_equal(const float* cells, size_t n, float value) {
  int64_t count = 0;
  for (size_t i = 0; i < n; ++i) count += cells[i] == value ? 1 : 0;
  return count;
}
