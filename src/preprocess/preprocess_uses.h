// PREPROCESS for several land uses: each use in the order given places its demand, as one use
// does, on the cells still free (or that it may convert), drawn towards its distribution masks;
// no cell gets two uses. The map handed over holds each use's new cells as its code.
#pragma once

#include "scenario/land_uses.h"
#include "scenario/scenario.h"

void run_preprocess_uses(const Scenario& scenario, const LandUses& uses, Run& run);
