// The island work of POSTPROCESS before the expansion: purge the islands smaller than a limit,
// score the others by their distance to the distance masks and by their accumulated potential,
// and mark the best group in the solution map.
#pragma once

#include <cstdint>
#include <vector>

#include "postprocess/postprocess_run.h"

/// The echo lines of the selection parameters.
constexpr const char* SELECT_ECHO_DISTANCE = "  minimum distance %d\n";
constexpr const char* SELECT_ECHO_CELLS = "  minimum %d cells at said distance\n";
constexpr const char* SELECT_ECHO_VALUE = "  accumulated value %f\n";

/// The working tables of the selection: one row per island, reordered by the selection by value.
struct IslandSelection {
  std::vector<int32_t> island;            ///< island number
  std::vector<double> accumulated_value;  ///< sum of the potential over the island's cells
  std::vector<int32_t> selection_score;   ///< number of methods that chose the island
};

/// Erases the islands of fewer than `limit` cells from the solution map and relabels; returns the
/// number of cells erased.
int64_t purge_islands(PostprocessRun& p, int32_t limit);

/// Prints the purge limit, purges and writes the purged debug map; returns the cells purged.
int64_t purge_stage(PostprocessRun& p);

/// Scores the labelled islands, marks the best group with the selected mark and prints the result;
/// exit code -6 when no island is selected.
void select_islands(PostprocessRun& p);
