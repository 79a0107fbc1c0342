// PREPROCESS in memory: the distribution map, the placement samplers and the stage's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
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
  static int placed() {
    int n = 0;
    for (float c : get_map(0)) n += c == working_cell_value;
    return n;
  }
  TempDir dir;
};

// 1000 available cells among 1010: the counts are truncated single-precision products.
TEST_F(PreprocessTest, CountsAreTruncatedAndEveryCellReachable) {
  for (auto [fraction, expected] : {std::pair{0.25f, 250}, std::pair{0.3333f, 333}}) {
    weights(10, 101, {1.0f});
    for (int r = 0; r < 10; ++r) map_get(0).at(r, 100) = CELL_NODATA;
    rand_seed(3);
    FatalResult run = run_capturing([&] { initial_state_create(fraction); });
    const std::string n = std::to_string(expected);
    EXPECT_NE(run.log.find("  1000 cells available\n  " + n + " cells to be assigned\n" +
                           "  processing...\n    " + n + " accepted cells\n"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(placed(), expected);
  }
  // Every column of a 40000-wide row is reachable by the plain loop and the automatic choice.
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_AUTO}) {
    weights(1, 40000, {1.0f});
    rand_seed(11);
    EXPECT_EQ(initial_state_place(40000, sampler).accepted, 40000) << sampler;
    EXPECT_EQ(placed(), 40000) << sampler;
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
    rand_seed(21);
    PlacementCounts c = initial_state_place(10000, sampler);
    ASSERT_EQ(c.accepted, 10000);
    EXPECT_NEAR(c.accepted / double(c.accepted + c.rejections), 26445.0 / 32768, 0.015) << sampler;
  }
  weights(300, 300, {0.0f});
  rand_seed(5);
  FatalResult run = run_capturing([] { initial_state_create(1.0f); });
  const size_t at = run.log.find("    90000 accepted cells\n    ");
  ASSERT_NE(at, std::string::npos) << run.log;
  EXPECT_NEAR(std::stod(run.log.substr(at + 29)), 90000.0 * 32767, 90000.0 * 32767 * 0.03);
  // Weights falling from 1 at the left edge to 0 at the right (mean 0.5): the sigmoid clusters
  // the placements near the edge, well above a placement in proportion to the weight (0.67).
  const int n = 40;
  std::vector<float> w(n * n);
  for (int i = 0; i < n * n; ++i) w[i] = 1.0f - static_cast<float>(i % n) / (n - 1);
  weights(n, n, w);
  rand_seed(7);
  ASSERT_EQ(initial_state_place(160, SAMPLER_AUTO).accepted, 160);
  double sum = 0;
  for (int i = 0; i < n * n; ++i) sum += map_cells(0)[i] == 1.0f ? w[i] : 0.0f;
  EXPECT_GT(sum / 160, 0.8);
}

// Mixed weights around a no-data, an excluded and an initial-value cell: over many seeded runs of
// four placements, the plain loop and the exact sampler fill each cell equally often and report
// equal mean rejection counts.
TEST_F(PreprocessTest, SamplersGiveTheSameDistribution) {
  const std::vector<float> solution = {0, 0, 0, -1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 0, 0};
  const int runs = 4000;
  std::vector<double> freq[2] = {std::vector<double>(16), std::vector<double>(16)};
  double rejections[2] = {0, 0};
  for (int s = 0; s < 2; ++s) {
    weights(4, 4,
            {0.0f, 0.5f, 0.8f, -1, 0.85f, 0.9f, 0.3f, 0.95f, 1, 1, 0.7f, 0.88f, 0.9f, 0.2f, 0.92f,
             0.99f});
    working_cell_value = 4.0f;
    for (int run = 0; run < runs; ++run) {
      set_map(0, solution);
      rand_seed(static_cast<uint64_t>(1000 + run));
      PlacementCounts c = initial_state_place(4, s == 0 ? SAMPLER_PLAIN : SAMPLER_EXACT);
      ASSERT_EQ(c.accepted, 4);
      rejections[s] += static_cast<double>(c.rejections) / runs;
      const std::vector<float> out = get_map(0);
      for (size_t i = 0; i < 16; ++i) freq[s][i] += (out[i] == 4.0f) / double{runs};
    }
  }
  for (size_t i = 0; i < 16; ++i) {
    const double p = (freq[0][i] + freq[1][i]) / 2;
    EXPECT_NEAR(freq[0][i], freq[1][i], 5 * std::sqrt(2 * p * (1 - p) / runs) + 1e-3) << i;
  }
  EXPECT_NEAR(rejections[0], rejections[1], 0.1 * rejections[0]);
}

