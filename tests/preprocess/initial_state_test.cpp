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

// Every column index must be reachable however wide the grid: with draws scaled from 0..32767,
// most columns of a 40000-wide row could never be hit. The plain loop alone must fill the row,
// and so must the automatic choice, which hands the last few cells to the exact sampler.
TEST_F(InitialStateTest, FullFractionAllocatesEveryCellOfAWideRow) {
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_AUTO}) {
    uniform_grid(1, 40000, 1.0f);
    rand_seed(11);
    PlacementCounts counts = initial_state_place(40000, sampler);
    EXPECT_EQ(counts.accepted, 40000) << "sampler " << sampler;
    EXPECT_EQ(count_value(1.0f), 40000) << "sampler " << sampler;
  }
}

// Weight 0 everywhere: a try succeeds once in 32768, so the plain loop alone would need about
// 2.9e9 tries on available cells here. The count is still reported, from the same distribution
// (32767 failures per placement on average), and in full although it is past the 32-bit range.
TEST_F(InitialStateTest, ZeroWeightsFinishWithGeometricRejections) {
  uniform_grid(300, 300, 0.0f);
  rand_seed(5);
  FatalResult result = run_capturing([] { initial_state_create(1.0f); });
  EXPECT_EQ(count_value(1.0f), 90000);
  size_t at = result.log.find("    90000 accepted cells\n    ");
  ASSERT_NE(at, std::string::npos) << result.log;
  double rejections = std::stod(result.log.substr(at + 29));
  double mean = 90000.0 * 32767.0;
  EXPECT_NEAR(rejections, mean, mean * 0.03);
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

// Mixed weights with a no-data, an excluded and an initial-value cell among them.
const std::vector<float> MIXED_SOLUTION = {0, 0, 0, -1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 0, 0};
const std::vector<float> MIXED_WEIGHTS = {0.0f, 0.5f, 0.8f, -1,    0.85f, 0.9f, 0.3f,  0.95f,
                                          1.0f, 1.0f, 0.7f, 0.88f, 0.9f,  0.2f, 0.92f, 0.99f};

// The rejection loop picks the next cell i with probability p_i / sum(p) over the available cells,
// after a number of failed tries on available cells that is geometric with success chance
// s = sum(p) / available: mean (1 - s) / s, variance (1 - s) / s^2. Both samplers must follow it.
// (p is used unrounded: the draws' 2^-15 resolution moves these figures by under 1e-4.)
TEST_F(InitialStateTest, EachSamplerFollowsTheRejectionLoopForOnePlacement) {
  const int runs = 12000;
  std::vector<double> p(16, 0.0);
  double sum = 0.0;
  int available = 0;
  for (size_t i = 0; i < 16; ++i) {
    if (MIXED_SOLUTION[i] != CELL_AVAILABLE) continue;
    p[i] = placement_probability(MIXED_WEIGHTS[i]);
    sum += p[i];
    ++available;
  }
  const double s = sum / available;
  const double mean = (1 - s) / s, variance = (1 - s) / (s * s);
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_EXACT}) {
    setup_grid(4, 4, 2);
    set_map(1, MIXED_WEIGHTS);
    working_cell_value = 4.0f;
    std::vector<double> freq(16, 0.0);
    double total = 0.0, squares = 0.0;
    for (int run = 0; run < runs; ++run) {
      set_map(0, MIXED_SOLUTION);
      rand_seed(static_cast<uint64_t>(run));
      PlacementCounts counts = initial_state_place(1, sampler);
      ASSERT_EQ(counts.accepted, 1);
      std::vector<float> out = get_map(0);
      for (size_t i = 0; i < 16; ++i) freq[i] += (out[i] == 4.0f) / double{runs};
      total += static_cast<double>(counts.rejections);
      squares += static_cast<double>(counts.rejections) * static_cast<double>(counts.rejections);
    }
    for (size_t i = 0; i < 16; ++i) {
      double expected = p[i] / sum;
      EXPECT_NEAR(freq[i], expected, 5 * std::sqrt(expected * (1 - expected) / runs) + 1e-4)
          << "sampler " << sampler << ", cell " << i;
    }
    double sample_mean = total / runs;
    EXPECT_NEAR(sample_mean, mean, 5 * std::sqrt(variance / runs)) << "sampler " << sampler;
    EXPECT_NEAR(squares / runs - sample_mean * sample_mean, variance, 0.12 * variance)
        << "sampler " << sampler;
  }
}

// Later placements depend on what is already placed; frequencies over several placements per run
// must agree between the samplers too.
TEST_F(InitialStateTest, PlainAndExactSamplersAgreeOverSeveralPlacements) {
  const int runs = 4000;
  const int placed = 4;
  std::vector<double> freq[2] = {std::vector<double>(16), std::vector<double>(16)};
  for (int s = 0; s < 2; ++s) {
    setup_grid(4, 4, 2);
    set_map(1, MIXED_WEIGHTS);
    working_cell_value = 4.0f;
    for (int run = 0; run < runs; ++run) {
      set_map(0, MIXED_SOLUTION);
      rand_seed(static_cast<uint64_t>(1000 + run));
      PlacementCounts counts = initial_state_place(placed, s == 0 ? SAMPLER_PLAIN : SAMPLER_EXACT);
      ASSERT_EQ(counts.accepted, placed);
      std::vector<float> out = get_map(0);
      for (size_t i = 0; i < out.size(); ++i) freq[s][i] += (out[i] == 4.0f) / double{runs};
    }
  }
  for (size_t i = 0; i < 16; ++i) {
    double p = (freq[0][i] + freq[1][i]) / 2;
    double sigma = std::sqrt(2 * p * (1 - p) / runs);
    EXPECT_NEAR(freq[0][i], freq[1][i], 5 * sigma + 1e-3) << "cell " << i;
  }
}

}  // namespace
