// Growth of the islands in basic and basins filling modes. With one island the "large"
// preference gives p = 1 on every draw, so the grown cells follow from the visiting order alone
// (row-major cells, neighbours up, left, right, down) and whole maps can be written out by hand.
#include <string>
#include <vector>

#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/island_fixture.h"

namespace {

constexpr float W = 1.0f;   // working cell value
constexpr float N = -1.0f;  // no data

using ExpandTest = IslandMapTest;

bool has(const FatalResult& run, const std::string& lines) {
  return run.log.find(lines) != std::string::npos;
}

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
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, W, 0, 0,  //
                                            W, W, W, N, 0,  //
                                            W, W, W, 0, 0,  //
                                            0, W, 0, 0, 0}));
  EXPECT_EQ(sweeps, 2);
  EXPECT_EQ(run.log,
            "stats\n  1 islands\n  max island 3 cells\n  min island 3 cells\n"
            "  calculating (to assign 7 cells)...\n    expansion finished after 2 steps\n");
}

// Without a free neighbour, or with only negative acceptance values, no sweep can ever add a
// cell: basic mode stops instead of sweeping for ever. An acceptance value of 0 still accepts a
// draw of 0, so that growth goes on.
TEST_F(ExpandTest, BasicModeStopsOnlyWhenNoGrowthIsPossible) {
  const std::string failure =
      "error: no free cells around the islands to hold the number of cells needed!\n"
      "  2 cells still unassigned\n";
  prepare(1, 3, {W, N, 0});
  FatalResult walled = run_capturing([] { expand_basic(2, AssignPreference::large); });
  EXPECT_EQ(walled.code, -1);
  EXPECT_TRUE(has(walled, failure)) << walled.log;

  prepare(1, 3, {W, 0, 0});
  set_map(2, {-1.0f, 0.5f, 0.5f});
  FatalResult refused = run_capturing([] { expand_basic(2, AssignPreference::random); });
  EXPECT_EQ(refused.code, -1);
  EXPECT_TRUE(has(refused, failure)) << refused.log;

  prepare(1, 2, {W, 0});
  set_map(2, {0.0f, 0.0f});
  FatalResult slow = run_capturing([] { expand_basic(1, AssignPreference::random); });
  EXPECT_FALSE(slow.fatal) << slow.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W}));
}

// Columns 0-1 are basin 0, columns 2-5 basin 1.
const std::vector<float> kTwoBasins{0, 0, 1, 1, 1, 1,  //
                                    0, 0, 1, 1, 1, 1,  //
                                    0, 0, 1, 1, 1, 1};

TEST_F(ExpandTest, BasinsModeGrowsOnlyIntoAllowedBasins) {
  // The island spans both basins. Without a minimum it grows as in basic mode; with a minimum
  // of 2, basin 0 (one solution cell) is closed and only basin 1 is entered.
  const std::vector<float> spanning{0, 0, 0, 0, 0, 0,  //
                                    0, W, W, W, 0, 0,  //
                                    0, 0, 0, 0, 0, 0};
  const std::vector<float> expected[] = {{0, W, W, 0, 0, 0,  //
                                          W, W, W, W, 0, 0,  //
                                          0, W, 0, 0, 0, 0},
                                         {0, 0, W, W, 0, 0,  //
                                          0, W, W, W, W, 0,  //
                                          0, 0, W, 0, 0, 0}};
  for (int32_t minimum : {0, 2}) {
    prepare(3, 6, spanning);
    set_map(4, kTwoBasins);
    FatalResult run = run_capturing([&] { expand_basins(minimum, 4, AssignPreference::large); });
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(get_map(0), expected[minimum / 2]) << minimum;
    EXPECT_EQ(has(run,
                  "  2 basins (will reserve one more for map errors)\n  create adjacency "
                  "graph\n  - removed 1 adj basins because low number of solution cells "
                  "there\n  calculating (to assign 4 cells)...\n"),
              minimum > 0)
        << run.log;
  }
}

