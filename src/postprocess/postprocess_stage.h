// The POSTPROCESS stage: takes the map PROCESS handed over, builds the potential, probability and
// distance maps the island work reads, then purges, selects and regrows the islands, and writes
// the final map and its mask. The whole sequence reads in run_postprocess_stage.
#pragma once

#include "config/config.h"
#include "postprocess/postprocess_run.h"
#include "scenario/scenario.h"

/// Reads and checks the stage's properties in the stage's order; a fault ends the run with the
/// stage's message and exit code (a range error after echoing the value), so that the check
/// before a run and the stage share one reading.
PostprocessParameters postprocess_read_parameters(const ConfigDocument& config);

/// The debug files the stage writes for the output named `prefix`, in the order it writes them.
std::vector<std::string> postprocess_debug_files(const PostprocessParameters& p,
                                                 const std::string& prefix);

/// Runs the stage of `run` on its scenario; fatal errors end the process.
void run_postprocess_stage(const Scenario& scenario, Run& run);
