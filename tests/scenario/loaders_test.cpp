#include "scenario/loaders.h"

#include "raster/grid.h"
#include "test_support.h"

constexpr float N = -1.0f;  // CELL_NODATA, short for the grids below

// The exit code and log of loading map 1 of `block` as the potential of `maps` weighted by
// `weights`.
static std::string potential(MapBlock& block, const std::string& maps, const std::string& weights) {
  const ConfigDocument config = config_of(R"({"maps": {"potential-maps": )" + maps +
                                          R"(, "potential-maps-weight": )" + weights + "}}");
  return outcome([&] { maps_load_potential(config, block, 1); });
}

TEST(LoadersTest, PotentialSumsWeightedMapsFusesGroupsByMaximumAndChecksShapes) {
  MapBlock maps = make_maps(1, 4, 8);
  TempDir dir;
  const std::string a = "\"" + dir.write("a", grid_text(1, 4, {1, 2, -9999, 2})) + "\"";
  const std::string b = "\"" + dir.write("b", grid_text(1, 4, {0, 4, 2, -9999})) + "\"";
  // 2A + B = {2, 8, -, 4}: B's missing cell keeps 2A, A's stays missing; then divided by 8.
  EXPECT_EQ(potential(maps, "[[" + a + "," + b + "]]", R"([[2, "1"]])").find("fussion"),
            std::string::npos);
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{0.25f, 1.0f, N, 0.5f}));
  // Max(A, B) where a missing cell in either group wins, then divided by 4.
  EXPECT_NE(potential(maps, "[[" + a + "],[" + b + "]]", "[[1], [1]]").find("fussion"),
            std::string::npos);
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{0.25f, 1.0f, N, N}));
  // An empty later group is skipped instead of fusing stale contents.
  set_map(maps, 2, {9, 9, 9, N});
  potential(maps, "[[" + a + "], []]", "[[1], []]");
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{0.5f, 1.0f, N, 1.0f}));
  // A group that is no list of file names, the first one too, or weights of the wrong shape are
  // refused before any map is read.
  EXPECT_EQ(potential(maps, "[[[" + a + "]]]", "[[1]]"),
            "2error: incorrect type for element 0 of property 'maps.potential-maps' (json string "
            "expected)!\n");
  EXPECT_EQ(potential(maps, "[[" + a + "," + a + "]]", "[[1]]"),
            "2error: incorrect shape for property 'maps.potential-maps-weight' (one weight per map "
            "of 'maps.potential-maps' expected)!\n");
  // A weight that is not finite, or weights or weighted cells past the float range, are refused
  // naming the weight, before the potential turns into infinities and NaN.
  const std::string range = "1error: property out of range in config json file!\n  element ",
                    weight = " of property 'maps.potential-maps-weight' is ",
                    finite = ", accepted finite weights whose magnitudes add up to a float\n";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"[[" + a + "]]", R"([["nan"]])", "0 of group 0" + weight + "nan" + finite},
      {"[[" + a + "],[" + a + "," + b + "]]", R"([[1], [-3e38, "1e38"]])",
       "1 of group 1" + weight + "1e+38" + finite},
      {"[[" + a + "," + b + "]]", "[[1, 1e38]]",
       "1 of group 0" + weight + "1e+38, accepted weights whose sum over '" +
           b.substr(1, b.size() - 2) + "' is a float\n"},
  };
  for (const auto& [groups, weights, error] : cases) {
    const std::string log = potential(maps, groups, weights);
    EXPECT_EQ(log.substr(0, 1) + log.substr(std::min(log.size(), log.find("error: "))),
              range + error);
  }
}

