// The coordinate system of the grids. The first potential map's (the `.prj` beside an ASCII grid,
// the one embedded in a GeoTIFF) is taken with the geometry and goes with every output: embedded
// in a GeoTIFF, as a `.prj` beside an ASCII grid. Cells are never reprojected: a grid read with
// another coordinate system is only reported.
#pragma once

#include <string>

#include "raster/geometry.h"

/// The `.prj` that GIS tools look for beside the grid `path`: its extension replaced (or ".prj"
/// appended when it has none).
std::string crs_sidecar_path(const std::string& path);

/// The coordinate system in the `.prj` (or `.PRJ`) beside the ASCII grid `path`, as GDAL reads
/// it; none without, or when GDAL cannot read it: then `not_understood` (if not null) is set to
/// the `.prj`'s name.
GridCrs crs_read_sidecar(const char* path, std::string* not_understood);

/// Writes `crs` as the `.prj` beside the ASCII grid `path`, whole or not at all. Without a
/// coordinate system, a `.prj` left there by an earlier output is removed: it would place the new
/// grid where this run's inputs are not.
void crs_write_sidecar(const char* path, const GridCrs& crs);

/// Prints a warning when `crs`, of the grid file `path`, and the coordinate system of `geometry`
/// both exist and differ.
void crs_check(const char* path, const GridCrs& crs, const GridGeometry& geometry);
