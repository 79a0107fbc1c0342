#include "preprocess/distribution.h"

#include <gtest/gtest.h>

#include <vector>

#include "raster/grid.h"
#include "test_support.h"

namespace {

class DistributionTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // A 5 x 5 geometry with three maps, and "preprocess.distribution-masks" listing `masks`, each
  // written as a grid file from its cells.
  void five_by_five(const std::vector<std::vector<float>>& masks) {
    setup_grid(5, 5, 3);
    std::string list;
    for (size_t m = 0; m < masks.size(); ++m) {
      std::string file = dir.write("mask" + std::to_string(m) + ".asc", grid_text(5, 5, masks[m]));
      list += (m > 0 ? ",\"" : "\"") + file + "\"";
    }
    load_config("{\"preprocess\": {\"distribution-masks\": [" + list + "]}}");
  }

  TempDir dir;
};

std::vector<float> filled(float v) {
  return std::vector<float>(25, v);
}

TEST_F(DistributionTest, InitialValuesOverwriteAvailableAndExcludedButNotNoData) {
  setup_grid(1, 5, 3);
  set_map(0, {CELL_AVAILABLE, CELL_MASKED, CELL_NODATA, CELL_AVAILABLE, CELL_AVAILABLE});
  std::string file = dir.write("init.asc", grid_text(1, 5, {3, 3, 3, 0, -2}));
  FatalResult result = run_capturing([&] { init_values_apply(file.c_str()); });
  ASSERT_FALSE(result.fatal) << result.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{3, 3, CELL_NODATA, CELL_AVAILABLE, CELL_AVAILABLE}));
}

// Distances 0, 1 and 2 from the centre, divided by 2 and reversed.
TEST_F(DistributionTest, CentreMaskGivesOneHalfAndZeroRings) {
  std::vector<float> mask = filled(0);
  mask[12] = 1;
  five_by_five({mask});
  set_map(0, filled(CELL_AVAILABLE));
  FatalResult result = run_capturing([] { distribution_map_build(); });
  ASSERT_FALSE(result.fatal) << result.log;
  std::vector<float> weights = get_map(1);
  for (int r = 0; r < 5; ++r) {
    for (int c = 0; c < 5; ++c) {
      int ring = std::max(std::abs(r - 2), std::abs(c - 2));
      EXPECT_EQ(weights[static_cast<size_t>(r * 5 + c)], 1.0f - ring * 0.5f) << r << "," << c;
    }
  }
  EXPECT_NE(result.log.find("* reverse map\n"), std::string::npos);
}

// Excluded and initial-value cells are distances like any data cell; a mask over a no-data cell
// marks nothing there; two masks are merged.
TEST_F(DistributionTest, MasksMergeAndSkipNoDataCells) {
  std::vector<float> first = filled(0), second = filled(0);
  first[0] = 1;    // no-data in the solution map: not a destination
  second[24] = 5;  // the only destination
  first[4] = -3;   // not > 0: unmarked
  five_by_five({first, second});
  std::vector<float> solution = filled(CELL_AVAILABLE);
  solution[0] = CELL_NODATA;
  solution[6] = CELL_MASKED;
  solution[18] = 7.0f;
  set_map(0, solution);
  FatalResult result = run_capturing([] { distribution_map_build(); });
  ASSERT_FALSE(result.fatal) << result.log;
  std::vector<float> weights = get_map(1);
  EXPECT_EQ(weights[0], CELL_NODATA);
  EXPECT_EQ(weights[24], 1.0f);
  EXPECT_EQ(weights[6], 0.25f);   // distance 3 of 4
  EXPECT_EQ(weights[18], 0.75f);  // distance 1
  EXPECT_EQ(weights[4], 0.0f);    // distance 4, the largest
}

// With nothing marked the distance step leaves 1.0 on every data cell, so every weight is 0.
TEST_F(DistributionTest, MasksMarkingNothingGiveZeroWeights) {
  five_by_five({filled(0)});
  std::vector<float> solution = filled(CELL_AVAILABLE);
  solution[3] = CELL_NODATA;
  set_map(0, solution);
  FatalResult result = run_capturing([] { distribution_map_build(); });
  ASSERT_FALSE(result.fatal) << result.log;
  EXPECT_NE(result.log.find("  no destination cells: skip\n"), std::string::npos);
  std::vector<float> expected = filled(0.0f);
  expected[3] = CELL_NODATA;
  EXPECT_EQ(get_map(1), expected);
}

}  // namespace
