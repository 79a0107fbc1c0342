// Esri ASCII grid files: the rasters of a run are read from them and written to them. Every file
// read must carry the header of the block's geometry and every file written carries it.
#pragma once

#include <cmath>
#include <cstdint>

#include "raster/geometry.h"
#include "raster/maps.h"

/// The geometry the header of the grid file `path` declares, with `path` as its source; fatal when
/// it cannot be opened.
GridGeometry grid_read_geometry(const char* path);

/// Reads only the header of the grid file `path` and compares it with `geometry`, with the
/// messages and exit codes of grid_read; prints nothing when it matches.
void grid_check_header(const char* path, const GridGeometry& geometry);

/// Compares the geometry `h` of the file `path` with `geometry` as grid_check_header does.
void grid_check_geometry(const char* path, const GridGeometry& h, const GridGeometry& geometry);

/// Reads the grid file `path` into map k of `maps`; returns the number of cells >= 0. An Esri
/// ASCII grid is told by its first word (a header key); a raster that GDAL recognises is read
/// through it. A coordinate system other than the geometry's is reported.
int32_t grid_read(const char* path, MapBlock& maps, int32_t k);

/// Writes map k of `maps` to the grid file `path` (whole or not at all); returns the number of
/// cells >= 0. A name ending in ".tif" or ".tiff" is written as GeoTIFF, any other as an Esri
/// ASCII grid with the geometry's coordinate system in a `.prj` beside it.
int32_t grid_write(const char* path, const MapBlock& maps, int32_t k);

/// The value a cell of a file holding `value` takes in memory, given the file's no-data value
/// (NaN for none): no data, and NaN, become CELL_NODATA; values below CELL_MASKED too, counted
/// in `infinite`.
inline float grid_file_cell(float value, float nodata, int32_t* infinite) {
  // NaN is no value at all: kept as such it would poison every sum it enters.
  const bool no_data = value == nodata || std::isnan(value);
  const bool below = !no_data && value < CELL_MASKED;
  // Without branches, so that a loop over a whole raster runs on vectors.
  *infinite += below;
  return no_data || below ? CELL_NODATA : value;
}

/// grid_write to the file named "<prefix><suffix>", as the debug maps named after a stage's output.
int32_t grid_write_suffixed(const char* prefix, const char* suffix, const MapBlock& maps,
                            int32_t k);
