#include "raster/distance.h"

#include <algorithm>

#include "base/log.h"
#include "raster/map_ops.h"

// The level-by-level sweeps reach, on every cell, the chessboard distance to the nearest
// destination: no-data cells do not block (the sweeps pass through them and only overwrite them
// with -1.0 at the end). The same numbers come from three linear steps:
//
//   1. top to bottom, each row takes one more than the nearest of the three cells above it
//      (up-left, up, up-right): the distance to destinations above, within the cone |dc| <= |dr|;
//   2. bottom to top, the same from the three cells below;
//   3. along each row, both ways: d[c] = min over j of d[j] + |c - j|.
//
// A nearest destination within the cone is reached by steps 1 and 2 alone; one outside it is
// reached diagonally up to the cell's row and then straight along it by step 3. Every value is the
// length of some eight-neighbour path, so none falls below the true distance.
//
// Steps 1 and 2 have no dependency along a row and vectorise. Step 3 is a chain along the row, so
// it runs on blocks of rows at once, whose chains overlap; it follows step 2 block by block, which
// only lets step 2 start from values that are already smaller, never below the true distance.

namespace {

// Rows whose step-3 chains run side by side.
constexpr int32_t ROW_BLOCK = 8;

// Takes into `row` one more than the nearest of the three cells of the neighbouring row `done`.
void take_from_row(float* row, const float* done, int32_t ncols) {
  if (ncols == 1) {
    row[0] = std::min(row[0], done[0] + 1.0f);
    return;
  }
  row[0] = std::min(row[0], std::min(done[0], done[1]) + 1.0f);
  for (int32_t c = 1; c < ncols - 1; ++c) {
    const float closest = std::min(std::min(done[c - 1], done[c]), done[c + 1]);
    row[c] = std::min(row[c], closest + 1.0f);
  }
  row[ncols - 1] = std::min(row[ncols - 1], std::min(done[ncols - 2], done[ncols - 1]) + 1.0f);
}

// Step 3 on ROWS consecutive rows: d[c] = min over j <= c of (d[j] - j) + c, then the same from the
// right with d[j] + j. The only dependency from cell to cell is one min; every value is a whole
// number well within the exact range of a float. `far` is above every distance of the grid.
template <int32_t ROWS>
void carry_along_rows(float* first, size_t width, int32_t ncols, float far) {
  float best[ROWS];
  for (int32_t k = 0; k < ROWS; ++k) best[k] = far;
  for (int32_t c = 0; c < ncols; ++c) {
    const float at = static_cast<float>(c);
    for (int32_t k = 0; k < ROWS; ++k) {
      float& cell = first[static_cast<size_t>(k) * width + static_cast<size_t>(c)];
      best[k] = std::min(best[k], cell - at);
      cell = best[k] + at;
    }
  }
  for (int32_t k = 0; k < ROWS; ++k) best[k] = far + static_cast<float>(ncols);
  for (int32_t c = ncols - 1; c >= 0; --c) {
    const float at = static_cast<float>(c);
    for (int32_t k = 0; k < ROWS; ++k) {
      float& cell = first[static_cast<size_t>(k) * width + static_cast<size_t>(c)];
      best[k] = std::min(best[k], cell + at);
      cell = best[k] - at;
    }
  }
}

void restore_nodata(float* row, const float* src_row, int32_t ncols) {
  for (int32_t c = 0; c < ncols; ++c) {
    if (src_row[c] == CELL_NODATA) row[c] = CELL_NODATA;
  }
}

}  // namespace

void map_distance(MapBlock& maps, int32_t src, int32_t dst, float target) {
  log_message("* distance map\n");
  const float* from = maps.map(src);
  float* to = maps.map(dst);
  // Without a cell (or with a broken geometry) nothing is scanned and no destination is found.
  const bool any_cell = maps.cell_count() > 0;
  const int32_t nrows = any_cell ? maps.geometry.nrows : 0;
  const int32_t ncols = any_cell ? maps.geometry.ncols : 0;
  const size_t width = static_cast<size_t>(ncols);
  auto dst_row = [&](int32_t r) { return to + static_cast<size_t>(r) * width; };
  auto src_row = [&](int32_t r) { return from + static_cast<size_t>(r) * width; };

  // Farther than any distance the grid can hold, and exact as a float.
  const float far = static_cast<float>(nrows + ncols);
  size_t destinations = 0;
  for (int32_t r = 0; r < nrows; ++r) {
    float* row = dst_row(r);
    const float* source = src_row(r);
    for (int32_t c = 0; c < ncols; ++c) {
      const bool destination = source[c] == target;
      row[c] = destination ? 0.0f : far;
      destinations += destination ? 1 : 0;
    }
    if (r > 0) take_from_row(row, dst_row(r - 1), ncols);
  }
  if (destinations == 0) {
    log_message("  no destination cells: skip\n");
    map_fill(maps, src, dst, 1.0f);
    return;
  }

  // Blocks from the bottom. A row shows its no-data cells only once no other row reads it: the
  // rows inside a block right after step 3, the block's top row after the next block's step 2.
  for (int32_t end = nrows; end > 0;) {
    const int32_t begin = std::max(0, end - ROW_BLOCK);
    for (int32_t r = end - 1; r >= begin; --r) {
      if (r < nrows - 1) take_from_row(dst_row(r), dst_row(r + 1), ncols);
    }
    if (end < nrows) restore_nodata(dst_row(end), src_row(end), ncols);
    if (end - begin == ROW_BLOCK) {
      carry_along_rows<ROW_BLOCK>(dst_row(begin), width, ncols, far);
    } else {
      for (int32_t r = begin; r < end; ++r) carry_along_rows<1>(dst_row(r), width, ncols, far);
    }
    for (int32_t r = begin + 1; r < end; ++r) restore_nodata(dst_row(r), src_row(r), ncols);
    end = begin;
  }
  restore_nodata(dst_row(0), src_row(0), ncols);
}
