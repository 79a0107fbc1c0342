#include "raster/map_ops.h"

#include "test_support.h"

// Each operation reads and writes only the maps it names: the map after the last one it writes
// keeps its values, however the block is laid out.
TEST(MapOpsTest, OperationsStayWithinTheirMaps) {
  MapBlock maps = make_maps(1, 3, 3);
  const std::vector<float> after = {7, 7, 7};
  set_map(maps, 0, {2, -1, 4});
  set_map(maps, 2, after);
  LogCapture quiet;
  map_copy(maps, 0, 1);
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{2, -1, 4}));
  map_normalize(maps, 1);
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{0.5f, -1, 1}));
  map_fill(maps, 0, 1, 3.0f);
  EXPECT_EQ(get_map(maps, 1), (std::vector<float>{3, -1, 3}));
  EXPECT_EQ(map_max_value(maps, 0), 4.0f);
  EXPECT_EQ(get_map(maps, 2), after);
}
