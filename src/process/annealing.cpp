#include "process/annealing.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <limits>

#include "base/log.h"
#include "base/output_file.h"
#include "base/random.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_run.h"
#include "raster/packed_map.h"

namespace {

// Moves between two looks at the clock for the progress line: a few milliseconds of work.
constexpr int32_t PROGRESS_MOVES = 4096;

// Every try and the dry run start from the map that PREPROCESS handed over, whatever earlier
// tries did.
void reload_solution_map(ProcessRun& p) {
  log_message("reload\n");
  stage_read_handover(p.run, Handover::preprocess_output, p.input, p.maps, PROCESS_SOLUTION_MAP);
}

void flush_log() {
  std::fflush(log_stream());
}

// The map of lowest energy among those fully evaluated, kept when the run writes its best state
// rather than its last one (packed: a byte a cell).
struct BestState {
  bool kept = false;
  double energy = std::numeric_limits<double>::infinity();
  PackedMap map;
};

// Only a full evaluation prices the map exactly (the moves' running island count is an Euler
// number, which a hole lowers), so the best state is judged there and nowhere else.
void offer_best(const ProcessRun& run, BestState& best) {
  if (!best.kept || !(run.annealing.current_energy < best.energy)) return;
  best.energy = run.annealing.current_energy;
  const float* cells = run.maps.map(PROCESS_SOLUTION_MAP);
  best.map.assign(cells, cells + run.maps.cell_count());
}

}  // namespace

EvolutionListing::~EvolutionListing() {
  if (file != nullptr) output_discard(file);
}

namespace {

// Below this exponent exp() is under the smallest draw above 0: exp(-10.4) is 0.9972 * 2^-15, and
// the exponential's error (under one unit in the last place, about 1e-16 relative) is far smaller
// than that gap, so no rounding can lift a result past 2^-15. Most uphill moves of a cooled
// annealing fall below it.
constexpr double REJECTING_EXPONENT = -10.4;

}  // namespace

bool boltzmann_accepts(double exponent, int32_t draw) {
  // A draw of 0 accepts whatever exp() gives, but not a NaN, so it takes the plain path.
  if (draw != 0 && exponent < REJECTING_EXPONENT) return false;
  return std::exp(exponent) >= draw * RAND_FRACTION_STEP;
}

MoveOutcome apply_acceptance_rule(ProcessRun& p, double candidate, bool boltzmann) {
  AnnealingState& a = p.annealing;
  const double energy = a.current_energy;
  MoveOutcome outcome = MOVE_REJECTED;
  if (energy >= candidate) {
    outcome = MOVE_ACCEPTED;
  } else if (boltzmann) {
    const double exponent = (energy - candidate) * a.effective_kb / a.temperature;
    if (boltzmann_accepts(exponent, rand15(p.run.rng))) outcome = MOVE_ACCEPTED_BOLTZMANN;
  }
  if (outcome == MOVE_REJECTED) {
    undo_move(p);
    return outcome;
  }
  a.current_energy = candidate;
  if (a.minimal_energy > candidate) a.minimal_energy = candidate;
  commit_move(p);
  return outcome;
}

float raised_cooling_factor(float tnext) {
  return static_cast<float>((1.0 - static_cast<double>(tnext)) / 10.0 + static_cast<double>(tnext));
}

double autotune_factor(const ProcessParameters& p, double rejected_sum, int64_t count) {
  if (count == 0) {
    log_message("! no move rejected in the last dry-run stage: kb %f kept\n", p.kb);
    return p.kb;
  }
  const double mean = rejected_sum / static_cast<double>(count);
  return std::fabs(std::log(static_cast<double>(p.pinit)) * static_cast<double>(p.tinit) / mean);
}

