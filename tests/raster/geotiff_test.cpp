// Grids in other formats than Esri ASCII, and the coordinate system that goes with the outputs.
// The GeoTIFF files are made and read back with GDAL's own API (tests/gdal_support.h).
#include "raster/geotiff.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gdal_support.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string DATA = LANDALLOC_TEST_DATA;

// The log of reading `path` into map k (its count of valid cells in `valid`), or of writing it.
std::string read_logged(const std::string& path, MapBlock& maps, int k, int64_t* valid = nullptr) {
  int64_t n = 0;
  const std::string log = run_capturing([&] { n = grid_read(path.c_str(), maps, k); }).log;
  return valid != nullptr ? *valid = n, log : log;
}
std::string write_logged(const std::string& path, const MapBlock& maps, int k) {
  return run_capturing([&] { grid_write(path.c_str(), maps, k); }).log;
}
// Exit code and log of reading `path` into map 0, and what a refusal of it with `error` gives.
std::string read_outcome(const std::string& path, MapBlock& maps) {
  return outcome([&] { grid_read(path.c_str(), maps, 0); });
}
std::string refused(const std::string& path, const std::string& error) {
  const std::string text = naming(error, path);
  return "1* read '" + path + "'\nerror: " + text + (text.back() == '\n' ? "" : "!\n");
}

// A block on a 2 x 3 grid at (100, 200) of cell size 10, "geo.asc" in `dir`.
MapBlock geo_maps(const TempDir& dir) {
  return maps_for(dir.write("geo.asc",
                            "ncols 3\nnrows 2\nxllcorner 100\nyllcorner 200\n"
                            "cellsize 10\n0 0 0 0 0 0\n"));
}
const double TRANSFORM[6] = {100, 10, 0, 220, 0, -10};  // the geotransform of geo.asc

TEST(GeoTiffTest, RefusesRastersThatAreNotPlainGridsNamingTheFile) {
  TempDir dir;
  MapBlock maps = geo_maps(dir);
  const std::string geo = dir.path("geo.asc");
  // Numbers without a header are an ASCII grid that lost it, not points for GDAL.
  const std::string headless = dir.write("headless.asc", "1 2 3\n4 5 6\n");
  EXPECT_EQ(read_outcome(headless, maps),
            refused(headless, "incompatible (header) file '%s'!\n  ncols is 0 in '%s' but 3 in '" +
                                  geo + "'\n"));
  const std::string broken = dir.write("broken.tif", std::string("II*\0\x10\0\0\0garbage", 15));
#ifndef LANDALLOC_GDAL
  EXPECT_EQ(read_outcome(broken, maps),
            refused(broken, "unable to read file '%s': built without GeoTIFF support"));
#else
  EXPECT_EQ(read_outcome(broken, maps)
                .rfind(naming("1* read '%s'\nerror: unable to read file '%s' (", broken), 0),
            0u);
  // A plain GeoTIFF reads in the no-data test.
  const std::pair<std::vector<double>, std::string> cases[] = {
      {{100, 10, 0, 200, 0, 10}, "grid not north-up in file '%s'"},
      {{100, 10, 0, 260, 0, -20}, "non-square cells (10 by 20) in file '%s'"},
      {{100, 10, 0, 230, 0, -10},
       "incompatible (header) file '%s'!\n  yllcorner is 210 in '%s' but 200 in '" + geo + "'\n"},
      {{100, 10, 1, 220, 0, -10}, "rotated grid in file '%s'"},
  };
  const std::string tif = dir.path("bad.tif");
  for (const auto& [transform, error] : cases) {
    gdal_write_geotiff(tif, 2, 3, std::vector<float>(6, 1.0f), transform.data());
    EXPECT_EQ(read_outcome(tif, maps), refused(tif, error));
  }
  // The geometry is checked where it is taken, too (the last file written is rotated).
  EXPECT_EQ(outcome([&] { grid_read_geometry(tif.c_str()); }),
            naming("1error: rotated grid in file '%s'!\n", tif));
#endif
}

