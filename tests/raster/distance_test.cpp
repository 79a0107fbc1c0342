#include "raster/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "driver/random.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

// The plain definition: the chessboard distance to the nearest destination, whatever lies between
// (no-data cells do not block), 1.0 everywhere without destinations, -1.0 on no-data cells.
std::vector<float> reference_distances(int nrows, int ncols, const std::vector<float>& src) {
  std::vector<float> out(src.size());
  const bool any = std::find(src.begin(), src.end(), CELL_MASKED) != src.end();
  for (size_t i = 0; i < src.size(); ++i) {
    int best = any ? nrows + ncols : 1;
    for (size_t j = 0; j < src.size(); ++j) {
      const int r = int(i) / ncols - int(j) / ncols, c = int(i) % ncols - int(j) % ncols;
      if (src[j] == CELL_MASKED) best = std::min(best, std::max(std::abs(r), std::abs(c)));
    }
    out[i] = src[i] == CELL_NODATA ? CELL_NODATA : static_cast<float>(best);
  }
  return out;
}

TEST(DistanceTest, MatchesChessboardReferenceOnRandomGridsWithNoDataWalls) {
  reset_process_state();
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    rand_seed(seed);
    const int nrows = 1 + rand_index(20);  // several blocks of rows, and a partial one
    const int ncols = 1 + rand_index(12);
    // Destination density from none to every cell, so both special cases come up.
    const int density = seed % 10 == 0 ? 0 : seed % 10 == 1 ? 100 : rand_index(30);
    const int wall_row = rand_index(nrows), wall_col = rand_index(ncols);
    std::vector<float> src(static_cast<size_t>(nrows * ncols));
    for (size_t i = 0; i < src.size(); ++i) {
      const bool wall =
          static_cast<int>(i) / ncols == wall_row || static_cast<int>(i) % ncols == wall_col;
      src[i] = static_cast<float>(rand_index(5));
      if (density < 100 && (wall || rand_index(10) == 0)) src[i] = CELL_NODATA;
      if (rand_index(100) < density) src[i] = CELL_MASKED;
    }
    setup_grid(nrows, ncols, 2);
    set_map(0, src);
    const FatalResult run = run_capturing([] { map_distance(0, 1, CELL_MASKED); });
    ASSERT_EQ(get_map(1), reference_distances(nrows, ncols, src))
        << "seed " << seed << ", " << nrows << " x " << ncols;
    ASSERT_EQ(get_map(0), src) << "seed " << seed << ": the source map changed";
    const bool none = std::find(src.begin(), src.end(), CELL_MASKED) == src.end();
    ASSERT_EQ(run.log, none ? "* distance map\n  no destination cells: skip\n" : "* distance map\n")
        << "seed " << seed;
  }
  reset_process_state();
}

}  // namespace