void evolution_write_line(const ProcessRun& p, FILE* file, int32_t stage, int64_t accepts,
                          int64_t boltzmann_accepts) {
  const double nmovs = static_cast<double>(p.parameters.nmovs);
  double terms[ENERGY_TERMS];
  energy_terms(p.energy, terms);
  std::fprintf(file, "%d %f %f %.2f %.2f %f %f %f %f %f\n", stage, p.annealing.temperature,
               p.annealing.current_energy, static_cast<double>(accepts) / nmovs,
               static_cast<double>(boltzmann_accepts) / nmovs, terms[0], terms[1], terms[2],
               terms[3], terms[4]);
}

namespace {

// One try of the annealing from the handed map; returns false when its acceptance collapsed in
// the first half of the stages and a re-try is allowed (`may_abort`), true when it ran to its end
// or to the time limit, its report printed.
bool anneal_try(ProcessRun& run, EvolutionListing& listing, BestState& best, bool may_abort) {
  ProcessParameters& p = run.parameters;
  AnnealingState& a = run.annealing;
  log_message("new try\n");
  reload_solution_map(run);
  if (p.nmovs > 0 && p.nstages > 0) moves_prepare(run);
  a.current_energy = energy_evaluate(run);
  a.minimal_energy = a.current_energy;
  a.initial_energy = a.current_energy;
  offer_best(run, best);
  log_message("execution\n");
  log_message("  stage:");
  a.temperature = static_cast<double>(p.tinit);
  // A try makes nstages * nmovs moves, which a 32-bit count may not hold.
  int64_t accepts = 0;
  int64_t boltzmann_accepts = 0;
  int64_t rejections = 0;
  int32_t stopped_after = -1;  // the stage after which the time limit ended the try
  const int32_t abort_limit = static_cast<int32_t>(std::floor(p.nstages * 0.5));
  Progress progress = progress_begin(0.0);
  const double total_moves = static_cast<double>(p.nstages) * static_cast<double>(p.nmovs);
  for (int32_t s = 0; s < p.nstages; ++s) {
    int64_t stage_accepts = 0;
    int64_t stage_boltzmann = 0;
    for (int64_t i = 0; i < p.nmovs; ++i) {
      if (i % PROGRESS_MOVES == 0) {
        const double done =
            static_cast<double>(s) * static_cast<double>(p.nmovs) + static_cast<double>(i);
        progress_update(
            progress, done, total_moves,
            "PROCESS stage %d of %d, %.0f of %.0f moves, energy %f, acceptance %.1f%%", s + 1,
            p.nstages, done, total_moves, a.current_energy,
            i > 0 ? 100.0 * static_cast<double>(stage_accepts) / static_cast<double>(i) : 0.0);
      }
      const double candidate = propose_move(run);
      MoveOutcome outcome = apply_acceptance_rule(run, candidate, true);
      if (outcome == MOVE_REJECTED) {
        ++rejections;
        continue;
      }
      ++accepts;
      ++stage_accepts;
      if (outcome == MOVE_ACCEPTED_BOLTZMANN) {
        ++boltzmann_accepts;
        ++stage_boltzmann;
      }
    }
    if (p.nmovs > 0) {
      moves_settle(run);
      log_message(" %d", s);
      flush_log();
      if (listing.file != nullptr) {
        evolution_write_line(run, listing.file, s, stage_accepts, stage_boltzmann);
        std::fflush(listing.file);
      }
    }
    // The full evaluation brings the incremental sums and island count back in line.
    a.current_energy = energy_evaluate(run);
    offer_best(run, best);
    if (time_is_up(run)) {
      stopped_after = s;
      break;
    }
    if (may_abort && p.nmovs > 0 &&
        static_cast<double>(stage_accepts) / static_cast<double>(p.nmovs) < 0.01 &&
        s < abort_limit) {
      progress_end(progress);
      log_message("\n");
      return false;
    }
    a.temperature = static_cast<double>(p.tnext) * a.temperature;
  }
  progress_end(progress);
  log_message("\n");
  if (stopped_after >= 0) log_message("  time limit reached after stage %d\n", stopped_after);
  log_message("  initial %f\n", a.initial_energy);
  log_message("  final %f\n", a.current_energy);
  log_message("  minimal %f\n", a.minimal_energy);
  if (best.kept) {
    log_message("  best %f\n", best.energy);
    if (best.energy < a.current_energy) {
      best.map.unpack(run.maps.map(PROCESS_SOLUTION_MAP));
      energy_evaluate(run);
    }
  }
  log_message("  stats\n");
  log_message("    %" PRId64 " accepts (%" PRId64 " by boltz prob)\n", accepts, boltzmann_accepts);
  log_message("    %" PRId64 " rejections\n", rejections);
  return true;
}

}  // namespace

