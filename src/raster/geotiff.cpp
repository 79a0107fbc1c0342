#include "raster/geotiff.h"

#include <strings.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/log.h"
#include "raster/grid.h"

bool geotiff_output_name(const char* path) {
  const size_t length = std::strlen(path);
  const auto ends_with = [&](const char* suffix) {
    const size_t n = std::strlen(suffix);
    return length > n && strcasecmp(path + length - n, suffix) == 0;
  };
  return ends_with(".tif") || ends_with(".tiff");
}

#ifdef LANDALLOC_GDAL

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_minixml.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "base/output_file.h"

namespace {

// Rows written per call: the height of a tile, so that every call completes a row of tiles.
constexpr int TILE_SIDE = 256;

// The formats read through GDAL. An input never chooses the driver: GeoTIFF (a COG is one) and
// VRT, whose sources are checked first; an Esri ASCII grid is read by grid_read itself, and by
// GDAL only as a VRT source.
const char* const READ_DRIVERS[] = {"GTiff", "VRT", nullptr};
const char* const VRT_SOURCE_DRIVERS[] = {"GTiff", "AAIGrid", nullptr};

void CPL_STDCALL on_other_thread(CPLErr level, CPLErrorNum number, const char* message);

// GDAL's thread count for decompression and compression: the run's (raster_set_threads), or every
// core.
std::string gdal_threads() {
  const int32_t threads = raster_threads();
  return threads > 0 ? std::to_string(threads) : "ALL_CPUS";
}

// Once per process: every driver, uncompressed GeoTIFF read straight into the map rather than
// through the block cache (four times faster), and the handler for errors that GDAL reports on
// its worker threads. On every use: decompression on as many threads as the run allows, which a
// later job may change. The option is set only when it changes: GDAL hands its readers the
// option's own string, which setting it again would free under a run reading on another thread.
void gdal_start() {
  static const bool started = [] {
    GDALAllRegister();
    CPLSetConfigOption("GTIFF_DIRECT_IO", "YES");
    CPLSetErrorHandlerEx(on_other_thread, nullptr);
    return true;
  }();
  (void)started;
  static std::mutex lock;
  static std::string threads;
  const std::string wanted = gdal_threads();
  const std::lock_guard<std::mutex> guard(lock);
  if (wanted == threads) return;
  CPLSetConfigOption("GDAL_NUM_THREADS", wanted.c_str());
  threads = wanted;
}

// GDAL's errors during one operation, kept instead of printed to standard error, so that the
// fatal error that follows can give GDAL's reason. Warnings change nothing here and are dropped.
// GDAL reports an error on the thread where it happens: a tile decoded on one of its worker
// threads fails there, out of reach of the handler the reading thread pushed. Such errors go to
// every collection alive at the time (see on_other_thread), the first of all threads kept.
class GdalErrors {
 public:
  GdalErrors() {
    {
      const std::lock_guard<std::mutex> lock(live_mutex());
      live().push_back(this);
    }
    CPLPushErrorHandlerEx(on_own_thread, this);
  }
  ~GdalErrors() {
    CPLPopErrorHandler();
    const std::lock_guard<std::mutex> lock(live_mutex());
    live().erase(std::find(live().begin(), live().end(), this));
  }
  GdalErrors(const GdalErrors&) = delete;
  GdalErrors& operator=(const GdalErrors&) = delete;

  bool failed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }

  /// The first error, without the full stop GDAL's messages often end with.
  std::string reason() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string text = failed_ ? message_ : "unknown reason";
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) text.pop_back();
    return text;
  }

  /// Hands an error of a thread without a handler of its own to every live collection; prints
  /// it as GDAL would when there is none.
  static void from_other_thread(CPLErr level, CPLErrorNum number, const char* message) {
    const std::lock_guard<std::mutex> lock(live_mutex());
    if (live().empty()) CPLDefaultErrorHandler(level, number, message);
    for (GdalErrors* errors : live()) errors->record(level, message);
  }

 private:
  static void CPL_STDCALL on_own_thread(CPLErr level, CPLErrorNum, const char* message) {
    static_cast<GdalErrors*>(CPLGetErrorHandlerUserData())->record(level, message);
  }

  void record(CPLErr level, const char* message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (level < CE_Failure || failed_) return;
    failed_ = true;
    message_ = message;
  }

  // GDAL's handler is one for the process, so the collections it reaches are too.
  static std::mutex& live_mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<GdalErrors*>& live() {
    static std::vector<GdalErrors*> collections;
    return collections;
  }

  mutable std::mutex mutex_;
  bool failed_ = false;
  std::string message_;
};

