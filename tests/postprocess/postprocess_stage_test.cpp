// The whole POSTPROCESS stage on small grids written as files: a process output goes in, the
// final map and its mask come out. The growth uses the "large" preference with one best island,
// so every draw accepts and the final map follows from the visiting order alone.
#include "postprocess/postprocess_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "postprocess/grid_values.h"
#include "test_support.h"

namespace {

constexpr float W = 1.0f;
constexpr float N = -9999.0f;  // no data in the input files
constexpr float X = -999.0f;   // no data in the written files

struct StageSettings {
  int purge_limit = 0;
  const char* share = "0";
  std::string basins_map;
  const char* debug = "no";
  std::string distance_maps = "[]";
};

class PostprocessStageTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  void write_inputs(int nrows, int ncols, const std::vector<float>& potential,
                    const std::vector<float>& process_output) {
    dir.write("potential.asc", grid_text(nrows, ncols, potential));
    dir.write("process.asc", grid_text(nrows, ncols, process_output));
  }

  FatalResult run_stage(const StageSettings& s) {
    reset_process_state();
    load_config(
        "{\"maps\": {\"potential-maps\": [[\"" + dir.path("potential.asc") +
        "\"]], \"potential-maps-weight\": [[1]]}, \"process\": {\"output\": \"" +
        dir.path("process.asc") +
        "\"}, \"postprocess\": {\"select\": {\"purge-limit\": " + std::to_string(s.purge_limit) +
        ", \"method-distance\": {\"distance-masks\": [], \"distance-maps\": " + s.distance_maps +
        ", \"minimum-distance-to-mask\": 0, \"minimum-cells-at-distance\": 0}, "
        "\"method-value\": {\"accumulated-value\": " +
        s.share + "}}, \"expand\": {\"assign-preference\": \"large\", \"basins-map\": \"" +
        s.basins_map + "\", \"minimim-cells-in-basin\": 0}, \"debug-maps\": \"" + s.debug +
        "\", \"output\": \"" + dir.path("final.asc") + "\", \"output-mask\": \"" +
        dir.path("mask.asc") + "\"}}");
    return run_capturing([] { run_postprocess_stage(); });
  }

  TempDir dir;
};

TEST_F(PostprocessStageTest, RegrowsPurgedAndWorstCellsAroundTheBestIsland) {
  // Islands: A = (1,1) (1,2) (2,1); B = (1,5); D = (4,0); E = (4,3) (4,4). The purge limit 2
  // erases B and D and keeps E; by value A (3.0) is chosen and E (2.0) cleared: 4 cells to regrow.
  const std::vector<float> process{0, 0, N, 0, 0, 0,  //
                                   0, W, W, 0, 0, W,  //
                                   0, W, 0, 0, 0, 0,  //
                                   0, 0, 0, 0, 0, 0,  //
                                   W, 0, 0, W, W, 0};
  write_inputs(5, 6, std::vector<float>(30, 1.0f), process);
  StageSettings settings;
  settings.purge_limit = 2;
  settings.share = "0.5";
  FatalResult run = run_stage(settings);
  ASSERT_FALSE(run.fatal) << run.log;

  // (1,1) takes up and left; (1,2) skips the no-data cell above, takes right and down.
  const std::vector<float> final_map = grid_values(dir.read("final.asc"));
  EXPECT_EQ(final_map, (std::vector<float>{0, W, X, 0, 0, 0,  //
                                           W, W, W, W, 0, 0,  //
                                           0, W, W, 0, 0, 0,  //
                                           0, 0, 0, 0, 0, 0,  //
                                           0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(std::count(final_map.begin(), final_map.end(), W),
            std::count(process.begin(), process.end(), W));
  std::vector<float> mask = final_map;
  for (float& v : mask) v = v == W ? 1.0f : X;
  EXPECT_EQ(grid_values(dir.read("mask.asc")), mask);

  EXPECT_NE(run.log.find("PURGE islands\nconfig parameters\n  purge limit 2\n"
                         "  - 2 cells purged\n"),
            std::string::npos);
  EXPECT_NE(run.log.find("EXPAND best islands\nstats\n  selected 1 islands to expand\n"
                         "  - 2 cells purged\n  - another 2 cells removed\n"
                         "init probability map\nBASIC MODE selected\nconfig parameters\n"
                         "  assign preference 'large'\n"),
            std::string::npos)
      << run.log;
  EXPECT_EQ(run.log.substr(run.log.size() - 16), "POSTPROCESS end\n");
}

TEST_F(PostprocessStageTest, FailedStageWritesNoFinalMap) {
  // The best island (0,0) is walled in by no-data cells; the worst (2,2) leaves one cell to place.
  write_inputs(3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 0.5f},  //
               {W, N, 0,                              //
                N, N, 0,                              //
                0, 0, W});
  StageSettings settings;
  settings.share = "0.5";
  EXPECT_EQ(run_stage(settings).code, -1);
  settings.basins_map = dir.write("basins.asc", grid_text(3, 3, std::vector<float>(9, 0.0f)));
  FatalResult basins = run_stage(settings);
  EXPECT_EQ(basins.code, -1);
  EXPECT_NE(basins.log.find("error: basin map is unable to hold the number of cells needed!\n"),
            std::string::npos);

  // A map without any cell of 0 or more has no allocated cell: its no-data cells must not be
  // taken for one.
  write_inputs(1, 3, {1, 1, 1}, {N, -2, N});
  FatalResult empty = run_stage(settings);
  EXPECT_EQ(empty.code, 1);
  EXPECT_NE(empty.log.find("  working cell value is -1.000000\n"
                           "error: no allocatable cells in map!\n"),
            std::string::npos);
  EXPECT_EQ(read_file(dir.path("final.asc")), "");
  EXPECT_EQ(read_file(dir.path("mask.asc")), "");
}

TEST_F(PostprocessStageTest, DistanceMapsInMapUnitsBecomeWholeCells) {
  // Cellsize 10: a mean distance of 25 is 3 cells, 10 is 1 cell, 0 stays 0. With nothing purged
  // and every island selected, nothing is regrown and the final map is the process output.
  auto with_cellsize_10 = [](std::string text) {
    return text.replace(text.find("cellsize 1\n"), 11, "cellsize 10\n");
  };
  dir.write("potential.asc", with_cellsize_10(grid_text(1, 4, {1, 1, 1, 1})));
  dir.write("process.asc", with_cellsize_10(grid_text(1, 4, {W, 0, W, N})));
  dir.write("distance.asc", with_cellsize_10(grid_text(1, 4, {25, 0, 10, 7})));
  StageSettings settings;
  settings.debug = "yes";
  settings.distance_maps = "[\"" + dir.path("distance.asc") + "\"]";
  FatalResult run = run_stage(settings);
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(grid_values(dir.read("final.asc.debug.map-3.asc")), (std::vector<float>{3, 0, 1, X}));
  EXPECT_EQ(grid_values(dir.read("final.asc")), (std::vector<float>{W, 0, W, X}));
  EXPECT_NE(run.log.find("    expansion finished after 0 steps\n"), std::string::npos);
}

}  // namespace
