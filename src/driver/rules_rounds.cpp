#include "driver/rules_rounds.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <limits>
#include <vector>

#include "base/log.h"
#include "driver/repeats.h"
#include "postprocess/postprocess_stage.h"
#include "postprocess/postprocess_uses.h"
#include "preprocess/preprocess_stage.h"
#include "preprocess/preprocess_uses.h"
#include "process/min_cut.h"
#include "process/process_stage.h"
#include "process/process_uses.h"
#include "raster/distance.h"
#include "raster/islands.h"
#include "raster/maps.h"
#include "scenario/land_uses.h"
#include "scenario/loaders.h"

namespace {

// The perimeter multipliers tried, each drawing fewer, rounder islands than the one before; which
// of them the rules keep whole is not monotone (a larger multiplier can part an island anew), so
// they are tried in turn until a few past the best map the rules keep whole have not beaten it.
constexpr double SCALES[] = {1.0, 1.5, 2.0,  3.0,  4.0,  5.0,  6.0,
                             7.0, 8.0, 10.0, 12.0, 16.0, 24.0, 32.0};
constexpr int32_t ROUNDS_PAST_BEST = 3;
// Passes of one multiplier, each keeping out of the cut the cells the rules dropped from the one
// before: an island the selection drops is seldom worth cutting again. Where the selection by
// value leaves room for few islands, a dozen passes may pass before one the rules keep whole.
constexpr int32_t MAX_PASSES = 16;
// The cells times the rounds after the first that a run may cut: 41 on the example (60,000 cells),
// 18 on 135,000, two at 1000 x 1000. Only the first round makes the re-cuts past its price search.
constexpr double ROUND_WORK = 2.5e6;
// Fewer rounds after the first than this are not worth their time: at 1000 x 1000 the two that
// fitted both ended above the plain cut's repair (0.936 and 1.093 against 0.933). The plain round
// alone then runs once, in the open.
constexpr double MIN_EXTRA_ROUNDS = 3.0;
// How far from the best map the rules keep its cuts again may reach, in cells: its islands may take
// back good land an earlier pass kept out, but no island starts where the rules would drop it.
constexpr int32_t NEAR_REACHES[] = {1, 2, 4, 8};

// One round: PROCESS at a perimeter multiplier, then POSTPROCESS, in memory. A pass after the
// first starts from the repair of the pass before, with the cells the rules dropped so far kept
// out of the cut.
struct Round {
  RulesCut cut;
  int32_t pass = 1;
  int32_t near = 0;    // a cut again of the best map within this many cells of it; 0: not
  bool grown = false;  // the pass's purged islands kept in at the purge limit's size
  // What it gave.
  bool done = false;
  // PROCESS ended: its energy and bound are there even when POSTPROCESS stopped (every island
  // purged, say).
  bool processed = false;
  bool kept_whole = false;  // POSTPROCESS dropped nothing: the rules hold on PROCESS's map
  bool keeps = false;       // the rules hold on the final map: POSTPROCESS again changes nothing
  double process_energy = 0.0;
  double final_energy = std::numeric_limits<double>::infinity();
  std::optional<double> lower_bound;  // of the plain energy: the first round's only
  double price = std::numeric_limits<double>::quiet_NaN();  // where its search ended
  PackedMap process_map;
  PackedMap repair;  // after POSTPROCESS's first pass
  PackedMap final_map;
};

// A run of the later stages quietly, in memory, from `run`'s PREPROCESS map with the same seed: the
// same cut gives the same maps here as in the open.
Run quiet_trial(const Run& run, const RulesCut& cut) {
  Run trial;
  trial.geometry = run.geometry;
  trial.seed = run.seed;
  trial.repeat = run.repeat;
  trial.threads = run.threads;
  trial.in_memory = true;
  trial.write_files = false;
  trial.preprocess_output = run.preprocess_output;
  trial.cut = cut;
  return trial;
}

void run_round(const Scenario& scenario, const Run& run, const ProcessInputs& inputs,
               PostprocessInputs* post, Round& round) {
  Run trial = quiet_trial(run, round.cut);
  trial.process_inputs = &inputs;
  trial.postprocess_inputs = post;
  trial.working_value_cells = run.working_value_cells;
  trial.postprocess_until_kept = true;
  trial.postprocess_keep_repair = true;
  SharedStep process;
  shared_step_capture(process, [&] { run_process_stage(scenario, trial); });
  if (process.fatal_code != 0) return;
  const float value = trial.working_cell_value;
  round.processed = true;
  round.process_energy =
      process_map_energy(scenario, inputs, trial.process_output, value, trial.process_normalisers)
          .energy;
  round.lower_bound = trial.process_lower_bound;
  round.price = trial.min_cut_price;
  SharedStep postprocess;
  shared_step_capture(postprocess, [&] { run_postprocess_stage(scenario, trial); });
  if (postprocess.fatal_code != 0) return;
  round.done = true;
  round.kept_whole = trial.process_output == trial.postprocess_output;
  round.final_energy = process_map_energy(scenario, inputs, trial.postprocess_output, value,
                                          trial.process_normalisers)
                           .energy;
  round.process_map = trial.process_output;
  round.final_map = trial.postprocess_output;
  round.repair = std::move(trial.postprocess_repair);
  round.keeps = trial.postprocess_kept;
}

// The cells the rules' first pass dropped from a round's cut (allocated by PROCESS, free in its
// repair), added to those the round kept out already, `kept_in` cells aside; nullptr when it
// dropped none that was not. The passes after the first drop islands of the greedy regrowth,
// which a cut need not avoid.
std::shared_ptr<const std::vector<uint8_t>> dropped_cells(const Round& round,
                                                          const std::vector<uint8_t>* kept_in) {
  const std::vector<float> cut = round.process_map.unpack();
  const std::vector<float> repair = round.repair.unpack();
  auto out = round.cut.keep_out ? std::make_shared<std::vector<uint8_t>>(*round.cut.keep_out)
                                : std::make_shared<std::vector<uint8_t>>(cut.size(), 0);
  bool more = false;
  for (size_t i = 0; i < cut.size(); ++i) {
    // A cell the repair took, or one the cut and the repair agree on, keeps its chance.
    if (cut[i] == repair[i] || repair[i] != CELL_AVAILABLE || (*out)[i] != 0) continue;
    if (kept_in != nullptr && (*kept_in)[i] != 0) continue;
    (*out)[i] = 1;
    more = true;
  }
  return more ? out : nullptr;
}

// The islands of a round's cut below the purge limit that its repair dropped, added to the cells
// the round kept in already, to keep in a cut that grows them to the limit: the rules keep out
// what they drop, but an island they purge only for its size may be worth its few more cells.
// nullptr: none new.
std::shared_ptr<const std::vector<uint8_t>> purged_islands(const GridGeometry& geometry,
                                                           const Round& round, float value,
                                                           int32_t limit) {
  if (limit <= 1) return nullptr;
  MapBlock maps = maps_allocate_quiet(geometry, 1);
  round.process_map.unpack(maps.map(0));
  const std::vector<float> repair = round.repair.unpack();
  IslandState islands;
  if (!islands_allocate(islands, repair.size())) fatal(1, "error: not enough memory!\n");
  const int32_t count = islands_label(islands, maps, 0, value);
  std::vector<int32_t> sizes(static_cast<size_t>(std::max(count, 0)), 0);
  for (size_t i = 0; i < repair.size(); ++i)
    if (islands.label_map[i] >= 0) ++sizes[static_cast<size_t>(islands.label_map[i])];
  auto in = round.cut.keep_in ? std::make_shared<std::vector<uint8_t>>(*round.cut.keep_in)
                              : std::make_shared<std::vector<uint8_t>>(repair.size(), 0);
  bool more = false;
  for (size_t i = 0; i < repair.size(); ++i) {
    const int32_t label = islands.label_map[i];
    if (label < 0 || sizes[static_cast<size_t>(label)] >= limit || repair[i] == value) continue;
    if ((*in)[i] != 0) continue;
    (*in)[i] = 1;
    more = true;
  }
  return more ? in : nullptr;
}

// Every cell farther than `reach` cells (chessboard) from a cell of `map` allocated at `value`,
// to keep out of a cut again near that map.
std::shared_ptr<const std::vector<uint8_t>> beyond(const GridGeometry& geometry,
                                                   const PackedMap& map, float value,
                                                   int32_t reach) {
  MapBlock maps = maps_allocate_quiet(geometry, 2);
  map.unpack(maps.map(0));
  map_distance(maps, 0, 1, value);
  const float* distance = maps.map(1);
  auto out = std::make_shared<std::vector<uint8_t>>(map.size(), 0);
  for (size_t i = 0; i < out->size(); ++i)
    (*out)[i] = distance[i] > static_cast<float>(reach) ? 1 : 0;
  return out;
}

// The list keeps what the log prints; the maps of a round that goes on live on in `best` and the
// next round alone.
void forget_maps(Round& round) {
  round.cut.keep_out.reset();
  round.cut.start = PackedMap();
  round.process_map = round.repair = round.final_map = PackedMap();
}

// Whether round (or pass) a is kept rather than b: a map the rules keep first (POSTPROCESS again
// over it changes nothing), then the lower final map.
template <typename Tried>
bool better(const Tried& a, const Tried& b) {
  if (!a.done || !b.done) return a.done;
  if (a.keeps != b.keeps) return a.keeps;
  return a.final_energy < b.final_energy;
}

// What a round cut, as the log names it.
void log_round_name(const Round& round) {
  log_message("perimeter weight times %g", round.cut.perimeter_scale);
  if (round.near > 0) {
    log_message(", within %d cell%s of the best", round.near, round.near == 1 ? "" : "s");
    return;
  }
  if (round.pass > 1) log_message(", pass %d", round.pass);
  if (round.grown) log_message(", purged islands kept at %d cells", round.cut.least_island);
}

// What a round or pass gave, after its name in the list.
void log_outcome(double process_energy, double final_energy, bool whole, bool keeps) {
  log_message(": process %f, final %f%s\n", process_energy, final_energy,
              whole   ? ", the rules keep it whole"
              : keeps ? ", the rules keep the repair"
                      : "");
}

// The rounds as the log lists them.
void log_rounds(const std::vector<Round>& rounds) {
  log_message("RULES of POSTPROCESS in the min-cut\n");
  for (const Round& round : rounds) {
    log_message("  ");
    log_round_name(round);
    if (!round.processed) {
      log_message(": stopped\n");
      continue;
    }
    if (!round.done) {
      log_message(": process %f, POSTPROCESS stopped\n", round.process_energy);
      continue;
    }
    log_outcome(round.process_energy, round.final_energy, round.kept_whole, round.keeps);
  }
}

// The kept round's PROCESS and POSTPROCESS in the open, the rules applied until they hold: the
// run's log and files. Returns PROCESS's map.
PackedMap run_stages_open(const Scenario& scenario, Run& run, const ProcessInputs* inputs,
                          PostprocessInputs* post) {
  const ProcessInputs* given_inputs = run.process_inputs;
  PostprocessInputs* given_post = run.postprocess_inputs;
  if (inputs->fatal_code == 0) {
    run.process_inputs = inputs;
    run.postprocess_inputs = post;
  }
  run_process_stage(scenario, run);
  // PROCESS's map is held once beside POSTPROCESS's maps: POSTPROCESS lets it go once read when it
  // takes it from memory, and does not read it when it reads the file. It is the run's again after.
  PackedMap proc;
  if (run.in_memory) {
    proc = run.process_output;
  } else {
    proc = std::move(run.process_output);
  }
  run.handover_read_once = true;
  run.postprocess_until_kept = true;
  run_postprocess_stage(scenario, run);
  run.postprocess_until_kept = false;
  run.handover_read_once = false;
  run.process_output = proc;
  run.process_inputs = given_inputs;
  run.postprocess_inputs = given_post;
  return proc;
}

// What POSTPROCESS did to the cells of value `value`: PROCESS's islands the final map keeps no cell
// of, the cells it dropped and those it grew. The islands are found as runs of cells, each knowing
// whether the final map keeps a cell of it, so that both maps are read packed: no map unpacked and
// no labels beside the run's records.
struct Change {
  size_t islands_dropped = 0;
  int64_t dropped = 0;
  int64_t grown = 0;
};

void add_change(const GridGeometry& geometry, float value, const PackedMap& before,
                const PackedMap& after, Change& change) {
  const int32_t ncols = geometry.ncols;
  std::vector<char> kept;  // of a run; of the island, once the run is the island's root
  IslandRuns runs;
  island_runs(
      runs, geometry.nrows, ncols,
      [&](int32_t r, int32_t c) { return before[cell_index(ncols, r, c)] == value; },
      [&](int64_t, int32_t r, int32_t first, int32_t last) {
        bool keeps = false;
        for (int32_t c = first; c <= last && !keeps; ++c) {
          keeps = after[cell_index(ncols, r, c)] == value;
        }
        kept.push_back(keeps);
      },
      [&](int64_t root, int64_t other) {
        kept[static_cast<size_t>(root)] =
            kept[static_cast<size_t>(root)] || kept[static_cast<size_t>(other)];
      });
  for (size_t run = 0; run < runs.parent.size(); ++run) {
    if (runs.parent[run] == static_cast<int64_t>(run) && !kept[run]) ++change.islands_dropped;
  }
  for (size_t i = 0; i < before.size(); ++i) {
    const bool in_before = before[i] == value;
    const bool in_after = after[i] == value;
    change.dropped += in_before && !in_after;
    change.grown += !in_before && in_after;
  }
}

// What POSTPROCESS changed: the final energy against PROCESS's and why (the islands it dropped
// whole, the cells it dropped and grew back). `values` are the values of allocated cells: the
// working cell value, or each use's code.
void log_postprocess_change(const GridGeometry& geometry, const std::vector<float>& values,
                            const PackedMap& proc, const PackedMap& final_map,
                            double process_energy, double final_energy) {
  if (proc.size() != final_map.size() || proc.size() != geometry_cell_count(geometry)) return;
  Change change;
  for (const float value : values) add_change(geometry, value, proc, final_map, change);
  log_message("  final energy %f: %+.3f%% by POSTPROCESS (%zu islands dropped, %" PRId64
              " cells dropped, %" PRId64 " grown back)\n",
              final_energy, 100.0 * (final_energy - process_energy) / std::fabs(process_energy),
              change.islands_dropped, change.dropped, change.grown);
}

// The lower bound PROCESS proved and the final map's gap to it.
void log_bound(const Run& run, double final_energy) {
  if (!run.process_lower_bound) return;
  log_message("  lower bound %f\n", *run.process_lower_bound);
  log_message("  gap %.3f%%\n", min_cut_gap_percent(final_energy, *run.process_lower_bound));
}

// What the rules cost the kept map, whose stages ran last (`proc` its PROCESS map): against its
// own PROCESS and the plain cut's, and the plain cut's bound. `values` as above.
void log_kept_cost(const Run& run, const std::vector<float>& values, const PackedMap& proc,
                   double process_energy, double plain_energy, double final_energy) {
  log_message("  process energy %f (the plain cut's %f)\n", process_energy, plain_energy);
  log_postprocess_change(run.geometry, values, proc, run.postprocess_output, process_energy,
                         final_energy);
  log_message("  against the plain cut's process energy: %+.3f%%\n",
              100.0 * (final_energy - plain_energy) / std::fabs(plain_energy));
  log_bound(run, final_energy);
}

// What the rules cost the kept round, whose stages ran last, against the first round's bound: no
// map of n cells is below it.
void log_rules_cost(Run& run, const std::vector<Round>& rounds, const Round& best,
                    const PackedMap& proc) {
  run.process_lower_bound.reset();
  if (!rounds.empty() && rounds[0].processed) run.process_lower_bound = rounds[0].lower_bound;
  log_message("RULES end\n");
  if (!best.done) return;
  log_message("  kept ");
  log_round_name(best);
  log_message("\n");
  log_kept_cost(run, {run.working_cell_value}, proc, best.process_energy, rounds[0].process_energy,
                best.final_energy);
}

// The plain round alone, in the open: its log and files are the run's, and nothing runs twice
// (under a time limit PROCESS takes the limit once).
void run_one_round(const Scenario& scenario, Run& run, const ProcessInputs* inputs,
                   PostprocessInputs* post) {
  const PackedMap proc = run_stages_open(scenario, run, inputs, post);
  if (inputs->fatal_code != 0) return;
  const float value = run.working_cell_value;
  Round only;
  only.processed = only.done = true;
  only.kept_whole = proc == run.postprocess_output;
  only.keeps = run.postprocess_kept;
  only.process_energy =
      process_map_energy(scenario, *inputs, proc, value, run.process_normalisers).energy;
  only.final_energy =
      process_map_energy(scenario, *inputs, run.postprocess_output, value, run.process_normalisers)
          .energy;
  only.lower_bound = run.process_lower_bound;
  const std::vector<Round> rounds{only};
  log_rounds(rounds);
  log_rules_cost(run, rounds, only, proc);
}

// The rounds, `extra` of them after the plain one at most, quietly, then the kept one in the open.
void run_rounds(const Scenario& scenario, Run& run, const ProcessInputs* inputs,
                PostprocessInputs* post, size_t extra) {
  std::vector<Round> rounds;
  Round best;
  // Scales past the best that have not beaten it; passes of one scale until the rules keep its
  // map or no cell is left to keep out.
  int32_t since_best = 0;
  const int32_t limit = postprocess_read_parameters(scenario.config).purge_limit;
  Progress progress = progress_begin(0.0);
  // Runs `next` as the next round of the list.
  const auto run_listed = [&](const Round& next) -> Round& {
    progress_update(progress, static_cast<double>(rounds.size()), static_cast<double>(extra + 1),
                    "the rules' round %zu of at most %zu", rounds.size() + 1, extra + 1);
    rounds.push_back(next);
    run_round(scenario, run, *inputs, post, rounds.back());
    return rounds.back();
  };
  // Passes from `next` until the rules keep a cut whole or leave nothing new to keep out; whether
  // one beat the best. The first pass's purged islands, if any, go to `grown`, kept in.
  const auto run_passes = [&](Round next, Round* grown) {
    bool improved = false;
    for (; next.pass <= MAX_PASSES && rounds.size() <= extra; ++next.pass) {
      if (!rounds.empty()) next.cut.price_hint = rounds.back().price;
      Round& round = run_listed(next);
      // POSTPROCESS stopped on this cut (all of it purged, say): a rounder one may hold.
      if (!round.done) break;
      if (better(round, best)) {
        best = round;
        improved = true;
      }
      const float value = run.working_cell_value;
      if (grown != nullptr && next.pass == 1) {
        grown->cut.keep_in = purged_islands(run.geometry, round, value, limit);
        grown->cut.start = round.repair;
      }
      if (round.kept_whole) break;
      // Passes that grow purged islands keep them in, each pass adding those it purged.
      const auto in = next.grown ? purged_islands(run.geometry, round, value, limit) : nullptr;
      const auto out = dropped_cells(round, in ? in.get() : next.cut.keep_in.get());
      if (in == nullptr && out == nullptr) break;
      if (in != nullptr) next.cut.keep_in = in;
      if (out != nullptr) next.cut.keep_out = out;
      next.cut.start = round.repair;
      forget_maps(round);
    }
    return improved;
  };
  for (const double scale : SCALES) {
    if (inputs->fatal_code != 0 || (best.keeps && since_best >= ROUNDS_PAST_BEST)) break;
    Round next;
    next.cut.perimeter_scale = scale;
    Round grown = next;
    grown.grown = true;
    grown.cut.least_island = limit;
    bool improved = run_passes(next, &grown);
    if (rounds.size() == 1 && !rounds[0].processed) break;  // the plain cut fails as the run will
    // The same passes with the islands the first purged for their size kept in at the limit's.
    if (grown.cut.keep_in != nullptr) improved = run_passes(grown, nullptr) || improved;
    since_best = improved ? 0 : since_best + 1;
    if (rounds.size() > extra) break;
  }
  // The best map the rules keep, cut again near itself at its multiplier, as long as that lowers
  // it.
  for (bool improved = best.keeps; improved;) {
    improved = false;
    const Round from = best;
    for (const int32_t reach : NEAR_REACHES) {
      if (rounds.size() > extra) break;
      Round next;
      next.cut.perimeter_scale = from.cut.perimeter_scale;
      next.cut.keep_out = beyond(run.geometry, from.final_map, run.working_cell_value, reach);
      next.cut.start = from.final_map;
      next.cut.price_hint = from.price;
      next.near = reach;
      Round& round = run_listed(next);
      if (round.done && round.keeps && better(round, best)) {
        best = round;
        improved = true;
      }
      forget_maps(round);
    }
  }
  progress_end(progress);
  log_rounds(rounds);

  // The kept round again, for its log and files: the same seed and multiplier give the same maps.
  if (best.done) run.cut = best.cut;
  const PackedMap proc = run_stages_open(scenario, run, inputs, post);
  run.cut = RulesCut();

  log_rules_cost(run, rounds, best, proc);
}

}  // namespace