void CPL_STDCALL on_other_thread(CPLErr level, CPLErrorNum number, const char* message) {
  GdalErrors::from_other_thread(level, number, message);
}

struct DatasetClose {
  void operator()(void* dataset) const { GDALClose(dataset); }
};
using Dataset = std::unique_ptr<void, DatasetClose>;

struct SrsRelease {
  void operator()(void* srs) const { OSRDestroySpatialReference(srs); }
};
using Srs = std::unique_ptr<void, SrsRelease>;

Srs srs_of(const GridCrs& crs) {
  if (crs.text.empty()) return nullptr;
  Srs srs(OSRNewSpatialReference(nullptr));
  OGRErr error;
  if (crs.esri) {
    // As GIS tools read a `.prj`: line by line, in either of its two forms.
    char** lines = CSLTokenizeString2(crs.text.c_str(), "\r\n", 0);
    error = OSRImportFromESRI(srs.get(), lines);
    CSLDestroy(lines);
  } else {
    error = OSRSetFromUserInput(srs.get(), crs.text.c_str());
  }
  return error == OGRERR_NONE ? std::move(srs) : nullptr;
}

std::string export_wkt(OGRSpatialReferenceH srs, const char* format) {
  const char* const options[] = {format, nullptr};
  char* wkt = nullptr;
  std::string text;
  if (OSRExportToWktEx(srs, &wkt, options) == OGRERR_NONE && wkt != nullptr) text = wkt;
  CPLFree(wkt);
  return text;
}

// Whether GDAL would reach `name` over the network: a URL, or a virtual file system that is not
// local (/vsicurl/, /vsis3/, ... and any path chained through one of them).
bool network_name(const char* name) {
  return std::strstr(name, "://") != nullptr || !VSIIsLocal(name);
}

struct XmlFree {
  void operator()(CPLXMLNode* node) const { CPLDestroyXMLNode(node); }
};

// A file a VRT names, as GDAL resolves it: beside the VRT when marked relative to it.
void check_vrt_source(const CPLXMLNode* node, const char* path, const std::string& dir) {
  const char* name = CPLGetXMLValue(node, nullptr, "");
  std::string file = name;
  if (std::atoi(CPLGetXMLValue(node, "relativeToVRT", "0")) != 0 && CPLIsFilenameRelative(name)) {
    file = CPLProjectRelativeFilename(dir.c_str(), name);
  }
  if (network_name(name) || network_name(file.c_str())) {
    fatal(1, "error: file '%s' refers to a network source!\n", path);
  }
  struct stat status;
  GDALDriverH driver = nullptr;
  if (stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    GdalErrors quiet;
    driver = GDALIdentifyDriverEx(file.c_str(), GDAL_OF_RASTER, VRT_SOURCE_DRIVERS, nullptr);
  }
  if (driver == nullptr) {
    fatal(1, "error: source '%s' of file '%s' is not a local GeoTIFF or ASCII grid!\n", name, path);
  }
}

// Only bands made of sources; a raw band would read any file's bytes as cells, a derived one runs
// a pixel function, a warped or pansharpened dataset opens files of its own.
void check_vrt_nodes(const CPLXMLNode* node, const char* path, const std::string& dir) {
  for (; node != nullptr; node = node->psNext) {
    if (node->eType != CXT_Element) continue;
    if (EQUAL(node->pszValue, "VRTDataset") || EQUAL(node->pszValue, "VRTRasterBand")) {
      const char* kind = CPLGetXMLValue(node, "subClass", "");
      if (*kind != '\0' && !EQUAL(kind, "VRTSourcedRasterBand")) {
        fatal(1, "error: unsupported VRT class '%s' in file '%s'!\n", kind, path);
      }
    } else if (EQUAL(node->pszValue, "SourceFilename") || EQUAL(node->pszValue, "SourceDataset")) {
      check_vrt_source(node, path, dir);
    }
    check_vrt_nodes(node->psChild, path, dir);
  }
}

// GDAL opens the files a VRT names with any driver, through any of its virtual file systems,
// before and while it reads the cells: they are checked before GDAL sees the VRT.
void check_vrt(const char* path) {
  std::unique_ptr<CPLXMLNode, XmlFree> tree;
  {
    GdalErrors errors;
    tree.reset(CPLParseXMLFile(path));
    if (tree == nullptr) {
      fatal(1, "error: unable to read file '%s' (%s)!\n", path, errors.reason().c_str());
    }
  }
  check_vrt_nodes(tree.get(), path, CPLGetPath(path));
}

