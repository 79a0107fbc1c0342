// POSTPROCESS: selection, growth in basic and basins modes, and the whole stage on grid files.
// With one best island the "large" preference accepts every draw, so the grown cells follow from
// the visiting order alone (row-major cells, neighbours up, left, right, down) and whole maps can
// be written out by hand: '.' free, 'W' allocated, 'S' selected, 'N' no data (X when written).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "driver/random.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/grid_values.h"
#include "postprocess/postprocess_stage.h"
#include "postprocess/selection.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "test_support.h"

namespace {

std::vector<float> cells(const std::string& text) {
  std::vector<float> out;
  for (char ch : text) {
    if (ch != ' ')
      out.push_back(ch == 'W' ? 1 : ch == 'S' ? 2 : ch == 'N' ? -1 : ch == 'X' ? -999 : 0);
  }
  return out;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

class PostprocessTest : public testing::Test {
 protected:
  void TearDown() override { reset_process_state(); }

  // Map 0 becomes `solution` (working cell value 1), map 2 (the probability map) 1.0 everywhere.
  static void prepare(int nrows, int ncols, const std::string& solution) {
    reset_process_state();
    setup_grid(nrows, ncols, 5);
    set_map(0, cells(solution));
    set_map(2, std::vector<float>(grid_cell_count(), 1.0f));
    working_cell_value = 1.0f;
    ASSERT_TRUE(islands_allocate(grid_cell_count()));
    rand_seed(7);
  }
  TempDir dir;
};

TEST_F(PostprocessTest, SelectionTable) {
  // Islands 0: 0.5 at distance 3; 1: 0.25 + 0.25 at 0 and 2; 2: 0.75 at 1; 3: 0.125 + 0.125 at 5.
  // By value (share 0.5, target 1.0) the order is 2, 0, 1, 3 (0 before 1 at equal value): 2 and 0.
  // By distance (2 at most, 1 cell needed): 1 and 2, as a distance of 0 never counts.
  const std::vector<std::tuple<int, int, std::string, std::string, std::string>> cases = {
      {2, 1, "0", "W.SS.S.WW", ""},
      {0, 1, "0.5", "S.WW.S.WW", ""},
      {2, 1, "0.5", "W.WW.S.WW", ""},  // chosen by both
      {2, 3, "0", "S.SS.S.SS", ""},    // none chosen: every island
      {2, 1, "1.5", "",
       "  accumulated value 1.500000\nerror: property 'accumulated-value' out of range!\n"},
  };
  for (const auto& [min_distance, min_cells, share, marked, tail] : cases) {
    prepare(1, 9, "W.WW.W.WW");
    set_map(1, {0.5f, 0, 0.25f, 0.25f, 0, 0.75f, 0, 0.125f, 0.125f});
    set_map(3, {3, 1, 0, 2, 1, 1, 4, 5, 5});
    load_config(
        "{\"postprocess\": {\"debug-maps\": \"no\", \"select\": {\"method-distance\": "
        "{\"minimum-distance-to-mask\": " +
        std::to_string(min_distance) +
        ", \"minimum-cells-at-distance\": " + std::to_string(min_cells) +
        "}, \"method-value\": {\"accumulated-value\": " + share + "}}}}");
    FatalResult run = run_capturing([] { islands_label(), select_islands(); });
    EXPECT_EQ(run.fatal ? run.code : 0, marked.empty() ? 1 : 0) << tail;
    EXPECT_TRUE(ends_with(run.log, tail)) << run.log;
    EXPECT_TRUE(marked.empty() || get_map(0) == cells(marked)) << marked;
  }
}

TEST_F(PostprocessTest, BasicModeFollowsTheVisitingOrder) {
  // Sweep 1: (1,1) takes up and left; (1,2) takes up, skips the no-data cell and takes down;
  // (2,1) takes left and down but not (2,2), grown in this sweep. Sweep 2: the first growing cell
  // is (0,1), grown in sweep 1, which takes (0,0).
  prepare(4, 5, "..... .WWN. .W... .....");
  int32_t sweeps = 0;
  FatalResult run = run_capturing([&] { sweeps = expand_basic(7, AssignPreference::large); });
  EXPECT_EQ(get_map(0), cells("WWW.. WWWN. WWW.. .W..."));
  EXPECT_EQ(sweeps, 2);
  // Walled in, or with only negative acceptance values, no sweep can add a cell: basic mode stops.
  for (const char* solution : {"WN.", "W.."}) {
    prepare(1, 3, solution);
    set_map(2, {solution[1] == 'N' ? 1.0f : -1.0f, 0.5f, 0.5f});  // the growing cell's value
    run = run_capturing([] { expand_basic(2, AssignPreference::random); });
    EXPECT_EQ(run.code, -1);
    EXPECT_TRUE(ends_with(run.log,
                          "error: no free cells around the islands to hold the number of cells "
                          "needed!\n  2 cells still unassigned\n"))
        << run.log;
  }
  // An acceptance value of 0 still accepts a draw of 0, so that growth goes on.
  prepare(1, 2, "W.");
  set_map(2, {0.0f, 0.0f});
  EXPECT_FALSE(run_capturing([] { expand_basic(1, AssignPreference::random); }).fatal);
  EXPECT_EQ(get_map(0), cells("WW"));
}

TEST_F(PostprocessTest, BasinsModeGrowsOnlyIntoOpenBasins) {
  // Columns 0-1 are basin 0, columns 2-5 basin 1, and the island spans both. Without a minimum it
  // grows as in basic mode; with a minimum of 2, basin 0 (one solution cell) closes.
  for (int32_t minimum : {0, 2}) {
    prepare(3, 6, "...... .WWW.. ......");
    set_map(4, {0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1});
    FatalResult run = run_capturing([&] { expand_basins(minimum, 4, AssignPreference::large); });
    EXPECT_EQ(get_map(0), cells(minimum ? "..WW.. .WWWW. ..W..." : ".WW... WWWW.. .W...."))
        << run.log;
    EXPECT_EQ(run.log.find("  - removed 1 adj basins because low number of solution cells there\n"
                           "  calculating (to assign 4 cells)...\n") != std::string::npos,
              minimum > 0)
        << run.log;
  }
  // Candidates (2) open in row-major order, a fifth of them rounded up, whatever the draws.
  BasinGraph graph;
  graph.island_count = 2, graph.columns = 4, graph.entries = {2, 1, 2, 2, 2, 2, 0, 2};
  LogCapture quiet;
  EXPECT_EQ(add_candidate_basins(graph), 2);
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 2, 2, 2, 0, 2}));
  EXPECT_EQ(add_candidate_basins(graph), 1);
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 1, 2, 2, 0, 2}));
}

