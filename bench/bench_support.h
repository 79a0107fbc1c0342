// Set-up shared by the benchmarks: a fresh square grid of cleared maps with the log silenced.
// Each benchmark starts with it, so none depends on the geometry or maps another one left behind.
#pragma once

#include <cstdio>

#include "driver/log.h"
#include "raster/grid.h"
#include "raster/islands.h"

/// Silences the log and forgets the previous grid and its maps.
inline void bench_reset() {
  static FILE* quiet = std::fopen("/dev/null", "w");
  log_set_stream(quiet);
  islands_release();
  maps_release();
  grid_reset_geometry();
}

/// A fresh grid of `maps` cleared maps of side x side cells.
inline void bench_grid(int32_t side, int32_t maps) {
  bench_reset();
  grid_geometry.nrows = side;
  grid_geometry.ncols = side;
  grid_geometry.cellsize = 1.0;
  maps_allocate(maps);
}
