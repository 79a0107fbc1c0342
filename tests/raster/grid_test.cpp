#include "raster/grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

class GridTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Takes the geometry from `file` through the configuration, as a stage does; returns the log.
  std::string init_from(const std::string& file) {
    load_config("{\"maps\": {\"potential-maps\": [[\"" + file + "\"]]}}");
    const std::string log = run_capturing([] { grid_init_geometry(); }).log;
    LogCapture quiet;
    maps_allocate(2);
    return log;
  }

  TempDir dir;
};

TEST_F(GridTest, ReadsAnyLayoutAndMapsNoDataAndNegativeInfinity) {
  // Keys in any case and order; values on lines of any length, CRLF, tabs, blanks, exponents;
  // NaN never becomes a cell value.
  const std::string file =
      dir.write("odd.asc",
                "CELLSIZE 2.5\r\nnRoWs 2 \r\nNCOLS 3.9\r\n XllCorner 10\r\nyllcorner\t-4\r\n"
                "NODATA_value -500\r\n  1.5e1\t-500 \r\nnan -3.5\r\n-inf  +7 \r\n");
  EXPECT_EQ(init_from(file), "* init geo using '" + file + "'\n");
  const auto& g = grid_geometry;
  EXPECT_EQ(
      (std::vector<double>{1.0 * g.ncols, 1.0 * g.nrows, g.xllcorner, g.yllcorner, g.cellsize}),
      (std::vector<double>{3, 2, 10, -4, 2.5}));
  FatalResult r = run_capturing([&] { EXPECT_EQ(grid_read(file.c_str(), 1), 2); });
  EXPECT_EQ(r.log, "* read '" + file + "'\n  found 2 -infinite values!\n");
  EXPECT_EQ(get_map(1), (std::vector<float>{15.0f, -1.0f, -1.0f, -1.0f, -1.0f, 7.0f}));
}

TEST_F(GridTest, DamagedFilesAreErrorsNamingTheFile) {
  init_from(dir.write("geo.asc", "ncols 2\nnrows 2\nxllcorner 5\ncellsize 1\n0 0 0 0\n"));
  const std::string h = "ncols 2\nnrows 2\nxllcorner 5\ncellsize 1\n";
  const std::string missing = dir.path("none.asc");
  const std::pair<std::string, std::string> cases[] = {
      {h + "1 2 3\n", "error: missing values in file '%s' (3 of 4)!\n"},
      {h + "1 2 x3 4\n", "error: invalid value 'x3' in file '%s'!\n"},
      {h + "1 2 3.5abc 4\n", "error: invalid value '3.5abc' in file '%s'!\n"},
      {"ncols 2\nnrows 2\nxllcenter 5\ncellsize 1\n1 2 3 4\n",
       "error: incompatible (header) file '%s'!\n"},
      {"ncols 2\nnrows 2\nxllcorner 5\ncellsize 1.0001\n1 2 3 4\n",
       "error: incompatible (header) file '%s'!\n"},
      {"ncols two\nnrows 2\n1 2 3 4\n", "error: invalid header value 'two' in file '%s'!\n"},
      {std::string(2000, 'w') + " 1\n", "error: header word too long in file '%s'!\n"},
      {"", "error: unable to open file '%s'!\n"},
  };
  for (auto [text, error] : cases) {
    const std::string file = text.empty() ? missing : dir.write("bad.asc", text);
    error.replace(error.find("%s"), 2, file);
    const FatalResult r = run_capturing([&] { grid_read(file.c_str(), 0); });
    EXPECT_EQ(r.code, 1) << error;
    EXPECT_EQ(r.log, "* read '" + file + "'\n" + error);
  }
  // A failed write names the file.
  const std::string x = missing + "/x";
  EXPECT_EQ(run_capturing([&] { grid_write(x.c_str(), 0); }).log,
            "* write '" + x + "'\nerror: unable to open file '" + x + "'!\n");
}

TEST_F(GridTest, ValueTextMatchesPercentGForManyValues) {
  const int ncols = 10000;
  init_from(dir.write("geo.asc", "ncols 10000\nnrows 1\ncellsize 1\n"));
  std::mt19937 gen(20261206);
  std::uniform_real_distribution<double> exponent(-7.0, 8.0);
  std::vector<float> values(ncols);
  std::string expected =
      "ncols        10000\nnrows        1\ncellsize     1.000000\nnodata_value -999";
  for (int i = 0; i < ncols; ++i) {
    // Decimal-looking values near rounding boundaries, any finite bit pattern, and values that
    // round up to the next power of ten.
    const uint32_t b = static_cast<uint32_t>(gen());
    float v = static_cast<float>(std::round(std::pow(10.0, exponent(gen)) * 1e6) / 1e6);
    if (i % 3 == 1) std::memcpy(&v, &b, sizeof v);
    if (i % 3 == 2 || !std::isfinite(v))
      v = static_cast<float>(std::pow(10.0, i % 13 - 5) * 0.9999996);
    if (gen() % 2 == 0 && v != 1.0f) v = -v;  // -1 is the no-data value
    values[static_cast<size_t>(i)] = v;
    char text[64];
    std::snprintf(text, sizeof text, i == 0 ? "\n%g" : " %g", static_cast<double>(v));
    expected += text;
  }
  set_map(0, values);
  LogCapture quiet;
  grid_write(dir.path("out.asc").c_str(), 0);
  EXPECT_EQ(dir.read("out.asc"), expected + "\n");
}

TEST_F(GridTest, RealFilesRoundTripWithTheirGeoreference) {
  // No-data counts as documented with the files.
  for (const auto& [name, nodata_cells, origin_line] :
       {std::tuple{"mtsthelens_pre_runout_dem_80x122.asc", 122, "xllcorner    361015.595631\n"},
        std::tuple{"tirol_avagar_dem_xllcenter_520x387.asc", 82888,
                   "xllcenter    247323.244194\n"}}) {
    const std::string in = std::string(LANDALLOC_TEST_DATA) + "/" + name;
    reset_process_state();
    init_from(in);
    LogCapture quiet;
    const int32_t valid = grid_read(in.c_str(), 0);
    EXPECT_EQ(valid, static_cast<int32_t>(grid_cell_count()) - nodata_cells) << name;
    const std::string out = dir.path("copy.asc");
    EXPECT_EQ(grid_write(out.c_str(), 0), valid);
    EXPECT_NE(read_file(out).find(origin_line), std::string::npos) << name;
    EXPECT_EQ(grid_read(out.c_str(), 1), valid);
    for (size_t i = 0; i < grid_cell_count(); ++i) {
      // Written values keep the six significant digits of %g.
      char text[32];
      std::snprintf(text, sizeof text, "%g", static_cast<double>(map_cells(0)[i]));
      ASSERT_EQ(map_cells(1)[i], std::strtof(text, nullptr)) << name << " cell " << i;
    }
  }
}

}  // namespace
