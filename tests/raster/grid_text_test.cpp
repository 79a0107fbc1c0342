// Grid text on strings: the header reader and the cell rule, each case one string.
#include "raster/grid_text.h"

#include "test_support.h"

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
  // A NaN size never matches itself.
  EXPECT_EQ(grid_parse_header("cellsize nan\n", &h, &data), "invalid header value 'nan'");
  EXPECT_EQ(grid_parse_header(std::string(1024, 'w') + " 1\n", &h, &data), "header word too long");
}

// A header value prints as "%f" unless that would not read back as the same double: then with the
// fewest digits that do (GDAL then sees the input's very geotransform).
TEST(GridTextTest, HeaderValuesReadBackAsTheSameDouble) {
  for (const auto& [value, text] : {std::pair<double, std::string>{2.5, "2.500000"},
                                    {-0.1, "-0.100000"},
                                    {9000000.5, "9000000.500000"},
                                    {4.997678230579, "4.997678230579"},
                                    {1e-18, "1e-18"},
                                    {0.1 + 0.2, "0.30000000000000004"}})
    EXPECT_EQ(grid_format_header_value(value), text) << value;
  std::mt19937_64 random(3);
  for (int i = 0; i < 1000; ++i) {
    const double value = std::ldexp(double(random() >> 11), int(random() % 80) - 90);
    EXPECT_EQ(std::strtod(grid_format_header_value(value).c_str(), nullptr), value) << value;
  }
}

// A word that is no float (':' follows the digits in ASCII) or beyond a float's range is refused,
// named (cut to 40 characters).
TEST(GridTextTest, CellWordsThatAreNoValueAreNamed) {
  float cell = 0.0f;
  int64_t below = 0;
  std::string error;
  for (const auto& [word, message] :
       {std::pair<std::string, std::string>{"1e39", "value '1e39' out of range"},
        {std::string(130, '9'), "invalid value '" + std::string(40, '9') + "'"},
        {"-inf", "value '-inf' out of range"},
        {"1:5", "invalid value '1:5'"}}) {
    EXPECT_FALSE(grid_parse_cell(word, 255.0f, &cell, &below, &error)) << word;
    EXPECT_EQ(error, message);
  }
}

// The cells of a text read word by word, the stretches' reference: a word past `room` is a value
// too many, unless it cannot be taken whole.
static GridCells plain_cells(const std::string& text, float nodata, std::vector<float>& cells,
                             size_t room) {
  GridCells r;
  std::string words = text;
  for (char& c : words) c = grid_is_blank(c) ? ' ' : c;
  size_t at = 0;
  while ((at = words.find_first_not_of(' ', at)) != std::string::npos) {
    const size_t end = std::min(words.find(' ', at), words.size());
    const std::string word = words.substr(at, end - at);
    at = end;
    if (word.size() > GRID_VALUE_MAX) return r.fault = GridCellFault::too_long, r;
    if (r.count == room) return r.fault = GridCellFault::beyond, r;
    float cell;
    if (!grid_parse_cell(word, nodata, &cell, &r.infinite, &r.error))
      return r.fault = GridCellFault::value, r;
    cells[r.count++] = cell;
    r.valid += cell >= 0.0f;
  }
  return r;
}

// Random texts of values, blanks of every kind, now and then a bad, over-long or surplus word, cut
// into 1 to 6 stretches: cells, counts and first fault are the plain reading's.
TEST(GridTextTest, CellsParsedInStretchesAreThoseReadWordByWord) {
  const char* const values[] = {"12.5", "-3", "nan", "1e5", "-1e30", "0", "255", "+7", "-0.25"};
  const char* const blanks[] = {" ", "\n", "\r\n", "\t", "  ", "\v"};
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    const size_t words = random() % 40;
    std::string text = random() % 2 ? blanks[random() % 6] : "";
    for (size_t i = 0; i < words; ++i) {
      const uint32_t kind = random() % 60;
      text += kind == 0   ? "3.5abc"
              : kind == 1 ? std::string(GRID_VALUE_MAX + 1, '1')
              : kind == 2 ? std::string(GRID_VALUE_MAX, '1')
                          : values[random() % 9];
      text += blanks[random() % 6];
    }
    if (!text.empty() && random() % 3 == 0) text.pop_back();
    const size_t room = random() % 3 == 0 ? words - std::min<size_t>(words, random() % 3) : 40;
    std::vector<float> expected(room, 99.0f);
    const GridCells plain = plain_cells(text, 255.0f, expected, room);
    for (int parts = 1; parts <= 6; ++parts) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", parts " + std::to_string(parts));
      std::vector<float> cells(room, 99.0f);
      const GridCells got = grid_parse_cells(text, 255.0f, cells.data(), room, parts);
      ASSERT_EQ(std::tie(got.fault, got.error, got.count),
                std::tie(plain.fault, plain.error, plain.count));
      if (plain.fault != GridCellFault::none) continue;
      ASSERT_EQ(std::vector<float>(cells.begin(), cells.begin() + long(got.count)),
                std::vector<float>(expected.begin(), expected.begin() + long(plain.count)));
      ASSERT_EQ(std::tie(got.valid, got.infinite), std::tie(plain.valid, plain.infinite));
    }
  }
}
