// The bundled example run with the same seed on its ASCII grids and on the same grids as GeoTIFF
// (made by GDAL) with GeoTIFF outputs: the transcript and every file agree, and the coordinate
// system of the first potential map reaches every output.
#include "cli/cli_support.h"
#include "gdal_support.h"

namespace {

namespace fs = std::filesystem;

const std::string EXAMPLE = std::string(LANDALLOC_SOURCE_DIR) + "/examples/demo";

std::string replaced_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// The short example in `dir` (its maps laid out by the caller), extension `ext` for every grid it
// reads and `output_ext` for the four it writes.
RunResult run_example(const CliDir& dir, const std::string& ext, const std::string& output_ext) {
  write_short_example(dir, false);
  std::string config = replaced_all(dir.read("config.json"), ".asc\"", ext + "\"");
  config = replaced_all(config, "process" + ext, "process" + output_ext);
  dir.write("config.json", replaced_all(config, "mask" + ext, "mask" + output_ext));
  return run_landalloc({"--seed=5", "config.json"}, dir.dir());
}

#ifdef LANDALLOC_GDAL

TEST(GeoTiffCliTest, GeoTiffInputsAndOutputsGiveTheSameRunAsAscii) {
  CliDir asc, tif;
  for (const CliDir* dir : {&asc, &tif}) fs::create_directory(dir->path("maps"));
  asc.write("maps/terrain_suitability.prj", PRJ_UTM32);
  for (const auto& entry : fs::directory_iterator(EXAMPLE + "/maps")) {
    const std::string name = entry.path().stem().string();
    fs::create_symlink(entry.path(), asc.path("maps/" + name + ".asc"));
    gdal_to_geotiff(asc.path("maps/" + name + ".asc"), tif.path("maps/" + name + ".tif"));
  }
  const RunResult from_asc = run_example(asc, ".asc", ".asc");
  const RunResult from_tif = run_example(tif, ".tif", ".tif");
  ASSERT_EQ(from_asc.code, 0) << from_asc.out;
  EXPECT_EQ(replaced_all(from_tif.out, ".tif", ".asc"), from_asc.out);
  EXPECT_EQ(from_tif.code, 0);

  // Every file has its counterpart, a GeoTIFF in place of each ASCII output, its coordinate system
  // inside rather than in a `.prj`; the ASCII run's `.prj` files bring the first map's bytes.
  std::vector<std::string> expected;
  for (const std::string& name : file_names(asc.path("out"))) {
    const bool debug = name.find(".debug.") != std::string::npos, prj = ends_with(name, ".prj");
    EXPECT_TRUE(!prj || asc.read("out/" + name) == PRJ_UTM32) << name;
    if (debug) expected.push_back(replaced_all(name, ".asc.", ".tif."));
    if (!debug && !prj) expected.push_back(replaced_all(name, ".asc", ".tif"));
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(file_names(tif.path("out")), expected);
  const GdalRaster input = gdal_read(tif.path("maps/terrain_suitability.tif"));
  for (const std::string& name : expected) {
    SCOPED_TRACE(name);
    const std::string path = "out/" + name, twin = replaced_all(path, ".tif", ".asc");
    if (ends_with(name, ".prj")) {
      EXPECT_TRUE(gdal_same_crs(tif.read(path), PRJ_UTM32));
    } else if (!ends_with(name, ".tif")) {
      // The table measures the same plan, in hectares too, as the grids are in UTM metres.
      EXPECT_EQ(without_seconds(tif.read(path)), without_seconds(asc.read(twin)));
      EXPECT_FALSE(ends_with(name, ".csv") && tif.read(path).find(",,") != std::string::npos);
    } else {
      const GdalRaster written = gdal_read(tif.path(path));
      EXPECT_EQ(written.cells, gdal_read(asc.path(twin)).cells);
      EXPECT_EQ(written.transform, input.transform);
      EXPECT_TRUE(gdal_same_crs(written.wkt, input.wkt));
      EXPECT_EQ(written.nodata, -999.0);
    }
  }
}

#else

TEST(GeoTiffCliTest, GeoTiffInputsAndOutputsGiveTheSameRunAsAscii) {
  GTEST_SKIP() << "built without GDAL: no GeoTIFF support to test";
}

// The outputs are checked before the first stage runs: no work is lost.
TEST(GeoTiffCliTest, WithoutGdalAGeoTiffOutputStopsTheRunBeforeAnyStage) {
  CliDir dir;
  fs::create_directory_symlink(EXAMPLE + "/maps", dir.path("maps"));
  const RunResult r = run_example(dir, ".asc", ".tif");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("error: unable to write file 'out/preprocess.tif': built without GeoTIFF "
                       "support!\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("PREPROCESS begin"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(dir.path("out")));
}

#endif

}  // namespace