#ifdef LANDALLOC_GDAL
// A raster's own no-data value (or none) decides, whatever its cell type; so do its mask and
// alpha band, and its scale and offset give the true values. NaN is no data, values below -2
// count as infinite, as in an ASCII grid.
TEST(GeoTiffTest, HonoursTheNoDataValueMaskAndScaleOfEachCellType) {
  TempDir dir;
  MapBlock maps = geo_maps(dir);
  const float inf = INFINITY, nan = NAN;
  const auto holes = [](GDALRasterBandH band) {
    uint8_t valid[] = {255, 0, 255, 0, 1, 255};
    EXPECT_EQ(GDALRasterIO(band, GF_Write, 0, 0, 3, 2, valid, 3, 2, GDT_Byte, 0, 0), CE_None);
  };
  // The no-data value is a stored one; 500 stands for -5. Under a mask of 0 even infinity is none.
  const auto scaled = [](GDALDatasetH d) {
    GDALSetRasterScale(GDALGetRasterBand(d, 1), 0.01);
    GDALSetRasterOffset(GDALGetRasterBand(d, 1), -10);
  };
  const auto masked = [&](GDALDatasetH d) {
    GDALCreateMaskBand(GDALGetRasterBand(d, 1), GMF_PER_DATASET);
    holes(GDALGetMaskBand(GDALGetRasterBand(d, 1)));
  };
  const auto alpha = [&](GDALDatasetH d) {
    GDALSetRasterColorInterpretation(GDALGetRasterBand(d, 2), GCI_AlphaBand);
    holes(GDALGetRasterBand(d, 2));
  };
  struct Case {
    GDALDataType type;
    std::vector<double> nodata;  // none when empty
    std::vector<float> in, out;
    int infinite = 0, bands = 1;
    std::function<void(GDALDatasetH)> edit = {};
  };
  const Case cases[] = {
      {GDT_Float32, {}, {0, nan, -5, 3.5f, -2, -2.5f}, {0, -1, -1, 3.5f, -2, -1}, 2},
      {GDT_Float32, {0}, {0, 1, 0, 2.25f, 0, 1e30f}, {-1, 1, -1, 2.25f, -1, 1e30f}},
      {GDT_Int16, {-9999}, {-9999, 0, 5, -9999, 7, -1}, {-1, 0, 5, -1, 7, -1}},
      {GDT_Byte, {255}, {255, 0, 1, 254, 255, 3}, {-1, 0, 1, 254, -1, 3}},
      {GDT_Float32, {-inf}, {-inf, 1, 2, -inf, 4, 5}, {-1, 1, 2, -1, 4, 5}},
      {GDT_Int16,
       {-9999},
       {1000, 1500, 500, -9999, 1250, 1010},
       {0, 5, -1, -1, 2.5f, 0.1f},
       1,
       1,
       scaled},
      {GDT_Float32, {0}, {1, inf, 3, 4, 5, 0}, {1, -1, 3, -1, 5, -1}, 0, 1, masked},
      {GDT_Byte, {}, {1, 2, 3, 4, 5, 6}, {1, -1, 3, -1, 5, 6}, 0, 2, alpha},
  };
  const std::string tif = dir.path("cells.tif");
  for (const Case& c : cases) {
    SCOPED_TRACE(GDALGetDataTypeName(c.type) + std::to_string(c.nodata.size() + 2 * c.bands));
    gdal_write_geotiff(tif, 2, 3, c.in, TRANSFORM, c.type,
                       c.nodata.empty() ? nullptr : &c.nodata[0], c.bands, c.edit);
    int64_t valid = -1;
    EXPECT_EQ(
        read_logged(tif, maps, 0, &valid),
        "* read '" + tif + "'\n" +
            (c.infinite ? "  found " + std::to_string(c.infinite) + " -infinite values!\n" : ""));
    EXPECT_EQ(get_map(maps, 0), c.out);
    EXPECT_EQ(valid, std::count_if(c.out.begin(), c.out.end(), [](float v) { return v >= 0; }));
    fs::remove(tif + ".msk");
  }
  // Any other infinity would flatten a whole map once normalised.
  gdal_write_geotiff(tif, 2, 3, {1, 2, inf, 4, 5, 6}, TRANSFORM);
  EXPECT_EQ(read_outcome(tif, maps), refused(tif, "value 'inf' out of range in file '%s'"));

  // A large map is checked in ranges on the block's threads: the same cells, counts and log as on
  // one, and the first infinity in row order is the one named.
  const int32_t side = 520;
  std::vector<float> cells(size_t{side} * side);
  std::mt19937 random(5);
  for (float& v : cells) v = random() % 7 == 0 ? -3.0f - float(random() % 4) : float(random() % 9);
  gdal_write_geotiff(tif, side, side, cells, TRANSFORM);
  std::vector<float> read[2];
  std::string logs[2];
  int64_t valid[2];
  for (const int32_t threads : {1, 3}) {
    MapBlock big = maps_allocate_quiet(raster_read_geometry(tif.c_str()), 1);
    big.threads = threads;
    logs[threads / 2] = read_logged(tif, big, 0, &valid[threads / 2]);
    read[threads / 2] = get_map(big, 0);
  }
  EXPECT_EQ(read[0], read[1]);
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(valid[0], valid[1]);
  EXPECT_NE(logs[0].find("-infinite values"), std::string::npos);
  cells[cells.size() - 5] = inf;
  cells[cells.size() / 3 - 10] = -inf;
  gdal_write_geotiff(tif, side, side, cells, TRANSFORM);
  MapBlock big = maps_allocate_quiet(raster_read_geometry(tif.c_str()), 1);
  big.threads = 3;
  EXPECT_EQ(read_outcome(tif, big), refused(tif, "value '-inf' out of range in file '%s'"));
}

