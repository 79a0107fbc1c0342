// Set-up shared by the benchmarks: a fresh square grid of cleared maps with the log silenced.
// Each benchmark builds its own block, as a stage does, so none depends on what another one left.
#pragma once

#include <cstdio>

#include "base/log.h"
#include "raster/grid.h"
#include "raster/maps.h"

/// Silences the log of this thread.
inline void bench_quiet() {
  static FILE* quiet = std::fopen("/dev/null", "w");
  log_set_stream(quiet);
}

/// A fresh block of `maps` cleared maps of side x side cells.
inline MapBlock bench_grid(int32_t side, int32_t maps) {
  bench_quiet();
  GridGeometry geometry;
  geometry.nrows = side;
  geometry.ncols = side;
  geometry.cellsize = 1.0;
  return maps_allocate(geometry, maps);
}
