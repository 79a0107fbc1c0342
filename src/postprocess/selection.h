// The island work of POSTPROCESS: purge the islands smaller than a limit, score the others by
// their distance to the distance masks and by their accumulated potential, mark the best group
// in the solution map, then hand over to the expansion that regrows the cells taken away.
#pragma once

#include <cstdint>
#include <vector>

#include "raster/grid.h"

struct PostprocessParameters;

/// The echo lines of the selection parameters.
constexpr const char* SELECT_ECHO_DISTANCE = "  minimum distance %d\n";
constexpr const char* SELECT_ECHO_CELLS = "  minimum %d cells at said distance\n";
constexpr const char* SELECT_ECHO_VALUE = "  accumulated value %f\n";

/// A cell of a best-group island, from the selection until the expansion clears the worst group.
#define SELECTED_MARK (working_cell_value + 1.0f)

/// The working tables of the selection: one row per island, reordered by the selection by value.
struct IslandSelection {
  std::vector<int32_t> island;            ///< island number
  std::vector<double> accumulated_value;  ///< sum of the potential over the island's cells
  std::vector<int32_t> selection_score;   ///< number of methods that chose the island
};

/// Erases the islands of fewer than `limit` cells from the solution map and relabels; returns the
/// number of cells erased.
int32_t purge_islands(int32_t limit);

/// Scores the labelled islands, marks the best group with SELECTED_MARK and prints the result;
/// exit code -6 when no island is selected.
void select_islands(const PostprocessParameters& p);

/// Purge, selection and expansion of the islands of map 0, ending with the final map and mask.
void postprocess_islands(const PostprocessParameters& p);