namespace {

// The section on POSTPROCESS's one repair of PROCESS's map: `values` those of allocated cells.
void log_repair(const Run& run, const std::vector<float>& values, double process,
                double final_energy) {
  log_message("REPAIR by POSTPROCESS\n");
  log_message("  process energy %f\n", process);
  log_postprocess_change(run.geometry, values, run.process_output, run.postprocess_output, process,
                         final_energy);
  log_bound(run, final_energy);
}

}  // namespace

void log_repair_cost(const StageFlags& stages, const Scenario& scenario, const Run& run) {
  if (!stages.process || !stages.postprocess || land_uses_present(scenario.config)) return;
  if (process_read_parameters(scenario.config).method != ProcessMethod::min_cut) return;
  const ProcessInputs* inputs =
      run.process_inputs != nullptr ? run.process_inputs : run.kept_process_inputs.get();
  if (inputs == nullptr || inputs->fatal_code != 0 || run.process_output.empty()) return;
  const float value = run.working_cell_value;
  const auto energy = [&](const PackedMap& map) {
    return process_map_energy(scenario, *inputs, map, value, run.process_normalisers).energy;
  };
  const double process = energy(run.process_output);
  const double final_energy = energy(run.postprocess_output);
  log_repair(run, {value}, process, final_energy);
}

