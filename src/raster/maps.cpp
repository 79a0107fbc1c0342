#include "raster/maps.h"

#include <climits>

#include "base/log.h"

MapBlock maps_allocate(const GridGeometry& geometry, int32_t n) {
  log_message("* allocate %d memory maps\n", n);
  return maps_allocate_quiet(geometry, n);
}

MapBlock maps_allocate_quiet(const GridGeometry& geometry, int32_t n) {
  if (!geometry_is_set(geometry)) fatal(1, "error: geometry still uninitiallized!\n");
  // Checked factor by factor: a wrapped product would allocate a short block that the reads then
  // overrun. Cell indices of the whole block stay 32-bit.
  int64_t cells = 0;
  if (n <= 0 || geometry.nrows < 0 || geometry.ncols < 0 ||
      __builtin_mul_overflow(static_cast<int64_t>(geometry.nrows), geometry.ncols, &cells) ||
      __builtin_mul_overflow(cells, static_cast<int64_t>(n), &cells) || cells > INT32_MAX) {
    fatal(1, "error: not enough memory!\n");
  }
  MapBlock maps;
  // Untouched pages stay the system's zero pages: a large block costs nothing until a stage
  // writes it.
  maps.block = block_array<float>(static_cast<size_t>(cells));
  if (maps.block == nullptr) fatal(1, "error: not enough memory!\n");
  maps.geometry = geometry;
  maps.count = n;
  return maps;
}
