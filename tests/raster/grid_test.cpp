#include "raster/grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "config/config.h"
#include "test_support.h"

namespace {

class GridTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Takes the geometry from `file` through the configuration, as a stage does.
  void init_from(const std::string& file) {
    load_config("{\"maps\": {\"potential-maps\": [[\"" + file + "\"]]}}");
    LogCapture quiet;
    grid_init_geometry();
    maps_allocate(2);
  }

  TempDir dir;
};

std::string data_file(const char* name) {
  return std::string(LANDALLOC_TEST_DATA) + "/" + name;
}

TEST_F(GridTest, HeaderKeysInAnyCaseAndOrderSetTheGeometry) {
  const std::string file =
      dir.write("a.asc",
                "CELLSIZE 2.5\nnRoWs 2\nNCOLS 3.9\nXllCorner 10\nyllcorner -4\nnodata_value 9\n"
                "1 2 3 4 5 6\n");
  load_config("{\"maps\": {\"potential-maps\": [[\"" + file + "\", \"other\"]]}}");
  FatalResult r = run_capturing([] { EXPECT_EQ(grid_init_geometry(), 1); });
  EXPECT_EQ(r.log, "* init geo using '" + file + "'\n");
  EXPECT_EQ(grid_geometry.ncols, 3);
  EXPECT_EQ(grid_geometry.nrows, 2);
  EXPECT_EQ(grid_geometry.xllcorner, 10.0);
  EXPECT_EQ(grid_geometry.yllcorner, -4.0);
  EXPECT_EQ(grid_geometry.cellsize, 2.5);

  // A second call reports the file again but keeps the geometry it has.
  load_config(R"({"maps": {"potential-maps": [["missing.asc"]]}})");
  r = run_capturing([] { grid_init_geometry(); });
  EXPECT_FALSE(r.fatal);
  EXPECT_EQ(r.log, "* init geo using 'missing.asc'\n");
  EXPECT_EQ(grid_geometry.ncols, 3);
}

TEST_F(GridTest, GeometryErrorsHaveTheirMessagesAndCodes) {
  struct Case {
    std::string json;
    int code;
    std::string log;
  };
  const std::string no_rows = dir.write("n.asc", "ncols 3\ncellsize 1\n1 2 3\n");
  const std::vector<Case> cases = {
      {R"({"x": 1})", 2, "error: property 'maps.potential-maps' not found in config json file!\n"},
      {R"({"maps": {"potential-maps": "a.asc"}})", 2,
       "error: incorrect type for property 'maps.potential-maps' (json array expected)!\n"},
      {R"({"maps": {"potential-maps": []}})", 1,
       "error: unable to init geometry from group 'maps.potential-maps'!\n"},
      {R"({"maps": {"potential-maps": [[], ["a.asc"]]}})", 1,
       "error: unable to init geometry from group 'maps.potential-maps'!\n"},
      {R"({"maps": {"potential-maps": [["/nonexistent/a.asc"]]}})", 1,
       "* init geo using '/nonexistent/a.asc'\nerror: unable to open file '/nonexistent/a.asc'!\n"},
      {"{\"maps\": {\"potential-maps\": [[\"" + no_rows + "\"]]}}", 1,
       "* init geo using '" + no_rows + "'\nerror: unable to init geometry from file '" + no_rows +
           "'!\n"},
  };
  for (const Case& c : cases) {
    reset_process_state();
    load_config(c.json);
    FatalResult r = run_capturing([] { grid_init_geometry(); });
    EXPECT_TRUE(r.fatal) << c.json;
    EXPECT_EQ(r.code, c.code) << c.json;
    EXPECT_EQ(r.log, c.log) << c.json;
  }
}

TEST_F(GridTest, AllocationNeedsAGeometryAndAFittingSize) {
  FatalResult r = run_capturing([] { maps_allocate(3); });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.log, "* allocate 3 memory maps\nerror: geometry still uninitiallized!\n");
  grid_geometry.nrows = 40000;
  grid_geometry.ncols = 20000;
  r = run_capturing([] { maps_allocate(3); });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.log, "* allocate 3 memory maps\nerror: not enough memory!\n");
}

TEST_F(GridTest, ReadsAnyLayoutAndMapsNoDataAndNegativeInfinity) {
  const std::string header = "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
  init_from(dir.write("geo.asc", header + "0 0 0 0 0 0\n"));
  // Values on lines of any length, CRLF, tabs, blanks at both ends, exponents.
  const std::string file =
      dir.write("odd.asc",
                "ncols 3\r\nnrows 2 \r\n xllcorner 0\r\nyllcorner\t0\r\ncellsize 1\r\n"
                "NODATA_value -500\r\n  1.5e1\t-500 \r\n-2 -3.5\r\n-inf  +7 \r\n");
  FatalResult r = run_capturing([&] { EXPECT_EQ(grid_read(file.c_str(), 1), 2); });
  EXPECT_EQ(r.log, "* read '" + file + "'\n  found 2 -infinite values!\n");
  EXPECT_EQ(get_map(1), (std::vector<float>{15.0f, -1.0f, -2.0f, -1.0f, -1.0f, 7.0f}));

  // Without a nodata_value line the no-data value is 0; NaN never becomes a cell value.
  const std::string zero = dir.write("zero.asc", header + "0 1 nan\n0.25 -1 inf\n");
  LogCapture quiet;
  EXPECT_EQ(grid_read(zero.c_str(), 0), 3);
  const std::vector<float> got = get_map(0);
  EXPECT_EQ(got, (std::vector<float>{-1.0f, 1.0f, -1.0f, 0.25f, -1.0f,
                                     std::numeric_limits<float>::infinity()}));
}

