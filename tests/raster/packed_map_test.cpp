// Packed maps give back every cell bit for bit: in one byte per cell up to 256 distinct values
// (no data, -0 and NaN among them), as floats from the 257th on.
#include "raster/packed_map.h"

#include "test_support.h"

TEST(PackedMapTest, CellsComeBackBitForBit) {
  for (const int distinct : {1, 255, 256, 257, 1000}) {
    std::vector<float> cells;
    for (int i = 0; i < 3 * distinct; ++i) cells.push_back(float(i * 7 % distinct) - 2.0f);
    cells[0] = -0.0f;
    cells.back() = std::nanf("");
    PackedMap packed(cells);
    ASSERT_EQ(packed.size(), cells.size());
    const std::vector<float> back = packed.unpack();
    EXPECT_EQ(std::memcmp(back.data(), cells.data(), cells.size() * sizeof(float)), 0) << distinct;
    for (size_t i = 0; i < cells.size(); i += 97) {
      const float one = packed[i];
      EXPECT_EQ(std::memcmp(&one, &cells[i], sizeof(float)), 0) << i;
    }
  }
  EXPECT_TRUE(PackedMap().unpack().empty());
}