TEST_F(PostprocessTest, BasinFailuresReportWhatIsLeft) {
  // Sweep 1 fills basin 0, sweep 2 opens basin 1, sweep 3 fills it, sweep 4 has nothing to open.
  prepare(1, 4, "W..N");
  set_map(4, {0, 0, 1, 1});
  FatalResult run = run_capturing([] { expand_basins(0, 3, AssignPreference::large); });
  EXPECT_EQ(run.code, -1);
  EXPECT_TRUE(ends_with(run.log,
                        "  add 1 new basins to the adjacency graph\n"
                        "error: basin map is unable to hold the number of cells needed!\n"
                        "  1 cells still unassigned\n  (try to add more islands to the selection\n"
                        "  by reducing size or distance requirements)\n"))
      << run.log;
  // Values from -2 up to -1 are in no basin and join the error basin, which then holds one
  // solution cell, as does basin 0: with a minimum of 2 both close before any growth.
  prepare(1, 4, "W.W.");
  set_map(4, {0, 0, -1.0f, -1.999f});
  run = run_capturing([] { expand_basins(2, 3, AssignPreference::large); });
  EXPECT_EQ(run.code, -1);
  EXPECT_TRUE(ends_with(run.log,
                        "  - 2 cells go to map error basin\n"
                        "  - removed 2 adj basins because low number of solution cells there\n"
                        "error: no enough basins left to hold the number of cells needed!\n"
                        "  3 cells still unassigned\n  2 basins\n  2 basins removed\n"))
      << run.log;
}

