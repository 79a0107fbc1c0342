#include "scenario/map_style.h"

#include "raster/geometry.h"
#include "test_support.h"

// The lines of `text` that hold `tag`, in order.
static std::string lines_with(const std::string& text, const std::string& tag) {
  std::string found;
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    const size_t start = text.rfind('\n', at) + 1;
    found += text.substr(start, text.find('\n', at) - start) + "\n";
  }
  return found;
}

// A solution map's categories are the codes it holds, no data not drawn, the largest code the new
// allocation, other positive codes existing uses. The sidecar takes the map's stem, whatever its
// extension; a frequency ramp ends at the number of runs.
TEST(MapStyleTest, CategoriesAreTheCodesOfTheMapAndTheRampEndsAtTheRuns) {
  TempDir dir;
  const std::vector<float> cells = {CELL_NODATA, 3, 3, CELL_MASKED, 0, 2, 0, 7, 3};
  style_write_solution(dir.path("out.tif"), cells.data(), cells.size());
  EXPECT_EQ(style_sidecar_path(dir.path("out.tif")), dir.path("out.qml"));
  EXPECT_EQ(style_sidecar_path("out.d/run"), "out.d/run.qml");
  EXPECT_EQ(
      lines_with(dir.read("out.qml"), "paletteEntry"),
      "        <paletteEntry value=\"-2\" color=\"#9e9e9e\" alpha=\"255\" label=\"excluded\"/>\n"
      "        <paletteEntry value=\"0\" color=\"#f5f0e1\" alpha=\"255\" label=\"free\"/>\n"
      "        <paletteEntry value=\"2\" color=\"#7b3294\" alpha=\"255\" "
      "label=\"existing use 2\"/>\n"
      "        <paletteEntry value=\"3\" color=\"#c2a5cf\" alpha=\"255\" "
      "label=\"existing use 3\"/>\n"
      "        <paletteEntry value=\"7\" color=\"#d7191c\" alpha=\"255\" "
      "label=\"new allocation\"/>\n");

  style_write_frequency(dir.path("out.frequency.asc"), 6);
  const std::string ramp = dir.read("out.frequency.qml");
  EXPECT_NE(ramp.find("maximumValue=\"6\""), std::string::npos);
  const std::string values = lines_with(ramp, "<item ");
  EXPECT_NE(values.find("value=\"1.5\""), std::string::npos);
  EXPECT_EQ(values.rfind("value=\"6\""), values.rfind("value=\""));
}