void log_uses_repair_cost(const StageFlags& stages, const Scenario& scenario, const LandUses& uses,
                          const Run& run) {
  const size_t K = uses.uses.size();
  if (!stages.process || !stages.postprocess || K < 2 || run.kept_use_inputs.size() != K) return;
  if (process_read_parameters(scenario.config).method != ProcessMethod::min_cut) return;
  if (run.process_output.empty() || run.postprocess_output.empty()) return;
  std::vector<const ProcessInputs*> inputs;
  std::vector<float> codes;
  for (size_t k = 0; k < K; ++k) {
    inputs.push_back(run.kept_use_inputs[k].get());
    codes.push_back(uses.uses[k].value);
  }
  const auto energy = [&](const PackedMap& map) {
    return process_uses_map_energy(scenario, uses, inputs, run.geometry, map.unpack(),
                                   run.use_normalisers, run.kept_uses_base)
        .energy;
  };
  const double process = energy(run.process_output);
  const double final_energy = energy(run.postprocess_output);
  log_repair(run, codes, process, final_energy);
}

namespace {

// Passes of several land uses, each keeping out of every use's cuts the cells its rules dropped so
// far: a use's cuts then place those cells where its islands can keep them.
constexpr int32_t MAX_USES_PASSES = 8;

// One pass of several uses: PROCESS from its cut and POSTPROCESS, in memory, quietly.
struct UsesPass {
  RulesCut cut;
  int32_t pass = 1;
  bool done = false;
  bool whole = false;  // POSTPROCESS dropped nothing
  bool keeps = false;  // every use's rules hold on the final map
  double process_energy = 0.0;
  double final_energy = std::numeric_limits<double>::infinity();
  std::optional<double> lower_bound;  // the plain pass's
  PackedMap process_map;
  PackedMap final_map;
};

double uses_map_energy(const Scenario& scenario, const LandUses& uses, const Run& run,
                       const PackedMap& map) {
  std::vector<const ProcessInputs*> inputs;
  for (const auto& own : run.kept_use_inputs) inputs.push_back(own.get());
  return process_uses_map_energy(scenario, uses, inputs, run.geometry, map.unpack(),
                                 run.use_normalisers, run.kept_uses_base)
      .energy;
}

void run_uses_pass(const Scenario& scenario, const LandUses& uses, const Run& run, UsesPass& pass) {
  Run trial = quiet_trial(run, pass.cut);
  trial.also_in_memory = true;  // each use's records, to price the maps
  SharedStep step;
  shared_step_capture(step, [&] {
    run_process_uses(scenario, uses, trial);
    run_postprocess_uses(scenario, uses, trial);
  });
  if (step.fatal_code != 0 || trial.kept_use_inputs.size() != uses.uses.size()) return;
  pass.done = true;
  pass.whole = trial.process_output == trial.postprocess_output;
  pass.keeps = trial.postprocess_kept;
  pass.process_energy = uses_map_energy(scenario, uses, trial, trial.process_output);
  pass.final_energy = uses_map_energy(scenario, uses, trial, trial.postprocess_output);
  pass.lower_bound = trial.process_lower_bound;
  pass.process_map = trial.process_output;
  pass.final_map = trial.postprocess_output;
}

// Each use's cells the rules dropped from a pass's cut, added to those it kept out already;
// empty when none is new.
std::vector<std::shared_ptr<const std::vector<uint8_t>>> uses_dropped(const LandUses& uses,
                                                                      const UsesPass& pass) {
  const std::vector<float> cut = pass.process_map.unpack();
  const std::vector<float> final_map = pass.final_map.unpack();
  std::vector<std::shared_ptr<const std::vector<uint8_t>>> outs;
  bool more = false;
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    const auto& before = k < pass.cut.use_keep_out.size() ? pass.cut.use_keep_out[k] : nullptr;
    auto out = before ? std::make_shared<std::vector<uint8_t>>(*before)
                      : std::make_shared<std::vector<uint8_t>>(cut.size(), 0);
    const float value = uses.uses[k].value;
    for (size_t i = 0; i < cut.size(); ++i) {
      if (cut[i] != value || final_map[i] == value || (*out)[i] != 0) continue;
      (*out)[i] = 1;
      more = true;
    }
    outs.push_back(std::move(out));
  }
  if (!more) outs.clear();
  return outs;
}

}  // namespace

