// Growth of the islands in basic and basins filling modes. With one island the "large"
// preference gives p = 1 on every draw, so the grown cells follow from the visiting order alone
// (row-major cells, neighbours up, left, right, down) and whole maps can be written out by hand.
#include <gtest/gtest.h>

#include <vector>

#include "driver/random.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/island_fixture.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "test_support.h"

namespace {

constexpr float W = 1.0f;   // working cell value
constexpr float N = -1.0f;  // no data

using ExpandTest = IslandMapTest;

TEST_F(ExpandTest, LargePreferenceOnOneIslandFollowsVisitingOrder) {
  prepare(4, 5, {0, 0, 0, 0, 0,  //
                 0, W, W, N, 0,  //
                 0, W, 0, 0, 0,  //
                 0, 0, 0, 0, 0});
  int32_t sweeps = 0;
  FatalResult run = run_capturing([&] { sweeps = expand_basic(7, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  // Sweep 1: (1,1) takes up and left; (1,2) takes up, skips the no-data cell and takes down;
  // (2,1) takes left and down but not (2,2), grown in this sweep. Sweep 2: the first growing
  // cell is (0,1), grown in sweep 1, which takes (0,0).
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, 0, 0, 0,  //
                                            W, W, W, N, 0,  //
                                            W, W, W, 0, 0,  //
                                            0, W, 0, 0, 0}));
  EXPECT_EQ(sweeps, 2);
  EXPECT_EQ(run.log,
            "stats\n  1 islands\n  max island 3 cells\n  min island 3 cells\n"
            "  calculating (to assign 7 cells)...\n    expansion finished after 2 steps\n");
}

TEST_F(ExpandTest, NothingToAssignChangesNothing) {
  const std::vector<float> solution{W, 0, 0, W};
  prepare(1, 4, solution);
  FatalResult run = run_capturing([] { EXPECT_EQ(expand_basic(0, AssignPreference::small), 0); });
  EXPECT_FALSE(run.fatal);
  EXPECT_EQ(get_map(0), solution);
  EXPECT_NE(run.log.find("    expansion finished after 0 steps\n"), std::string::npos);
}

// Without a free neighbour, or with only negative acceptance values, a sweep can never add a
// cell: basic mode stops instead of sweeping for ever.
TEST_F(ExpandTest, BasicModeStopsWhenNoGrowthIsPossible) {
  const char* expected_tail =
      "error: no free cells around the islands to hold the number of cells needed!\n"
      "  2 cells still unassigned\n";
  prepare(1, 3, {W, N, 0});
  FatalResult walled = run_capturing([] { expand_basic(2, AssignPreference::large); });
  EXPECT_TRUE(walled.fatal);
  EXPECT_EQ(walled.code, -1);
  EXPECT_NE(walled.log.find(expected_tail), std::string::npos) << walled.log;

  prepare(1, 3, {W, 0, 0});
  set_map(2, {-1.0f, 0.5f, 0.5f});
  FatalResult refused = run_capturing([] { expand_basic(2, AssignPreference::random); });
  EXPECT_TRUE(refused.fatal);
  EXPECT_EQ(refused.code, -1);
  EXPECT_NE(refused.log.find(expected_tail), std::string::npos) << refused.log;
}

TEST_F(ExpandTest, ZeroAcceptanceStillGrowsOnADrawOfZero) {
  prepare(1, 2, {W, 0});
  set_map(2, {0.0f, 0.0f});
  FatalResult run = run_capturing([] { EXPECT_GE(expand_basic(1, AssignPreference::random), 1); });
  EXPECT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W}));
}

// Basins: columns 0-1 are basin 0, columns 2-5 basin 1; the island spans both.
const std::vector<float> kSpanning{0, 0, 0, 0, 0, 0,  //
                                   0, W, W, W, 0, 0,  //
                                   0, 0, 0, 0, 0, 0};
const std::vector<float> kTwoBasins{0, 0, 1, 1, 1, 1,  //
                                    0, 0, 1, 1, 1, 1,  //
                                    0, 0, 1, 1, 1, 1};

