// GeoTIFF files made and read back with GDAL's own API, so that what landalloc reads and writes is
// checked against GDAL, not against itself. Only in builds with GDAL.
#pragma once

#ifdef LANDALLOC_GDAL

#include <cpl_conv.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "temp_dir.h"

/// Esri WKT of ETRS89 / UTM zone 32N and of NAD83 / UTM zone 10N, as a `.prj` holds them.
inline const std::string PRJ_UTM32 = read_file(LANDALLOC_TEST_DATA "/utm32.prj");
inline const std::string PRJ_UTM10 = read_file(LANDALLOC_TEST_DATA "/utm10.prj");

/// What GDAL sees in a raster file.
struct GdalRaster {
  std::array<double, 6> transform = {};
  double nodata = 0.0;
  std::string wkt;     ///< empty without a coordinate system
  std::string layout;  ///< cell type, compression, predictor, block size, no-data value or "none"
  std::vector<float> cells;  ///< band 1, row-major
};

inline GDALDatasetH gdal_open_or_throw(const std::string& path) {
  GDALAllRegister();
  GDALDatasetH dataset = GDALOpen(path.c_str(), GA_ReadOnly);
  if (dataset == nullptr) throw std::runtime_error("GDAL cannot open " + path);
  return dataset;
}

/// Reads `path` with GDAL.
inline GdalRaster gdal_read(const std::string& path) {
  GDALDatasetH dataset = gdal_open_or_throw(path);
  GdalRaster r;
  const int ncols = GDALGetRasterXSize(dataset), nrows = GDALGetRasterYSize(dataset);
  GDALGetGeoTransform(dataset, r.transform.data());
  r.wkt = GDALGetProjectionRef(dataset);
  const auto item = [&](const char* key) {
    const char* value = GDALGetMetadataItem(dataset, key, "IMAGE_STRUCTURE");
    return std::string(value != nullptr ? value : "");
  };
  GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
  int has = 0, block_x = 0, block_y = 0;
  r.nodata = GDALGetRasterNoDataValue(band, &has);
  GDALGetBlockSize(band, &block_x, &block_y);
  r.layout = GDALGetDataTypeName(GDALGetRasterDataType(band)) + (" " + item("COMPRESSION")) + " " +
             item("PREDICTOR") + " " + std::to_string(block_x) + "x" + std::to_string(block_y) +
             " " + (has != 0 ? std::to_string(r.nodata) : "none");
  r.cells.resize(static_cast<size_t>(ncols) * static_cast<size_t>(nrows));
  const CPLErr error = GDALRasterIO(band, GF_Read, 0, 0, ncols, nrows, r.cells.data(), ncols, nrows,
                                    GDT_Float32, 0, 0);
  GDALClose(dataset);
  if (error != CE_None) throw std::runtime_error("GDAL cannot read " + path);
  return r;
}

/// Converts the raster `from` (its `.prj` included) into the GeoTIFF `to`, uncompressed, in strips.
inline void gdal_to_geotiff(const std::string& from, const std::string& to) {
  GDALDatasetH source = gdal_open_or_throw(from);
  GDALDatasetH copy = GDALCreateCopy(GDALGetDriverByName("GTiff"), to.c_str(), source, TRUE,
                                     nullptr, nullptr, nullptr);
  GDALClose(source);
  if (copy == nullptr) throw std::runtime_error("GDAL cannot write " + to);
  GDALClose(copy);
}

/// Writes a GeoTIFF of `type` and `bands` bands, `values` (row-major) in band 1; no geotransform or
/// no-data value when null; creation `options` null-terminated; `edit` runs before closing.
inline void gdal_write_geotiff(const std::string& path, int nrows, int ncols,
                               const std::vector<float>& values, const double* transform,
                               GDALDataType type = GDT_Float32, const double* nodata = nullptr,
                               int bands = 1, const std::function<void(GDALDatasetH)>& edit = {},
                               const char* const* options = nullptr) {
  GDALAllRegister();
  GDALDatasetH dataset = GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), ncols, nrows, bands,
                                    type, const_cast<char**>(options));
  if (dataset == nullptr) throw std::runtime_error("GDAL cannot create " + path);
  if (transform != nullptr) GDALSetGeoTransform(dataset, const_cast<double*>(transform));
  GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
  if (nodata != nullptr) GDALSetRasterNoDataValue(band, *nodata);
  const CPLErr error =
      GDALRasterIO(band, GF_Write, 0, 0, ncols, nrows, const_cast<float*>(values.data()), ncols,
                   nrows, GDT_Float32, 0, 0);
  if (edit) edit(dataset);
  GDALClose(dataset);
  if (error != CE_None) throw std::runtime_error("GDAL cannot write " + path);
}

/// Whether two WKT texts name the same coordinate system for GDAL.
inline bool gdal_same_crs(const std::string& a, const std::string& b) {
  OGRSpatialReferenceH srs[] = {OSRNewSpatialReference(nullptr), OSRNewSpatialReference(nullptr)};
  const bool same = OSRSetFromUserInput(srs[0], a.c_str()) == OGRERR_NONE &&
                    OSRSetFromUserInput(srs[1], b.c_str()) == OGRERR_NONE &&
                    OSRIsSame(srs[0], srs[1]) != 0;
  for (OGRSpatialReferenceH s : srs) OSRDestroySpatialReference(s);
  return same;
}

#endif
