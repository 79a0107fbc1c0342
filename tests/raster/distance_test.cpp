#include "raster/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "driver/random.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

class DistanceTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }
};

// The plain definition: the chessboard distance to the nearest destination, whatever lies between
// (no-data cells do not block), 1.0 everywhere without destinations, -1.0 on no-data cells.
std::vector<float> reference_distances(int nrows, int ncols, const std::vector<float>& src,
                                       float target) {
  std::vector<float> out(src.size());
  bool any = std::find(src.begin(), src.end(), target) != src.end();
  for (int r = 0; r < nrows; ++r) {
    for (int c = 0; c < ncols; ++c) {
      int best = any ? nrows + ncols : 1;
      for (int dr = 0; any && dr < nrows; ++dr) {
        for (int dc = 0; dc < ncols; ++dc) {
          if (src[static_cast<size_t>(dr * ncols + dc)] != target) continue;
          best = std::min(best, std::max(std::abs(dr - r), std::abs(dc - c)));
        }
      }
      const size_t i = static_cast<size_t>(r * ncols + c);
      out[i] = src[i] == CELL_NODATA ? CELL_NODATA : static_cast<float>(best);
    }
  }
  return out;
}

TEST_F(DistanceTest, MatchesChessboardReferenceOnRandomGridsWithNoDataWalls) {
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    rand_seed(seed);
    const int nrows = 1 + rand_index(20);  // several blocks of rows, and a partial one
    const int ncols = 1 + rand_index(12);
    // Destination density from none to every cell, so both special cases come up.
    const int density = seed % 10 == 0 ? 0 : seed % 10 == 1 ? 100 : rand_index(30);
    const int wall_row = rand_index(nrows);
    const int wall_col = rand_index(ncols);
    std::vector<float> src(static_cast<size_t>(nrows * ncols));
    for (int r = 0; r < nrows; ++r) {
      for (int c = 0; c < ncols; ++c) {
        float value = static_cast<float>(rand_index(5));
        if (density < 100 && (r == wall_row || c == wall_col || rand_index(10) == 0)) {
          value = CELL_NODATA;
        }
        if (rand_index(100) < density) value = CELL_MASKED;
        src[static_cast<size_t>(r * ncols + c)] = value;
      }
    }
    setup_grid(nrows, ncols, 2);
    set_map(0, src);
    FatalResult run = run_capturing([] { map_distance(0, 1, CELL_MASKED); });
    ASSERT_EQ(get_map(1), reference_distances(nrows, ncols, src, CELL_MASKED))
        << "seed " << seed << ", " << nrows << " x " << ncols;
    ASSERT_EQ(get_map(0), src) << "seed " << seed << ": the source map changed";
    const bool none = std::find(src.begin(), src.end(), CELL_MASKED) == src.end();
    ASSERT_EQ(run.log, none ? "* distance map\n  no destination cells: skip\n" : "* distance map\n")
        << "seed " << seed;
  }
}

}  // namespace
