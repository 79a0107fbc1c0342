#include "driver/preflight.h"

#include "test_support.h"

// A slip of a character or two, or a property put under the wrong stage, finds the property meant;
// a name far from every property finds none rather than a random one.
TEST(PreflightTest, UnknownPropertiesSuggestOnlyANearName) {
  const std::pair<const char*, const char*> cases[] = {
      {"process.nmov", "process.nmovs"},
      {"process.autotuning", "process.autotunning"},
      {"postprocess.expand.minimum-cells-in-basin", "postprocess.expand.minimim-cells-in-basin"},
      {"process.convert-area", "preprocess.convert-area"},
      {"maps.potential-map-weights", "maps.potential-maps-weight"},
      {"process.seed", ""},
      {"author", ""},
  };
  for (const auto& [path, nearest] : cases)
    EXPECT_EQ(nearest_known_property(path), nearest) << path;
}
