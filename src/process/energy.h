// The energy the PROCESS stage minimises: a weighted sum of five terms (potential, perimeter,
// islands, nservices, distances), each scaled by a normaliser fixed at the first full evaluation
// of the run. energy_evaluate computes everything from the maps; the moves keep the running sums up
// to date between full evaluations and form the energy with the same energy_combine.
#pragma once

#include <cstdint>

#include "scenario/scenario.h"

struct ProcessRun;

/// Top and bottom sums of the three value maps for a solution of `n` cells. They depend only on
/// the maps and on n, neither of which changes during a PROCESS run, so they are sorted out once.
struct ValueBounds {
  int64_t n = -1;  ///< -1: not computed
  double top[3] = {0.0, 0.0, 0.0};
  double bottom[3] = {0.0, 0.0, 0.0};
};

/// Weights, running sums, reference values and normalisers of the energy.
struct EnergyState {
  double f1_weight = 0.0;
  double f2_weight = 0.0;
  double f3_weight = 0.0;
  double f4_weight = 0.0;
  double f5_weight = 0.0;
  double f1_sum = 0.0;     ///< potential over the solution cells
  double f1_top = 0.0;     ///< the n largest potential values >= 0
  double f1_range = -1.0;  ///< -1.0 = unset
  int64_t perimeter = 0;
  int64_t min_perimeter = 0;  ///< 4 * ceil(sqrt(n))
  double f2_range = -1.0;
  int32_t island_count = 0;  ///< islands of the solution, kept by the moves between labellings
  double f3_range = -1.0;    ///< n - 1 at the first evaluation
  double f4_sum = 0.0;
  double f4_top = 0.0;
  double f4_range = -1.0;
  double f5_sum = 0.0;
  double f5_bottom = 0.0;  ///< the n smallest distances values > 0
  double f5_range = -1.0;
  int64_t solution_size = 0;  ///< n at the last full evaluation
  /// A term with a degenerate normaliser is 0.
  bool term_off[ENERGY_TERMS] = {};
  ValueBounds bounds;
};

/// Full evaluation of the solution map: sums, perimeter, islands, fixed normalisers; returns the
/// energy.
double energy_evaluate(ProcessRun& p);

/// The five terms from the running sums and counters, not clamped (0 for a term that is off).
void energy_terms(const EnergyState& e, double terms[ENERGY_TERMS]);

/// The weighted sum of five terms, with the perimeter, islands and distances terms clamped at 0.
double energy_combine(const EnergyState& e, const double terms[ENERGY_TERMS]);
