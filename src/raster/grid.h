// Grid files: the rasters of a run are read from them and written to them, as Esri ASCII grids
// (through the text parsers of grid_text.h) or, through GDAL, as other rasters. Every file read
// must carry the header of the block's geometry and every file written carries it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/geometry.h"
#include "raster/grid_text.h"
#include "raster/maps.h"

/// File names are at most as long as a property text of the configuration.
constexpr size_t GRID_PATH_MAX = 1024;

/// Stops (exit code 1) when `path` is too long for a file name.
void grid_check_path(const char* path);

/// The geometry the header of the grid file `path` declares, with `path` as its source; fatal when
/// it cannot be opened.
GridGeometry grid_read_geometry(const char* path);

/// Reads only the header of the grid file `path` and compares it with `geometry`, with the
/// messages and exit codes of grid_read; prints nothing when it matches.
void grid_check_header(const char* path, const GridGeometry& geometry);

/// Compares the geometry `h` of the file `path` with `geometry` as grid_check_header does.
void grid_check_geometry(const char* path, const GridGeometry& h, const GridGeometry& geometry);

/// How many threads reading and writing raster files may use (parsing, decoding, compressing):
/// a run's --threads; 0, the default, for every core.
void raster_set_threads(int32_t threads);
/// What raster_set_threads set.
int32_t raster_threads();

/// Reads the grid file `path` into map k of `maps`; returns the number of cells >= 0. An Esri
/// ASCII grid is told by its first word (a header key); a raster that GDAL recognises is read
/// through it. A coordinate system other than the geometry's is reported.
int64_t grid_read(const char* path, MapBlock& maps, int32_t k);

/// Writes map k of `maps` to the grid file `path` (whole or not at all); returns the number of
/// cells >= 0. A name ending in ".tif" or ".tiff" is written as GeoTIFF, any other as an Esri
/// ASCII grid with the geometry's coordinate system in a `.prj` beside it.
int64_t grid_write(const char* path, const MapBlock& maps, int32_t k);

/// grid_write to the file named "<prefix><suffix>", as the debug maps named after a stage's output.
int64_t grid_write_suffixed(const char* prefix, const char* suffix, const MapBlock& maps,
                            int32_t k);
