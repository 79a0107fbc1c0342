#include "raster/islands.h"

#include <gtest/gtest.h>

#include <string>

#include "raster/grid.h"
#include "test_support.h"

TEST(IslandsTest, JoinsOnlyAcrossSidesAndNumbersByFirstCellInScanOrder) {
  // Solutions drawn with '#' for a cell of the working value, rows joined by '/', and their
  // expected labels. Cells touching at corners stay apart; a U whose arms meet only in the bottom
  // row is one island, found at its left arm's top; the island on the right reaches further left
  // lower down, yet takes its number from its top cell, before the lone cell of row 1.
  const char* cases[][3] = {
      {"#../.#./..#", "0../.1./..2", "3"},
      {"#.#....#/#.#.#.##/###...#./.....##.", "0.0....1/0.0.2.11/000...1./.....11.", "3"},
  };
  for (const auto& [picture, expected, count] : cases) {
    reset_process_state();
    const std::string rows = picture;
    std::vector<float> values;
    for (char c : rows)
      if (c != '/') values.push_back(c == '#' ? 7.0f : 0.0f);
    const int ncols = static_cast<int>(rows.find('/'));
    setup_grid(static_cast<int>(values.size()) / ncols, ncols, 1);
    set_map(0, values);
    working_cell_value = 7.0f;
    ASSERT_TRUE(islands_allocate(grid_cell_count()));
    islands_label();
    std::string labels = rows;  // laid out like the picture, '.' for no island
    for (size_t p = 0, cell = 0; p < rows.size(); ++p) {
      if (rows[p] == '/') continue;
      const int32_t label = island_state.label_map[cell++];
      labels[p] = label < 0 ? '.' : static_cast<char>('0' + label);
    }
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(std::to_string(island_state.island_count), count);
  }
  reset_process_state();
}

TEST(IslandsTest, OneCellSolutionHasNoIslandsTermAndAShortQueueStops) {
  // The first labelling fixes the normaliser at cells - 1, which is 0 for a single cell.
  reset_process_state();
  setup_grid(3, 1, 1);
  set_map(0, {0.0f, 7.0f, 0.0f});
  working_cell_value = 7.0f;
  ASSERT_TRUE(islands_allocate(1));
  EXPECT_EQ(islands_label(), 0.0);
  // A column takes one queue entry per row; past the queue's end it would corrupt memory.
  set_map(0, {7.0f, 7.0f, 7.0f});
  const FatalResult r = run_capturing([] { islands_label(); });
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.log, "error: island queue too small (1 entries)!\n");
  reset_process_state();
}
