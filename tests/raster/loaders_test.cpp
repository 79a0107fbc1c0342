#include "raster/loaders.h"

#include <gtest/gtest.h>

#include <functional>
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

  // Runs `body` on the configuration `json`, failing the test on a fatal error.
  std::string run(const std::string& json, const std::function<void()>& body) {
    load_config(json);
    const FatalResult r = run_capturing(body);
    EXPECT_FALSE(r.fatal) << r.log;
    return r.log;
  }

  TempDir dir;
};

TEST_F(LoadersTest, PotentialSumsWeightedMapsThenFusesGroupsByMaximum) {
  const std::string a = file("a", {1, 2, N, 2}), b = file("b", {0, 4, 2, N});
  const auto load = [&](const std::string& maps, const std::string& weights) {
    return run(R"({"maps": {"potential-maps": )" + maps + R"(, "potential-maps-weight": )" +
                   weights + "}}",
               [] { maps_load_potential(1); });
  };
  // 2A + B = {2, 8, -, 4}: B's missing cell keeps 2A, A's stays missing; then divided by 8.
  EXPECT_EQ(load("[[" + a + "," + b + "]]", R"([[2, "1"]])").find("fussion"), std::string::npos);
  EXPECT_EQ(get_map(1), (std::vector<float>{0.25f, 1.0f, N, 0.5f}));
  // Max(A, B) where a missing cell in either group wins, then divided by 4.
  EXPECT_EQ(load("[[" + a + "],[" + b + "]]", "[[1], [1]]"),
            "* load group maps\n* read '" + dir.path("a") + "'\n* load group maps\n* read '" +
                dir.path("b") + "'\n* fussion group maps\n* normalize map\n");
  EXPECT_EQ(get_map(1), (std::vector<float>{0.25f, 1.0f, N, N}));
  // An empty later group is skipped instead of fusing stale contents.
  set_map(2, {9, 9, 9, N});
  EXPECT_EQ(load("[[" + a + "], []]", "[[1], []]").find("fussion"), std::string::npos);
  EXPECT_EQ(get_map(1), (std::vector<float>{0.5f, 1.0f, N, 1.0f}));
}

TEST_F(LoadersTest, RejectsWeightsOrGroupsOfTheWrongShapeBeforeReading) {
  const std::string a = file("a", {1, 1, 1, 1});
  const std::string shape =
      "shape for property 'maps.potential-maps-weight' (one weight per map of "
      "'maps.potential-maps' expected)!\n";
  const std::string element = "type for element 0 of property 'maps.potential-maps-weight' (";
  struct Case {
    std::string maps, weights, error;
  };
  const Case cases[] = {
      {"[[" + a + "," + a + "]]", "[[1]]", shape},
      {"[[" + a + "]]", "[[1], [1]]", shape},
      {"[[" + a + "]]", "[1]", element + "json array expected)!\n"},
      {"[[" + a + "]]", "[[[1]]]", element + "string or number expected)!\n"},
      {"[[" + a + ", [" + a + "]]]", "[[1, 1]]",
       "type for element 1 of property 'maps.potential-maps' (string or number expected)!\n"},
  };
  for (const Case& c : cases) {
    load_config(R"({"maps": {"potential-maps": )" + c.maps + R"(, "potential-maps-weight": )" +
                c.weights + "}}");
    const FatalResult r = run_capturing([] { maps_load_potential(1); });
    EXPECT_EQ(r.code, 2) << c.maps << " " << c.weights;
    EXPECT_EQ(r.log, "error: incorrect " + c.error);
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

TEST_F(LoadersTest, SolutionAreaAndMasksKeepOnlyCellsWithData) {
  int32_t count = 0;
  const std::string log = run(R"({"maps": {"potential-maps": [[)" + file("a", {1, N, 3, 0}) +
                                  "],[" + file("b", {1, 1, -2, 0}) + R"(]], "exclusion-masks": [)" +
                                  file("m1", {1, 0, 0, 1}) + "," + file("m2", {1, 0, 1, N}) + "]}}",
                              [&] { count = maps_init_solution(); });
  EXPECT_EQ(count, 2);
  EXPECT_EQ(get_map(0), (std::vector<float>{0, N, N, 0}));
  EXPECT_NE(log.find("! 1 nodata cells removed\n"), std::string::npos) << log;
  EXPECT_NE(log.find("! 1 cells extra removed\n"), std::string::npos) << log;
  // A mask sets the cells it marks unless they are no-data in the map; every mask counts.
  run_capturing([&] { count = maps_apply_exclusion_masks(CELL_MASKED); });
  EXPECT_EQ(count, 3);
  EXPECT_EQ(get_map(0), (std::vector<float>{-2, N, N, -2}));
}

TEST_F(LoadersTest, DistanceMapsAddUpWhereBothHaveData) {
  // POSTPROCESS: the mean over the files; a cell missing from a file is lost.
  set_map(3, {0, 0, 0, N});
  run(R"({"postprocess": {"select": {"method-distance": {"distance-maps": [)" +
          file("d1", {2, 4, N, 1}) + "," + file("d2", {4, 2, 1, 1}) +
          R"(]}}}, "process": {"distance-maps": [)" + file("d3", {1, 3, N, 1}) + "," +
          file("d4", {1, 1, 1, 1}) + "]}}",
      [] { EXPECT_EQ(maps_load_postprocess_distances(), 4); });
  EXPECT_EQ(get_map(3), (std::vector<float>{3, 3, N, N}));
  // PROCESS: the sum over the area, where a missing file cell adds nothing, then normalised.
  set_map(4, {1, 1, 1, N});
  run_capturing([] { maps_load_process_distances(); });
  EXPECT_EQ(get_map(4), (std::vector<float>{0.6f, 1.0f, 0.4f, N}));
}

}  // namespace