void run_annealing(ProcessRun& run, EvolutionListing& listing, int32_t retries) {
  ProcessParameters& p = run.parameters;
  // A time limit may end the annealing at any stage, whose map need not be the best one seen.
  BestState best;
  best.kept = p.keep_best || run.deadline.has_value();
  for (; !anneal_try(run, listing, best, retries != 0); --retries) {
    log_message("  acceptance values too low!\n");
    log_message("  processing...\n");
    const float raised = raised_cooling_factor(p.tnext);
    log_message("    tnext %f\n", static_cast<double>(raised));
    if (raised >= 1.0f) fatal(1, "** error fatal con el reescalado!\n");
    p.tnext = raised;
  }
}

void autotune_kb(ProcessRun& run) {
  ProcessParameters& p = run.parameters;
  AnnealingState& a = run.annealing;
  reload_solution_map(run);
  moves_prepare(run);
  log_message("dryrun execution\n");
  a.current_energy = energy_evaluate(run);
  a.minimal_energy = a.current_energy;
  p.nmovs = 2 * static_cast<int64_t>(run.maps.cell_count());
  // Only the mean of the rejected differences is needed, so their absolute values are added up in
  // the order they come instead of being kept in a list of nmovs entries.
  double rejected_sum = 0.0;
  int64_t rejected_count = 0;
  log_message("  stage:");
  // Under a time limit the dry run takes at most a share of what is left, so that the execution
  // still anneals: on a large map its stages alone could fill the whole limit.
  std::optional<double> dry_deadline;
  if (run.deadline) {
    const double now = run.clock();
    dry_deadline = now + DRY_RUN_TIME_SHARE * (*run.deadline - now);
  }
  Progress progress = progress_begin(0.0);
  const double total_moves = static_cast<double>(DRY_RUN_STAGES) * static_cast<double>(p.nmovs);
  for (int32_t s = 0; s < DRY_RUN_STAGES; ++s) {
    // The factor comes from the last stage run: the last of all, or the one the time limit ended.
    rejected_sum = 0.0;
    rejected_count = 0;
    for (int64_t i = 0; i < p.nmovs; ++i) {
      if (i % PROGRESS_MOVES == 0) {
        const double done =
            static_cast<double>(s) * static_cast<double>(p.nmovs) + static_cast<double>(i);
        progress_update(progress, done, total_moves,
                        "PROCESS dry run stage %d of %d, %.0f of %.0f moves, energy %f", s + 1,
                        DRY_RUN_STAGES, done, total_moves, a.current_energy);
      }
      const double candidate = propose_move(run);
      const double difference = a.current_energy - candidate;
      if (apply_acceptance_rule(run, candidate, false) == MOVE_REJECTED) {
        rejected_sum += std::fabs(difference);
        ++rejected_count;
      }
    }
    if (p.nmovs > 0) moves_settle(run);
    a.current_energy = energy_evaluate(run);
    log_message(" %d", s);
    flush_log();
    if (dry_deadline && run.clock() >= *dry_deadline) break;
  }
  progress_end(progress);
  log_message("\n");
  a.effective_kb = autotune_factor(p, rejected_sum, rejected_count);
  log_message("changes\n");
  log_message("  nmovs %" PRId64 "\n", p.nmovs);
  log_message("  kb %f\n", a.effective_kb);
}