TEST_F(ExpandTest, BasinsModeGrowsIntoAllowedBasinsLikeBasicMode) {
  prepare(3, 6, kSpanning);
  set_map(4, kTwoBasins);
  FatalResult run = run_capturing([] { expand_basins(0, 4, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{0, W, W, 0, 0, 0,  //
                                            W, W, W, W, 0, 0,  //
                                            0, W, 0, 0, 0, 0}));
  EXPECT_EQ(run.log.find("removed"), std::string::npos);
}

TEST_F(ExpandTest, ClosedSmallBasinIsNotEnteredUntilOpened) {
  // Basin 0 holds one solution cell, below the minimum of 2: it is closed and the island grows
  // only in basin 1 (sweep 1 of the same input as above, without the cells of basin 0).
  prepare(3, 6, kSpanning);
  set_map(4, kTwoBasins);
  FatalResult run = run_capturing([] { expand_basins(2, 4, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{0, 0, W, W, 0, 0,  //
                                            0, W, W, W, W, 0,  //
                                            0, 0, W, 0, 0, 0}));
  EXPECT_NE(run.log.find("  2 basins (will reserve one more for map errors)\n  create adjacency "
                         "graph\n  - removed 1 adj basins because low number of solution cells "
                         "there\n"),
            std::string::npos)
      << run.log;
}

TEST_F(ExpandTest, EmptySweepOpensCandidateBasinsInRowMajorOrder) {
  // Basin 0 fills after two sweeps; the third adds nothing and opens basin 1 (the only
  // candidate); the fourth fills column 2.
  prepare(3, 6,
          {0, 0, 0, 0, 0, 0,  //
           0, W, 0, 0, 0, 0,  //
           0, 0, 0, 0, 0, 0});
  set_map(4, kTwoBasins);
  FatalResult run =
      run_capturing([] { EXPECT_EQ(expand_basins(0, 8, AssignPreference::large), 4); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, W, 0, 0, 0,  //
                                            W, W, W, 0, 0, 0,  //
                                            W, W, W, 0, 0, 0}));
  EXPECT_NE(run.log.find("  available 1 basins to choose from\n"
                         "  add 1 new basins to the adjacency graph\n"),
            std::string::npos);
}

TEST_F(ExpandTest, AddCandidateBasinsOpensTheFirstFifthWhateverTheDraws) {
  BasinGraph graph;
  graph.island_count = 2;
  graph.columns = 4;
  graph.entries = {2, 1, 2, 0,  //
                   2, 2, 0, 2};
  rand_seed(3);
  LogCapture quiet;
  EXPECT_EQ(add_candidate_basins(graph), 2);  // 6 candidates: ceil(6 / 5) = 2
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 0, 2, 2, 0, 2}));
  EXPECT_EQ(add_candidate_basins(graph), 1);  // 3 left
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 0, 1, 2, 0, 2}));
  graph.entries = {1, 0, 1, 0};
  EXPECT_EQ(add_candidate_basins(graph), 0);
}

TEST_F(ExpandTest, BasinsExhaustedAfterOpeningEveryCandidate) {
  prepare(1, 4, {W, 0, 0, N});
  set_map(4, {0, 0, 1, 1});
  FatalResult run = run_capturing([] { expand_basins(0, 3, AssignPreference::large); });
  EXPECT_TRUE(run.fatal);
  EXPECT_EQ(run.code, -1);
  // Sweep 1 fills basin 0, sweep 2 only touches basin 1 and opens it, sweep 3 fills it, sweep 4
  // finds nothing left to open.
  EXPECT_NE(run.log.find("  calculating (to assign 3 cells)...\n"
                         "  available 1 basins to choose from\n"
                         "  add 1 new basins to the adjacency graph\n"
                         "error: basin map is unable to hold the number of cells needed!\n"
                         "  1 cells still unassigned\n"
                         "  (try to add more islands to the selection\n"
                         "  by reducing size or distance requirements)\n"),
            std::string::npos)
      << run.log;
}

TEST_F(ExpandTest, EveryBasinClosedFailsBeforeGrowing) {
  // The cell with no basin goes to the error basin, which then holds one solution cell, as does
  // basin 0: with a minimum of 2 both columns close.
  prepare(1, 4, {W, 0, W, 0});
  set_map(4, {0, 0, -1, 0});
  FatalResult run = run_capturing([] { expand_basins(2, 3, AssignPreference::large); });
  EXPECT_TRUE(run.fatal);
  EXPECT_EQ(run.code, -1);
  EXPECT_NE(run.log.find("  - 1 cells go to map error basin\n"
                         "  - removed 2 adj basins because low number of solution cells there\n"
                         "error: no enough basins left to hold the number of cells needed!\n"
                         "  3 cells still unassigned\n  2 basins\n  2 basins removed\n"),
            std::string::npos)
      << run.log;
  EXPECT_EQ(run.log.find("calculating"), std::string::npos);
}

TEST_F(ExpandTest, BasinValuesBelowMinusOneAreInNoBasin) {
  // -1.5 and -1.999 would truncate to negative basins; they join the error basin like -1.0 and
  // the growth behaves as in basic mode.
  prepare(1, 4, {W, 0, 0, 0});
  set_map(4, {-1.5f, -1.999f, -1.0f, -2.0f});
  FatalResult run = run_capturing([] { expand_basins(0, 3, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, W, W}));
  EXPECT_NE(run.log.find("  0 basins (will reserve one more for map errors)\n  create adjacency "
                         "graph\n  - 4 cells go to map error basin\n"),
            std::string::npos)
      << run.log;
}

}  // namespace
