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
  std::string file(const std::string& name, std::vector<float> values) {
    for (float& v : values) v = v == N ? -9999.0f : v;
    return "\"" + dir.write(name, grid_text(1, 4, values)) + "\"";
  }

  // Loads map 1 as the potential of `maps` weighted by `weights`.
  FatalResult potential(const std::string& maps, const std::string& weights) {
    load_config(R"({"maps": {"potential-maps": )" + maps + R"(, "potential-maps-weight": )" +
                weights + "}}");
    return run_capturing([] { maps_load_potential(1); });
  }

  TempDir dir;
};

TEST_F(LoadersTest, PotentialSumsWeightedMapsThenFusesGroupsByMaximum) {
  const std::string a = file("a", {1, 2, N, 2}), b = file("b", {0, 4, 2, N});
  // 2A + B = {2, 8, -, 4}: B's missing cell keeps 2A, A's stays missing; then divided by 8.
  EXPECT_EQ(potential("[[" + a + "," + b + "]]", R"([[2, "1"]])").log.find("fussion"),
            std::string::npos);
  EXPECT_EQ(get_map(1), (std::vector<float>{0.25f, 1.0f, N, 0.5f}));
  // Max(A, B) where a missing cell in either group wins, then divided by 4.
  EXPECT_EQ(potential("[[" + a + "],[" + b + "]]", "[[1], [1]]").log,
            "* load group maps\n* read '" + dir.path("a") + "'\n* load group maps\n* read '" +
                dir.path("b") + "'\n* fussion group maps\n* normalize map\n");
  EXPECT_EQ(get_map(1), (std::vector<float>{0.25f, 1.0f, N, N}));
  // An empty later group is skipped instead of fusing stale contents.
  set_map(2, {9, 9, 9, N});
  EXPECT_EQ(potential("[[" + a + "], []]", "[[1], []]").log.find("fussion"), std::string::npos);
  EXPECT_EQ(get_map(1), (std::vector<float>{0.5f, 1.0f, N, 1.0f}));
}

TEST_F(LoadersTest, RejectsWeightsOrGroupsOfTheWrongShapeBeforeReading) {
  const std::string a = file("a", {1, 1, 1, 1}), weight = "property 'maps.potential-maps-weight' (";
  const std::string cases[][3] = {
      {"[[" + a + "," + a + "]]", "[[1]]",
       "shape for " + weight + "one weight per map of 'maps.potential-maps' expected)"},
      {"[[" + a + "]]", "[1]", "type for element 0 of " + weight + "json array expected)"},
      {"[[" + a + ", [" + a + "]]]", "[[1, 1]]",
       "type for element 1 of property 'maps.potential-maps' (string or number expected)"},
  };
  for (const auto& [maps, weights, error] : cases) {
    const FatalResult r = potential(maps, weights);
    EXPECT_EQ(std::to_string(r.code) + r.log, "2error: incorrect " + error + "!\n");
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
  set_map(0, std::vector<float>(12, N));  // no cell to rank: nothing to select from
  EXPECT_EQ(map_mark_top_cells(0), 0);
}

}  // namespace
