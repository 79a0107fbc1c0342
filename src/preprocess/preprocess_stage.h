// The PREPROCESS stage: builds the first solution map from the potential maps, the exclusion
// masks, an optional initial-values map and the distribution masks, places the fraction
// "preprocess.convert-area" of the available cells at random, and writes the result to
// "preprocess.output" for the PROCESS stage to read back.
#pragma once

/// Runs the stage from the configuration document; any fatal error ends the process.
void run_preprocess_stage();