TEST_F(GridTest, ReadsDecimalTextExactlyAsTheCLibrary) {
  const int ncols = 5000;
  const std::string header = "ncols " + std::to_string(ncols) + "\nnrows 1\ncellsize 1\n";
  std::mt19937 gen(7);
  std::vector<std::string> words;
  std::string text = header;
  for (int i = 0; i < ncols; ++i) {
    std::string digits = std::to_string(gen() % 100000000);
    const size_t point = gen() % (digits.size() + 1);
    if (gen() % 4 != 0) digits.insert(point, ".");
    if (gen() % 2 == 0) digits = "-" + digits;
    if (i % 7 == 0) digits += "e" + std::to_string(static_cast<int>(gen() % 20) - 10);
    words.push_back(digits);
    text += digits + " ";
  }
  init_from(dir.write("geo.asc", header + text.substr(header.size())));
  LogCapture quiet;
  grid_read(dir.write("d.asc", text).c_str(), 0);
  for (int i = 0; i < ncols; ++i) {
    float expected = std::strtof(words[static_cast<size_t>(i)].c_str(), nullptr);
    if (expected < -2.0f || expected == 0.0f) expected = -1.0f;  // no nodata line: 0 is no data
    ASSERT_EQ(map_cells(0)[i], expected) << words[static_cast<size_t>(i)];
  }
}

TEST_F(GridTest, DamagedFilesAreErrorsNamingTheFile) {
  init_from(dir.write("geo.asc", "ncols 2\nnrows 2\nxllcorner 5\ncellsize 1\n0 0 0 0\n"));
  struct Case {
    std::string text;
    std::string error;
  };
  const std::string h = "ncols 2\nnrows 2\nxllcorner 5\ncellsize 1\n";
  const std::vector<Case> cases = {
      {h + "1 2 3\n", "error: missing values in file '%s' (3 of 4)!\n"},
      {h, "error: missing values in file '%s' (0 of 4)!\n"},
      {h + "1 2 x3 4\n", "error: invalid value 'x3' in file '%s'!\n"},
      {h + "1 2 3.5abc 4\n", "error: invalid value '3.5abc' in file '%s'!\n"},
      {"ncols 2\nnrows 2\nxllcenter 5\ncellsize 1\n1 2 3 4\n",
       "error: incompatible (header) file '%s'!\n"},
      {"ncols 2\nnrows 2\nxllcorner 5\ncellsize 1.0001\n1 2 3 4\n",
       "error: incompatible (header) file '%s'!\n"},
      {"ncols two\nnrows 2\n1 2 3 4\n", "error: invalid header value 'two' in file '%s'!\n"},
      {std::string(2000, 'w') + " 1\n", "error: header word too long in file '%s'!\n"},
  };
  for (const Case& c : cases) {
    const std::string file = dir.write("bad.asc", c.text);
    std::vector<char> expected(c.error.size() + file.size() + 1);
    std::snprintf(expected.data(), expected.size(), c.error.c_str(), file.c_str());
    FatalResult r = run_capturing([&] { grid_read(file.c_str(), 0); });
    EXPECT_EQ(r.code, 1) << c.text.substr(0, 60);
    EXPECT_EQ(r.log, "* read '" + file + "'\n" + expected.data()) << c.text.substr(0, 60);
  }
  FatalResult r = run_capturing([&] { grid_read(dir.path("none.asc").c_str(), 0); });
  EXPECT_EQ(r.log, "* read '" + dir.path("none.asc") + "'\nerror: unable to open file '" +
                       dir.path("none.asc") + "'!\n");
  const std::string long_name(1100, 'n');
  r = run_capturing([&] { grid_read(long_name.c_str(), 0); });
  EXPECT_EQ(r.code, 1);
}

TEST_F(GridTest, WritesTheHeaderAndValuesAsPrintfWould) {
  const std::string file =
      dir.write("geo.asc",
                "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 361015.59563119\ncellsize 10\n"
                "0 0 0 0 0 0\n");
  init_from(file);
  set_map(0, {0.5f, -1.0f, 2.0f, -2.0f, 1234567.0f, 0.0001f});
  const std::string out = dir.path("out.asc");
  FatalResult r = run_capturing([&] { EXPECT_EQ(grid_write(out.c_str(), 0), 4); });
  EXPECT_EQ(r.log, "* write '" + out + "'\n");
  EXPECT_EQ(read_file(out),
            "ncols        3\nnrows        2\nyllcorner    361015.595631\ncellsize     10.000000\n"
            "nodata_value -999\n0.5 -999 2\n-2 1.23457e+06 0.0001\n");

  // What was written reads back against the same geometry, -999 as no data.
  LogCapture quiet;
  EXPECT_EQ(grid_read(out.c_str(), 1), 4);
  EXPECT_EQ(get_map(1), (std::vector<float>{0.5f, -1.0f, 2.0f, -2.0f, 1234570.0f, 0.0001f}));
}

