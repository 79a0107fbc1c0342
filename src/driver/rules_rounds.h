// The plan a planner keeps is POSTPROCESS's: with PROCESS by minimum cuts and
// "postprocess.expand.method" "min-cut", the cells POSTPROCESS's rules drop (islands below the
// purge limit, islands the selection leaves out) are not grown back greedily but kept out of a new
// cut, round after round, until the rules drop nothing; the lowest final map of the rounds is the
// one the run writes. A round is PROCESS and POSTPROCESS in memory, quietly, on shared inputs.
#pragma once

#include "driver/preflight.h"
#include "scenario/scenario.h"

/// Whether the stages run so: PROCESS by minimum cuts, POSTPROCESS after it in the same run, its
/// expansion by "min-cut", one land use.
bool rules_rounds_apply(const StageFlags& stages, const Scenario& scenario);

/// Runs the selected stages (as rules_rounds_apply allows) with the rounds between PREPROCESS and
/// the PROCESS and POSTPROCESS whose maps the run keeps, then prints what the rules cost: the
/// final map's energy against PROCESS's, the lower bound and the gap, the cells dropped and grown.
void run_stages_within_rules(const StageFlags& stages, const Scenario& scenario, Run& run);
