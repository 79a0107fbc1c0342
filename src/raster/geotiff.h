// Rasters other than Esri ASCII grids, through GDAL: a single-band GeoTIFF, or a VRT of local
// GeoTIFF and ASCII grid files, may be an input, and an output named ".tif" or ".tiff" is written
// as a tiled, compressed GeoTIFF. The grid reader and writer hand such files over here; the cells,
// the geometry check and the counts are theirs. Built without GDAL, a GeoTIFF is still recognised
// and refused with a clear error.
#pragma once

#include <cstdint>
#include <string>

#include "raster/geometry.h"
#include "raster/maps.h"

/// Whether `path` is a raster GDAL recognises (built without GDAL: whether it is a TIFF).
bool raster_file_identified(const char* path);

/// Whether an output named `path` is written as GeoTIFF: its name ends in ".tif" or ".tiff", in
/// any case.
bool geotiff_output_name(const char* path);

/// The geometry of the raster `path`, its coordinate system included and its origin as the
/// lower-left corner, with `path` as its source. Fatal when it cannot be read, is of another
/// format, reaches for the network or a file that is no local raster (a VRT), has more than one
/// band (an alpha band aside) or complex cells, or is rotated, not north-up or has non-square
/// cells.
GridGeometry raster_read_geometry(const char* path);

/// Reads band 1 of the raster `path` into map k of `maps` as grid_read reads an ASCII grid: the
/// geometry checked against the block's, no data (the no-data value, and cells its mask or alpha
/// band marks invalid) and values below CELL_MASKED stored as CELL_NODATA, an infinite value
/// refused; the band's scale and offset applied. Sets `crs` to its coordinate system; returns the
/// number of valid cells.
int64_t raster_read(const char* path, MapBlock& maps, int32_t k, GridCrs* crs);

/// Writes map k of `maps` to `path` as a Float32 GeoTIFF (tiled, ZSTD with horizontal
/// differencing, BigTIFF when needed) with the block's geometry and coordinate system and the
/// no-data value FILE_NODATA, whole or not at all. Returns the number of valid cells.
int64_t geotiff_write(const char* path, const MapBlock& maps, int32_t k);

/// Fatal when an output named `path` cannot be written by this build: a GeoTIFF without GDAL.
void geotiff_check_output(const char* path);

/// Whether two coordinate systems are the same (by their definitions with GDAL; by their texts
/// without).
bool gdal_crs_same(const GridCrs& a, const GridCrs& b);

/// The coordinate system as the Esri WKT of a `.prj`; a `.prj` text (already GDAL's, see
/// gdal_crs_prj_text) stays as it is. Empty when GDAL cannot read it.
std::string gdal_crs_esri_text(const GridCrs& crs);

/// The coordinate system that the `.prj` text `text` defines, as the Esri WKT GDAL writes for it:
/// a `.prj` is read, never copied. Empty when GDAL cannot read it (always without GDAL).
std::string gdal_crs_prj_text(const std::string& text);

/// The unit of a coordinate system's axes, as GDAL names it ("metre", "US survey foot",
/// "degree"), and its length in metres for a projected system (0 for a geographic one, whose unit
/// is an angle). The name is empty when the system is absent or cannot be read (always without
/// GDAL).
struct CrsUnit {
  std::string name;
  double metres = 0.0;
};
CrsUnit gdal_crs_unit(const GridCrs& crs);
