#include "raster/islands.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "raster/grid.h"
#include "test_support.h"

namespace {

constexpr float S = 7.0f;  // the working cell value in these grids

class IslandsTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Lays out a solution map (1 = solution cell, 0 = other) and allocates the labelling arrays.
  void solution(int nrows, int ncols, const std::vector<int>& cells) {
    setup_grid(nrows, ncols, 1);
    std::vector<float> values;
    for (int cell : cells) values.push_back(cell == 1 ? S : 0.0f);
    set_map(0, values);
    working_cell_value = S;
    ASSERT_TRUE(islands_allocate(grid_cell_count()));
  }
};

TEST_F(IslandsTest, JoinsOnlyAcrossSidesAndNumbersByFirstCellInScanOrder) {
  struct Case {
    int nrows, ncols;
    std::vector<int> cells;
    std::vector<int32_t> labels;
  };
  const Case cases[] = {
      // Four corners: four islands, row by row.
      {3, 3, {1, 0, 1, 0, 0, 0, 1, 0, 1}, {0, -1, 1, -1, -1, -1, 2, -1, 3}},
      // A diagonal: cells touching at corners only stay apart.
      {3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, -1, -1, -1, 1, -1, -1, -1, 2}},
      // A U whose arms meet only in the bottom row is one island, found at its left arm's top.
      // The island on the right reaches further left lower down, yet takes its number from its
      // top cell (0, 7), before the lone cell of row 1.
      {4,
       8,
       {1, 0, 1, 0, 0, 0, 0, 1,  //
        1, 0, 1, 0, 1, 0, 1, 1,  //
        1, 1, 1, 0, 0, 0, 1, 0,  //
        0, 0, 0, 0, 0, 1, 1, 0},
       {0,  -1, 0,  -1, -1, -1, -1, 1,   //
        0,  -1, 0,  -1, 2,  -1, 1,  1,   //
        0,  0,  0,  -1, -1, -1, 1,  -1,  //
        -1, -1, -1, -1, -1, 1,  1,  -1}},
  };
  for (const Case& c : cases) {
    solution(c.nrows, c.ncols, c.cells);
    islands_label();
    EXPECT_EQ(
        std::vector<int32_t>(island_state.label_map, island_state.label_map + grid_cell_count()),
        c.labels);
    EXPECT_EQ(island_state.island_count, *std::max_element(c.labels.begin(), c.labels.end()) + 1);
  }
}

TEST_F(IslandsTest, IslandsTermIsRelativeToTheFirstSolutionSize) {
  // 101 cells in 3 islands (row 0 and two lone cells in row 2): range n - 1 = 100, term 2 / 100.
  solution(3, 99, std::vector<int>(3 * 99, 0));
  for (int c = 0; c < 99; ++c) map_get(0).at(0, c) = S;
  map_get(0).at(2, 0) = S;
  map_get(0).at(2, 2) = S;
  EXPECT_DOUBLE_EQ(islands_label(), 0.02);
  // Joined into one island the term is 0; the range keeps its first value.
  map_get(0).at(1, 0) = S;
  map_get(0).at(1, 2) = S;
  EXPECT_EQ(islands_label(), 0.0);
  EXPECT_EQ(island_state.f3_range, 100.0);
}

TEST_F(IslandsTest, OneCellSolutionGivesZeroNotNanAndAFullQueueStops) {
  solution(2, 1, {0, 1});
  EXPECT_EQ(islands_label(), 0.0);
  reset_process_state();
  solution(2, 1, {1, 1});
  island_state.queue_capacity = 1;  // the arrays are larger; only the declared room counts
  const FatalResult run = run_capturing([] { islands_label(); });
  EXPECT_EQ(run.code, -1);
  EXPECT_EQ(run.log, "error: island queue too small (1 entries)!\n");
}

}  // namespace
