#include "raster/shape_measures.h"

#include <vector>

#include "raster/geometry.h"
#include "raster/islands.h"

namespace {

bool in_grid_size(int32_t nrows, int32_t ncols, int32_t row, int32_t col) {
  return row >= 0 && row < nrows && col >= 0 && col < ncols;
}

}  // namespace

ShapeMeasures shape_measure(const float* cells, int32_t nrows, int32_t ncols, float value) {
  ShapeMeasures m;
  if (nrows <= 0 || ncols <= 0) return m;
  IslandRuns runs;
  const IslandCount count = islands_count(runs, cells, nrows, ncols, value);
  m.cells = count.solution_cells;
  m.islands = count.islands;
  const auto taken = [&](int32_t row, int32_t col) {
    return in_grid_size(nrows, ncols, row, col) && cells[cell_index(ncols, row, col)] == value;
  };
  for (int32_t row = 0; row < nrows; ++row) {
    for (int32_t col = 0; col < ncols; ++col) {
      if (!taken(row, col)) continue;
      for (int32_t k = 0; k < 4; ++k)
        m.edges += taken(row + SIDE_ROW[k], col + SIDE_COL[k]) ? 0 : 1;
    }
  }
  // Every group of other cells is flooded (8-connected); those that never touch the edge are holes.
  const size_t n = static_cast<size_t>(nrows) * static_cast<size_t>(ncols);
  std::vector<char> seen(n, 0);
  std::vector<size_t> stack;
  for (size_t start = 0; start < n; ++start) {
    if (seen[start] != 0 || cells[start] == value) continue;
    seen[start] = 1;
    stack.assign(1, start);
    int64_t size = 0;
    bool open = false;
    while (!stack.empty()) {
      const size_t i = stack.back();
      stack.pop_back();
      ++size;
      const int32_t row = static_cast<int32_t>(i / static_cast<size_t>(ncols));
      const int32_t col = static_cast<int32_t>(i % static_cast<size_t>(ncols));
      open = open || row == 0 || col == 0 || row == nrows - 1 || col == ncols - 1;
      for (int32_t dr = -1; dr <= 1; ++dr) {
        for (int32_t dc = -1; dc <= 1; ++dc) {
          if (!in_grid_size(nrows, ncols, row + dr, col + dc)) continue;
          const size_t j = cell_index(ncols, row + dr, col + dc);
          if (seen[j] != 0 || cells[j] == value) continue;
          seen[j] = 1;
          stack.push_back(j);
        }
      }
    }
    if (!open) {
      ++m.holes;
      m.hole_cells += size;
    }
  }
  return m;
}