// Opens `path` for reading, or ends the run naming it with GDAL's reason. Only the formats of
// READ_DRIVERS are opened, and only rasters of one band of real numbers (a second band may be
// the first one's alpha).
Dataset open_raster(const char* path) {
  gdal_start();
  if (network_name(path)) fatal(1, "error: file '%s' refers to a network source!\n", path);
  GDALDriverH driver;
  {
    GdalErrors quiet;
    driver = GDALIdentifyDriverEx(path, GDAL_OF_RASTER, nullptr, nullptr);
  }
  const std::string format = driver != nullptr ? GDALGetDriverShortName(driver) : "";
  if (format == "VRT") {
    check_vrt(path);
  } else if (!format.empty() && format != "GTiff") {
    fatal(1, "error: unsupported raster format '%s' in file '%s'!\n", format.c_str(), path);
  }
  GdalErrors errors;
  Dataset dataset(
      GDALOpenEx(path, GDAL_OF_RASTER | GDAL_OF_READONLY, READ_DRIVERS, nullptr, nullptr));
  if (dataset == nullptr) {
    fatal(1, "error: unable to read file '%s' (%s)!\n", path, errors.reason().c_str());
  }
  const int bands = GDALGetRasterCount(dataset.get());
  if (bands < 1) fatal(1, "error: no raster band in file '%s'!\n", path);
  if (bands > 2 || (bands == 2 && GDALGetRasterColorInterpretation(
                                      GDALGetRasterBand(dataset.get(), 2)) != GCI_AlphaBand)) {
    fatal(1, "error: multi-band raster (%d bands) in file '%s'!\n", bands, path);
  }
  if (GDALDataTypeIsComplex(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 1)))) {
    fatal(1, "error: complex cells in file '%s'!\n", path);
  }
  return dataset;
}

// The grid of a dataset. Its corner is the geotransform's top-left one; a raster without a
// geotransform is placed as GIS tools place it, with cells of 1 from the origin.
GridGeometry geometry_of(GDALDatasetH dataset, const char* path) {
  GridGeometry geometry;
  geometry.ncols = GDALGetRasterXSize(dataset);
  geometry.nrows = GDALGetRasterYSize(dataset);
  double t[6];
  if (GDALGetGeoTransform(dataset, t) != CE_None) {
    geometry.cellsize = 1.0;
    return geometry;
  }
  // A driver that parses text (an ASCII grid GDAL reads itself) can give an infinite cell size
  // or origin; such a grid is placed nowhere, and its corners would turn into NaN.
  for (double v : t) {
    if (!std::isfinite(v)) fatal(1, "error: invalid geotransform in file '%s'!\n", path);
  }
  if (t[2] != 0.0 || t[4] != 0.0) fatal(1, "error: rotated grid in file '%s'!\n", path);
  if (!(t[1] > 0.0) || !(t[5] < 0.0)) fatal(1, "error: grid not north-up in file '%s'!\n", path);
  // Compared as the geometry's other fields are: as 32-bit floats.
  if (static_cast<float>(t[1]) != static_cast<float>(-t[5])) {
    fatal(1, "error: non-square cells (%g by %g) in file '%s'!\n", t[1], -t[5], path);
  }
  geometry.cellsize = t[1];
  geometry.xllcorner = t[0];
  geometry.yllcorner = t[3] + t[5] * geometry.nrows;
  if (!std::isfinite(geometry.yllcorner)) {
    fatal(1, "error: invalid geotransform in file '%s'!\n", path);
  }
  return geometry;
}

GridCrs crs_of(GDALDatasetH dataset) {
  OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset);
  if (srs == nullptr) return GridCrs{};
  return GridCrs{export_wkt(srs, "FORMAT=WKT2_2019"), false};
}

// Removes the temporary file of an unfinished GeoTIFF when a fatal error unwinds.
struct TempOutput {
  int fd;
  char path[OUTPUT_PATH_MAX];
  ~TempOutput() {
    if (fd >= 0) output_replace(fd, path, false);
  }
};

