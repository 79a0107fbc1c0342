// Large blocks come mapped rather than from the heap; they must still be zeroed, whole and aligned
// for huge pages, and a byte count that overflows gives no block. A range given back reads as zero
// in a mapped block as in a small one from the heap; the cells around keep their values.
#include "base/big_block.h"

#include <unistd.h>

#include "test_support.h"

TEST(BigBlockTest, LargeBlocksAreZeroedWholeAndHugePageAligned) {
  const size_t n = (size_t{9} << 20) / sizeof(float) + 3;  // past the mapped threshold, odd tail
  BlockArray<float> block = block_array<float>(n);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % (size_t{2} << 20), 0u);
  EXPECT_EQ(block[0], 0.0f);
  EXPECT_EQ(block[n - 1], 0.0f);
  block[n - 1] = 1.0f;  // the last element is writable
  EXPECT_EQ(block_array<double>(SIZE_MAX / 4), nullptr);
  std::fill(block.get(), block.get() + n, 2.0f);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)) / sizeof(float), first = page / 2;
  block_discard(block.get(), block.get_deleter().bytes, &block[first],
                (n - 2 * first) * sizeof(float));
  EXPECT_EQ(block[first - 1] + block[n - first], 4.0f);
  EXPECT_EQ(block[first] + block[page - 1] + block[page] + block[n / 2] + block[n - first - 1],
            0.0f);
  BlockArray<float> small = block_array<float>(100);
  std::fill(small.get(), small.get() + 100, 2.0f);
  block_discard(small.get(), small.get_deleter().bytes, &small[10], 10 * sizeof(float));
  EXPECT_EQ(small[9] + small[20], 4.0f);
  EXPECT_EQ(small[10] + small[19], 0.0f);
}
