// Grids in other formats than Esri ASCII, and the coordinate system that goes with the outputs.
// The GeoTIFF files are made and read back with GDAL's own API (tests/gdal_support.h).
#include "raster/geotiff.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gdal_support.h"
#include "raster/crs.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string DATA = LANDALLOC_TEST_DATA;

// Reads `path` into map k; returns the log, and the number of valid cells in `valid`.
std::string read_logged(const std::string& path, MapBlock& maps, int k, int64_t* valid = nullptr) {
  return run_capturing([&] {
           const int64_t n = grid_read(path.c_str(), maps, k);
           if (valid != nullptr) *valid = n;
         })
      .log;
}

std::string write_logged(const std::string& path, const MapBlock& maps, int k) {
  return run_capturing([&] { grid_write(path.c_str(), maps, k); }).log;
}

TEST(GeoTiffTest, RefusesRastersThatAreNotPlainGridsNamingTheFile) {
  TempDir dir;
  MapBlock maps = maps_for(dir.write("geo.asc",
                                     "ncols 3\nnrows 2\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
                                     "0 0 0 0 0 0\n"));
  // Numbers without a header are an ASCII grid that lost it, not points for GDAL.
  const std::string headless = dir.write("headless.asc", "1 2 3\n4 5 6\n");
  EXPECT_EQ(read_logged(headless, maps, 0),
            "* read '" + headless + "'\nerror: incompatible (header) file '" + headless +
                "'!\n  ncols is 0 in '" + headless + "' but 3 in '" + dir.path("geo.asc") + "'\n");
  const std::string broken = dir.write("broken.tif", std::string("II*\0\x10\0\0\0garbage", 15));
  const FatalResult r = run_capturing([&] { grid_read(broken.c_str(), maps, 0); });
  EXPECT_EQ(r.code, 1);
#ifndef LANDALLOC_GDAL
  EXPECT_EQ(r.log, "* read '" + broken + "'\nerror: unable to read file '" + broken +
                       "': built without GeoTIFF support!\n");
#else
  const std::string expected =
      "* read '" + broken + "'\nerror: unable to read file '" + broken + "' (";
  EXPECT_EQ(r.log.substr(0, expected.size()), expected);
  const std::pair<std::vector<double>, std::string> cases[] = {
      {{100, 10, 0, 220, 0, -10}, ""},
      {{100, 10, 1, 220, 0, -10}, "rotated grid in file '%s'"},
      {{100, 10, 0, 200, 0, 10}, "grid not north-up in file '%s'"},
      {{100, 10, 0, 260, 0, -20}, "non-square cells (10 by 20) in file '%s'"},
      {{100, 10, 0, 230, 0, -10},
       "incompatible (header) file '%s'!\n  yllcorner is 210 in '%s' but 200 in 'geo.asc'\n"},
  };
  for (auto [transform, error] : cases) {
    const std::string tif = dir.path("bad.tif");
    gdal_write_geotiff(tif, 2, 3, std::vector<float>(6, 1.0f), transform.data());
    const FatalResult bad = run_capturing([&] { grid_read(tif.c_str(), maps, 0); });
    if (error.empty()) {
      EXPECT_FALSE(bad.fatal) << bad.log;
      continue;
    }
    for (size_t at; (at = error.find("%s")) != std::string::npos;) error.replace(at, 2, tif);
    if (error.back() != '\n') error += "!\n";
    const size_t geo = error.find("'geo.asc'");
    if (geo != std::string::npos) error.replace(geo + 1, 7, dir.path("geo.asc"));
    EXPECT_EQ(std::to_string(bad.code) + bad.log, "1* read '" + tif + "'\nerror: " + error);
  }
  // The geometry is checked where it is taken, too.
  const std::string rotated = dir.path("rotated.tif");
  const double turn[6] = {100, 10, 1, 220, 0, -10};
  gdal_write_geotiff(rotated, 2, 3, std::vector<float>(6, 1.0f), turn);
  EXPECT_EQ(run_capturing([&] { grid_read_geometry(rotated.c_str()); }).log,
            "error: rotated grid in file '" + rotated + "'!\n");
#endif
}