TEST_F(ExpandTest, EmptySweepOpensCandidateBasins) {
  // Basin 0 fills in two sweeps; the third adds nothing and opens basin 1, the only candidate;
  // the fourth fills column 2.
  prepare(3, 6,
          {0, 0, 0, 0, 0, 0,  //
           0, W, 0, 0, 0, 0,  //
           0, 0, 0, 0, 0, 0});
  set_map(4, kTwoBasins);
  int32_t sweeps = 0;
  FatalResult run = run_capturing([&] { sweeps = expand_basins(0, 8, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(sweeps, 4);
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, W, 0, 0, 0,  //
                                            W, W, W, 0, 0, 0,  //
                                            W, W, W, 0, 0, 0}));
  EXPECT_TRUE(has(run,
                  "  available 1 basins to choose from\n"
                  "  add 1 new basins to the adjacency graph\n"));
}

TEST_F(ExpandTest, CandidatesOpenInRowMajorOrderWhateverTheDraws) {
  BasinGraph graph;
  graph.island_count = 2;
  graph.columns = 4;
  graph.entries = {2, 1, 2, 2,  //
                   2, 2, 0, 2};
  LogCapture quiet;
  EXPECT_EQ(add_candidate_basins(graph), 2);  // 6 candidates: ceil(6 / 5) = 2
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 2, 2, 2, 0, 2}));
  EXPECT_EQ(add_candidate_basins(graph), 1);  // 4 left
  EXPECT_EQ(graph.entries, (std::vector<int32_t>{1, 1, 1, 1, 2, 2, 0, 2}));
  graph.entries = {1, 0, 1, 0};
  EXPECT_EQ(add_candidate_basins(graph), 0);
}

TEST_F(ExpandTest, BasinFailuresReportWhatIsLeft) {
  // Sweep 1 fills basin 0, sweep 2 only touches basin 1 and opens it, sweep 3 fills it, sweep 4
  // finds nothing left to open.
  prepare(1, 4, {W, 0, 0, N});
  set_map(4, {0, 0, 1, 1});
  FatalResult full = run_capturing([] { expand_basins(0, 3, AssignPreference::large); });
  EXPECT_EQ(full.code, -1);
  EXPECT_TRUE(has(full,
                  "  add 1 new basins to the adjacency graph\n"
                  "error: basin map is unable to hold the number of cells needed!\n"
                  "  1 cells still unassigned\n  (try to add more islands to the selection\n"
                  "  by reducing size or distance requirements)\n"))
      << full.log;

  // The cell in no basin joins the error basin, which then holds one solution cell, as does
  // basin 0: with a minimum of 2 both columns close before any growth.
  prepare(1, 4, {W, 0, W, 0});
  set_map(4, {0, 0, -1, 0});
  FatalResult closed = run_capturing([] { expand_basins(2, 3, AssignPreference::large); });
  EXPECT_EQ(closed.code, -1);
  EXPECT_TRUE(has(closed,
                  "  - 1 cells go to map error basin\n"
                  "  - removed 2 adj basins because low number of solution cells there\n"
                  "error: no enough basins left to hold the number of cells needed!\n"
                  "  3 cells still unassigned\n  2 basins\n  2 basins removed\n"))
      << closed.log;
}

TEST_F(ExpandTest, BasinValuesFromMinusTwoToMinusOneAreInNoBasin) {
  // -1.5 and -2.0 would truncate to negative basins outside the graph; they join the error basin
  // like -1.0 and the growth behaves as in basic mode.
  prepare(1, 4, {W, 0, 0, 0});
  set_map(4, {-1.5f, -1.999f, -1.0f, -2.0f});
  FatalResult run = run_capturing([] { expand_basins(0, 3, AssignPreference::large); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{W, W, W, W}));
  EXPECT_TRUE(has(run,
                  "  0 basins (will reserve one more for map errors)\n  create adjacency "
                  "graph\n  - 4 cells go to map error basin\n"))
      << run.log;
}

}  // namespace
