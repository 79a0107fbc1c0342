// PROCESS for several land uses, by blocks: each use in turn is re-solved by the single-use
// method ("min-cut" or "annealing") with every other use held where it is. Its cells may move
// only onto free cells (or codes it may convert), so every demand holds, and the sides it shares
// with the other uses enter its energy as a cost per cell: the adjacency term of the whole map
// changes by exactly that cost, so each block lowers (or keeps) the total energy
//   E = sum over uses of the use's own five terms + sum over shared sides of a(u, v) / R,
// R the perimeter range of all new cells together. Rounds go on until one no longer lowers E.
#pragma once

#include "scenario/land_uses.h"
#include "scenario/scenario.h"

void run_process_uses(const Scenario& scenario, const LandUses& uses, Run& run);
