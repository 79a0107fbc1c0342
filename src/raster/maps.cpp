#include "raster/maps.h"

#include <cstdint>

#include "base/log.h"

MapBlock maps_allocate(const GridGeometry& geometry, int32_t n) {
  log_message("* allocate %d memory maps\n", n);
  return maps_allocate_quiet(geometry, n);
}

size_t maps_block_cells(const GridGeometry& geometry, int32_t n) {
  // Checked factor by factor: a wrapped product would allocate a short block that the reads then
  // overrun.
  size_t cells = geometry_cell_count(geometry);
  size_t bytes = 0;
  if (n <= 0 || cells == 0 || __builtin_mul_overflow(cells, static_cast<size_t>(n), &cells) ||
      __builtin_mul_overflow(cells, sizeof(float), &bytes) || bytes > PTRDIFF_MAX) {
    return 0;
  }
  return cells;
}

MapBlock maps_allocate_quiet(const GridGeometry& geometry, int32_t n) {
  if (!geometry_is_set(geometry)) fatal(1, "error: geometry still uninitiallized!\n");
  const size_t cells = maps_block_cells(geometry, n);
  if (cells == 0) fatal(1, "error: not enough memory!\n");
  MapBlock maps;
  // Untouched pages stay the system's zero pages: a large block costs nothing until a stage
  // writes it.
  maps.block = block_array<float>(cells);
  if (maps.block == nullptr) fatal(1, "error: not enough memory!\n");
  maps.geometry = geometry;
  maps.count = n;
  return maps;
}
