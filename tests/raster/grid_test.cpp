#include "raster/grid.h"

#include "test_support.h"

TEST(GridTest, ReadsOddLayoutsAndStopsOnDamagedFilesNamingThem) {
  TempDir dir;
  // Keys in any case and order, CRLF, tabs, exponents; NaN is never a cell value. Behind blanks
  // that fill the reader's 64 KiB buffer but for three bytes, the first key is cut and read whole.
  const std::string odd =
      "CELLSIZE 2.5\r\nnRoWs 2 \r\nNCOLS 3.9\r\n XllCorner 10\r\nyllcorner\t-4\r\n"
      "NODATA_value -500\r\n  1.5e1\t-500 \r\nnan -3.5\r\n-1e30  +7 \r\n";
  MapBlock maps;
  for (const std::string& file :
       {dir.write("odd.asc", odd), dir.write("cut.asc", std::string((1 << 16) - 3, ' ') + odd)}) {
    maps = maps_for(file);
    const GridGeometry& g = maps.geometry;
    EXPECT_EQ(
        (std::vector<double>{1.0 * g.ncols, 1.0 * g.nrows, g.xllcorner, g.yllcorner, g.cellsize}),
        (std::vector<double>{3, 2, 10, -4, 2.5}));
    const FatalResult r = run_capturing([&] { EXPECT_EQ(grid_read(file.c_str(), maps, 1), 2); });
    EXPECT_EQ(r.log, "* read '" + file + "'\n  found 2 -infinite values!\n");
    EXPECT_EQ(get_map(maps, 1), (std::vector<float>{15.0f, -1.0f, -1.0f, -1.0f, -1.0f, 7.0f}));
  }

  const std::string h = "ncols 2\nnrows 2\nxllcorner 5\nyllcorner 9000000\ncellsize 1\n",
                    geo = dir.write("geo.asc", h), missing = dir.path("none");
  maps = maps_for(geo);
  const std::pair<std::string, std::string> cases[] = {
      {h + "1 2 3\n", "missing values in file '%s' (3 of 4)!\n"},
      {h, "missing values in file '%s' (0 of 4)!\n"},
      {h + "1 2 3.5abc 4\n", "invalid value '3.5abc' in file '%s'!\n"},
      {h + "1 2 3 4 5\n", "more values than 2 rows of 2 columns in file '%s'!\n"},
      {h + "1 2\n3 4\n#\n", "more values than 2 rows of 2 columns in file '%s'!\n"},
      {"ncols 2\nnrows 2\nxllcenter 5\ncellsize 1\n1 2 3 4\n",
       "incompatible (header) file '%s'!\n  xllcorner is 4.5 in '%s' but 5 in '" + geo + "'\n"},
      {"ncols 2\nnrows 2\nxllcorner 5\ncellsize 2\n1 2 3 4\n",
       "incompatible (header) file '%s'!\n  cellsize is 2 in '%s' but 1 in '" + geo + "'\n"},
      // Half a cell apart, where a 32-bit float sees one place.
      {"ncols 2\nnrows 2\nxllcorner 5\nyllcorner 9000000.5\ncellsize 1\n1 2 3 4\n",
       "incompatible (header) file '%s'!\n  yllcorner is 9000000.5 in '%s' but 9000000 in '" + geo +
           "'\n"},
      {"ncols two\nnrows 2\n1 2 3 4\n", "invalid header value 'two' in file '%s'!\n"},
      {"ncols 2\nnrows 2\ncellsize " + std::string(130, '1') + "\n1 2 3 4\n",
       "invalid header value '" + std::string(40, '1') + "' in file '%s'!\n"},
      {std::string(70000, '7') + " 1\n", "value too long in file '%s'!\n"},
      {"", "unable to open file '%s'!\n"},
  };
  for (const auto& [text, error] : cases) {
    const std::string bad = text.empty() ? missing : dir.write("bad.asc", text);
    EXPECT_EQ(outcome([&] { grid_read(bad.c_str(), maps, 0); }),
              naming("1* read '%s'\nerror: " + error, bad));
  }
  // Any no-data value is no data, also one that would be a valid cell value; a folder opens for
  // reading but gives no text.
  for (const std::string nodata : {"255", "0", "9999", "-2"}) {
    const std::string nd = dir.write("nd.asc", h + "NODATA_value " + nodata + "\n255 0 9999 -2\n");
    run_capturing([&] { grid_read(nd.c_str(), maps, 0); });
    std::vector<float> expected = {255, 0, 9999, -2};
    std::replace(expected.begin(), expected.end(), std::stof(nodata), -1.0f);
    EXPECT_EQ(get_map(maps, 0), expected) << nodata;
  }
  EXPECT_EQ(outcome([&] { grid_read(dir.dir().c_str(), maps, 0); }),
            naming("1* read '%s'\nerror: unable to read file '%s'!\n", dir.dir()));
  const std::string x = missing + "/x";
  EXPECT_EQ(outcome([&] { grid_write(x.c_str(), maps, 0); }),
            naming("1* write '%s'\nerror: unable to open file '%s'!\n", x));
  // An origin given as a centre, one of 0 too, is written back so; no data is written as -999.
  maps = maps_for(dir.write("c.asc", "ncols 2\nnrows 1\nxllcenter 0\nyllcenter 5.5\ncellsize 2\n"));
  set_map(maps, 0, {CELL_NODATA, 4});
  run_capturing([&] { grid_write(dir.path("out.asc").c_str(), maps, 0); });
  EXPECT_EQ(dir.read("out.asc"),
            "ncols        2\nnrows        1\nxllcenter    0.000000\nyllcenter    5.500000\n"
            "cellsize     2.000000\nnodata_value -999\n-999 4\n");
}

