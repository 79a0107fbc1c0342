// landalloc --postprocess end to end: the process output is a grid file written by the test (or,
// in one run, by the two earlier stages), and the final map and mask are read back. Whatever the
// draws, a complete run keeps the number of allocated cells and its mask marks exactly them; a
// failed run leaves neither file behind. The runs are seeded so that they do not depend on the
// clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_support.h"
#include "postprocess/grid_values.h"

namespace {

const char* kPotential =
    "ncols 6\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
    "1 2 3 4 5 6\n2 3 4 5 6 7\n3 4 5 6 7 8\n4 5 6 7 8 9\n5 6 7 8 9 9\n6 7 8 9 9 9\n";

// Islands of 4, 2, 1 and 3 cells; the purge limit 2 erases the single cell.
const char* kProcessOutput =
    "ncols 6\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
    "1 1 0 0 0 1\n1 1 0 -9999 0 1\n0 0 0 0 0 0\n0 1 0 0 0 0\n0 0 0 0 1 1\n0 0 0 0 0 1\n";

const char* kBasins =
    "ncols 6\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
    "0 0 0 1 1 1\n0 0 0 1 1 1\n0 0 0 1 1 1\n2 2 2 3 3 3\n2 2 2 3 3 3\n2 2 2 3 3 -9999\n";

// The sections before "postprocess" when only POSTPROCESS runs, and when the three stages run.
const char* kProcessOutputOnly = "\"process\": {\"output\": \"process.asc\"}";
const char* kEarlierStages =
    "\"preprocess\": {\"init-values-map\": \"\", \"distribution-masks\": [], \"convert-area\": "
    "0.3, \"debug-maps\": \"no\", \"output\": \"pre.asc\"}, \"process\": {\"functions-weight\": "
    "[1, 1, 1, 1, 1], \"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9, \"nmovs\": 50, \"nstages\": 4, "
    "\"kb\": 100, \"random-select\": \"no\", \"distance-masks\": [\"basins.asc\"], "
    "\"distance-maps\": [], \"debug-maps\": \"no\", \"debug-evolution\": \"no\", "
    "\"autotunning\": \"no\", \"output\": \"process.asc\"}";

std::string config(const std::string& share, const std::string& basins, int purge_limit,
                   const char* earlier = kProcessOutputOnly) {
  return "{\"maps\": {\"potential-maps\": [[\"potential.asc\"]], \"potential-maps-weight\": "
         "[[1]], \"exclusion-masks\": []}, " +
         std::string(earlier) +
         ", \"postprocess\": {\"select\": "
         "{\"purge-limit\": " +
         std::to_string(purge_limit) +
         ", \"method-distance\": {\"distance-masks\": [], \"distance-maps\": [], "
         "\"minimum-distance-to-mask\": 0, \"minimum-cells-at-distance\": 0}, \"method-value\": "
         "{\"accumulated-value\": " +
         share + "}}, \"expand\": {\"assign-preference\": \"random\", \"basins-map\": \"" + basins +
         "\", \"minimim-cells-in-basin\": 2}, \"debug-maps\": \"no\", \"output\": "
         "\"final.asc\", \"output-mask\": \"mask.asc\"}}";
}

class PostprocessCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir.write("potential.asc", kPotential);
    dir.write("process.asc", kProcessOutput);
    dir.write("basins.asc", kBasins);
  }
  CliDir dir;
};

int count_of(const std::vector<float>& values, float v) {
  int n = 0;
  for (float x : values) n += x == v ? 1 : 0;
  return n;
}

TEST_F(PostprocessCliTest, FinalMapKeepsTheAllocatedCellsInBothModes) {
  for (const char* basins : {"", "basins.asc"}) {
    dir.write("config.json", config("0.5", basins, 2));
    RunResult run = run_landalloc({"--seed=7", "--postprocess", "config.json"}, dir.dir());
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("POSTPROCESS end\nALGORITHM end\n"), std::string::npos) << run.out;
    const std::vector<float> final_map = grid_values(dir.read("final.asc"));
    const std::vector<float> mask = grid_values(dir.read("mask.asc"));
    ASSERT_EQ(final_map.size(), 36u);
    ASSERT_EQ(mask.size(), 36u);
    for (size_t i = 0; i < final_map.size(); ++i) {
      EXPECT_EQ(mask[i], final_map[i] == 1.0f ? 1.0f : -999.0f) << i;
    }
    EXPECT_EQ(count_of(final_map, 1.0f), 10) << basins;
    EXPECT_EQ(final_map[9], -999.0f);  // no data stays no data
  }
}

TEST_F(PostprocessCliTest, ThreeStagesRunInSequenceOnOneConfiguration) {
  dir.write("config.json", config("0.5", "", 0, kEarlierStages));
  RunResult run = run_landalloc({"--seed=7", "config.json"}, dir.dir());
  ASSERT_EQ(run.code, 0) << run.out;
  const size_t pre = run.out.find("PREPROCESS end\n");
  const size_t process = run.out.find("PROCESS begin\n", pre);
  const size_t post = run.out.find("POSTPROCESS begin\n", process);
  EXPECT_TRUE(pre != std::string::npos && process != std::string::npos && post != std::string::npos)
      << run.out;
  // The preprocessed map marks its cells with 1 (largest value 0 + 1); every stage keeps them.
  const int placed = count_of(grid_values(dir.read("pre.asc")), 1.0f);
  EXPECT_GT(placed, 0);
  EXPECT_EQ(count_of(grid_values(dir.read("process.asc")), 1.0f), placed);
  EXPECT_EQ(count_of(grid_values(dir.read("final.asc")), 1.0f), placed);
  EXPECT_EQ(count_of(grid_values(dir.read("mask.asc")), 1.0f), placed);
}

TEST_F(PostprocessCliTest, NoSelectedIslandEndsWithMinusSixAndNoFinalMap) {
  dir.write("config.json", config("0.5", "", 100));  // every island purged
  RunResult none = run_landalloc({"--seed=7", "--postprocess", "config.json"}, dir.dir());
  EXPECT_EQ(none.code, 250);  // -6 as the shell sees it
  EXPECT_NE(none.out.find("error: no selected islands!\n"), std::string::npos);
  EXPECT_FALSE(dir.exists("final.asc"));
  EXPECT_FALSE(dir.exists("mask.asc"));
}

}  // namespace