#ifdef LANDALLOC_GDAL
// A raster's own no-data value (or none) decides, whatever its cell type; so do its mask and its
// alpha band, and its scale and offset give the true values. NaN is never data and values below
// -2 are counted as infinite, as in an ASCII grid.
TEST(GeoTiffTest, HonoursTheNoDataValueMaskAndScaleOfEachCellType) {
  TempDir dir;
  const double transform[6] = {100, 10, 0, 220, 0, -10};
  MapBlock maps = maps_for(dir.write("geo.asc",
                                     "ncols 3\nnrows 2\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
                                     "0 0 0 0 0 0\n"));
  struct Case {
    GDALDataType type;
    bool has_nodata;
    double nodata;
    std::vector<float> in, out;
    const char* log;
    int bands = 1;
    std::function<void(GDALDatasetH)> edit = {};
  };
  const float inf = INFINITY, nan = NAN;
  const char* infinite = "  found 2 -infinite values!\n";
  const auto holes = [](GDALRasterBandH band) {
    uint8_t valid[] = {255, 0, 255, 0, 1, 255};
    EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 3, 2, valid, 3, 2, GDT_Byte, 0, 0), CE_None);
  };
  const Case cases[] = {
      {GDT_Float32, false, 0, {0, nan, -5, 3.5f, -2, -2.5f}, {0, -1, -1, 3.5f, -2, -1}, infinite},
      {GDT_Float32, true, 0, {0, 1, 0, 2.25f, 0, 1e30f}, {-1, 1, -1, 2.25f, -1, 1e30f}, ""},
      {GDT_Int16, true, -9999, {-9999, 0, 5, -9999, 7, -1}, {-1, 0, 5, -1, 7, -1}, ""},
      {GDT_Byte, true, 255, {255, 0, 1, 254, 255, 3}, {-1, 0, 1, 254, -1, 3}, ""},
      {GDT_Float32, true, -inf, {-inf, 1, 2, -inf, 4, 5}, {-1, 1, 2, -1, 4, 5}, ""},
      // The no-data value is a stored one; 500 stands for -5.
      {GDT_Int16,
       true,
       -9999,
       {1000, 1500, 500, -9999, 1250, 1010},
       {0, 5, -1, -1, 2.5f, 0.1f},
       "  found 1 -infinite values!\n",
       1,
       [](GDALDatasetH d) {
         GDALSetRasterScale(GDALGetRasterBand(d, 1), 0.01);
         GDALSetRasterOffset(GDALGetRasterBand(d, 1), -10);
       }},
      // Cells under a mask of 0 have no value, even infinite ones.
      {GDT_Float32,
       true,
       0,
       {1, inf, 3, 4, 5, 0},
       {1, -1, 3, -1, 5, -1},
       "",
       1,
       [&](GDALDatasetH d) {
         GDALCreateMaskBand(GDALGetRasterBand(d, 1), GMF_PER_DATASET);
         holes(GDALGetMaskBand(GDALGetRasterBand(d, 1)));
       }},
      {GDT_Byte,
       false,
       0,
       {1, 2, 3, 4, 5, 6},
       {1, -1, 3, -1, 5, 6},
       "",
       2,
       [&](GDALDatasetH d) {
         GDALSetRasterColorInterpretation(GDALGetRasterBand(d, 2), GCI_AlphaBand);
         holes(GDALGetRasterBand(d, 2));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(GDALGetDataTypeName(c.type) + std::string(c.has_nodata ? " with" : " without") +
                 (c.edit ? " and more" : ""));
    const std::string tif = dir.path("cells.tif");
    gdal_write_geotiff(tif, 2, 3, c.in, transform, c.type, c.has_nodata ? &c.nodata : nullptr,
                       c.bands, c.edit);
    int64_t valid = -1;
    EXPECT_EQ(read_logged(tif, maps, 0, &valid), "* read '" + tif + "'\n" + c.log);
    EXPECT_EQ(get_map(maps, 0), c.out);
    EXPECT_EQ(valid, std::count_if(c.out.begin(), c.out.end(), [](float v) { return v >= 0; }));
    fs::remove(tif + ".msk");
  }
  // Any other infinity is never data: it would flatten a whole map once normalised.
  const std::string tif = dir.path("infinite.tif");
  gdal_write_geotiff(tif, 2, 3, {1, 2, inf, 4, 5, 6}, transform);
  EXPECT_EQ(read_logged(tif, maps, 0),
            "* read '" + tif + "'\nerror: value 'inf' out of range in file '" + tif + "'!\n");
}

// No input reaches the network or a file that is no raster, and what cannot be read exactly (a
// second band, complex cells, a format outside GeoTIFF and VRT of local grids) is refused naming
// the file; a VRT of local grids is read.
TEST(GeoTiffTest, RefusesRastersThatReachOutOrCannotBeReadExactly) {
  TempDir dir;
  // A loopback server that never answers: a request would wait for the time-out, then count.
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), size) + listen(server, 64) +
                getsockname(server, reinterpret_cast<sockaddr*>(&address), &size),
            0);
  CPLSetConfigOption("GDAL_HTTP_TIMEOUT", "1");
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/p.tif";
  const double transform[6] = {100, 10, 0, 220, 0, -10};
  MapBlock maps = maps_for(dir.write("geo.asc",
                                     "ncols 3\nnrows 2\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
                                     "0 0 0 0 0 0\n"));
  gdal_write_geotiff(dir.path("cells.tif"), 2, 3, {1, 2, 3, 4, 5, 6}, transform);
  const std::vector<float> ones(6, 1);
  gdal_write_geotiff(dir.path("bands.tif"), 2, 3, ones, transform, GDT_Float32, nullptr, 3);
  gdal_write_geotiff(dir.path("complex.tif"), 2, 3, ones, transform, GDT_CInt16);
  const auto vrt = [](const std::string& band, const std::string& source) {
    return "<VRTDataset rasterXSize=\"3\" rasterYSize=\"2\"><GeoTransform>100, 10, 0, 220, 0, -10"
           "</GeoTransform><VRTRasterBand dataType=\"Float32\" band=\"1\"" +
           band + ">" + source + "</VRTRasterBand></VRTDataset>\n";
  };
  const auto simple = [&](const std::string& name, const char* relative = "0") {
    return vrt("", "<SimpleSource><SourceFilename relativeToVRT=\"" + std::string(relative) +
                       "\">" + name + "</SourceFilename></SimpleSource>");
  };
  const std::string network = "file '%s' refers to a network source", local = "local.vrt";
  const std::string not_local = "' of file '%s' is not a local GeoTIFF or ASCII grid";
  const std::string cases[][3] = {
      {"curl.vrt", simple("/vsicurl/" + url), network},
      {"url.vrt", simple(url), network},
      {"zip.vrt", simple("/vsizip//vsicurl/" + url + ".zip/p.tif"), network},
      {"overview.vrt",
       vrt("", "<Overview><SourceFilename>/vsis3/bucket/p.tif</SourceFilename></Overview>"),
       network},
      {"wms.xml",
       "<GDAL_WMS><Service name=\"TMS\"><ServerUrl>" + url +
           "/${z}/${x}/${y}.png</ServerUrl>"
           "</Service><DataWindow><UpperLeftX>0</UpperLeftX><UpperLeftY>0</"
           "UpperLeftY><LowerRightX>30"
           "</LowerRightX><LowerRightY>-20</LowerRightY><SizeX>3</SizeX><SizeY>2</SizeY></"
           "DataWindow>"
           "</GDAL_WMS>\n",
       "unsupported raster format 'WMS' in file '%s'"},
      {"raw.vrt",
       vrt(" subClass=\"VRTRawRasterBand\"", "<SourceFilename>/etc/passwd</SourceFilename>"),
       "unsupported VRT class 'VRTRawRasterBand' in file '%s'"},
      {"passwd.vrt", simple("/etc/passwd"), "source '/etc/passwd" + not_local},
      {"nested.vrt", simple("passwd.vrt", "1"), "source 'passwd.vrt" + not_local},
      {"bands.tif", "", "multi-band raster (3 bands) in file '%s'"},
      {"complex.tif", "", "complex cells in file '%s'"},
      {"local.vrt", simple("cells.tif", "1"), ""},
      {"ascii.vrt", simple(dir.write("cells.asc", grid_text(2, 3, {1, 2, 3, 4, 5, 6}))), ""},
  };
  for (const auto& [name, text, error] : cases) {
    const std::string path = text.empty() ? dir.path(name) : dir.write(name, text);
    const FatalResult r = run_capturing([&] { grid_read(path.c_str(), maps, 0); });
    const size_t at = error.find("%s");
    EXPECT_EQ(std::to_string(r.code) + r.log,
              error.empty() ? "0* read '" + path + "'\n"
                            : "1* read '" + path + "'\nerror: " + error.substr(0, at) + path +
                                  error.substr(at + 2) + "!\n");
    if (error.empty()) {
      EXPECT_EQ(get_map(maps, 0), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    }
  }
  EXPECT_LT(accept(server, nullptr, nullptr), 0) << "a request reached the server";
  close(server);

  // GDAL's reason for a read that fails reaches the log, also when the tile failed on one of
  // GDAL's worker threads: every tile of this one is damaged.
  const std::string broken = dir.path("broken.tif");
  const char* const deflate[] = {"TILED=YES", "COMPRESS=DEFLATE", nullptr};
  gdal_write_geotiff(broken, 512, 512, std::vector<float>(512 * 512, 1), transform, GDT_Float32,
                     nullptr, 1, {}, deflate);
  GDALDatasetH written = gdal_open_or_throw(broken);
  std::fstream file(broken, std::ios::in | std::ios::out | std::ios::binary);
  for (const char* tile : {"0_0", "0_1", "1_0", "1_1"}) {
    const std::string key = "BLOCK_OFFSET_" + std::string(tile);
    file.seekp(std::stol(GDALGetMetadataItem(GDALGetRasterBand(written, 1), key.c_str(), "TIFF")));
    file.write("\xff\xff", 2).flush();
  }
  GDALClose(written);
  maps = maps_allocate_quiet(raster_read_geometry(broken.c_str()), 1);
  const FatalResult r = run_capturing([&] { grid_read(broken.c_str(), maps, 0); });
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.log.find("error: unable to read file '" + broken + "' (ZIPDecode:"),
            std::string::npos)
      << r.log;
}

