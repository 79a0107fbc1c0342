// PROCESS for several land uses, by blocks: each use in turn is re-solved by the single-use
// method ("min-cut" or "annealing") with every other use held where it is. Its cells may move
// only onto free cells (or codes it may convert), so every demand holds, and the sides it shares
// with the other uses enter its energy as a cost per cell: the adjacency term of the whole map
// changes by exactly that cost, so each block lowers (or keeps) the total energy
//   E = sum over uses of the use's own five terms + sum over shared sides of a(u, v) / R,
// R the perimeter range of all new cells together. Rounds go on until one no longer lowers E.
#pragma once

#include <memory>
#include <vector>

#include "process/process_stage.h"
#include "scenario/land_uses.h"
#include "scenario/scenario.h"

/// Runs PROCESS for `uses`; the normalisers each use's first evaluation fixed go to
/// run.use_normalisers.
void run_process_uses(const Scenario& scenario, const LandUses& uses, Run& run);

/// E of a map of use codes as a stage leaves it, and each use's own terms in it.
/// Two uses a < b (their indices): the sides their cells share where at least one of the two is
/// new (those the adjacency term counts), and the term's part from them.
struct UsePair {
  size_t a = 0;
  size_t b = 0;
  int64_t sides = 0;
  double adjacency = 0.0;
};

/// The log's line on a pair of uses a < b: their shared sides, the sides' length in map units and
/// the adjacency term's part from them.
void log_use_pair(const LandUses& uses, size_t a, size_t b, double sides, double length,
                  double adjacency);

struct UsesEnergy {
  double energy = 0.0;
  std::vector<MapEnergy> uses;  ///< in the order of the uses
  std::vector<UsePair> pairs;   ///< every pair a < b, a first then b
};

/// E of `codes` (a map of use codes on `geometry`), each use priced on its PROCESS `inputs` with
/// its normalisers in `fixed`; where `fixed` has none, this map fixes them, as a run's first
/// evaluation does. `base` is the map before any allocation as the run kept it (Run::
/// kept_uses_base), else it is read again.
UsesEnergy process_uses_map_energy(const Scenario& scenario, const LandUses& uses,
                                   const std::vector<const ProcessInputs*>& inputs,
                                   const GridGeometry& geometry, const std::vector<float>& codes,
                                   const std::vector<Normalisers>& fixed,
                                   std::shared_ptr<const PackedMap> base = nullptr);
