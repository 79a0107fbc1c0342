#include "base/random.h"

#include <gtest/gtest.h>

#include <vector>

TEST(RandomTest, IndicesCoverRangesAbove32768Evenly) {
  // A 15-bit draw scaled to n leaves most of 0..n-1 unreachable once n > 32768.
  Rng rng;
  rand_seed(rng, 3);
  const int32_t n = 40000;
  std::vector<int32_t> hits(n, 0);
  for (int i = 0; i < 40 * n; ++i) ++hits.at(static_cast<size_t>(rand_index(rng, n)));
  int32_t missed = 0, low_half = 0;
  for (int32_t k = 0; k < n; ++k) {
    missed += hits[static_cast<size_t>(k)] == 0;  // with 40 hits expected, e^-40 each
    if (k < n / 2) low_half += hits[static_cast<size_t>(k)];
  }
  EXPECT_EQ(missed, 0);
  EXPECT_NEAR(low_half / (40.0 * n), 0.5, 0.005);
}
