// The plan a planner keeps is POSTPROCESS's: with PROCESS by minimum cuts and
// "postprocess.expand.method" "min-cut", the run cuts again at growing multiples of the perimeter
// weight (fewer, rounder islands), and at each multiple in passes that keep out of the cut the
// cells the rules dropped from the pass before, starting from its repair, until the rules keep a
// map. It keeps the lowest final map the rules keep (POSTPROCESS run again over it changes
// nothing); without one, the lowest final map, the plain cut's greedy repair among them. A round
// is PROCESS and POSTPROCESS in memory, quietly, on shared inputs.
#pragma once

#include "driver/preflight.h"
#include "scenario/land_uses.h"
#include "scenario/scenario.h"

/// Whether the stages run so: PROCESS by minimum cuts, POSTPROCESS after it in the same run, its
/// expansion by "min-cut", one land use.
bool rules_rounds_apply(const StageFlags& stages, const Scenario& scenario);

/// The same for several land uses: PROCESS and POSTPROCESS in the same run, both by minimum cuts,
/// no time limit.
bool uses_rules_rounds_apply(const StageFlags& stages, const Scenario& scenario,
                             const LandUses& uses);

/// Runs the selected stages of several uses with passes between PREPROCESS and the PROCESS and
/// POSTPROCESS whose maps the run keeps: each pass keeps out of every use's cuts the cells its
/// rules dropped from the pass before, starting from that pass's final map, until the rules keep
/// a cut whole; the lowest final map the rules keep is the run's. Prints what the rules cost.
void run_uses_within_rules(const StageFlags& stages, const Scenario& scenario, const LandUses& uses,
                           Run& run);

/// Runs the selected stages (as rules_rounds_apply allows) with the rounds between PREPROCESS and
/// the PROCESS and POSTPROCESS whose maps the run keeps, then prints what the rules cost: the
/// final map's energy against PROCESS's, the lower bound and the gap, the cells dropped and grown.
void run_stages_within_rules(const StageFlags& stages, const Scenario& scenario, Run& run);

/// After a min-cut run whose POSTPROCESS made its one greedy repair ("greedy" expansion), prints
/// what the repair cost: PROCESS's energy, the final map's, the islands and cells it dropped and
/// grew back, the lower bound and the gap. Nothing for the annealing or several uses.
void log_repair_cost(const StageFlags& stages, const Scenario& scenario, const Run& run);

/// The same for several land uses by minimum cuts, each use's new cells counted at its code: what
/// POSTPROCESS cost the final map against PROCESS's, the lower bound and the gap.
void log_uses_repair_cost(const StageFlags& stages, const Scenario& scenario, const LandUses& uses,
                          const Run& run);