// The stage on files: the potential and the process output (with -9999 for N, rows split by
// spaces), in basic mode or over a basins map. Islands A = (1,1) (1,2) (2,1); B = (1,5); D = (4,0);
// E = (4,3) (4,4). The purge limit 2 erases B and D but keeps E; by value A (3.0) is chosen and E
// (2.0) cleared: 4 cells to regrow. (1,1) takes up and left; (1,2) skips the no-data cell above,
// takes right and down. In the 3 x 3 map the best island (0,0) is walled in by no-data cells and
// the worst (2,2) leaves one cell to place: basic mode, basins mode and a purge of every island
// all fail before the final map and its mask exist.
TEST_F(PostprocessTest, StageRegrowsAroundTheBestIslandOrWritesNothing) {
  const std::string walled = "WN. NN. ..W",
                    basins = dir.write("basins.asc", grid_text(3, 3, std::vector<float>(9, 0)));
  const std::vector<float> flat(30, 1.0f), low_corner = {1, 1, 1, 1, 1, 1, 1, 1, 0.5f};
  const std::vector<
      std::tuple<std::string, std::vector<float>, int, std::string, int, std::string, std::string>>
      cases = {
          {walled, low_corner, 0, "", -1, "  1 cells still unassigned\n", ""},
          {walled, low_corner, 0, basins, -1, "by reducing size or distance requirements)\n", ""},
          {walled, low_corner, 100, "", -6,
           "    - selected 0 islands in the worst group\nerror: no selected islands!\n", ""},
          {"..N... .WW..W .W.... ...... W..WW.", flat, 2, "", 0,
           "EXPAND best islands\nstats\n  selected 1 islands to expand\n  - 2 cells purged\n"
           "  - another 2 cells removed\ninit probability map\nBASIC MODE selected\n",
           ".WX... WWWW.. .WW... ...... ......"},
      };
  for (const auto& [process, potential, purge_limit, basins_map, code, part, final_map] : cases) {
    const int ncols = static_cast<int>(process.find(' ')),
              nrows = (process.size() + 1) / (ncols + 1);
    std::vector<float> values = cells(process);
    for (float& v : values) v = v < 0 ? -9999.0f : v;
    reset_process_state();
    load_config(
        "{\"maps\": {\"potential-maps\": [[\"" +
        dir.write("potential.asc", grid_text(nrows, ncols, potential)) +
        "\"]], \"potential-maps-weight\": [[1]]}, \"process\": {\"output\": \"" +
        dir.write("process.asc", grid_text(nrows, ncols, values)) +
        "\"}, \"postprocess\": {\"select\": {\"purge-limit\": " + std::to_string(purge_limit) +
        ", \"method-distance\": {\"distance-masks\": [], \"distance-maps\": [], "
        "\"minimum-distance-to-mask\": 0, \"minimum-cells-at-distance\": 0}, "
        "\"method-value\": {\"accumulated-value\": 0.5}}, \"expand\": {\"assign-preference\": "
        "\"large\", \"basins-map\": \"" +
        basins_map +
        "\", \"minimim-cells-in-basin\": 0}, "
        "\"debug-maps\": \"no\", \"output\": \"" +
        dir.path("final.asc") + "\", \"output-mask\": \"" + dir.path("mask.asc") + "\"}}");
    FatalResult run = run_capturing([] { run_postprocess_stage(); });
    EXPECT_EQ(run.fatal ? run.code : 0, code) << run.log;
    const size_t at = run.log.rfind(part);
    EXPECT_TRUE(at != std::string::npos && (!code || at + part.size() == run.log.size()))
        << run.log;
    // As many cells as the process output held, and the mask on exactly those.
    std::vector<float> mask = cells(final_map);
    EXPECT_EQ(grid_values(read_file(dir.path("final.asc"))), mask);
    for (float& v : mask) v = v == 1.0f ? 1.0f : -999.0f;
    EXPECT_EQ(grid_values(read_file(dir.path("mask.asc"))), mask);
  }
}

}  // namespace
