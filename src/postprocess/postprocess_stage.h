// The POSTPROCESS stage: loads the map written by PROCESS, builds the potential, probability and
// distance maps the island work reads, then purges, selects and regrows the islands into the
// final map and its mask. Also holds the small helpers the island work shares: the debug-map
// files named after "postprocess.output" and the per-island sums over the label map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "raster/grid.h"
#include "raster/islands.h"

/// The POSTPROCESS stage entry point; reads everything from the configuration.
void run_postprocess_stage();

/// Reads "postprocess.debug-maps"; when on, prints "debug maps" and returns true with the text of
/// "postprocess.output" in `prefix`, to name the debug maps with grid_write_suffixed.
bool postprocess_debug_begin(std::string& prefix);

/// Per labelled island, the sum of `value(cell)` over its cells in row-major order: one pass over
/// the label map.
template <typename T, typename CellValue>
std::vector<T> island_totals(CellValue value) {
  std::vector<T> totals(static_cast<size_t>(island_state.island_count), T{0});
  const int32_t* labels = island_state.label_map;
  const size_t n = grid_cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (labels[i] >= 0) totals[static_cast<size_t>(labels[i])] += value(i);
  }
  return totals;
}

/// Number of cells of every labelled island.
inline std::vector<int32_t> island_sizes() {
  return island_totals<int32_t>([](size_t) { return 1; });
}