bool uses_rules_rounds_apply(const StageFlags& stages, const Scenario& scenario,
                             const LandUses& uses) {
  if (!stages.process || !stages.postprocess || uses.uses.size() < 2) return false;
  const ConfigDocument& config = uses.uses[0].config;
  const ProcessStageParameters process = process_read_parameters(config);
  return process.method == ProcessMethod::min_cut &&
         postprocess_read_parameters(config).expand_min_cut && !scenario.time_limit &&
         !process.time_limit;
}

void run_uses_within_rules(const StageFlags& stages, const Scenario& scenario, const LandUses& uses,
                           Run& run) {
  log_message("ALGORITHM\n");
  const bool also_in_memory = run.also_in_memory;
  run.also_in_memory = true;
  if (stages.preprocess) run_preprocess_uses(scenario, uses, run);
  maps_init_geometry(scenario.config, run.geometry);
  const double cells = static_cast<double>(geometry_cell_count(run.geometry));
  const auto fit = static_cast<int32_t>(
      std::min(std::floor(ROUND_WORK / (cells * static_cast<double>(uses.uses.size()))),
               static_cast<double>(MAX_USES_PASSES)));
  if (fit < 2) {
    // No room for a pass after the plain one: the plain stages once, in the open.
    run_process_uses(scenario, uses, run);
    run_postprocess_uses(scenario, uses, run);
    log_uses_repair_cost(stages, scenario, uses, run);
    run.also_in_memory = also_in_memory;
    log_message("ALGORITHM end\n");
    return;
  }
  std::vector<UsesPass> passes;
  UsesPass best;
  UsesPass next;
  Progress progress = progress_begin(0.0);
  for (; next.pass <= fit; ++next.pass) {
    progress_update(progress, next.pass - 1.0, fit, "the rules' pass %d of at most %d", next.pass,
                    fit);
    passes.push_back(next);
    UsesPass& pass = passes.back();
    run_uses_pass(scenario, uses, run, pass);
    if (!pass.done) break;
    // A pass that does not beat the best stops them: the cells its regrowth placed anew, which
    // its cut then keeps, can leave each pass dropping a few more without end.
    if (!better(pass, best)) break;
    best = pass;
    if (pass.whole) break;
    next.cut.use_keep_out = uses_dropped(uses, pass);
    if (next.cut.use_keep_out.empty()) break;
    next.cut.start = pass.final_map;
    pass.process_map = pass.final_map = PackedMap();
    pass.cut = RulesCut();
  }
  progress_end(progress);
  log_message("RULES of POSTPROCESS in the min-cut\n");
  for (const UsesPass& pass : passes) {
    if (!pass.done) {
      log_message("  pass %d: stopped\n", pass.pass);
      continue;
    }
    log_message("  pass %d", pass.pass);
    log_outcome(pass.process_energy, pass.final_energy, pass.whole, pass.keeps);
  }
  // The kept pass again, in the open, for its log and files.
  if (best.done) run.cut = best.cut;
  run_process_uses(scenario, uses, run);
  const PackedMap proc = run.process_output;
  run_postprocess_uses(scenario, uses, run);
  run.cut = RulesCut();
  run.process_lower_bound.reset();
  if (!passes.empty() && passes[0].done) run.process_lower_bound = passes[0].lower_bound;
  log_message("RULES end\n");
  if (best.done) {
    std::vector<float> codes;
    for (const LandUse& use : uses.uses) codes.push_back(use.value);
    log_message("  kept pass %d\n", best.pass);
    log_kept_cost(run, codes, proc, best.process_energy, passes[0].process_energy,
                  best.final_energy);
  }
  run.also_in_memory = also_in_memory;
  log_message("ALGORITHM end\n");
}