TEST(GeoTiffTest, WritesATiledCompressedGeoTiffThatGdalReadsAsTheInput) {
  TempDir dir;
  // A centre origin: the GeoTIFF must lie where GDAL places the ASCII grid.
  const std::string asc = dir.path("dem.asc");
  fs::copy_file(DATA + "/tirol_avagar_dem_xllcenter_520x387.asc", asc);
  dir.write("dem.prj", PRJ_UTM32);
  MapBlock maps = maps_for(asc);
  int64_t valid = -1;
  read_logged(asc, maps, 0, &valid);
  const std::string out = dir.path("out.tif");
  // Descriptor 0 open, as the writer must leave it (and any other it did not open).
  const int standard_input = fcntl(0, F_GETFD) == -1 ? open("/dev/null", O_RDONLY) : 0;
  ASSERT_EQ(standard_input, 0);
  EXPECT_EQ(run_capturing([&] { EXPECT_EQ(grid_write(out.c_str(), maps, 0), valid); }).log,
            "* write '" + out + "'\n");
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "the writer closed a descriptor it did not open";
  EXPECT_EQ(file_names(dir.dir()), (std::vector<std::string>{"dem.asc", "dem.prj", "out.tif"}));

  const GdalRaster input = gdal_read(asc), written = gdal_read(out);
  EXPECT_EQ(written.type, GDT_Float32);
  EXPECT_EQ(written.compression, "ZSTD");
  EXPECT_EQ(written.predictor, "2");
  EXPECT_EQ(std::to_string(written.block_x) + "x" + std::to_string(written.block_y), "256x256");
  EXPECT_TRUE(written.has_nodata && written.nodata == -999.0);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(written.transform[i], input.transform[i]) << i;
  EXPECT_TRUE(gdal_same_crs(written.wkt, input.wkt)) << written.wkt;
  const std::vector<float> cells = get_map(maps, 0);
  ASSERT_EQ(written.cells.size(), cells.size());
  size_t differing = 0;
  for (size_t i = 0; i < cells.size(); ++i)
    differing += written.cells[i] != (cells[i] == CELL_NODATA ? -999.0f : cells[i]);
  EXPECT_EQ(differing, 0u);
  int64_t again = -1;
  EXPECT_EQ(read_logged(out, maps, 1, &again), "* read '" + out + "'\n");
  EXPECT_EQ(again, valid);
  EXPECT_EQ(get_map(maps, 1), cells);

  // A target that cannot be replaced is left as it was, and so is the folder.
  fs::create_directory(dir.path("taken.tif"));
  dir.write("taken.tif/keep", "x");
  const std::string taken = dir.path("taken.tif");
  EXPECT_EQ(write_logged(taken, maps, 0),
            "* write '" + taken + "'\nerror: unable to write file '" + taken + "'!\n");
  EXPECT_EQ(file_names(dir.dir()),
            (std::vector<std::string>{"dem.asc", "dem.prj", "out.tif", "taken.tif"}));
  // Nor is a FIFO replaced by a regular file.
  const std::string pipe = dir.path("pipe.tif");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(write_logged(pipe, maps, 0), "* write '" + pipe + "'\nerror: unable to write file '" +
                                             pipe + "' (a GeoTIFF needs a regular file)!\n");
  EXPECT_TRUE(fs::is_fifo(pipe));
  // A grid whose corner lies at the origin stays there.
  maps = maps_for(dir.write("zero.asc", "ncols 2\nnrows 1\ncellsize 2\n"));
  write_logged(dir.path("zero.tif"), maps, 0);
  const GdalRaster zero = gdal_read(dir.path("zero.tif"));
  EXPECT_EQ(std::vector<double>(zero.transform, zero.transform + 6),
            (std::vector<double>{0, 2, 0, 2, 0, -2}));
}
#else
TEST(GeoTiffTest, ReadsAndWritesThroughGdal) {
  GTEST_SKIP() << "built without GDAL: no GeoTIFF support to test";
}

