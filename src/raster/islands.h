// Island labelling: an island is a 4-connected group of solution cells (cells of map 0 equal to the
// working cell value). Islands are numbered in the row-major order of their first cell. PROCESS
// uses the count as its islands term; POSTPROCESS purges, selects and grows island by island.
#pragma once

#include <cstddef>
#include <cstdint>

/// The labelling arrays, owned by the stage that allocates them, and the island counters.
struct IslandState {
  int32_t* label_map = nullptr;  ///< per cell: island number, or -1 for a non-solution cell
  int32_t* queue_col = nullptr;  ///< flood-fill queue, columns
  int32_t* queue_row = nullptr;  ///< flood-fill queue, rows
  size_t queue_capacity = 0;     ///< entries of each queue array
  int32_t island_count = 0;
  int32_t min_island_count = 0;
  double f3_range = -1.0;  ///< normaliser of the islands term; -1.0 = unset
};

/// The process-wide labelling state.
extern IslandState island_state;

/// Allocates label_map (one entry per cell) and queues of `queue_entries` each; false when memory
/// is short (the caller reports it).
bool islands_allocate(size_t queue_entries);

/// Frees the labelling arrays.
void islands_release();

/// Labels the islands of map 0; returns (island_count - 1) / f3_range, setting f3_range to n - 1
/// first when it is unset (0.0 when that range is 0: a one-cell solution has no extra island).
double islands_label();