// A file of several blocks, cut between and inside words, parsed in stretches: the cells in order,
// and the first fault as a reading word by word names it.
TEST(GridTest, LargeFilesReadInBlocksGiveTheCellsAndTheFirstFault) {
  TempDir dir;
  const int side = 700;  // 3.4 MB of values
  const std::string h = "ncols 700\nnrows 700\ncellsize 1\nnodata_value -9\n";
  MapBlock maps = maps_for(dir.write("geo.asc", h));
  std::vector<std::string> words;
  std::vector<float> expected;
  for (int i = 0; i < side * side; ++i) {
    char word[16];
    std::snprintf(word, sizeof word, "%d.%d", i * 7 % 100000, i % 10);
    words.push_back(i % 1001 == 5 ? "-9" : word);
    expected.push_back(i % 1001 == 5 ? CELL_NODATA : std::strtof(word, nullptr));
  }
  const auto text = [&](const std::vector<std::string>& cells) {
    std::string t = h;
    for (size_t i = 0; i < cells.size(); ++i) t += cells[i] + (i % 700 == 699 ? "\n" : " ");
    return t;
  };
  const std::string good = dir.write("good.asc", text(words));
  EXPECT_EQ(outcome([&] { grid_read(good.c_str(), maps, 0); }), "0* read '" + good + "'\n");
  const std::vector<float> read = get_map(maps, 0);
  const auto wrong = std::mismatch(read.begin(), read.end(), expected.begin());
  EXPECT_EQ(wrong.first - read.begin(), long(read.size()));

  std::vector<std::string> bad = words;
  bad[side * side - 5] = "1x", bad[side * side - 2] = "2x";
  std::vector<std::string> shorter(words.begin(), words.end() - 3), longer = words;
  longer.push_back("3x");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {bad, "invalid value '1x' in file '%s'"},
      {shorter, "missing values in file '%s' (489997 of 490000)"},
      {longer, "more values than 700 rows of 700 columns in file '%s'"},
  };
  for (const auto& [cells, error] : cases) {
    const std::string file = dir.write("bad.asc", text(cells));
    EXPECT_EQ(outcome([&] { grid_read(file.c_str(), maps, 0); }),
              naming("1* read '%s'\nerror: " + error + "!\n", file));
  }
}

TEST(GridTest, SizesTooLargeToHoldOrOfNoGridAreRefusedAndLargeOnesCountedExactly) {
  // rows x cols x 5 wraps in 64 bits to a block of 4 cells; the second overflows a signed product.
  const int32_t sizes[][3] = {{1718039348, 2147418113, 5}, {INT32_MAX, INT32_MAX, 8}};
  GridGeometry geometry;
  for (const auto& size : sizes) {
    geometry.nrows = size[0], geometry.ncols = size[1];
    EXPECT_EQ(
        outcome([&] { maps_allocate(geometry, size[2]); }),
        "1* allocate " + std::to_string(size[2]) + " memory maps\nerror: not enough memory!\n");
  }
  geometry.nrows = 0, geometry.ncols = 2;  // columns without rows are no grid either
  EXPECT_EQ(outcome([&] { maps_allocate(geometry, 1); }),
            "1* allocate 1 memory maps\nerror: geometry still uninitiallized!\n");
  // Past 2^31 cells and 2^32 in a block, any count held in 32 bits would wrap. Nothing is
  // allocated; bytes that cannot be addressed are no size.
  geometry.nrows = geometry.ncols = 50000;
  EXPECT_EQ(geometry_cell_count(geometry), 2500000000u);
  EXPECT_EQ(cell_index(geometry, 49999, 49999), 2499999999u);
  EXPECT_EQ(maps_block_cells(geometry, 8), 20000000000u);
  geometry.nrows = geometry.ncols = INT32_MAX;
  EXPECT_EQ(maps_block_cells(geometry, 1), 0u);
}

TEST(GridTest, ValuesAreWrittenAsPercentGWritesWhereThatReadsBack) {
  TempDir dir;
  MapBlock maps = maps_for(dir.write("geo.asc", "ncols 9000\nnrows 1\ncellsize 1\n"));
  std::mt19937 gen(20261206);
  std::string expected =
      "ncols        9000\nnrows        1\nxllcorner    0.000000\nyllcorner    0.000000\n"
      "cellsize     1.000000\nnodata_value -999";
  for (size_t i = 0; i < maps.cell_count(); ++i) {
    // Any bit pattern, decimals just below a power of ten (%g rounds them up), codes %g merges.
    float v = static_cast<float>(std::pow(10.0, int(i % 13) - 5) * 0.9999996);
    const uint32_t bits = static_cast<uint32_t>(gen());
    if (i % 2 == 0) std::memcpy(&v, &bits, sizeof v);
    if (i % 13 == 4) v = 1e6f + static_cast<float>(i);
    maps.map(0)[i] = v = std::isfinite(v) && v != -1.0f ? v : 0.5f;  // -1 is the no-data value
    char text[64];
    for (int digits = 6; digits == 6 || std::strtof(text + 1, nullptr) != v; ++digits)
      std::snprintf(text, sizeof text, i == 0 ? "\n%.*g" : " %.*g", digits, double(v));
    expected += text;
  }
  run_capturing([&] { grid_write(dir.path("out.asc").c_str(), maps, 0); });
  EXPECT_EQ(dir.read("out.asc"), expected + "\n");
  run_capturing([&] { grid_read(dir.path("out.asc").c_str(), maps, 1); });
  std::vector<float> read_back = get_map(maps, 0);
  for (float& v : read_back) v = v < CELL_MASKED ? CELL_NODATA : v;  // the reader's rule
  EXPECT_EQ(get_map(maps, 1), read_back);
}
