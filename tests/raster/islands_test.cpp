#include "raster/islands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "raster/grid.h"
#include "test_support.h"

namespace {

constexpr float S = 7.0f;  // the working cell value in these grids

// Lays out a solution map from rows of '#' (solution cell) and '.', joined by '/', and allocates
// the labelling arrays.
void solution(const std::string& rows) {
  reset_process_state();
  std::vector<float> values;
  for (char c : rows) {
    if (c != '/') values.push_back(c == '#' ? S : 0.0f);
  }
  const int ncols = static_cast<int>(std::min(rows.find('/'), rows.size()));
  setup_grid(static_cast<int>(values.size()) / ncols, ncols, 1);
  set_map(0, values);
  working_cell_value = S;
  ASSERT_TRUE(islands_allocate(grid_cell_count()));
}

TEST(IslandsTest, JoinsOnlyAcrossSidesAndNumbersByFirstCellInScanOrder) {
  const char* cases[][2] = {
      // Four corners: four islands, row by row. A diagonal: cells touching at corners stay apart.
      {"#.#/.../#.#", "0.1/.../2.3"},
      {"#../.#./..#", "0../.1./..2"},
      // A U whose arms meet only in the bottom row is one island, found at its left arm's top.
      // The island on the right reaches further left lower down, yet takes its number from its
      // top cell, before the lone cell of row 1.
      {"#.#....#/#.#.#.##/###...#./.....##.", "0.0....1/0.0.2.11/000...1./.....11."},
  };
  for (const auto& c : cases) {
    solution(c[0]);
    islands_label();
    std::string labels;  // laid out like the solution, '.' for no island
    size_t cell = 0;
    for (const char* p = c[0]; *p != '\0'; ++p) {
      const int32_t label = *p == '/' ? 0 : island_state.label_map[cell++];
      labels += *p == '/' ? '/' : label < 0 ? '.' : static_cast<char>('0' + label);
    }
    EXPECT_EQ(labels, c[1]);
    EXPECT_EQ(island_state.island_count,
              *std::max_element(c[1], c[1] + std::strlen(c[1])) - '0' + 1);
  }
}

TEST(IslandsTest, TermIsRelativeToTheFirstSolutionSizeAndAFullQueueStops) {
  // 101 cells in 3 islands (row 0 and two lone cells in row 2): range n - 1 = 100, term 2 / 100.
  solution(std::string(99, '#') + "/" + std::string(99, '.') + "/#.#" + std::string(96, '.'));
  EXPECT_DOUBLE_EQ(islands_label(), 0.02);
  // Joined into one island the term is 0; the range keeps its first value.
  map_get(0).at(1, 0) = S;
  map_get(0).at(1, 2) = S;
  EXPECT_EQ(islands_label(), 0.0);
  EXPECT_EQ(island_state.f3_range, 100.0);
  solution("./#");  // one cell: range 0, and a term of 0 rather than NaN
  EXPECT_EQ(islands_label(), 0.0);
  solution("#/#");
  island_state.queue_capacity = 1;  // the arrays are larger; only the declared room counts
  const FatalResult run = run_capturing([] { islands_label(); });
  EXPECT_EQ(run.code, -1);
  EXPECT_EQ(run.log, "error: island queue too small (1 entries)!\n");
  reset_process_state();
}

}  // namespace
