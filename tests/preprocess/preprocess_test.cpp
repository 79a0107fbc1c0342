// PREPROCESS in memory: the distribution map, the placement samplers and the stage's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "driver/random.h"
#include "postprocess/grid_values.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "preprocess/preprocess_stage.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

class PreprocessTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Every cell available; weights row-major, or one weight for the whole map.
  static void weights(int nrows, int ncols, const std::vector<float>& w) {
    setup_grid(nrows, ncols, 3);
    const size_t n = static_cast<size_t>(nrows) * static_cast<size_t>(ncols);
    set_map(0, std::vector<float>(n, CELL_AVAILABLE));
    set_map(1, w.size() == 1 ? std::vector<float>(n, w[0]) : w);
    working_cell_value = 1.0f;
  }
  TempDir dir;
};

// 1000 available cells among 1010: the counts are truncated single-precision products. Every
// column of a 40000-wide row is reachable by the plain loop and the automatic choice.
TEST_F(PreprocessTest, CountsAreTruncatedAndEveryCellReachable) {
  for (auto [fraction, expected] : {std::pair{0.25f, 250}, std::pair{0.3333f, 333}}) {
    weights(10, 101, {1.0f});
    for (int r = 0; r < 10; ++r) map_get(0).at(r, 100) = CELL_NODATA;
    FatalResult run = run_capturing([&] { initial_state_create(fraction); });
    EXPECT_NE(run.log.find("  1000 cells available\n"), std::string::npos) << run.log;
    EXPECT_EQ(std::count(map_cells(0), map_cells(0) + 1010, 1.0f), expected);
  }
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_AUTO}) {
    weights(1, 40000, {1.0f});
    EXPECT_EQ(initial_state_place(40000, sampler).accepted, 40000) << sampler;
    EXPECT_EQ(std::count(map_cells(0), map_cells(0) + 40000, 1.0f), 40000) << sampler;
  }
}

// A centre mask gives distances 0, 1, 2 reversed to 1, 0.5, 0 (an excluded cell is a distance like
// any data cell); a mask marking nothing leaves every data cell at 0. No-data stays no-data.
TEST_F(PreprocessTest, DistributionMapFromMasks) {
  for (bool marked : {true, false}) {
    setup_grid(5, 5, 3);
    std::vector<float> mask(25, 0.0f), solution(25, CELL_AVAILABLE);
    mask[12] = marked ? 1.0f : 0.0f;
    solution[3] = CELL_NODATA;
    solution[6] = CELL_MASKED;
    set_map(0, solution);
    load_config("{\"preprocess\": {\"distribution-masks\": [\"" +
                dir.write("m.asc", grid_text(5, 5, mask)) + "\"]}}");
    FatalResult run = run_capturing([] { distribution_map_build(); });
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(run.log.find("  no destination cells: skip\n") == std::string::npos, marked);
    const std::vector<float> w = get_map(1);
    for (int i = 0; i < 25; ++i) {
      const int ring = std::max(std::abs(i / 5 - 2), std::abs(i % 5 - 2));
      EXPECT_EQ(w[i], i == 3 ? CELL_NODATA : marked ? 1.0f - 0.5f * ring : 0.0f) << i;
    }
  }
}

// Weight 1 passes 26445 / 32768 of the tries in every sampler. Weight 0 passes once in 32768: the
// placement still finishes, with a rejection count from the same distribution, past 32 bits.
TEST_F(PreprocessTest, AcceptanceRates) {
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_EXACT, SAMPLER_AUTO}) {
    weights(100, 100, {1.0f});
    PlacementCounts c = initial_state_place(10000, sampler);
    ASSERT_EQ(c.accepted, 10000);
    EXPECT_NEAR(c.accepted / double(c.accepted + c.rejections), 26445.0 / 32768, 0.015) << sampler;
  }
  weights(300, 300, {0.0f});
  FatalResult run = run_capturing([] { initial_state_create(1.0f); });
  const size_t at = run.log.find("    90000 accepted cells\n    ");
  ASSERT_NE(at, std::string::npos) << run.log;
  EXPECT_NEAR(std::stod(run.log.substr(at + 29)), 90000.0 * 32767, 90000.0 * 32767 * 0.03);
}

