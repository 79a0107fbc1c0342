#include "driver/random.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RandomTest, SameSeedGivesSameDrawsAndDrawsStayInRange) {
  rand_seed(42);
  std::vector<int32_t> first;
  for (int i = 0; i < 1000; ++i) first.push_back(rand15());
  rand_seed(42);
  for (int i = 0; i < 1000; ++i) {
    const int32_t r = rand15();
    ASSERT_EQ(r, first[static_cast<size_t>(i)]);
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 32767);
  }
  rand_seed(43);
  int same = 0;
  for (int i = 0; i < 1000; ++i) same += rand15() == first[static_cast<size_t>(i)];
  EXPECT_LT(same, 10);
}

TEST(RandomTest, FixedSeedMakesEveryStageStartAlike) {
  rand_set_fixed_seed(7);
  rand_seed_stage();
  const int32_t a = rand15();
  rand15();
  rand_seed_stage();
  EXPECT_EQ(rand15(), a);
  rand_clear_fixed_seed();
}

TEST(RandomTest, IndicesReachEveryRowOfLargeRangesEvenly) {
  // A 15-bit draw scaled to n leaves most of 0..n-1 unreachable once n > 32768.
  rand_seed(3);
  const int32_t n = 40000;
  std::vector<int32_t> hits(n, 0);
  for (int i = 0; i < 40 * n; ++i) {
    const int32_t k = rand_index(n);
    ASSERT_GE(k, 0);
    ASSERT_LT(k, n);
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

  // At n = 10000 a scaled 15-bit draw favours some indices by a third; here each residue class
  // of 3 gets its third.
  int64_t by_residue[3] = {0, 0, 0};
  for (int i = 0; i < 300000; ++i) ++by_residue[rand_index(10000) % 3];
  for (int64_t count : by_residue) EXPECT_NEAR(count / 300000.0, 1.0 / 3.0, 0.006);
  EXPECT_EQ(rand_index(1), 0);
}

}  // namespace
