// Basins filling mode: the islands regrow only into basins they are allowed to enter. An island
// starts allowed into the basins that hold its cells; basins with too few solution cells can be
// closed to all; whenever a whole sweep adds nothing, a fifth of the basins the islands touch
// without being allowed there is opened. Cells of no basin form one extra basin, the error basin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/random.h"
#include "postprocess/growth.h"

/// Opens the first ceil(count / 5) candidate entries in row-major order (one draw each); returns
/// 0 when there is no candidate, else the number opened.
int32_t add_candidate_basins(BasinGraph& graph, Rng& rng);

/// Grows the islands basin by basin until `cells_to_assign` cells were added; returns the sweeps
/// made. Exit code -1 when the basins cannot hold the cells. `narrowing` false makes every sweep
/// visit the whole map.
int64_t expand_basins(PostprocessRun& p, int32_t min_cells_in_basin, int64_t cells_to_assign,
                      AssignPreference preference, bool narrowing = true);

/// The echo line of "postprocess.expand.minimim-cells-in-basin".
constexpr const char* BASINS_ECHO_CELLS = "  minimum %d solution cells in basin\n";

/// The basins branch of the expansion: reads the basins map, prints its parameters, and expands.
void expand_basins_branch(PostprocessRun& p, int64_t cells_to_assign);
