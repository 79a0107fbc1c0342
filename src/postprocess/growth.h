// The growth sweep both expansion modes share: islands grow sweep by sweep into free side
// neighbours, each growth accepted by one draw against a value that depends on the assign
// preference. The basic mode sweeps without a graph; the basins filling mode passes the graph of
// the basins each island may enter, declared here so that neither mode includes the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/log.h"
#include "config/config.h"
#include "postprocess/postprocess_run.h"

constexpr int32_t BASIN_NONE = 0;       ///< the island has no relation to the basin
constexpr int32_t BASIN_ALLOWED = 1;    ///< the island may grow into the basin
constexpr int32_t BASIN_CANDIDATE = 2;  ///< the island touches the basin but may not enter yet

/// Which basins each island may enter: island_count rows of `columns` entries, row-major, and the
/// basin of every free or allocated cell.
struct BasinGraph {
  int32_t island_count = 0;
  int32_t columns = 0;           ///< basins 0..highest and the error basin
  std::vector<int32_t> entries;  ///< BASIN_NONE, BASIN_ALLOWED or BASIN_CANDIDATE
  /// Per cell: its basin, -1 for cells that never take part; `own_cell_basin` or the shared list.
  const CellBasins* cell_basin = nullptr;
  CellBasins own_cell_basin;
  bool mark_own_basin = false;  ///< growing cells re-mark their own basin as a candidate
};

/// Entry (island, basin) of the graph.
inline int32_t& basin_entry(BasinGraph& graph, int32_t island, int32_t basin) {
  return graph.entries[static_cast<size_t>(island) * static_cast<size_t>(graph.columns) +
                       static_cast<size_t>(basin)];
}

/// Island sizes while the islands grow; `largest` follows the growth.
struct IslandSizes {
  std::vector<int64_t> size;
  int64_t largest = 0;
  int64_t smallest = 0;
};

/// The cells a sweep visits. A sweep only turns free cells into grown ones, so an allocated cell
/// with no free side neighbour when a sweep starts makes no draw and grows nothing in it or in any
/// later sweep: visiting only the allocated cells that border a free cell, in row-major order,
/// gives the whole-map sweep's result at the cost of the islands' rims. The first sweep visits the
/// whole map (basins mode marks every island's own basins there, once for all).
struct GrowthFrontier {
  bool whole_map = true;      ///< the next sweep visits every cell
  bool narrowing = true;      ///< false: every sweep visits the whole map (the plain reference)
  std::vector<size_t> cells;  ///< allocated cells bordering a free cell, in row-major order
};

/// What one sweep did.
struct SweepResult {
  int64_t added;    ///< cells grown in the sweep
  bool could_grow;  ///< some draw was made with an acceptance value of 0 or more
};

/// Reads "postprocess.expand.assign-preference"; any text but the three exact words ends the run
/// with exit code 1.
AssignPreference read_assign_preference(const ConfigDocument& config);

/// Prints "  assign <label> '<word>'" for the preference.
void echo_assign_preference(const char* label, AssignPreference preference);

/// Shows the growth on the progress line: `remaining` of `cells_to_assign` cells still to add
/// before sweep `sweeps` + 1.
void growth_progress(Progress& progress, int64_t cells_to_assign, int64_t remaining,
                     int64_t sweeps);

/// Labels the islands, counts their sizes and prints the "stats" lines up to the smallest size.
IslandSizes growth_begin(PostprocessRun& p);

/// One sweep of the growth rule over the cells of `frontier`, with `remaining` cells still to
/// add; updates the frontier for the next sweep. With a graph, islands grow only into allowed
/// basins and mark the basins they touch.
SweepResult growth_sweep(PostprocessRun& p, IslandSizes& sizes, AssignPreference preference,
                         BasinGraph* graph, int64_t& remaining, GrowthFrontier& frontier);
