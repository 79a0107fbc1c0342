// Grid text on strings: the header reader and the cell rule, each case one string.
#include "raster/grid_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

TEST(GridTextTest, HeaderKeysInAnyCaseUntilTheFirstDataWord) {
  GridHeader h;
  size_t data = 0;
  const std::string text = "NCOLS 3.9\r\nnRoWs 2\ncellsize 1\ncellsize 2.5\tnodata_value nan\n7 8";
  EXPECT_EQ(grid_parse_header(text, &h, &data), "");
  EXPECT_EQ(
      (std::vector<double>{1.0 * h.geometry.ncols, 1.0 * h.geometry.nrows, h.geometry.cellsize}),
      (std::vector<double>{3, 2, 2.5}));
  EXPECT_TRUE(std::isnan(h.nodata_value));  // a common spelling of no data
  EXPECT_EQ(text.substr(data), "7 8");
  EXPECT_EQ(grid_parse_header("ncols 1e10\nnrows -3\n", &h, &data), "");
  EXPECT_EQ(h.geometry.ncols, 0);  // too large for a count: no grid
  EXPECT_EQ(h.geometry.nrows, -3);

  const std::pair<std::string, std::string> errors[] = {
      {"ncols two\n", "invalid header value 'two'"},
      {"cellsize nan\n", "invalid header value 'nan'"},  // a NaN size never matches itself
      {std::string(1024, 'w') + " 1\n", "header word too long"},
  };
  for (const auto& [bad, error] : errors) EXPECT_EQ(grid_parse_header(bad, &h, &data), error);
}

// No-data for the file's no-data value, NaN and values below -2 (counted); -2 itself is kept.
TEST(GridTextTest, CellsTakeTheNoDataRule) {
  const std::vector<std::pair<std::string, float>> cells = {
      {"255", CELL_NODATA}, {"nan", CELL_NODATA}, {"-2.5", CELL_NODATA}, {"-2", -2.0f},
      {"+7", 7.0f},         {"1.5e1", 15.0f},     {"0.1", 0.1f},         {"-0", -0.0f}};
  int64_t below = 0;
  std::string error;
  for (const auto& [word, expected] : cells) {
    float cell = 0.0f;
    EXPECT_TRUE(grid_parse_cell(word, 255.0f, &cell, &below, &error)) << word;
    EXPECT_EQ(cell, expected) << word;
  }
  EXPECT_EQ(below, 1);
  float cell = 0.0f;
  for (const auto& [word, message] :
       {std::pair<std::string, std::string>{"3.5abc", "invalid value '3.5abc'"},
        {"1e39", "value '1e39' out of range"},
        {std::string(130, '9'), "invalid value '" + std::string(40, '9') + "'"},
        {"-inf", "value '-inf' out of range"}}) {
    EXPECT_FALSE(grid_parse_cell(word, 255.0f, &cell, &below, &error)) << word;
    EXPECT_EQ(error, message);
  }
}

}  // namespace
