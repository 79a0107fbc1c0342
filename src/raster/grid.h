// Esri ASCII grid files: the rasters of a run are read from them and written to them. Every file
// read must carry the header of the block's geometry and every file written carries it.
#pragma once

#include <cstdint>

#include "raster/geometry.h"
#include "raster/maps.h"

/// The geometry the header of the grid file `path` declares, with `path` as its source; fatal when
/// it cannot be opened.
GridGeometry grid_read_geometry(const char* path);

/// Reads only the header of the grid file `path` and compares it with `geometry`, with the
/// messages and exit codes of grid_read; prints nothing when it matches.
void grid_check_header(const char* path, const GridGeometry& geometry);

/// Reads the grid file `path` into map k of `maps`; returns the number of cells >= 0.
int32_t grid_read(const char* path, MapBlock& maps, int32_t k);

/// Writes map k of `maps` to the grid file `path` (whole or not at all); returns the number of
/// cells >= 0.
int32_t grid_write(const char* path, const MapBlock& maps, int32_t k);

/// grid_write to the file named "<prefix><suffix>", as the debug maps named after a stage's output.
int32_t grid_write_suffixed(const char* prefix, const char* suffix, const MapBlock& maps,
                            int32_t k);
