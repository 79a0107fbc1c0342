#include "base/random.h"

#include "test_support.h"

TEST(RandomTest, IndicesCoverRangesAbove32768Evenly) {
  // A 15-bit draw scaled to n leaves most of 0..n-1 unreachable once n > 32768.
  Rng rng;
  rand_seed(rng, 3);
  const int32_t n = 40000;
  std::vector<int32_t> hits(n, 0);
  for (int i = 0; i < 40 * n; ++i) ++hits.at(static_cast<size_t>(rand_index(rng, n)));
  int32_t missed = 0, low_half = 0;
  for (size_t k = 0; k < size_t(n); ++k) {
    missed += hits[k] == 0;  // with 40 hits expected, e^-40 each
    if (k < size_t(n) / 2) low_half += hits[k];
  }
  EXPECT_EQ(missed, 0);
  EXPECT_NEAR(low_half / (40.0 * n), 0.5, 0.005);
}

TEST(RandomTest, WideIndicesKeepTheNarrowDrawsAndReachPast32Bits) {
  // Below 2^31 a cell count draws as rand_index does, so seeded runs do not change with the type.
  Rng narrow, wide;
  rand_seed(narrow, 11);
  rand_seed(wide, 11);
  for (int32_t n : {1, 2, 1000, INT32_MAX}) {
    for (int i = 0; i < 100; ++i) ASSERT_EQ(rand_index64(wide, n), rand_index(narrow, n)) << n;
  }
  // Beyond 2^32 a quarter of the range lies above what 32 bits hold.
  const int64_t n = 5000000011;
  int64_t above = 0;
  for (int i = 0; i < 1000; ++i) {
    const int64_t k = rand_index64(wide, n);
    ASSERT_TRUE(k >= 0 && k < n) << k;
    above += k > int64_t{UINT32_MAX};
  }
  EXPECT_NEAR(above / 1000.0, (n - 4294967296.0) / n, 0.05);
}