// No input reaches the network or a file that is no raster; what cannot be read exactly (a second
// band, complex cells, a format outside GeoTIFF and VRT of local grids) is refused naming the file.
TEST(GeoTiffTest, RefusesRastersThatReachOutOrCannotBeReadExactly) {
  TempDir dir;
  // A loopback server that never answers: a request would show as a connection.
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), size) + listen(server, 64) +
                getsockname(server, reinterpret_cast<sockaddr*>(&address), &size),
            0);
  CPLSetConfigOption("GDAL_HTTP_TIMEOUT", "1");
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/p.tif";
  MapBlock maps = geo_maps(dir);
  gdal_write_geotiff(dir.path("cells.tif"), 2, 3, {1, 2, 3, 4, 5, 6}, TRANSFORM);
  const std::vector<float> ones(6, 1);
  gdal_write_geotiff(dir.path("bands.tif"), 2, 3, ones, TRANSFORM, GDT_Float32, nullptr, 3);
  gdal_write_geotiff(dir.path("complex.tif"), 2, 3, ones, TRANSFORM, GDT_CInt16);
  const auto vrt = [](const std::string& band, const std::string& source) {
    return "<VRTDataset rasterXSize=\"3\" rasterYSize=\"2\"><GeoTransform>100, 10, 0, 220, 0, -10"
           "</GeoTransform><VRTRasterBand dataType=\"Float32\" band=\"1\"" +
           band + ">" + source + "</VRTRasterBand></VRTDataset>\n";
  };
  const auto simple = [&](const std::string& name, const char* relative = "0") {
    return vrt("", "<SimpleSource><SourceFilename relativeToVRT=\"" + std::string(relative) +
                       "\">" + name + "</SourceFilename></SimpleSource>");
  };
  const std::string network = "file '%s' refers to a network source";
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
           "</Service><DataWindow><LowerRightX>30</LowerRightX><LowerRightY>-20</LowerRightY>"
           "<SizeX>3</SizeX><SizeY>2</SizeY></DataWindow></GDAL_WMS>\n",
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
    EXPECT_EQ(read_outcome(path, maps),
              error.empty() ? "0* read '" + path + "'\n" : refused(path, error));
    EXPECT_TRUE(!error.empty() || get_map(maps, 0) == (std::vector<float>{1, 2, 3, 4, 5, 6}))
        << name;
  }
  EXPECT_LT(accept(server, nullptr, nullptr), 0) << "a request reached the server";
  close(server);

  // GDAL's reason for a failed read reaches the log, also from its worker threads: every tile is
  // damaged.
  const std::string broken = dir.path("broken.tif");
  const char* const deflate[] = {"TILED=YES", "COMPRESS=DEFLATE", nullptr};
  gdal_write_geotiff(broken, 512, 512, std::vector<float>(512 * 512, 1), TRANSFORM, GDT_Float32,
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
  const std::string r = read_outcome(broken, maps);
  EXPECT_EQ(r.rfind(naming("1* read '%s'\nerror: unable to read file '%s' (ZIPDecode:", broken), 0),
            0u)
      << r;
}

