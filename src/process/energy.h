// The energy the PROCESS stage minimises: a weighted sum of five terms (potential, perimeter,
// islands, nservices, distances), each scaled by a normaliser fixed at the first full evaluation
// of the run. energy_evaluate computes everything from the maps; the moves keep the running sums up
// to date between full evaluations and form the energy with the same energy_combine.
#pragma once

#include <cstdint>

#include "process/process_state.h"

struct ProcessRun;

/// Full evaluation of the solution map: sums, perimeter, islands, fixed normalisers; returns the
/// energy.
double energy_evaluate(ProcessRun& p);

/// The five terms from the running sums and counters, not clamped (0 for a term that is off).
void energy_terms(const EnergyState& e, double terms[ENERGY_TERMS]);

/// The weighted sum of five terms, with the perimeter, islands and distances terms clamped at 0.
double energy_combine(const EnergyState& e, const double terms[ENERGY_TERMS]);

/// The least perimeter any n cells have, 2 ceil(2 sqrt(n)) sides (min_perimeter, the perimeter
/// term's reference, is 4 ceil(sqrt(n)), at least that).
double energy_least_perimeter(int64_t n);