TEST_F(GridTest, ValueTextMatchesPercentGForManyValues) {
  // One row per batch; every value's text is compared with snprintf("%g").
  const int ncols = 1000;
  std::string header = "ncols " + std::to_string(ncols) + "\nnrows 1\ncellsize 1\n";
  std::string zeros;
  for (int i = 0; i < ncols; ++i) zeros += "0 ";
  init_from(dir.write("geo.asc", header + zeros));
  std::mt19937 gen(20261206);
  std::uniform_real_distribution<double> exponent(-7.0, 8.0);
  std::uniform_int_distribution<uint32_t> bits;
  const std::string out = dir.path("out.asc");
  for (int batch = 0; batch < 40; ++batch) {
    std::vector<float> values(ncols);
    for (int i = 0; i < ncols; ++i) {
      float v;
      switch (i % 4) {
        case 0:  // decimal-looking values near rounding boundaries
          v = static_cast<float>(std::round(std::pow(10.0, exponent(gen)) * 1e6) / 1e6);
          break;
        case 1:  // any finite bit pattern
          do {
            const uint32_t b = bits(gen);
            std::memcpy(&v, &b, sizeof v);
          } while (!std::isfinite(v));
          break;
        case 2:  // values that round up to the next power of ten
          v = static_cast<float>(std::pow(10.0, (i / 4) % 12 - 5) * 0.9999996);
          break;
        default:
          v = static_cast<float>(static_cast<int>(bits(gen) % 2000001) - 1000000);
      }
      if (gen() % 2 == 0) v = -v;
      if (v == -1.0f) v = 1.0f;
      values[static_cast<size_t>(i)] = v;
    }
    set_map(0, values);
    LogCapture quiet;
    grid_write(out.c_str(), 0);
    std::string expected =
        "ncols        1000\nnrows        1\ncellsize     1.000000\nnodata_value -999\n";
    char text[64];
    for (int i = 0; i < ncols; ++i) {
      std::snprintf(text, sizeof text, i == 0 ? "%g" : " %g",
                    static_cast<double>(values[static_cast<size_t>(i)]));
      expected += text;
    }
    ASSERT_EQ(read_file(out), expected + "\n") << "batch " << batch;
  }
}

TEST_F(GridTest, RealFilesRoundTripWithTheirGeoreference) {
  struct Case {
    const char* name;
    int32_t nodata_cells;
    const char* origin_line;
  };
  // No-data counts as documented with the files.
  const Case cases[] = {
      {"mtsthelens_pre_runout_dem_80x122.asc", 122, "xllcorner    361015.595631\n"},
      {"tirol_avagar_dem_xllcenter_520x387.asc", 82888, "xllcenter    247323.244194\n"},
  };
  for (const Case& c : cases) {
    reset_process_state();
    init_from(data_file(c.name));
    LogCapture quiet;
    const int32_t valid = grid_read(data_file(c.name).c_str(), 0);
    EXPECT_EQ(valid, static_cast<int32_t>(grid_cell_count()) - c.nodata_cells) << c.name;
    const std::string out = dir.path("copy.asc");
    EXPECT_EQ(grid_write(out.c_str(), 0), valid);
    EXPECT_NE(read_file(out).find(c.origin_line), std::string::npos) << c.name;
    EXPECT_EQ(grid_read(out.c_str(), 1), valid);
    for (size_t i = 0; i < grid_cell_count(); ++i) {
      // Written values keep the six significant digits of %g.
      char text[32];
      std::snprintf(text, sizeof text, "%g", static_cast<double>(map_cells(0)[i]));
      ASSERT_EQ(map_cells(1)[i], std::strtof(text, nullptr)) << c.name << " cell " << i;
    }
  }
  // The landslide polygon shares the DEM's header, so it reads against its geometry.
  reset_process_state();
  init_from(data_file("mtsthelens_pre_runout_dem_80x122.asc"));
  LogCapture quiet;
  EXPECT_EQ(grid_read(data_file("mtsthelens_landslide_polygon_80x122.asc").c_str(), 0), 30);
}

TEST_F(GridTest, FailedWriteKeepsThePreviousFile) {
  init_from(dir.write("geo.asc", "ncols 1\nnrows 1\ncellsize 1\n0\n"));
  const std::string out = dir.write("out.asc", "previous");
  FatalResult r = run_capturing([&] { grid_write((out + "/x").c_str(), 0); });
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.log, "* write '" + out + "/x'\nerror: unable to open file '" + out + "/x'!\n");
  EXPECT_EQ(read_file(out), "previous");
}

}  // namespace
