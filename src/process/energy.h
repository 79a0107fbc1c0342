// The energy the PROCESS stage minimises: a weighted sum of five terms (potential, perimeter,
// islands, nservices, distances), each scaled by a normaliser fixed at the first full evaluation
// of the run. energy_evaluate computes everything from the maps; the moves keep the running sums up
// to date between full evaluations and form the energy with the same energy_combine.
#pragma once

#include <cstdint>

/// The maps of the PROCESS stage's block that the energy and the moves read.
constexpr int32_t PROCESS_SOLUTION_MAP = 0;
constexpr int32_t PROCESS_POTENTIAL_MAP = 1;
constexpr int32_t PROCESS_SELECTION_MAP = 2;
constexpr int32_t PROCESS_NSERVICES_MAP = 3;
constexpr int32_t PROCESS_DISTANCES_MAP = 4;

/// Weights, running sums, reference values and normalisers of the energy (the islands counters and
/// f3_range live in island_state).
struct EnergyState {
  double f1_weight = 0.0;
  double f2_weight = 0.0;
  double f3_weight = 0.0;
  double f4_weight = 0.0;
  double f5_weight = 0.0;
  double f1_sum = 0.0;     ///< potential over the solution cells
  double f1_top = 0.0;     ///< the n largest potential values >= 0
  double f1_range = -1.0;  ///< -1.0 = unset
  int32_t perimeter = 0;
  int32_t min_perimeter = 0;  ///< 4 * ceil(sqrt(n))
  double f2_range = -1.0;
  double f4_sum = 0.0;
  double f4_top = 0.0;
  double f4_range = -1.0;
  double f5_sum = 0.0;
  double f5_bottom = 0.0;  ///< the n smallest distances values > 0
  double f5_range = -1.0;
  int32_t solution_size = 0;                               ///< n at the last full evaluation
  bool term_off[5] = {false, false, false, false, false};  ///< degenerate normaliser: term is 0
};

/// The process-wide energy state.
extern EnergyState energy_state;

/// Unsets the five normalisers (f3_range included) and forgets the cached top and bottom sums, so
/// that the next full evaluation fixes them anew for a new run.
void energy_reset_normalisers();

/// Full evaluation of map 0: sums, perimeter, islands, fixed normalisers; returns the energy.
double energy_evaluate();

/// The potential term from the current sums; fixes f1_range when it is unset.
double heuristic_f1();

/// The perimeter term from the current perimeter; fixes f2_range when it is unset.
double heuristic_f2();

/// The nservices term from the current sums; fixes f4_range when it is unset.
double heuristic_f4();

/// The distances term from the current sums; fixes f5_range when it is unset.
double heuristic_f5();

/// The five terms from the running sums and counters, not clamped (0 for a term that is off).
void energy_terms(double terms[5]);

/// The weighted sum of five terms, with the perimeter, islands and distances terms clamped at 0.
double energy_combine(const double terms[5]);