bool rules_rounds_apply(const StageFlags& stages, const Scenario& scenario) {
  if (!stages.process || !stages.postprocess || land_uses_present(scenario.config)) return false;
  return process_read_parameters(scenario.config).method == ProcessMethod::min_cut &&
         postprocess_read_parameters(scenario.config).expand_min_cut;
}

void run_stages_within_rules(const StageFlags& stages, const Scenario& scenario, Run& run) {
  log_message("ALGORITHM\n");
  // Every round starts from PREPROCESS's map, and the kept one's maps are measured: in memory.
  const bool also_in_memory = run.also_in_memory;
  run.also_in_memory = true;
  if (stages.preprocess) run_preprocess_stage(scenario, run);
  // The rounds share the PROCESS records and the POSTPROCESS potential: a run of several repeats
  // brings them, a single run builds them here once.
  RepeatShared own;
  const ProcessInputs* inputs = run.process_inputs;
  PostprocessInputs* post = run.postprocess_inputs;
  if (inputs == nullptr) {
    own.geometry = run.geometry;
    maps_init_geometry(scenario.config, own.geometry);
    repeat_share_inputs(scenario.config, own);
    inputs = &own.process;
    post = &own.postprocess;
  }
  // The rounds past the first are bounded by the cells they cut, not by the clock, so that the
  // same seed gives the same map on any machine.
  // A time limit holds for PROCESS as a whole: the plain round alone then.
  const double cells = static_cast<double>(geometry_cell_count(run.geometry));
  const bool limited = scenario.time_limit || process_read_parameters(scenario.config).time_limit;
  const double fit = std::floor(ROUND_WORK / cells);
  const auto extra = limited || fit < MIN_EXTRA_ROUNDS ? size_t{0} : static_cast<size_t>(fit);
  if (extra == 0)
    run_one_round(scenario, run, inputs, post);
  else
    run_rounds(scenario, run, inputs, post, extra);
  // The records built here serve the runs table too, as those PROCESS builds would.
  if (inputs == &own.process && also_in_memory)
    run.kept_process_inputs = std::make_shared<const ProcessInputs>(std::move(own.process));
  run.also_in_memory = also_in_memory;
  log_message("ALGORITHM end\n");
}