// Writes map k of `maps` into band 1 of `dataset` with the block's geotransform and `srs` (if
// any), CELL_NODATA as FILE_NODATA; stops at the first error. Returns the number of valid cells.
int64_t write_band(GDALDatasetH dataset, const MapBlock& maps, int32_t k, OGRSpatialReferenceH srs,
                   const GdalErrors& errors) {
  const GridGeometry& g = maps.geometry;
  const double north = grid_lower_left(g.yllcorner, g.yllcenter, g.cellsize) + g.cellsize * g.nrows;
  double t[6] = {grid_lower_left(g.xllcorner, g.xllcenter, g.cellsize),
                 g.cellsize,
                 0.0,
                 north,
                 0.0,
                 -g.cellsize};
  GDALSetGeoTransform(dataset, t);
  if (srs != nullptr) GDALSetSpatialRef(dataset, srs);
  GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
  GDALSetRasterNoDataValue(band, FILE_NODATA);
  const float* cells = maps.map(k);
  const size_t width = static_cast<size_t>(g.ncols);
  std::vector<float> rows(static_cast<size_t>(TILE_SIDE) * width);
  int64_t valid = 0;
  for (int32_t top = 0; top < g.nrows && !errors.failed(); top += TILE_SIDE) {
    const int32_t height = g.nrows - top < TILE_SIDE ? g.nrows - top : TILE_SIDE;
    const float* from = cells + static_cast<size_t>(top) * width;
    for (size_t i = 0; i < static_cast<size_t>(height) * width; ++i) {
      const float value = from[i];
      if (value >= 0.0f) ++valid;
      rows[i] = value == CELL_NODATA ? static_cast<float>(FILE_NODATA) : value;
    }
    if (GDALRasterIO(band, GF_Write, 0, top, g.ncols, height, rows.data(), g.ncols, height,
                     GDT_Float32, 0, 0) != CE_None) {
      break;
    }
  }
  return valid;
}

}  // namespace

bool raster_file_identified(const char* path) {
  gdal_start();
  // A name GDAL would reach over the network is left to the ASCII reader, which opens local
  // files only; so is a file GDAL takes for an ASCII grid: its header is ours to judge.
  if (network_name(path)) return false;
  GdalErrors quiet;
  GDALDriverH driver = GDALIdentifyDriverEx(path, GDAL_OF_RASTER, nullptr, nullptr);
  return driver != nullptr && !EQUAL(GDALGetDriverShortName(driver), "AAIGrid");
}

GridGeometry raster_read_geometry(const char* path) {
  const Dataset dataset = open_raster(path);
  GridGeometry geometry = geometry_of(dataset.get(), path);
  geometry.source = path;
  geometry.crs = crs_of(dataset.get());
  return geometry;
}

