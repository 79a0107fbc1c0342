#include "raster/islands.h"

#include "raster/grid.h"
#include "test_support.h"

TEST(IslandsTest, JoinsOnlyAcrossSidesAndNumbersByFirstCellInScanOrder) {
  // Solutions drawn with '#' for a cell of the working value, rows joined by '/', and their
  // expected labels. Cells touching at corners stay apart; a U whose arms meet only in the bottom
  // row is one island, found at its left arm's top; the island on the right reaches further left
  // lower down, yet takes its number from its top cell, before the lone cell of row 1. A grid of
  // one cell holds one island. The count of islands follows the labels.
  const std::pair<std::string, std::string> cases[] = {
      {"#", "0 1"},
      {"#../.#./..#", "0../.1./..2 3"},
      {"#.#....#/#.#.#.##/###...#./.....##.", "0.0....1/0.0.2.11/000...1./.....11. 3"},
  };
  for (const auto& [rows, expected] : cases) {
    std::vector<float> values;
    for (char c : rows)
      if (c != '/') values.push_back(c == '#' ? 7.0f : 0.0f);
    const int ncols = static_cast<int>(std::min(rows.find('/'), rows.size()));
    MapBlock maps = make_maps(static_cast<int>(values.size()) / ncols, ncols, 1);
    set_map(maps, 0, values);
    IslandState islands;
    ASSERT_TRUE(islands_allocate(islands, maps.cell_count()));
    const int32_t count = islands_label(islands, maps, 0, 7.0f);
    std::string labels = rows;  // laid out like the picture, '.' for no island
    for (size_t p = 0, cell = 0; p < rows.size(); ++p) {
      if (rows[p] == '/') continue;
      const int32_t label = islands.label_map[cell++];
      labels[p] = label < 0 ? '.' : static_cast<char>('0' + label);
    }
    EXPECT_EQ(labels + " " + std::to_string(count), expected);
  }
}

// The count without labels joins runs row by row; it must find the labelling's islands and cells
// on any map: random ones of every density, where runs touch, merge late (combs, spirals) and
// meet several runs above at once. The map after it in the block holds the value everywhere: no
// island reaches past the last row.
TEST(IslandsTest, CountingRunsAgreesWithTheLabelling) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 random(seed);
    const int nrows = 1 + static_cast<int>(random() % 40),
              ncols = 1 + static_cast<int>(random() % 40);
    const uint32_t density = random() % 100;
    MapBlock maps = make_maps(nrows, ncols, 2);
    std::fill(maps.map(1), maps.map(1) + maps.cell_count(), 3.0f);
    for (size_t i = 0; i < maps.cell_count(); ++i) {
      maps.map(0)[i] = random() % 100 < density ? 3.0f : random() % 2 ? 0.0f : -1.0f;
    }
    IslandState islands;
    ASSERT_TRUE(islands_allocate(islands, maps.cell_count()));
    const int32_t labelled = islands_label(islands, maps, 0, 3.0f);
    IslandRuns runs;
    const IslandCount counted = islands_count(runs, maps.map(0), nrows, ncols, 3.0f);
    EXPECT_EQ(counted.islands, labelled) << "seed " << seed;
    EXPECT_EQ(counted.solution_cells, islands.solution_cells) << "seed " << seed;
  }
}
