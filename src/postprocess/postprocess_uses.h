// POSTPROCESS for several land uses: each use in turn is purged, selected and regrown as one use
// is, on a view of the map where every other use's cells are taken, so that regrowth never takes
// them. Writes the map of use codes and its mask (every new cell of any use).
#pragma once

#include "scenario/land_uses.h"
#include "scenario/scenario.h"

void run_postprocess_uses(const Scenario& scenario, const LandUses& uses, Run& run);