int64_t raster_read(const char* path, MapBlock& maps, int32_t k, GridCrs* crs) {
  const Dataset dataset = open_raster(path);
  const GridGeometry& g = maps.geometry;
  grid_check_geometry(path, geometry_of(dataset.get(), path), g);

  GDALRasterBandH band = GDALGetRasterBand(dataset.get(), 1);
  int has_nodata = 0;
  const double nodata_value = GDALGetRasterNoDataValue(band, &has_nodata);
  // A raster without a no-data value has no no-data cells (NaN equals no value).
  float nodata = has_nodata ? static_cast<float>(nodata_value) : NAN;
  const double scale = GDALGetRasterScale(band, nullptr);
  const double offset = GDALGetRasterOffset(band, nullptr);
  if (!std::isfinite(scale) || !std::isfinite(offset)) {
    fatal(1, "error: invalid scale or offset in file '%s'!\n", path);
  }
  float* cells = maps.map(k);
  const size_t width = static_cast<size_t>(g.ncols);
  const auto read_rows = [&](GDALRasterBandH from, int32_t top, int32_t height, void* into,
                             GDALDataType type) {
    GdalErrors errors;
    const GSpacing size = GDALGetDataTypeSizeBytes(type);
    if (GDALRasterIOEx(from, GF_Read, 0, top, g.ncols, height, into, g.ncols, height, type, size,
                       size * g.ncols, nullptr) != CE_None) {
      fatal(1, "error: unable to read file '%s' (%s)!\n", path, errors.reason().c_str());
    }
  };
  // Reads `from` as cells of `type` a band of tiles at a time (not a second whole map) and hands
  // each with its cell of the map to `take`.
  const auto each_cell = [&](GDALRasterBandH from, GDALDataType type, auto cell, auto take) {
    std::vector<decltype(cell)> read(static_cast<size_t>(TILE_SIDE) * width);
    for (int32_t top = 0; top < g.nrows; top += TILE_SIDE) {
      const int32_t height = std::min(g.nrows - top, TILE_SIDE);
      read_rows(from, top, height, read.data(), type);
      float* to = cells + static_cast<size_t>(top) * width;
      for (size_t i = 0; i < static_cast<size_t>(height) * width; ++i) take(read[i], to[i]);
    }
  };
  if (scale == 1.0 && offset == 0.0) {
    // The system clears each page of the map as it is first written. Written here a value a page
    // on the block's threads, the pages are cleared on all of them, not on the one GDAL copies on.
    if (maps.ranges() > 1) {
      constexpr size_t PAGE_CELLS = 4096 / sizeof(float);
      maps.each_range([cells](size_t, size_t first, size_t end) {
        for (size_t i = first; i < end; i += PAGE_CELLS) cells[i] = 0.0f;
      });
    }
    read_rows(band, 0, g.nrows, cells, GDT_Float32);
  } else {
    // The true value is the stored one scaled and offset, in double precision and rounded once;
    // the no-data value is a stored one.
    each_cell(band, GDT_Float64, 0.0, [&](double stored, float& to) {
      to = static_cast<float>(stored) == nodata ? NAN : static_cast<float>(stored * scale + offset);
    });
    nodata = NAN;
  }
  // Cells that the raster's mask (a mask band, or an alpha band) marks invalid have no value; a
  // mask made from the no-data value says nothing more than the value itself.
  if ((GDALGetMaskFlags(band) & (GMF_ALL_VALID | GMF_NODATA)) == 0) {
    each_cell(GDALGetMaskBand(band), GDT_Byte, uint8_t{0}, [](uint8_t valid, float& to) {
      if (valid == 0) to = NAN;
    });
  }
  // Each range counts its cells and stops at its first infinity; the first range's first is the
  // map's first, as one pass in row order would find it.
  struct Counts {
    int64_t valid = 0;
    int64_t infinite = 0;
    float out_of_range = 0.0f;  ///< the first infinity, where `stopped`
    bool stopped = false;
  };
  const std::vector<Counts> counts = maps.range_results<Counts>([=](size_t first, size_t end) {
    Counts c;
    for (size_t i = first; i < end; ++i) {
      const float value = cells[i];
      // Infinity is never data, as in an ASCII grid.
      if (std::isinf(value) && value != nodata) {
        c.out_of_range = value;
        c.stopped = true;
        return c;
      }
      cells[i] = grid_file_cell(value, nodata, &c.infinite);
      if (cells[i] >= 0.0f) ++c.valid;
    }
    return c;
  });
  int64_t valid = 0;
  int64_t infinite = 0;
  for (const Counts& c : counts) {
    if (c.stopped) {
      fatal(1, "error: value '%g' out of range in file '%s'!\n",
            static_cast<double>(c.out_of_range), path);
    }
    valid += c.valid;
    infinite += c.infinite;
  }
  if (infinite > 0) log_message("  found %" PRId64 " -infinite values!\n", infinite);
  *crs = crs_of(dataset.get());
  return valid;
}

int64_t geotiff_write(const char* path, const MapBlock& maps, int32_t k) {
  gdal_start();
  // A GeoTIFF is written with seeks and then renamed into place: neither suits a device or a FIFO,
  // which would be replaced by a regular file.
  struct stat target;
  if (stat(path, &target) == 0 && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
    fatal(1, "error: unable to write file '%s' (a GeoTIFF needs a regular file)!\n", path);
  }
  TempOutput temp;
  temp.fd = output_create_temp(path, temp.path);
  if (temp.fd < 0) fatal(1, "error: unable to open file '%s'!\n", path);
  const GridGeometry& g = maps.geometry;
  // A coordinate system GDAL cannot read costs the output its georeference, not the output.
  Srs srs;
  {
    GdalErrors quiet;
    srs = srs_of(g.crs);
  }
  if (srs == nullptr && !g.crs.text.empty()) {
    log_message("! coordinate system of '%s' not understood: not written to '%s'\n",
                g.source.c_str(), path);
  }
  int64_t valid = 0;
  bool complete;
  std::string reason;
  {
    GdalErrors errors;
    // ZSTD at level 1 with horizontal differencing of the 32-bit words (lossless for floats):
    // on six-digit values it is written three times faster than DEFLATE with the floating-point
    // predictor, whose byte-wise pass costs more than the compression, for files about 15 %
    // larger; every GDAL since 2.3 reads it. Readers without ZSTD can be given a DEFLATE copy with
    // gdal_translate.
    const std::string threads = "NUM_THREADS=" + gdal_threads();
    const char* const options[] = {"TILED=YES",        "BLOCKXSIZE=256", "BLOCKYSIZE=256",
                                   "COMPRESS=ZSTD",    "ZSTD_LEVEL=1",   "PREDICTOR=2",
                                   "BIGTIFF=IF_SAFER", threads.c_str(),  nullptr};
    Dataset dataset(GDALCreate(GDALGetDriverByName("GTiff"), temp.path, g.ncols, g.nrows, 1,
                               GDT_Float32, const_cast<char**>(options)));
    const bool created = dataset != nullptr;
    if (created) valid = write_band(dataset.get(), maps, k, srs.get(), errors);
    dataset.reset();  // closing writes the last tiles and the directory
    complete = created && !errors.failed();
    reason = errors.reason();
  }
  const int fd = temp.fd;
  temp.fd = -1;
  if (!complete) {
    output_replace(fd, temp.path, false);
    fatal(1, "error: unable to write file '%s' (%s)!\n", path, reason.c_str());
  }
  if (!output_replace(fd, temp.path, true)) fatal(1, "error: unable to write file '%s'!\n", path);
  return valid;
}

