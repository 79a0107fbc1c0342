#include "preprocess/initial_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "driver/random.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

class InitialStateTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Solution map all available, distribution map of weight w everywhere.
  void uniform_grid(int nrows, int ncols, float w) {
    setup_grid(nrows, ncols, 2);
    set_map(0, std::vector<float>(static_cast<size_t>(nrows * ncols), CELL_AVAILABLE));
    set_map(1, std::vector<float>(static_cast<size_t>(nrows * ncols), w));
    working_cell_value = 1.0f;
  }

  static int count_value(float v) {
    int n = 0;
    for (float c : get_map(0)) n += c == v;
    return n;
  }
};

TEST_F(InitialStateTest, ProbabilityIsTheSteepSigmoidWithZeroAtZero) {
  EXPECT_EQ(placement_probability(0.0), 0.0);
  EXPECT_NEAR(placement_probability(0.5), 0.029240, 1e-6);
  EXPECT_NEAR(placement_probability(0.9), 0.473684, 1e-6);
  EXPECT_NEAR(placement_probability(1.0), 0.807018, 1e-6);
}

TEST_F(InitialStateTest, CountsAreTruncatedSinglePrecisionProducts) {
  // 1000 available cells among 1010: the ten no-data cells are not available.
  for (float fraction : {0.25f, 0.3333f}) {
    uniform_grid(10, 101, 1.0f);
    for (int r = 0; r < 10; ++r) map_get(0).at(r, 100) = CELL_NODATA;
    rand_seed(3);
    FatalResult result = run_capturing([&] { initial_state_create(fraction); });
    int expected = fraction == 0.25f ? 250 : 333;
    ASSERT_FALSE(result.fatal);
    EXPECT_NE(result.log.find("  1000 cells available\n  " + std::to_string(expected) +
                              " cells to be assigned\n  processing...\n    " +
                              std::to_string(expected) + " accepted cells\n"),
              std::string::npos)
        << result.log;
    EXPECT_EQ(count_value(1.0f), expected);
    EXPECT_EQ(count_value(CELL_NODATA), 10);
  }
}

TEST_F(InitialStateTest, ZeroFractionChangesNothing) {
  uniform_grid(4, 4, 1.0f);
  FatalResult result = run_capturing([] { initial_state_create(0.0f); });
  EXPECT_EQ(result.log,
            "create initial state\n  16 cells available\n  0 cells to be assigned\n"
            "  processing...\n    0 accepted cells\n    0 rejections\n");
  EXPECT_EQ(count_value(CELL_AVAILABLE), 16);
}

// Every column index must be reachable however wide the grid: the last cells of a 40000-wide row
// are hit only by uniform index draws, and the exact sampler takes over when they are few.
TEST_F(InitialStateTest, FullFractionAllocatesEveryCellOfAWideRow) {
  uniform_grid(1, 40000, 1.0f);
  rand_seed(11);
  FatalResult result = run_capturing([] { initial_state_create(1.0f); });
  EXPECT_NE(result.log.find("    40000 accepted cells\n"), std::string::npos);
  EXPECT_EQ(count_value(1.0f), 40000);
}

// Weight 0 everywhere: a try succeeds once in 32768, so the plain loop alone would need about
// 1.3e9 tries on available cells here. The count is still reported, from the same distribution:
// 32767 failures per placement on average.
TEST_F(InitialStateTest, ZeroWeightsFinishWithGeometricRejections) {
  uniform_grid(200, 200, 0.0f);
  rand_seed(5);
  PlacementCounts counts = initial_state_place(40000, SAMPLER_AUTO);
  EXPECT_EQ(counts.accepted, 40000);
  EXPECT_EQ(count_value(1.0f), 40000);
  double mean = 40000.0 * 32767.0;
  EXPECT_NEAR(static_cast<double>(counts.rejections), mean, mean * 0.01);
}

// Weight 1.0: a try on an available cell passes with probability 26445 / 32768 = 0.807.
TEST_F(InitialStateTest, UniformWeightsAcceptAboutEightyPercentOfTries) {
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_EXACT, SAMPLER_AUTO}) {
    uniform_grid(100, 100, 1.0f);
    rand_seed(21);
    PlacementCounts counts = initial_state_place(10000, sampler);
    ASSERT_EQ(counts.accepted, 10000);
    double rate = counts.accepted / static_cast<double>(counts.accepted + counts.rejections);
    EXPECT_NEAR(rate, 26445.0 / 32768.0, 0.015) << "sampler " << sampler;
  }
}

// The two samplers must pick cells with the same probabilities and report rejection counts with
// the same distribution. Cells of different weights (and some that are not available) are filled
// a few at a time over many seeded runs; per-cell frequencies and mean rejections must agree.
TEST_F(InitialStateTest, PlainAndExactSamplersAgreeInDistribution) {
  const std::vector<float> solution = {0, 0, 0, -1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 0, 0};
  const std::vector<float> weights = {0.0f, 0.5f, 0.8f, -1,    0.85f, 0.9f, 0.3f,  0.95f,
                                      1.0f, 1.0f, 0.7f, 0.88f, 0.9f,  0.2f, 0.92f, 0.99f};
  const int runs = 4000;
  const int placed = 4;
  std::vector<double> freq[2] = {std::vector<double>(16), std::vector<double>(16)};
  double mean_rejections[2] = {0, 0};
  for (int s = 0; s < 2; ++s) {
    for (int run = 0; run < runs; ++run) {
      setup_grid(4, 4, 2);
      set_map(0, solution);
      set_map(1, weights);
      working_cell_value = 4.0f;
      rand_seed(static_cast<uint64_t>(1000 + run));
      PlacementCounts counts = initial_state_place(placed, s == 0 ? SAMPLER_PLAIN : SAMPLER_EXACT);
      ASSERT_EQ(counts.accepted, placed);
      mean_rejections[s] += static_cast<double>(counts.rejections) / runs;
      std::vector<float> out = get_map(0);
      for (size_t i = 0; i < out.size(); ++i) freq[s][i] += (out[i] == 4.0f) / double{runs};
    }
  }
  for (size_t i = 0; i < 16; ++i) {
    double p = (freq[0][i] + freq[1][i]) / 2;
    double sigma = std::sqrt(2 * p * (1 - p) / runs);
    EXPECT_NEAR(freq[0][i], freq[1][i], 5 * sigma + 1e-3) << "cell " << i;
  }
  EXPECT_NEAR(mean_rejections[0], mean_rejections[1], 0.1 * mean_rejections[0]);
}

}  // namespace
