#include "raster/loaders.h"

#include <gtest/gtest.h>

#include <string>

#include "raster/grid.h"
#include "test_support.h"

namespace {

constexpr float N = -1.0f;  // CELL_NODATA, short for the grids below

// Loaders on a 1 x 4 grid with 8 maps; files are written as grids with -9999 for no data.
class LoadersTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    setup_grid(1, 4, 8);
  }
  void TearDown() override { reset_process_state(); }

  // Writes a 1 x 4 grid file and returns its path as a JSON string.
  std::string file(const std::string& name, const std::vector<float>& values) {
    std::vector<float> text_values;
    for (float v : values) text_values.push_back(v == N ? -9999.0f : v);
    return "\"" + dir.write(name, grid_text(1, 4, text_values)) + "\"";
  }

  TempDir dir;
};

TEST_F(LoadersTest, PotentialSumsWeightedMapsWithinAGroup) {
  // 2A + B = {2, 8, -, 4}: B's missing cell keeps 2A, A's stays missing; then divided by 8.
  load_config(R"({"maps": {"potential-maps": [[)" + file("a", {1, 2, N, 2}) + "," +
              file("b", {0, 4, 2, N}) + R"(]], "potential-maps-weight": [[2, "1"]]}})");
  FatalResult run = run_capturing([] { maps_load_potential(1); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(1), (std::vector<float>{0.25f, 1.0f, N, 0.5f}));
  EXPECT_EQ(run.log.find("fussion"), std::string::npos);
}

TEST_F(LoadersTest, GroupsFuseByMaximumAndAMissingCellWins) {
  load_config(R"({"maps": {"potential-maps": [[)" + file("a", {4, 1, N, 2}) + "],[" +
              file("b", {1, 2, 3, N}) + R"(]], "potential-maps-weight": [[1], [1]]}})");
  FatalResult run = run_capturing([] { maps_load_potential(1); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(1), (std::vector<float>{1.0f, 0.5f, N, N}));
  EXPECT_EQ(run.log, "* load group maps\n* read '" + dir.path("a") +
                         "'\n* load group maps\n* read '" + dir.path("b") +
                         "'\n* fussion group maps\n* normalize map\n");
}

TEST_F(LoadersTest, EmptyLaterGroupIsSkippedInsteadOfFusingStaleContents) {
  load_config(R"({"maps": {"potential-maps": [[)" + file("a", {4, 1, N, 2}) +
              R"(], []], "potential-maps-weight": [[1], []]}})");
  set_map(2, {9, 9, 9, N});  // what a fusion of the empty group would bring in
  FatalResult run = run_capturing([] { maps_load_potential(1); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(1), (std::vector<float>{1.0f, 0.25f, N, 0.5f}));
  EXPECT_EQ(run.log.find("fussion"), std::string::npos);
}

TEST_F(LoadersTest, RejectsWeightsOrGroupsOfTheWrongShape) {
  const std::string a = file("a", {1, 1, 1, 1});
  const std::string shape_error =
      "error: incorrect shape for property 'maps.potential-maps-weight' (one weight per map of "
      "'maps.potential-maps' expected)!\n";
  struct Case {
    std::string maps, weights, error;
  };
  const Case cases[] = {
      {"[[" + a + "," + a + "]]", "[[1]]", shape_error},
      {"[[" + a + "]]", "[[1], [1]]", shape_error},
      {"[[" + a + "]]", "[1]",
       "error: incorrect type for element 0 of property 'maps.potential-maps-weight' (json array "
       "expected)!\n"},
      {"[[" + a + "]]", "[[[1]]]",
       "error: incorrect type for element 0 of property 'maps.potential-maps-weight' (string or "
       "number expected)!\n"},
      {"[[" + a + ", [" + a + "]]]", "[[1, 1]]",
       "error: incorrect type for element 1 of property 'maps.potential-maps' (string or number "
       "expected)!\n"},
  };
  for (const Case& c : cases) {
    load_config(R"({"maps": {"potential-maps": )" + c.maps + R"(, "potential-maps-weight": )" +
                c.weights + "}}");
    FatalResult run = run_capturing([] { maps_load_potential(1); });
    EXPECT_TRUE(run.fatal) << c.maps << " " << c.weights;
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.log, c.error) << "nothing may be read before the check";
  }
}

TEST_F(LoadersTest, TopCellsMarkTheTopFifthWithAllTiesAtTheThreshold) {
  setup_grid(1, 12, 2);
  // 11 cells with data: top = ceil(2.2) = 3; the third largest is 8 and both 8s are marked.
  set_map(0, {1, 8, N, 9, 2, 8, 3, 4, 5, 10, 6, 7});
  EXPECT_EQ(map_mark_top_cells(0), 3);
  EXPECT_EQ(get_map(0), (std::vector<float>{0, 1, N, 1, 0, 1, 0, 0, 0, 1, 0, 0}));

  set_map(0, {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, N, N});
  EXPECT_EQ(map_mark_top_cells(0), 2);
  EXPECT_EQ(get_map(0), (std::vector<float>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, N, N}));

  set_map(0, std::vector<float>(12, N));
  EXPECT_EQ(map_mark_top_cells(0), 0);
  EXPECT_EQ(get_map(0), std::vector<float>(12, N));
}

TEST_F(LoadersTest, NservicesCountsTopMarksPerGroupAndFusesByMaximum) {
  // Group 0: A marks {0, 0, 0, 1}, B (weight -1 reverses it) marks {1, 0, 0, 0}: sum {1, 0, 0, 1}.
  // Group 1: C marks {0, 0, 1, 0}, two of them: {0, 0, 2, 0}. Maximum, then divided by 2.
  load_config(R"({"maps": {"potential-maps": [[)" + file("a", {1, 2, 3, 4}) + "," +
              file("b", {2, 3, 4, 5}) + "],[" + file("c", {0, 1, 5, 2}) + "," +
              file("c2", {0, 1, 5, 2}) + R"(]], "potential-maps-weight": [[1, -1], [3, 3]]}})");
  FatalResult run = run_capturing([] { maps_load_nservices(); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(3), (std::vector<float>{0.5f, 0.0f, 1.0f, 0.5f}));
}

TEST_F(LoadersTest, SolutionAreaIsWhereEveryPotentialMapHasData) {
  load_config(R"({"maps": {"potential-maps": [[)" + file("a", {1, N, 3, 0}) + "],[" +
              file("b", {1, 1, -2, 0}) + "]]}}");
  int32_t available = 0;
  FatalResult run = run_capturing([&] { available = maps_init_solution(); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(available, 2);
  EXPECT_EQ(get_map(0), (std::vector<float>{0, N, N, 0}));
  EXPECT_NE(run.log.find("! 1 nodata cells removed\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("! 1 cells extra removed\n"), std::string::npos) << run.log;
}

TEST_F(LoadersTest, MasksSetCellsWithDataAndCountEveryMask) {
  load_config(R"({"maps": {"exclusion-masks": [)" + file("m1", {1, 0, 1, 1}) + "," +
              file("m2", {1, 0, 0, N}) + "]}}");
  set_map(0, {0, 0, 0, N});
  int32_t set = 0;
  FatalResult run = run_capturing([&] { set = maps_apply_exclusion_masks(CELL_MASKED); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(set, 3);
  EXPECT_EQ(get_map(0), (std::vector<float>{-2, 0, -2, N}));
}

TEST_F(LoadersTest, DistanceMapsAddUpWhereBothHaveData) {
  // POSTPROCESS: the mean over the files; a cell missing from a file is lost.
  load_config(R"({"postprocess": {"select": {"method-distance": {"distance-maps": [)" +
              file("d1", {2, 4, N, 1}) + "," + file("d2", {4, 2, 1, 1}) +
              R"(]}}}, "process": {"distance-maps": [)" + file("d3", {1, 3, N, 1}) + "," +
              file("d4", {1, 1, 1, 1}) + "]}}");
  set_map(3, {0, 0, 0, N});
  int32_t additions = 0;
  FatalResult run = run_capturing([&] { additions = maps_load_postprocess_distances(); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(additions, 4);
  EXPECT_EQ(get_map(3), (std::vector<float>{3, 3, N, N}));
  // PROCESS: the sum over the area, where a missing file cell adds nothing, then normalised.
  set_map(4, {1, 1, 1, N});
  run = run_capturing([] { maps_load_process_distances(); });
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(get_map(4), (std::vector<float>{0.6f, 1.0f, 0.4f, N}));
}

}  // namespace
