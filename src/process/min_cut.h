// PROCESS by minimum cuts. Without the islands term, the energy of a map of n allocated cells is
// a constant, plus a cost per allocated cell, plus a cost per side of its perimeter: with the
// count n moved into the costs by a multiplier (a price per allocated cell), its minimum over all
// maps is one minimum s-t cut of the grid graph (raster/grid_flow.h). A cutting-plane search on
// that price finds the largest lower bound this gives and two nested cuts that bracket n cells;
// a fix-up brings them to exactly n (greedy, then the best swaps), and a polish that counts
// islands exactly drops islands and fills enclosed holes wherever that lowers the full energy.
// The clamps of the perimeter and distances terms at 0 get their own multipliers, so the bound
// holds for the energy as the program computes it.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

struct ProcessRun;
struct EvolutionListing;

/// The properties of the method.
struct MinCutParameters {
  /// "process.portfolio-gap": with repeats, each run perturbs the costs of the cells by up to
  /// this share of the bound in all, so that runs give distinct maps within it of the bound.
  double portfolio_gap = 0.01;
  /// Only the bound: no re-cut, no polish. The solution map is left as the best of the loaded
  /// map and the maps the bound's searches and split evaluated on the way.
  bool bound_only = false;
  /// The islands and holes of the best map tried away at the end. A block of several land uses
  /// leaves them to one polish of the settled map: each try passes over the whole grid a few
  /// times, and a block is solved again whenever its neighbours move.
  bool polish = true;
  /// The cells times the cuts the searches after the first may take: by default a map of a
  /// million cells stops after about fifty cuts, small maps try the whole plan; negative: none.
  double recut_work = 5e7;
  /// The price per allocated cell (energy units) an earlier search of a similar map ended at:
  /// the first search starts there instead of from the costs (NaN: none).
  double price_hint = std::numeric_limits<double>::quiet_NaN();
  /// The perimeter's weight in the cuts, as a multiple of its own: above 1 the cuts draw fewer,
  /// rounder islands (the shapes POSTPROCESS's rules keep). The maps are judged on the plain
  /// energy; the bound is then none of it.
  double perimeter_scale = 1.0;
  /// On maps of up to 20,000 cells that may be allocated, the bound is raised by splitting the
  /// maps by the cells of the cut's jump (hundreds of price searches). A block of several uses
  /// whose bound only steers its own re-cuts goes without.
  bool branch = true;
  /// With `branch`: a part whose cut meets n at its best multipliers is split by the jump of
  /// another pair where one jumps, and the parts are also bounded with the whole perimeter and no
  /// distances. Each use's bound of several uses, its clamps relaxed the more for the lighter
  /// perimeter weight and the prices, gains much (three uses on the example's 30 x 30 window:
  /// 5.3 % below the optimum to 1.7 %); one use's bound, already at the optimum on the example's
  /// windows, only takes 1.3 to 5 times as long.
  bool branch_met = false;
  /// The cells times the cuts the split of the maps may take.
  double branch_work = 2e7;
  /// With `branch`, outside `bound_only`: each part's cuts are also fixed up to maps of n cells,
  /// each offered, and a part whose bound lies above the best map found is left. The split then
  /// searches for maps as well as a bound: a use of a few cells whose best land lies apart from
  /// where its cuts jump (a small industrial estate on the far side of a window) is found there.
  bool part_maps = false;
  /// Cells (row-major, nonzero: kept in) that every map of the method allocates, each group of
  /// them first grown to `least_island` cells by its cheapest neighbours: islands the rules
  /// purged, given the size that lets them stay. Groups that would take the total past the
  /// cells to allocate are left free. nullptr: none.
  const std::vector<uint8_t>* keep_in = nullptr;
  int32_t least_island = 0;
};

/// What the method found.
struct MinCutResult {
  double initial_energy = 0.0;  ///< of the map PREPROCESS handed over
  double final_energy = 0.0;    ///< full energy of the map left in the solution map
  double lower_bound = 0.0;     ///< no map of n cells has a lower energy
  int32_t flows = 0;            ///< minimum cuts computed
  /// The price per allocated cell the first search ended at, a hint for the next (NaN: none).
  double price = std::numeric_limits<double>::quiet_NaN();
};

/// Minimises the energy from the reloaded "preprocess.output", whose first evaluation fixes the
/// normalisers; leaves the best map found in the solution map. Once the run's time limit runs
/// out, the re-cuts and the polish stop (the bound comes from the first search and stays one). With
/// a nonzero `perturbation_seed` the run's costs are perturbed as the portfolio gap allows. Lines
/// of the evolution listing, one per cut, go to `listing` when it is open.
MinCutResult run_min_cut(ProcessRun& p, const MinCutParameters& parameters,
                         uint64_t perturbation_seed, EvolutionListing& listing);

/// A cold polish of the solution map as it is: swaps that lower the energy without the islands
/// term, then the islands and enclosed holes tried away, each judged on the full energy (exact
/// island counts). The map is changed only when its full energy falls; returns the full energy
/// of the map left. Nothing is tried once the run's time limit has run out. It tries `work_share`
/// of the islands and holes one polish would (several uses share one budget), at least a few.
double min_cut_polish(ProcessRun& p, double work_share = 1.0);

/// The gap in per cent between a final energy and a lower bound, relative to the final energy
/// (0 when both are 0).
double min_cut_gap_percent(double final_energy, double lower_bound);
