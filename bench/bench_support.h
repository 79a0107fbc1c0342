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

/// A fresh block of two maps of side x side cells, map 0 holding pseudo-random six-digit values
/// (as a grid file of measurements would).
inline MapBlock bench_six_digit_map(int32_t side) {
  MapBlock maps = bench_grid(side, 2);
  uint32_t state = 12345;
  for (size_t i = 0; i < maps.cell_count(); ++i) {
    state = state * 1664525u + 1013904223u;
    maps.map(0)[i] = static_cast<float>(100000 + (state >> 8) % 900000);
  }
  return maps;
}