// The stage on a 3 x 4 potential map with one no-data and one excluded cell, and initial values 3
// over an available cell, 7 over the excluded one and 9 over the no-data one (which stays
// no-data): the working value is 8 and 9 cells stay available. Returns the run and the output.
std::pair<FatalResult, std::vector<float>> run_stage(const TempDir& dir, const std::string& props) {
  dir.write("pot.asc", grid_text(3, 4, {1, 1, 1, 1, 1, -9999, 1, 1, 1, 1, 1, 1}));
  dir.write("excl.asc", grid_text(3, 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  dir.write("init.asc", grid_text(3, 4, {0, 0, 3, 0, 0, 9, 0, 0, 0, 0, 0, 7}));
  reset_process_state();
  rand_set_fixed_seed(7);
  load_config("{\"maps\": {\"potential-maps\": [[\"" + dir.path("pot.asc") +
              "\"]], \"potential-maps-weight\": [[1]], \"exclusion-masks\": [\"" +
              dir.path("excl.asc") + "\"]}, \"preprocess\": {\"init-values-map\": \"" +
              dir.path("init.asc") + "\", \"distribution-masks\": [], \"output\": \"" +
              dir.path("out.asc") + "\", " + props + "}}");
  FatalResult run = run_capturing([] { run_preprocess_stage(); });
  return {run, grid_values(read_file(dir.path("out.asc")))};
}

TEST_F(PreprocessTest, PlainRunTranscript) {
  auto [run, out] = run_stage(dir, "\"convert-area\": 0.5, \"debug-maps\": \"no\"");
  ASSERT_FALSE(run.fatal) << run.log;
  const size_t at = run.log.find(" rejections\n");  // the count is random, every other line fixed
  ASSERT_NE(at, std::string::npos) << run.log;
  const size_t digits = run.log.find_last_not_of("0123456789", at - 1) + 1;
  EXPECT_EQ(run.log, "PREPROCESS begin\ninit\n* init geo using '" + dir.path("pot.asc") +
                         "'\n* allocate 3 memory maps\ninit solution map\n* load group maps\n"
                         "* read '" +
                         dir.path("pot.asc") +
                         "'\n! 1 nodata cells removed\napply exclusion masks\n* loading masks\n"
                         "* read '" +
                         dir.path("excl.asc") +
                         "'\napply initial values map\n"
                         "* read '" +
                         dir.path("init.asc") +
                         "'\napply distribution masks\nconfig parameters\n"
                         "  working cell value is 8.000000\n  convert-area 0.500000\n"
                         "create initial state\n  9 cells available\n  4 cells to be assigned\n"
                         "  processing...\n    4 accepted cells\n    " +
                         run.log.substr(digits, at - digits) + " rejections\n* write '" +
                         dir.path("out.asc") + "'\nPREPROCESS end\n");
  EXPECT_EQ(std::count(out.begin(), out.end(), 8.0f), 4);
  std::replace(out.begin(), out.end(), 8.0f, 0.0f);
  EXPECT_EQ(out, (std::vector<float>{0, 0, 3, 0, 0, -999, 0, 0, 0, 0, 0, 7}));
}

// Convert-area out of [0, 1] stops after echoing it, a missing property with code 2, before
// anything is written; text that reads as no number is 0.
TEST_F(PreprocessTest, StageParameterChecks) {
  const std::string range = "error: property 'convert-area' out of range!\n",
                    no = "\"debug-maps\": \"no\"";
  const struct {
    std::string props;
    int code;
    std::string tail;
    int placed;
  } cases[] = {
      {"\"convert-area\": -0.1, " + no, 1, "  convert-area -0.100000\n" + range, 0},
      {"\"convert-area\": 1.5, " + no, 1, "  convert-area 1.500000\n" + range, 0},
      {"\"convert-area\": \"nan\", " + no, 1, "  convert-area nan\n" + range, 0},
      {"\"convert-area\": 0.5", 2,
       "  convert-area 0.500000\n"
       "error: property 'preprocess.debug-maps' not found in config json file!\n",
       0},
      {"\"convert-area\": 1.00000001, " + no, 0, "", 9},
      {"\"convert-area\": \"abc\", " + no, 0, "", 0},
      {"\"convert-area\": \"1\", " + no, 0, "", 9},
  };
  for (const auto& c : cases) {
    auto [run, out] = run_stage(dir, c.props);
    EXPECT_EQ(run.fatal ? run.code : 0, c.code) << c.props << "\n" << run.log;
    EXPECT_EQ(run.log.substr(run.log.size() - std::min(run.log.size(), c.tail.size())), c.tail);
    EXPECT_EQ(out.size(), c.code ? 0u : 12u);
    EXPECT_EQ(std::count(out.begin(), out.end(), 8.0f), c.placed) << c.props;
  }
}

}  // namespace