TEST(GeoTiffTest, WritingAGeoTiffNeedsGdal) {
  TempDir dir;
  MapBlock maps = maps_for(dir.write("geo.asc", "ncols 1\nnrows 1\ncellsize 1\n0\n"));
  const std::string out = dir.path("out.tif");
  EXPECT_EQ(write_logged(out, maps, 0), "* write '" + out + "'\nerror: unable to write file '" +
                                            out + "': built without GeoTIFF support!\n");
  EXPECT_FALSE(dir.exists("out.tif"));
}
#endif

#ifdef LANDALLOC_GDAL
// The `.prj` of the first potential map goes beside every ASCII output as the system GDAL read in
// it, never as its bytes; one that differs on an input is reported with both names, one that is
// no coordinate system (a link to a private file) is reported and goes nowhere; without a
// coordinate system no `.prj` is left.
TEST(CrsTest, ThePrjOfTheFirstMapTravelsAndAnotherOneIsReported) {
  TempDir dir;
  const std::string grid = "ncols 2\nnrows 1\ncellsize 1\n1 2\n";
  const std::string a = dir.write("a.asc", grid), b = dir.write("b.asc", grid),
                    c = dir.write("c.asc", grid), d = dir.write("d", grid);
  const std::string prj = PRJ_UTM32;
  dir.write("a.prj", prj);
  dir.write("b.PRJ", PRJ_UTM10);
  dir.write("c.prj", prj + "\r\n");
  MapBlock maps = maps_for(a);
  EXPECT_EQ(read_logged(b, maps, 0), "* read '" + b + "'\n! coordinate system of '" + b +
                                         "' differs from that of '" + a + "'\n");
  EXPECT_EQ(read_logged(c, maps, 0) + read_logged(d, maps, 0),
            "* read '" + c + "'\n* read '" + d + "'\n");
  for (const char* name : {"out.asc", "out"}) {
    write_logged(dir.path(name), maps, 0);
    EXPECT_TRUE(gdal_same_crs(dir.read("out.prj"), prj)) << name;
  }
  const std::string secret = dir.write("shadow", "root:$6$secret:19000:0:99999:7:::\n");
  ASSERT_EQ(chmod(secret.c_str(), 0640), 0);
  fs::remove(dir.path("a.prj"));
  fs::create_symlink(secret, dir.path("a.prj"));
  maps = maps_for(a);
  EXPECT_EQ(read_logged(a, maps, 0), "* read '" + a + "'\n! coordinate system in '" +
                                         dir.path("a.prj") + "' not understood: ignored\n");
  write_logged(dir.path("secret.asc"), maps, 0);
  write_logged(dir.path("secret.tif"), maps, 0);
  EXPECT_FALSE(dir.exists("secret.prj"));
  EXPECT_EQ(gdal_read(dir.path("secret.tif")).wkt, "");
  // A file far larger than any `.prj` is none.
  fs::remove(dir.path("a.prj"));
  dir.write("a.prj", prj + std::string(3 << 19, ' '));
  maps = maps_for(a);
  write_logged(dir.path("big.asc"), maps, 0);
  EXPECT_FALSE(dir.exists("big.prj"));
  // An output whose own name ends in .prj is the grid, never its coordinate system.
  write_logged(dir.path("grid.prj"), maps, 0);
  EXPECT_EQ(dir.read("grid.prj").substr(0, 5), "ncols");
  maps = maps_for(d);
  dir.write("old.prj", prj);
  write_logged(dir.path("old.asc"), maps, 0);
  EXPECT_FALSE(dir.exists("old.prj"));
  // Nor is an input named so its own coordinate system.
  maps = maps_for(dir.path("grid.prj"));
  write_logged(dir.path("new.asc"), maps, 0);
  EXPECT_FALSE(dir.exists("new.prj"));
}

// A GeoTIFF's coordinate system reaches an ASCII output as the Esri WKT of a `.prj`, and the same
// system spelt another way is no difference.
TEST(CrsTest, TheCoordinateSystemOfAGeoTiffReachesAsciiOutputs) {
  TempDir dir;
  const std::string asc = dir.path("dem.asc"), tif = dir.path("dem.tif");
  fs::copy_file(DATA + "/mtsthelens_pre_runout_dem_80x122.asc", asc);
  dir.write("dem.prj", PRJ_UTM10);
  gdal_to_geotiff(asc, tif);
  MapBlock maps = maps_for(tif);
  EXPECT_EQ(read_logged(asc, maps, 0), "* read '" + asc + "'\n");
  write_logged(dir.path("out.asc"), maps, 0);
  EXPECT_TRUE(gdal_same_crs(dir.read("out.prj"), PRJ_UTM10)) << dir.read("out.prj");
  dir.write("dem.prj", PRJ_UTM32);
  EXPECT_EQ(read_logged(asc, maps, 0), "* read '" + asc + "'\n! coordinate system of '" + asc +
                                           "' differs from that of '" + tif + "'\n");
}
#endif

}  // namespace