// Mixed weights around a no-data, an excluded and an initial-value cell: over many seeded runs of
// four placements, the plain loop and the exact sampler fill each cell equally often and report
// equal mean rejection counts. The cell of weight 1 fills far more often than that of weight 0.2.
TEST_F(PreprocessTest, SamplersGiveTheSameDistribution) {
  const int runs = 4000;
  std::vector<double> freq[2] = {std::vector<double>(16), std::vector<double>(16)};
  double rejections[2] = {0, 0};
  for (int s = 0; s < 2; ++s) {
    weights(
        4, 4,
        {0, 0.5f, 0.8f, -1, 0.85f, 0.9f, 0.3f, 0.95f, 1, 1, 0.7f, 0.88f, 0.9f, 0.2f, 0.92f, 0.99f});
    working_cell_value = 4.0f;
    for (int run = 0; run < runs; ++run) {
      set_map(0, {0, 0, 0, -1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 0, 0});
      rand_seed(static_cast<uint64_t>(1000 + run));
      PlacementCounts c = initial_state_place(4, s == 0 ? SAMPLER_PLAIN : SAMPLER_EXACT);
      ASSERT_EQ(c.accepted, 4);
      rejections[s] += static_cast<double>(c.rejections) / runs;
      for (size_t i = 0; i < 16; ++i) freq[s][i] += (map_cells(0)[i] == 4.0f) / double{runs};
    }
  }
  for (size_t i = 0; i < 16; ++i) {
    const double p = (freq[0][i] + freq[1][i]) / 2;
    EXPECT_NEAR(freq[0][i], freq[1][i], 5 * std::sqrt(2 * p * (1 - p) / runs) + 1e-3) << i;
  }
  EXPECT_NEAR(rejections[0], rejections[1], 0.1 * rejections[0]);
  EXPECT_GT(freq[0][8], 3 * freq[0][13]);
}

// The stage on a 3 x 4 potential map with one no-data and one excluded cell, and initial values 3
// over an available cell, 7 over the excluded one and 9 over the no-data one (which stays no-data):
// the working value is 8 and 9 cells stay available. Convert-area out of [0, 1] stops after echoing
// it, a missing property with code 2, before anything is written; text that reads as no number
// is 0.
TEST_F(PreprocessTest, StageChecksItsParametersAndPlacesOnlyOnAvailableCells) {
  const std::string range = "error: property 'convert-area' out of range!\n",
                    no = ", \"debug-maps\": \"no\"";
  const std::vector<std::tuple<std::string, int, std::string, int>> cases = {
      {"0.5" + no, 0,
       "  working cell value is 8.000000\n  convert-area 0.500000\ncreate initial state\n"
       "  9 cells available\n  4 cells to be assigned\n",
       4},
      {"-0.1" + no, 1, "  convert-area -0.100000\n" + range, 0},
      {"1.5" + no, 1, "  convert-area 1.500000\n" + range, 0},
      {"\"nan\"" + no, 1, "  convert-area nan\n" + range, 0},
      {"0.5", 2, "error: property 'preprocess.debug-maps' not found in config json file!\n", 0},
      {"1.00000001" + no, 0, "", 9},
      {"\"abc\"" + no, 0, "", 0},
  };
  dir.write("pot.asc", grid_text(3, 4, {1, 1, 1, 1, 1, -9999, 1, 1, 1, 1, 1, 1}));
  dir.write("excl.asc", grid_text(3, 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  dir.write("init.asc", grid_text(3, 4, {0, 0, 3, 0, 0, 9, 0, 0, 0, 0, 0, 7}));
  for (const auto& [area, code, part, placed] : cases) {
    reset_process_state();
    std::remove(dir.path("out.asc").c_str());
    load_config("{\"maps\": {\"potential-maps\": [[\"" + dir.path("pot.asc") +
                "\"]], \"potential-maps-weight\": [[1]], \"exclusion-masks\": [\"" +
                dir.path("excl.asc") + "\"]}, \"preprocess\": {\"init-values-map\": \"" +
                dir.path("init.asc") + "\", \"distribution-masks\": [], \"output\": \"" +
                dir.path("out.asc") + "\", \"convert-area\": " + area + "}}");
    FatalResult run = run_capturing([] { run_preprocess_stage(); });
    std::vector<float> out = grid_values(read_file(dir.path("out.asc")));
    EXPECT_EQ(run.fatal ? run.code : 0, code) << area << "\n" << run.log;
    const size_t at = run.log.rfind(part);
    EXPECT_TRUE(at != std::string::npos && (!code || at + part.size() == run.log.size()))
        << run.log;
    EXPECT_EQ(std::count(out.begin(), out.end(), 8.0f), placed) << area;
    std::replace(out.begin(), out.end(), 8.0f, 0.0f);
    const std::vector<float> expected = {0, 0, 3, 0, 0, -999, 0, 0, 0, 0, 0, 7};
    EXPECT_EQ(out, code ? std::vector<float>{} : expected);
  }
}

}  // namespace
