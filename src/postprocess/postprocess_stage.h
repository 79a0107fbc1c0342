// The POSTPROCESS stage: loads the map written by PROCESS, builds the potential, probability and
// distance maps the island work reads, then purges, selects and regrows the islands into the
// final map and its mask. Also holds the small helpers the island work shares: the debug-map
// files named after "postprocess.output" and the per-island sums over the label map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "postprocess/expand_basic.h"
#include "raster/grid.h"
#include "raster/islands.h"

/// Everything the stage reads from the configuration, checked.
struct PostprocessParameters {
  std::string input;  ///< "process.output", the map to purge, select and regrow
  std::vector<std::string> distance_masks;
  std::vector<std::string> distance_maps;  ///< read only when there is no distance mask
  bool debug_maps = false;
  int32_t purge_limit = 0;
  int32_t min_distance = 0;  ///< "minimum-distance-to-mask"
  int32_t min_cells = 0;     ///< "minimum-cells-at-distance"
  float accumulated_value = 0.0f;
  std::string basins_map;          ///< empty: basic mode
  int32_t min_cells_in_basin = 0;  ///< read in the basins filling mode only
  AssignPreference preference = AssignPreference::random;
  std::string output;
  std::string output_mask;
};

/// Reads and checks the stage's properties in the stage's order; a fault ends the run with the
/// stage's message and exit code (a range error after echoing the value), so that the check
/// before a run and the stage share one reading.
PostprocessParameters postprocess_read_parameters();

/// The POSTPROCESS stage entry point; reads everything from the configuration.
void run_postprocess_stage();

/// When the debug maps are on, prints "debug maps" and returns true; they are named after
/// "postprocess.output" with grid_write_suffixed.
bool postprocess_debug_begin(const PostprocessParameters& p);

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
