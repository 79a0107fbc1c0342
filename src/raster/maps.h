// The block of maps a stage works on: n rasters of the run's geometry in one owned allocation, map
// k starting at cell k * nrows * ncols. Stages name their maps by role (each stage's header lists
// them); the map operations and loaders take the block and map numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/bands.h"
#include "base/big_block.h"
#include "raster/geometry.h"

/// One raster of nrows x ncols cells inside a block.
struct CellMap {
  float* cells;
  int32_t nrows;
  int32_t ncols;
  float& at(int32_t row, int32_t col) const { return cells[cell_index(ncols, row, col)]; }
};

/// A stage's maps. Cleared when allocated: no map ever holds indeterminate values.
struct MapBlock {
  GridGeometry geometry;
  int32_t count = 0;
  BlockArray<float> block;
  /// Threads the passes over a whole map of the block may run on: the run's.
  int32_t threads = 1;

  /// Cells of one map.
  size_t cell_count() const { return geometry_cell_count(geometry); }
  /// First cell of map k.
  float* map(int32_t k) { return block.get() + static_cast<size_t>(k) * cell_count(); }
  const float* map(int32_t k) const { return block.get() + static_cast<size_t>(k) * cell_count(); }
  /// Gives the memory of cells [first, end) of map k back to the system where it can (a large
  /// block); their values are lost.
  void discard(int32_t k, size_t first, size_t end) {
    block_discard(block.get(), block.get_deleter().bytes, map(k) + first,
                  (end - first) * sizeof(float));
  }
  /// How many ranges of cells a pass over one map is split into (one for a small map).
  size_t ranges() const { return cell_ranges(cell_count(), threads); }
  /// piece(range, first, end) for each of the ranges() ranges of one map's cells, at once.
  template <typename Piece>
  void each_range(Piece piece) const {
    each_cell_range(cell_count(), ranges(), piece);
  }
  /// What piece(first, end) returns for each range, at once, in range order.
  template <typename T, typename Piece>
  std::vector<T> range_results(Piece piece) const {
    std::vector<T> results(ranges());
    each_range([&](size_t range, size_t first, size_t end) { results[range] = piece(first, end); });
    return results;
  }
  /// Map k as a CellMap.
  CellMap get(int32_t k) { return CellMap{map(k), geometry.nrows, geometry.ncols}; }
};

/// Cells of a block of n maps of `geometry`, every product checked; 0 when the geometry is unset,
/// n is not positive or the block's bytes would not fit in memory's address range.
size_t maps_block_cells(const GridGeometry& geometry, int32_t n);

/// A block of n cleared maps of `geometry`; fatal when the geometry is unset or memory is short.
MapBlock maps_allocate(const GridGeometry& geometry, int32_t n);

/// maps_allocate without its log line, for a map that is working space of one operation.
MapBlock maps_allocate_quiet(const GridGeometry& geometry, int32_t n);
