#include "raster/distance.h"

#include "base/random.h"
#include "raster/grid.h"
#include "test_support.h"

TEST(DistanceTest, MatchesTheChessboardDistanceByBruteForceOnRandomGridsWithNoData) {
  Rng rng;
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    rand_seed(rng, seed);
    const int nrows = 1 + rand_index(rng, 20), ncols = 1 + rand_index(rng, 12);
    // From no destination to all destinations, so both special cases come up. The reference:
    // nearest destination, no-data cells not blocking; 1 everywhere without destinations.
    const int density = seed % 10 == 0 ? 0 : seed % 10 == 1 ? 100 : rand_index(rng, 30);
    std::vector<float> src(static_cast<size_t>(nrows * ncols));
    for (float& v : src) {
      v = rand_index(rng, 5) == 0 ? CELL_NODATA : static_cast<float>(rand_index(rng, 5));
      if (rand_index(rng, 100) < density) v = CELL_MASKED;
    }
    const bool any = std::count(src.begin(), src.end(), CELL_MASKED) > 0;
    std::vector<float> expected(src.size());
    for (size_t i = 0; i < src.size(); ++i) {
      int best = any ? nrows + ncols : 1;
      for (size_t j = 0; j < src.size(); ++j) {
        const int dr = std::abs(int(i) / ncols - int(j) / ncols);
        if (src[j] == CELL_MASKED)
          best = std::min(best, std::max(dr, std::abs(int(i % ncols) - int(j % ncols))));
      }
      expected[i] = src[i] == CELL_NODATA ? CELL_NODATA : static_cast<float>(best);
    }
    MapBlock maps = make_maps(nrows, ncols, 2);
    set_map(maps, 0, src);
    const FatalResult run = run_capturing([&] { map_distance(maps, 0, 1, CELL_MASKED); });
    ASSERT_EQ(get_map(maps, 1), expected) << "seed " << seed;
    ASSERT_EQ(get_map(maps, 0), src) << "seed " << seed << ": the source map changed";
    ASSERT_EQ(run.log, any ? "* distance map\n" : "* distance map\n  no destination cells: skip\n");
  }
}
