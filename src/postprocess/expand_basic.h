// Basic mode of the growth of the best-group islands back to the number of cells the selection
// took away: the islands grow freely, sweep by sweep, until the count is reached.
#pragma once

#include <cstdint>

#include "postprocess/growth.h"

/// Grows the islands freely until `cells_to_assign` cells were added; returns the sweeps made.
/// `narrowing` false makes every sweep visit the whole map.
int64_t expand_basic(PostprocessRun& p, int64_t cells_to_assign, AssignPreference preference,
                     bool narrowing = true);

/// The basic-mode branch of the expansion: prints its banner and the preference, and expands.
void expand_basic_branch(PostprocessRun& p, int64_t cells_to_assign);
