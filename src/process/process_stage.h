// The PROCESS stage: reads its parameters, loads the PREPROCESS output as the solution map, builds
// the potential, selection, nservices and distances maps the energy and the moves read, anneals
// (after a dry run in the autotuning mode) and writes the solution map to "process.output".
#pragma once

/// Runs the PROCESS stage on the current configuration document; fatal errors end the process.
void run_process_stage();

/// Clears the stage's process-wide records (parameters, annealing, energy and move state).
void process_reset_state();

/// The quantised selection value of a potential: 0 <= v < 0.2 gives 0.2, up to 0.8 <= v < 1
/// giving 1.0, so that better cells are favoured but none with data is barred; 1.0 and values
/// below 0 are kept.
float selection_quantise(float potential);
