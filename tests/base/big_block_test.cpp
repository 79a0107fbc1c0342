// Large blocks come mapped rather than from the heap; they must still be zeroed, whole and
// aligned for huge pages, and a size whose byte count overflows gives no block at all.
#include "base/big_block.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(BigBlockTest, LargeBlocksAreZeroedWholeAndHugePageAligned) {
  const size_t n = (size_t{9} << 20) / sizeof(float) + 3;  // past the mapped threshold, odd tail
  BlockArray<float> block = block_array<float>(n);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % (size_t{2} << 20), 0u);
  EXPECT_EQ(block[0], 0.0f);
  EXPECT_EQ(block[n - 1], 0.0f);
  block[n - 1] = 1.0f;  // the last element is writable
  EXPECT_EQ(block_array<double>(SIZE_MAX / 4), nullptr);
}
