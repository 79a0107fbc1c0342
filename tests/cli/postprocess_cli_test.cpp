// landalloc --postprocess end to end: the process output is a grid file written by the test, the
// final map and mask are read back. Whatever the draws, a complete run keeps the number of
// allocated cells and its mask marks exactly them; a failed run leaves neither file behind. The
// runs are seeded so that they do not depend on the clock.
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

std::string config(const std::string& share, const std::string& basins, int purge_limit) {
  return "{\"maps\": {\"potential-maps\": [[\"potential.asc\"]], \"potential-maps-weight\": "
         "[[1]]}, \"process\": {\"output\": \"process.asc\"}, \"postprocess\": {\"select\": "
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
    int allocated = 0;
    for (size_t i = 0; i < final_map.size(); ++i) {
      allocated += final_map[i] == 1.0f ? 1 : 0;
      EXPECT_EQ(mask[i], final_map[i] == 1.0f ? 1.0f : -999.0f) << i;
    }
    EXPECT_EQ(allocated, 10) << basins;
    EXPECT_EQ(final_map[9], -999.0f);  // no data stays no data
  }
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