TEST(GeoTiffTest, WritesATiledCompressedGeoTiffThatGdalReadsAsTheInput) {
  TempDir dir;
  // A centre origin: the GeoTIFF must lie where GDAL places the ASCII grid. Descriptor 0 stays
  // open, as the writer must leave every descriptor it did not open.
  const std::string asc = dir.path("dem.asc");
  fs::copy_file(DATA + "/tirol_avagar_dem_xllcenter_520x387.asc", asc);
  dir.write("dem.prj", PRJ_UTM32);
  MapBlock maps = maps_for(asc);
  int64_t valid = -1;
  read_logged(asc, maps, 0, &valid);
  const std::string out = dir.path("out.tif");
  ASSERT_EQ(fcntl(0, F_GETFD) == -1 ? open("/dev/null", O_RDONLY) : 0, 0);
  EXPECT_EQ(run_capturing([&] { EXPECT_EQ(grid_write(out.c_str(), maps, 0), valid); }).log,
            "* write '" + out + "'\n");
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "the writer closed a descriptor it did not open";
  EXPECT_EQ(file_names(dir.dir()), (std::vector<std::string>{"dem.asc", "dem.prj", "out.tif"}));

  const GdalRaster input = gdal_read(asc), written = gdal_read(out);
  EXPECT_EQ(written.layout, "Float32 ZSTD 2 256x256 -999.000000");
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(written.transform[i], input.transform[i]) << i;
  EXPECT_TRUE(gdal_same_crs(written.wkt, input.wkt)) << written.wkt;
  const std::vector<float> cells = get_map(maps, 0);
  std::vector<float> expected = cells;
  for (float& v : expected) v = v == CELL_NODATA ? -999.0f : v;
  EXPECT_TRUE(written.cells == expected);
  int64_t again = -1;
  EXPECT_EQ(read_logged(out, maps, 1, &again), "* read '" + out + "'\n");
  EXPECT_EQ(again, valid);
  EXPECT_EQ(get_map(maps, 1), cells);

  // A folder or a FIFO in the way is left as it was, and so is the folder around it.
  const std::string taken = dir.path("taken.tif"), pipe = dir.path("pipe.tif");
  fs::create_directory(taken);
  dir.write("taken.tif/keep", "x");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(write_logged(taken, maps, 0) + write_logged(pipe, maps, 0),
            naming("* write '%s'\nerror: unable to write file '%s'!\n", taken) +
                naming("* write '%s'\nerror: unable to write file '%s' (a GeoTIFF needs a regular "
                       "file)!\n",
                       pipe));
  EXPECT_EQ(file_names(dir.dir()),
            (std::vector<std::string>{"dem.asc", "dem.prj", "out.tif", "pipe.tif", "taken.tif"}));
  EXPECT_TRUE(fs::is_fifo(pipe));
  // A grid whose corner lies at the origin stays there.
  maps = maps_for(dir.write("zero.asc", "ncols 2\nnrows 1\ncellsize 2\n"));
  write_logged(dir.path("zero.tif"), maps, 0);
  const GdalRaster zero = gdal_read(dir.path("zero.tif"));
  EXPECT_EQ(zero.transform, (std::array<double, 6>{0, 2, 0, 2, 0, -2}));
}

// The `.prj` of the first potential map goes beside every ASCII output as GDAL read it, never as
// its bytes; one that differs on an input is reported; one that is none (a link to a private
// file, a huge file) is reported and goes nowhere.
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
  for (const char* name : {"secret.asc", "secret.tif"}) write_logged(dir.path(name), maps, 0);
  EXPECT_EQ(gdal_read(dir.path("secret.tif")).wkt, "");
  fs::remove(dir.path("a.prj"));
  dir.write("a.prj", prj + std::string(3 << 19, ' '));
  maps = maps_for(a);
  write_logged(dir.path("big.asc"), maps, 0);
  // A grid named *.prj, as output or input, is never a coordinate system.
  write_logged(dir.path("grid.prj"), maps, 0);
  EXPECT_EQ(dir.read("grid.prj").substr(0, 5), "ncols");
  maps = maps_for(d);
  dir.write("old.prj", prj);
  write_logged(dir.path("old.asc"), maps, 0);
  maps = maps_for(dir.path("grid.prj"));
  write_logged(dir.path("new.asc"), maps, 0);
  for (const char* none : {"secret.prj", "big.prj", "old.prj", "new.prj"})
    EXPECT_FALSE(dir.exists(none)) << none;
}

// The same coordinate system spelt another way, a GeoTIFF's and a `.prj`'s, is no difference (the
// command-line test carries a GeoTIFF's to ASCII outputs).
TEST(CrsTest, TheSameSystemSpeltAnotherWayIsNoDifference) {
  TempDir dir;
  const std::string asc = dir.path("dem.asc"), tif = dir.path("dem.tif");
  fs::copy_file(DATA + "/mtsthelens_pre_runout_dem_80x122.asc", asc);
  dir.write("dem.prj", PRJ_UTM10);
  gdal_to_geotiff(asc, tif);
  MapBlock maps = maps_for(tif);
  EXPECT_EQ(read_logged(asc, maps, 0), "* read '" + asc + "'\n");
}
#else
TEST(GeoTiffTest, WritingAGeoTiffNeedsGdal) {
  TempDir dir;
  MapBlock maps = maps_for(dir.write("geo.asc", "ncols 1\nnrows 1\ncellsize 1\n0\n"));
  const std::string out = dir.path("out.tif");
  EXPECT_EQ(write_logged(out, maps, 0), "* write '" + out + "'\nerror: unable to write file '" +
                                            out + "': built without GeoTIFF support!\n");
  EXPECT_FALSE(dir.exists("out.tif"));
}
#endif

}  // namespace