void geotiff_check_output(const char*) {}

bool gdal_crs_same(const GridCrs& a, const GridCrs& b) {
  if (a.text == b.text) return true;
  gdal_start();
  GdalErrors quiet;
  const Srs first = srs_of(a);
  const Srs second = srs_of(b);
  return first != nullptr && second != nullptr && OSRIsSame(first.get(), second.get()) != 0;
}

std::string gdal_crs_esri_text(const GridCrs& crs) {
  if (crs.esri) return crs.text;
  gdal_start();
  GdalErrors quiet;
  const Srs srs = srs_of(crs);
  return srs == nullptr ? "" : export_wkt(srs.get(), "FORMAT=WKT1_ESRI");
}

std::string gdal_crs_prj_text(const std::string& text) {
  gdal_start();
  GdalErrors quiet;
  const Srs srs = srs_of(GridCrs{text, true});
  return srs == nullptr ? "" : export_wkt(srs.get(), "FORMAT=WKT1_ESRI");
}

CrsUnit gdal_crs_unit(const GridCrs& crs) {
  gdal_start();
  GdalErrors quiet;
  const Srs srs = srs_of(crs);
  if (srs == nullptr) return CrsUnit{};
  char* name = nullptr;
  if (OSRIsProjected(srs.get()) != 0) {
    const double metres = OSRGetLinearUnits(srs.get(), &name);
    return CrsUnit{name != nullptr ? name : "", metres};
  }
  OSRGetAngularUnits(srs.get(), &name);
  return CrsUnit{name != nullptr ? name : "", 0.0};
}

#else  // built without GDAL: GeoTIFF is recognised by its signature and refused

bool raster_file_identified(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  unsigned char head[4] = {};
  const size_t got = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  // "II" or "MM", then 42 (TIFF) or 43 (BigTIFF) in that byte order.
  return got == 4 &&
         ((head[0] == 'I' && head[1] == 'I' && head[3] == 0 && (head[2] == 42 || head[2] == 43)) ||
          (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43)));
}

namespace {
[[noreturn]] void unsupported(const char* action, const char* path) {
  fatal(1, "error: unable to %s file '%s': built without GeoTIFF support!\n", action, path);
}
}  // namespace

GridGeometry raster_read_geometry(const char* path) {
  unsupported("read", path);
}

int64_t raster_read(const char* path, MapBlock&, int32_t, GridCrs*) {
  unsupported("read", path);
}

int64_t geotiff_write(const char* path, const MapBlock&, int32_t) {
  unsupported("write", path);
}

void geotiff_check_output(const char* path) {
  if (geotiff_output_name(path)) unsupported("write", path);
}

bool gdal_crs_same(const GridCrs& a, const GridCrs& b) {
  const auto trimmed = [](const std::string& text) {
    const size_t end = text.find_last_not_of(" \t\r\n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
  };
  return trimmed(a.text) == trimmed(b.text);
}

std::string gdal_crs_esri_text(const GridCrs& crs) {
  return crs.esri ? crs.text : "";
}

std::string gdal_crs_prj_text(const std::string&) {
  return "";
}

CrsUnit gdal_crs_unit(const GridCrs&) {
  return CrsUnit{};
}

#endif
