// Growth of the best-group islands back to the number of cells the selection took away. Islands
// grow sweep by sweep into free side neighbours, each growth accepted by one draw against a value
// that depends on the assign preference. Basic mode grows freely; the basins filling mode reuses
// the same sweep with a graph of the basins each island may enter.
#pragma once

#include <cstdint>
#include <vector>

#include "base/log.h"
#include "config/config.h"
#include "postprocess/postprocess_run.h"

struct BasinGraph;

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

/// Grows the islands freely until `cells_to_assign` cells were added; returns the sweeps made.
/// `narrowing` false makes every sweep visit the whole map.
int64_t expand_basic(PostprocessRun& p, int64_t cells_to_assign, AssignPreference preference,
                     bool narrowing = true);

/// The basic-mode branch of the expansion: prints its banner and the preference, and expands.
void expand_basic_branch(PostprocessRun& p, int64_t cells_to_assign);