// The geometry comes from the first potential map, read once. Every potential map bars its no-data
// cells from the solution, not only the first.
TEST(LoadersTest, SolutionTakesTheCellsThatEveryPotentialMapCovers) {
  TempDir dir;
  const std::string a = dir.write("a", grid_text(1, 4, {1, -9999, 0, 2}));
  const std::string b = dir.write("b", grid_text(1, 4, {1, 1, -9999, 2}));
  const std::string c = dir.write("c", grid_text(1, 4, {1, 1, 1, -9999}));
  const ConfigDocument config = config_of(R"({"maps": {"potential-maps": [[")" + a + R"(", ")" + b +
                                          R"("], [")" + c + R"("]]}})");
  GridGeometry geometry;
  for (int time = 0; time < 2; ++time) {
    const FatalResult run = run_capturing([&] { maps_init_geometry(config, geometry); });
    EXPECT_EQ(run.log, "* init geo using '" + a + "'\n");
    EXPECT_EQ(geometry.ncols * 10 + geometry.nrows, 41);
    std::rename(a.c_str(), (a + ".away").c_str());  // a set geometry is not read again
  }
  std::rename((a + ".away").c_str(), a.c_str());
  MapBlock maps = make_maps(1, 4, 2);
  const FatalResult run = run_capturing([&] { EXPECT_EQ(maps_init_solution(config, maps), 1); });
  EXPECT_EQ(get_map(maps, 0), (std::vector<float>{0, N, N, N}));
  // A mask marks its cells > 0 that have data, the first cell of the grid too.
  const ConfigDocument masks =
      config_of(R"({"m": [")" + dir.write("mask", grid_text(1, 4, {1, 1, 2, 0})) + R"("]})");
  set_map(maps, 0, {0, N, 0, 0});
  run_capturing([&] { EXPECT_EQ(maps_apply_masks(masks, maps, "m", 0, -2.0f), 2); });
  EXPECT_EQ(get_map(maps, 0), (std::vector<float>{-2, N, -2, 0}));
  EXPECT_EQ(run.log, "* load group maps\n* read '" + a + "'\n! 1 nodata cells removed\n* read '" +
                         b + "'\n! 1 cells extra removed\n* load group maps\n* read '" + c +
                         "'\n! 1 cells extra removed\n");
}

// PROCESS adds its distance maps to its area map (1 where the potential has data) and normalises,
// a missing cell adding nothing (POSTPROCESS takes their mean: see the postprocess tests).
TEST(LoadersTest, ProcessDistanceMapsAddUpOnTheAreaMap) {
  MapBlock maps = make_maps(1, 4, 3);  // map 2 takes each file in turn
  TempDir dir;
  const std::string a = dir.write("a", grid_text(1, 4, {1, 2, 3, -9999}));
  const std::string b = dir.write("b", grid_text(1, 4, {3, 3, -9999, 1}));
  const ConfigDocument config =
      config_of(json("{'process': {'distance-maps': ['" + a + "', '" + b + "']}}"));
  set_map(maps, 1, {1, 1, 1, 1});
  run_capturing([&] { maps_load_process_distances(config, maps, 1); });
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{5.0f / 6, 1, 4.0f / 6, 2.0f / 6}));
}

// The top fifth of the cells with data (rounded up) and ties are marked 1, the others 0. The
// threshold, found by counting, must be the top-th of a descending sort (NaN last), on values that
// share their high bits, ties, zeros of both signs, negatives, NaN and no data. The last rounds'
// maps are large enough to be counted in ranges on three threads.
TEST(LoadersTest, TopCellsThresholdIsTheSortedMapsTopthValue) {
  std::mt19937 random(17);
  const float pool[] = {0.0f, -0.0f, N, -3.5f, std::nanf(""), 1.0f, 1.0000001f, 1.0000002f, 7e30f};
  for (int round = 0; round < 42; ++round) {
    const bool large = round >= 40;
    const int nrows = large ? 520 : 1;
    const int ncols = large ? 510 : 1 + static_cast<int>(random() % 60);
    std::vector<float> cells(static_cast<size_t>(nrows * ncols));
    for (float& v : cells) {
      v = round == 0     ? N  // no cell to rank: nothing to select from
          : random() % 2 ? pool[random() % 9]
                         : static_cast<float>(random() % 50) / 7.0f;
    }
    std::vector<float> sorted = cells;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](float a, float b) { return a > b || (std::isnan(b) && !std::isnan(a)); });
    const int valid = int(cells.size() - size_t(std::count(cells.begin(), cells.end(), N)));
    std::vector<float> expected = cells;
    if (valid > 0) {
      const float threshold = sorted[static_cast<size_t>(std::ceil(valid * 0.2)) - 1];
      for (float& v : expected)
        if (v != N) v = v >= threshold ? 1.0f : 0.0f;
    }
    MapBlock maps = make_maps(nrows, ncols, 1);
    maps.threads = large ? 3 : 1;
    set_map(maps, 0, cells);
    EXPECT_EQ(map_mark_top_cells(maps, 0), valid > 0 ? int(std::ceil(valid * 0.2)) : 0);
    ASSERT_EQ(get_map(maps, 0), expected) << "round " << round;  // NaN cells too are 0 or 1
  }
}
