// Simulated annealing of the solution map: stages of moves accepted by the Metropolis rule,
// geometric cooling, a full evaluation after every stage and, in the autotuning mode, re-tries
// with slower cooling when the acceptance collapses early. autotune_kb is the dry run that derives
// the Boltzmann factor from the initial acceptance probability. Every stage may add one line to
// the evolution listing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "process/process_state.h"

struct ProcessRun;

/// Stages of the dry run of the autotuning mode.
constexpr int32_t DRY_RUN_STAGES = 20;
/// The share of the time left under a time limit that the dry run may take.
constexpr double DRY_RUN_TIME_SHARE = 0.25;

/// The evolution listing of a run: an output stream (see output_file.h) that becomes its target
/// only once closed; one still open when the run is dropped is abandoned.
struct EvolutionListing {
  EvolutionListing() = default;
  EvolutionListing(const EvolutionListing&) = delete;
  EvolutionListing& operator=(const EvolutionListing&) = delete;
  ~EvolutionListing();
  FILE* file = nullptr;  ///< the open listing, or none
  std::string path;      ///< its target, named in the report of a failed close
};

/// How the acceptance rule decided on a proposed move.
enum MoveOutcome { MOVE_REJECTED, MOVE_ACCEPTED, MOVE_ACCEPTED_BOLTZMANN };

/// Whether an uphill move with the exponent (E - E') * k / T is kept against the draw `draw`
/// (0..32767 of rand15): exp(exponent) >= draw * 2^-15, the decision of the plain rule bit for bit,
/// without the exponential where the exponent alone rejects.
bool boltzmann_accepts(double exponent, int32_t draw);

/// Metropolis rule on the proposed move of energy `candidate`: downhill (or equal) moves are kept;
/// uphill ones, when `boltzmann` is set, with probability exp((E - E') * k / T) against one draw.
/// Commits or undoes.
MoveOutcome apply_acceptance_rule(ProcessRun& p, double candidate, bool boltzmann);

/// The cooling factor of the next try: a tenth of the way from `tnext` to 1, as a 32-bit float.
float raised_cooling_factor(float tnext);

/// The autotuned factor |ln(pinit) * tinit / m| for the mean m of `count` rejected differences
/// whose absolute values add up to `rejected_sum`; the configured kb (with a warning) for none.
double autotune_factor(const ProcessParameters& parameters, double rejected_sum, int64_t count);

/// Writes the evolution line of stage `stage` from the running sums and the stage counters.
void evolution_write_line(const ProcessRun& p, FILE* file, int32_t stage, int64_t accepts,
                          int64_t boltzmann_accepts);

/// Anneals from the reloaded "preprocess.output" with `retries` re-tries allowed, listing each
/// stage into `listing` when it is open. The try ends early at the end of the stage where the
/// run's time limit runs out. The solution map holds the solution after the last stage on return,
/// or, with keep-best or a time limit, the fully evaluated map of lowest energy.
void run_annealing(ProcessRun& p, EvolutionListing& listing, int32_t retries);

/// The dry run of the autotuning mode: sets nmovs to 2 * nrows * ncols and effective_kb (from
/// the last stage, or from the stage where the run's time limit runs out).
void autotune_kb(ProcessRun& p);
