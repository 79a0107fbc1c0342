// Island labelling: an island is a 4-connected group of solution cells (cells of a solution map
// equal to the working cell value). Islands are numbered in the row-major order of their first
// cell. PROCESS counts them for its islands term; POSTPROCESS purges, selects and grows island by
// island.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "raster/maps.h"

/// The labelling arrays of a run and the counts of the last labelling.
struct IslandState {
  /// Per cell: island number, or -1 for a non-solution cell. 32 bits: more islands than that
  /// take more cells than a machine holds maps for, and the labelling refuses them.
  std::vector<int32_t> label_map;
  std::vector<int32_t> queue_col;  ///< flood-fill queue, columns; grows to the largest island's
  std::vector<int32_t> queue_row;  ///< flood-fill queue, rows
  int32_t island_count = 0;
  int64_t solution_cells = 0;  ///< solution cells of the last labelling
};

/// Sizes label_map for `cells` cells; false when memory is short (the caller reports it). The
/// queues grow as the labelling needs them.
bool islands_allocate(IslandState& islands, size_t cells);

/// Labels the islands of map k of `maps`, whose solution cells hold `value`; returns the count.
int32_t islands_label(IslandState& islands, const MapBlock& maps, int32_t k, float value);

/// The working space of islands_count, kept from one count to the next.
struct IslandRuns {
  std::vector<int64_t> parent;    ///< per run of solution cells, a run of the same island
  std::vector<int64_t> previous;  ///< the runs of the row above: first and last column, run
  std::vector<int64_t> current;   ///< the same for the row being scanned
};

/// The run that stands for the island of run `r` in a forest of runs (`parent`, each run's parent
/// run, a root its own), halving the path to it on the way.
int64_t island_root(std::vector<int64_t>& parent, int64_t r);

/// Joins the runs of island cells row by row, each to the runs of the row above that it touches
/// (side neighbours only): the islands as a forest of runs in `runs.parent`, a few integers per run
/// rather than a label per cell. in_island(row, col) tells a cell of an island (asked once or
/// twice a cell); on_run(run, row, first, last) sees each run, numbered from 0 in row-major order,
/// with its first and last column; on_join(root, other) is called when the island whose root is
/// run `other` joins the one whose root is `root`, the smaller number.
template <typename InIsland, typename OnRun, typename OnJoin>
void island_runs(IslandRuns& runs, int32_t nrows, int32_t ncols, InIsland in_island, OnRun on_run,
                 OnJoin on_join) {
  runs.parent.clear();
  runs.previous.clear();
  for (int32_t r = 0; r < nrows; ++r) {
    runs.current.clear();
    size_t above = 0;  // the first run above that can still touch a run of this row
    for (int32_t c = 0; c < ncols;) {
      if (!in_island(r, c)) {
        ++c;
        continue;
      }
      const int32_t first = c;
      while (c < ncols && in_island(r, c)) ++c;
      const int32_t last = c - 1;
      const auto run = static_cast<int64_t>(runs.parent.size());
      runs.parent.push_back(run);
      on_run(run, r, first, last);
      // A run above touches this one when their columns overlap.
      while (above < runs.previous.size() && runs.previous[above + 1] < first) above += 3;
      for (size_t k = above; k < runs.previous.size() && runs.previous[k] <= last; k += 3) {
        const int64_t a = island_root(runs.parent, runs.previous[k + 2]);
        const int64_t b = island_root(runs.parent, run);
        if (a == b) continue;
        runs.parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
        on_join(std::min(a, b), std::max(a, b));
      }
      runs.current.insert(runs.current.end(), {first, last, run});
    }
    runs.previous.swap(runs.current);
  }
}

/// What islands_count found.
struct IslandCount {
  int64_t islands = 0;
  int64_t solution_cells = 0;
};

/// The number of islands of the nrows x ncols map `cells` whose solution cells hold `value`, and
/// of those cells, as islands_label counts them but without a label per cell: each row's runs of
/// solution cells are joined to the runs of the row above that they touch, so the memory is a few
/// integers per run rather than one per cell.
IslandCount islands_count(IslandRuns& runs, const float* cells, int32_t nrows, int32_t ncols,
                          float value);

/// Per labelled island, the sum of `value(cell)` over its cells in row-major order: one pass over
/// the label map.
template <typename T, typename CellValue>
std::vector<T> island_totals(const IslandState& islands, CellValue value) {
  std::vector<T> totals(static_cast<size_t>(islands.island_count), T{0});
  const size_t n = islands.label_map.size();
  for (size_t i = 0; i < n; ++i) {
    const int32_t label = islands.label_map[i];
    if (label >= 0) totals[static_cast<size_t>(label)] += value(i);
  }
  return totals;
}

/// Number of cells of every labelled island.
inline std::vector<int64_t> island_sizes(const IslandState& islands) {
  return island_totals<int64_t>(islands, [](size_t) { return 1; });
}
