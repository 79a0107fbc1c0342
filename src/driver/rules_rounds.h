// The plan a planner keeps is POSTPROCESS's: with PROCESS by minimum cuts and
// "postprocess.expand.method" "min-cut", the run cuts again at growing multiples of the perimeter
// weight (fewer, rounder islands, which the purge and the selection keep more often) and keeps the
// round of lowest final map, the plain cut and its greedy repair among them. A round is PROCESS
// and POSTPROCESS in memory, quietly, on shared inputs; it also tells whether POSTPROCESS run
// again over its final map would change it (whether the rules keep it).
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
