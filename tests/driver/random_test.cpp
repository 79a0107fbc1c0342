#include "driver/random.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RandomTest, FixedSeedRepeatsEveryStageAlike) {
  rand_set_fixed_seed(7);
  rand_seed_stage();
  const int32_t a = rand15();
  rand15();
  rand_seed_stage();
  EXPECT_EQ(rand15(), a);
  rand_clear_fixed_seed();
}

TEST(RandomTest, IndicesReachEveryIndexOfLargeRangesEvenly) {
  // A 15-bit draw scaled to n leaves most of 0..n-1 unreachable once n > 32768.
  rand_seed(3);
  const int32_t n = 40000;
  std::vector<int32_t> hits(n, 0);
  for (int i = 0; i < 40 * n; ++i) {
    const int32_t k = rand_index(n);
    ASSERT_TRUE(k >= 0 && k < n) << k;
    ++hits[static_cast<size_t>(k)];
  }
  int32_t missed = 0;
  int64_t low_half = 0;
  for (int32_t k = 0; k < n; ++k) {
    missed += hits[static_cast<size_t>(k)] == 0;
    if (k < n / 2) low_half += hits[static_cast<size_t>(k)];
  }
  // With 40 expected hits per index, a miss has probability e^-40.
  EXPECT_EQ(missed, 0);
  EXPECT_NEAR(static_cast<double>(low_half) / (40.0 * n), 0.5, 0.005);
  // Below 32768 too: a scaled 15-bit draw favours some residues of 3 by a third at n = 10000.
  int64_t by_residue[3] = {0, 0, 0};
  for (int i = 0; i < 300000; ++i) ++by_residue[rand_index(10000) % 3];
  for (int64_t count : by_residue) EXPECT_NEAR(count / 300000.0, 1.0 / 3.0, 0.006);
}

}  // namespace
