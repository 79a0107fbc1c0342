#include "base/random.h"

#include "test_support.h"

TEST(RandomTest, WideIndicesKeepTheNarrowDrawsAndReachPast32Bits) {
  // Below 2^31 a cell count draws as rand_index does, so seeded runs do not change with the type.
  Rng narrow;
  rand_seed(narrow, 11);
  Rng wide = narrow;
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
