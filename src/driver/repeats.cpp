#include "driver/repeats.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "base/log.h"
#include "base/output_file.h"
#include "driver/rules_rounds.h"
#include "postprocess/postprocess_stage.h"
#include "postprocess/postprocess_uses.h"
#include "preprocess/preprocess_stage.h"
#include "preprocess/preprocess_uses.h"
#include "process/process_uses.h"
#include "raster/grid.h"
#include "scenario/land_uses.h"
#include "scenario/map_style.h"

namespace {

// Where the normalisers by which runs compare stand: awaited (from run 1, or from outside and not
// asked for yet), being asked for, known, or never to come (run 1, which fixes them, failed).
enum class CommonState { awaited, asking, known, failed };

// The state the threads of one set share; every field is read and written under `lock`.
struct SetState {
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;      ///< the index of the next run to start
  size_t reported = 0;  ///< the runs handed to the report
  size_t done = 0;      ///< the runs finished, for the progress line
  /// Where the normalisers come from, asked once; none: run 1 fixes them.
  std::function<std::vector<Normalisers>()> common_source;
  int32_t failed_run = INT32_MAX;  ///< the lowest run that failed: no later run starts
  CommonState common_state = CommonState::awaited;
  std::vector<Normalisers> common;
  /// The runs finished and not yet reported, the run at index i in slot i mod its size: a run
  /// starts only once the run as many places before it is reported, so no slot is taken twice.
  std::vector<std::optional<RepeatRunResult>> waiting;
  std::vector<uint32_t> counts;
  std::vector<uint32_t> use_counts;
  std::optional<RepeatRunResult> best;  ///< the best done run so far, without its log
  RepeatMaps best_maps;
};

// Finished runs that may wait for an earlier one, per thread: enough for the threads to go on
// past a slow run for a while, few enough that a million runs hold a handful at once.
constexpr size_t WAITING_PER_THREAD = 4;

// A run's log goes into a buffer of its own, and its fatal errors come back as exceptions, for as
// long as this lives on the run's thread.
class RunLog {
 public:
  RunLog() : file_(open_memstream(&buffer_, &size_)) {
    if (file_ == nullptr) throw std::bad_alloc();
    log_set_stream(file_);
    fatal_set_throw_on_thread(true);
  }
  ~RunLog() {
    fatal_set_throw_on_thread(false);
    log_set_stream(nullptr);
    std::fclose(file_);
    std::free(buffer_);
  }
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;
  std::string text() { return std::fflush(file_), std::string(buffer_, size_); }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

// Runs `body`; a fatal error (or memory the library could not get) becomes the returned exit code
// after its message, 0 when it completes.
template <typename Body>
int catching_fatal(Body body) {
  try {
    body();
  } catch (const FatalExit& e) {
    return e.code;
  } catch (const std::bad_alloc&) {
    log_message("error: not enough memory!\n");
    return 1;
  } catch (const std::length_error&) {
    log_message("error: not enough memory!\n");
    return 1;
  }
  return 0;
}

// The map of the last selected stage.
const PackedMap& final_map(const Run& run, const StageFlags& stages) {
  if (stages.postprocess) return run.postprocess_output;
  if (stages.process) return run.process_output;
  return run.preprocess_output;
}

RepeatMaps take_maps(Run& run) {
  RepeatMaps maps;
  maps.preprocess_output = std::move(run.preprocess_output);
  maps.process_output = std::move(run.process_output);
  maps.postprocess_output = std::move(run.postprocess_output);
  maps.working_cell_value = run.working_cell_value;
  return maps;
}

// Runs the run at `index` of the set on this thread and files its result.
void execute_run(const Scenario& scenario, const RepeatShared& shared, const RepeatOptions& options,
                 const RunSeries& runs, size_t index, SetState& state) {
  const auto start = std::chrono::steady_clock::now();
  RepeatRunResult result;
  const bool several = !shared.uses.uses.empty();
  result.run = runs[index];
  result.seed = options.first_seed + static_cast<uint64_t>(result.run - 1);
  Run run;
  run.geometry = shared.geometry;
  run.seed = result.seed;
  run.repeat = result.run;
  run.in_memory = true;
  run.write_files = options.keep_runs && !options.debug_replay;
  run.debug_files_only = options.debug_replay;
  run.file_tag = repeat_run_tag(result.run, options.repeats);
  run.preprocess_inputs = &shared.preprocess;
  run.process_inputs = &shared.process;
  run.postprocess_inputs = &shared.postprocess;
  run.working_value_cells = &shared.working_value_cells;
  bool cancelled = false;
  {
    RunLog log;
    log_message("run %d of %d, seed %llu\n", result.run, options.repeats,
                static_cast<unsigned long long>(result.seed));
    result.fatal_code = catching_fatal([&] {
      run_selected_stages(options.stages, scenario, run);
      // The run that fixes the normalisers goes on at once; the others wait for them.
      const bool defines = result.run == 1 && !state.common_source;
      std::vector<Normalisers> fixed;
      if (defines) {
        if (options.stages.process)
          fixed = several ? run.use_normalisers : std::vector<Normalisers>{run.process_normalisers};
      } else {
        std::unique_lock<std::mutex> hold(state.lock);
        if (state.common_source && state.common_state == CommonState::awaited) {
          state.common_state = CommonState::asking;
          hold.unlock();
          const std::vector<Normalisers> given = state.common_source();
          hold.lock();
          state.common = given;
          state.common_state = CommonState::known;
          state.changed.notify_all();
        }
        state.changed.wait(hold, [&] {
          return state.common_state == CommonState::known ||
                 state.common_state == CommonState::failed;
        });
        cancelled = state.common_state != CommonState::known;
        fixed = state.common;
      }
      if (cancelled) return;
      const PackedMap& map = final_map(run, options.stages);
      if (several) {
        std::vector<const ProcessInputs*> inputs;
        for (const ProcessInputs& in : shared.use_inputs) inputs.push_back(&in);
        RunRow row =
            runs_table_uses_row(scenario, shared.uses, inputs, shared.geometry, map, fixed);
        result.energy = row.energy;
        result.measures = row.measures;
        result.uses = std::move(row.uses);
        result.pairs = std::move(row.pairs);
      } else {
        result.energy = process_map_energy(scenario, shared.process, map, run.working_cell_value,
                                           fixed.empty() ? Normalisers() : fixed[0]);
        result.measures =
            run_measures(shared.geometry, shared.process, map, run.working_cell_value);
      }
      if (defines) {
        std::lock_guard<std::mutex> hold(state.lock);
        state.common = repeat_normalisers(result);
        state.common_state = CommonState::known;
        state.changed.notify_all();
      }
    });
    result.done = result.fatal_code == 0 && !cancelled;
    result.lower_bound = run.process_lower_bound;
    result.log = log.text();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::lock_guard<std::mutex> hold(state.lock);
  if (result.done) {
    const PackedMap& map = final_map(run, options.stages);
    if (several) {
      // A cell counts for the use whose code it holds: new cells only, as for one use.
      for (size_t i = 0; i < map.size(); ++i) {
        const int32_t k = land_use_of_code(shared.uses, map[i]);
        if (k < 0) continue;
        ++state.counts[i];
        ++state.use_counts[static_cast<size_t>(k) * map.size() + i];
      }
    } else {
      for (size_t i = 0; i < map.size(); ++i) state.counts[i] += map[i] == run.working_cell_value;
    }
    if (!state.best || repeat_better(result, *state.best)) {
      state.best = result;
      std::string().swap(state.best->log);
      state.best_maps = take_maps(run);
    }
  } else if (!cancelled) {
    state.failed_run = std::min(state.failed_run, result.run);
    if (result.run == 1) state.common_state = CommonState::failed;
  }
  state.waiting[index % state.waiting.size()] = std::move(result);
  ++state.done;
  state.changed.notify_all();
}

void run_worker(const Scenario& scenario, const RepeatShared& shared, const RepeatOptions& options,
                const RunSeries& runs, SetState& state) {
  for (;;) {
    size_t index = 0;
    {
      std::unique_lock<std::mutex> hold(state.lock);
      const auto over = [&] {
        return state.next >= runs.size() || runs[state.next] > state.failed_run;
      };
      state.changed.wait(
          hold, [&] { return over() || state.next < state.reported + state.waiting.size(); });
      if (over()) return;
      index = state.next++;
    }
    execute_run(scenario, shared, options, runs, index, state);
  }
}

// Writes `cells`; `transform` turns each value into the one written. Returns the cells written.
template <typename Transform>
MapBlock write_map(const GridGeometry& geometry, const PackedMap& cells, const std::string& path,
                   Transform transform) {
  MapBlock maps = maps_allocate_quiet(geometry, 1);
  float* out = maps.map(0);
  cells.unpack(out);
  for (size_t i = 0; i < cells.size(); ++i) out[i] = transform(out[i]);
  grid_write(path.c_str(), maps, 0);
  return maps;
}

// Every use's configuration names the same outputs; the shared one has no demand of its own to
// read PREPROCESS's properties by.
const ConfigDocument& summary_config(const Scenario& scenario, const RepeatShared& shared) {
  return shared.uses.uses.empty() ? scenario.config : shared.uses.uses[0].config;
}

// A solution map, in the values files hold (several uses' codes), and its style.
void write_map(const GridGeometry& geometry, const PackedMap& cells, const std::string& path,
               const LandUses& uses) {
  const std::vector<CodeLabel> labels =
      uses.uses.empty() ? std::vector<CodeLabel>() : land_uses_code_labels(uses);
  const std::vector<std::pair<float, float>> written = land_uses_written_codes(uses);
  const MapBlock maps =
      write_map(geometry, cells, path, [&](float value) { return written_value(written, value); });
  style_write_solution(path, maps.map(0), maps.cell_count(), labels.empty() ? nullptr : &labels);
}

// Per cell, the number of runs of `repeats` that allocate it (`counts`, one per cell), and its
// style; no data where the final map has none or excludes the cell, or none of `records` has a
// potential, so that a cell no run could choose is told from one that none chose.
void write_frequency_grid(const GridGeometry& geometry,
                          const std::vector<const ProcessInputs*>& records, const uint32_t* counts,
                          const PackedMap& final_map, const std::string& path, int32_t repeats) {
  MapBlock maps = maps_allocate_quiet(geometry, 1);
  float* cells = maps.map(0);
  final_map.unpack(cells);
  std::vector<char> choosable(maps.cell_count(), 0);
  for (const ProcessInputs* inputs : records) {
    const CellRecords& r = inputs->records;
    if (r.records == nullptr) continue;
    size_t i = 0;
    for (int32_t row = 0; row < r.grid.nrows; ++row) {
      const CellRecord* line = r.records.get() + bordered_index(r.grid, row, 0);
      for (int32_t col = 0; col < r.grid.ncols; ++col, ++i)
        choosable[i] = choosable[i] || line[col].potential != CELL_NODATA;
    }
  }
  for (size_t i = 0; i < choosable.size(); ++i) {
    const bool none = choosable[i] == 0 || cells[i] == CELL_NODATA || cells[i] == CELL_MASKED;
    cells[i] = none ? CELL_NODATA : static_cast<float>(counts[i]);
  }
  grid_write(path.c_str(), maps, 0);
  style_write_frequency(path, repeats);
}

}  // namespace

void run_selected_stages(const StageFlags& stages, const Scenario& scenario, Run& run) {
  if (land_uses_present(scenario.config)) {
    const LandUses uses = land_uses_read(scenario.config);
    if (uses_rules_rounds_apply(stages, scenario, uses)) {
      run_uses_within_rules(stages, scenario, uses, run);
      return;
    }
    log_message("ALGORITHM\n");
    if (stages.preprocess) run_preprocess_uses(scenario, uses, run);
    if (stages.process) run_process_uses(scenario, uses, run);
    if (stages.postprocess) run_postprocess_uses(scenario, uses, run);
    log_uses_repair_cost(stages, scenario, uses, run);
    log_message("ALGORITHM end\n");
    return;
  }
  if (rules_rounds_apply(stages, scenario)) {
    run_stages_within_rules(stages, scenario, run);
    return;
  }
  log_message("ALGORITHM\n");
  if (stages.preprocess) run_preprocess_stage(scenario, run);
  if (stages.process) run_process_stage(scenario, run);
  if (stages.postprocess) run_postprocess_stage(scenario, run);
  log_repair_cost(stages, scenario, run);
  log_message("ALGORITHM end\n");
}

std::vector<Normalisers> repeat_normalisers(const RepeatRunResult& result) {
  if (result.uses.empty()) return {result.energy.normalisers};
  std::vector<Normalisers> normalisers;
  for (const UseColumns& use : result.uses) normalisers.push_back(use.energy.normalisers);
  return normalisers;
}

void repeat_share_inputs(const ConfigDocument& config, RepeatShared& shared) {
  if (land_uses_present(config)) {
    shared.uses = land_uses_read(config);
    shared.use_inputs.resize(shared.uses.uses.size());
    for (size_t k = 0; k < shared.uses.uses.size(); ++k) {
      ProcessInputs& inputs = shared.use_inputs[k];
      process_build_inputs(shared.uses.uses[k].config, shared.geometry, inputs);
      if (inputs.fatal_code != 0 && shared.process.fatal_code == 0) {
        shared.process.log = inputs.log;
        shared.process.fatal_code = inputs.fatal_code;
      }
    }
    return;
  }
  process_build_inputs(config, shared.geometry, shared.process);
  const CellRecords& records = shared.process.records;
  if (shared.process.fatal_code != 0 || records.records == nullptr) return;
  PostprocessInputs& post = shared.postprocess;
  const CellRecord* first = records.records.get() + bordered_index(records.grid, 0, 0);
  post.potential = reinterpret_cast<const unsigned char*>(&first->potential);
  post.potential_step = sizeof(CellRecord);
  post.potential_row_step = records.grid.stride * sizeof(CellRecord);
  post.potential_log = shared.process.potential_log;
}

bool repeat_better(const RepeatRunResult& a, const RepeatRunResult& b) {
  const bool a_nan = std::isnan(a.energy.energy);
  const bool b_nan = std::isnan(b.energy.energy);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.energy.energy != b.energy.energy) return a.energy.energy < b.energy.energy;
  return a.run < b.run;
}

std::string repeat_run_tag(int32_t run, int32_t repeats) {
  const int width = static_cast<int>(std::to_string(repeats).size());
  char tag[32];
  std::snprintf(tag, sizeof tag, ".run%0*d", width, run);
  return tag;
}

RepeatSetResult run_repeat_set(const Scenario& scenario, const RepeatShared& shared,
                               const RepeatOptions& options, const RunSeries& runs,
                               const std::function<std::vector<Normalisers>()>& common,
                               const std::function<void(RepeatRunResult&)>& report) {
  SetState state;
  state.counts.assign(geometry_cell_count(shared.geometry), 0);
  state.use_counts.assign(shared.uses.uses.size() * state.counts.size(), 0);
  state.common_source = common;
  const size_t threads =
      std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(options.threads), runs.size()));
  state.waiting.resize(WAITING_PER_THREAD * threads);
  std::vector<std::thread> workers;
  for (size_t t = 0; t < threads; ++t) {
    workers.emplace_back(run_worker, std::cref(scenario), std::cref(shared), std::cref(options),
                         std::cref(runs), std::ref(state));
  }
  // Each run is reported once it and every run before it are finished; the first failed run is
  // the last one reported, and the threads then finish the runs they hold and start no other.
  // The calling thread shows the progress line while it waits: the runs' own lines are off.
  RepeatSetResult set;
  Progress progress = progress_begin(1.0);
  for (size_t index = 0; index < runs.size(); ++index) {
    std::unique_lock<std::mutex> hold(state.lock);
    std::optional<RepeatRunResult>& slot = state.waiting[index % state.waiting.size()];
    while (!slot) {
      progress_update(progress, static_cast<double>(state.done), static_cast<double>(runs.size()),
                      "repeats: %d of %zu runs done", static_cast<int>(state.done), runs.size());
      state.changed.wait_for(hold, std::chrono::milliseconds(250));
    }
    RepeatRunResult result = std::move(*slot);
    slot.reset();
    ++state.reported;
    state.changed.notify_all();
    hold.unlock();
    progress_end(progress);
    if (report) report(result);
    if (!result.done) {
      set.stopped = result.fatal_code;
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();

  set.counts = std::move(state.counts);
  set.use_counts = std::move(state.use_counts);
  set.best_maps = std::move(state.best_maps);
  return set;
}

void repeat_print_summary(const RepeatRunResult& result, int32_t repeats) {
  log_message("run %d of %d: energy %f, %" PRId64 " cells, %d islands\n", result.run, repeats,
              result.energy.energy, result.energy.cells, result.energy.islands);
}

void repeat_write_best_debug_files(const Scenario& scenario, const RepeatShared& shared,
                                   const RepeatOptions& options, const RepeatRunResult& best) {
  // The stages of several land uses write no debug files.
  if (!shared.uses.uses.empty()) return;
  const ConfigDocument& config = scenario.config;
  bool wanted = false;
  if (options.stages.preprocess) {
    const PreprocessParameters p = preprocess_read_parameters(config);
    wanted = wanted || !preprocess_debug_files(p, p.output).empty();
  }
  if (options.stages.process) {
    const ProcessStageParameters p = process_read_parameters(config);
    wanted = wanted || !process_debug_files(p, p.output).empty();
  }
  if (options.stages.postprocess) {
    const PostprocessParameters p = postprocess_read_parameters(config);
    wanted = wanted || !postprocess_debug_files(p, p.output).empty();
  }
  if (!wanted) return;
  RepeatOptions replay = options;
  replay.debug_replay = true;
  replay.threads = 1;
  const std::vector<Normalisers> common = repeat_normalisers(best);
  RepeatRunResult again;
  run_repeat_set(
      scenario, shared, replay, {best.run, 1, 1}, [common] { return common; },
      [&](RepeatRunResult& result) { again = std::move(result); });
  if (!again.done) {
    log_message("%s", again.log.c_str());
    fatal_exit(again.fatal_code);
  }
  log_message("  debug files of the best run, run %d again\n", best.run);
  if (again.energy.energy != best.energy.energy && !std::isnan(best.energy.energy)) {
    log_message(
        "! run %d ended elsewhere when run again (energy %f): its debug files are not "
        "the best map's\n",
        best.run, again.energy.energy);
  }
}

RepeatSummary repeat_summary(std::vector<double> energies, const std::vector<uint32_t>& counts,
                             int32_t repeats) {
  RepeatSummary summary;
  if (!energies.empty()) {
    // NaN energies (no normaliser) sort last, as they rank.
    std::sort(energies.begin(), energies.end(),
              [](double a, double b) { return std::isnan(b) ? !std::isnan(a) : a < b; });
    const size_t half = energies.size() / 2;
    summary.median_energy =
        energies.size() % 2 == 1 ? energies[half] : (energies[half - 1] + energies[half]) / 2.0;
  }
  // Two runs share a cell that c runs allocate in c (c - 1) / 2 of the N (N - 1) / 2 pairs.
  double pairs = 0.0, allocated = 0.0;
  for (const uint32_t c : counts) {
    pairs += static_cast<double>(c) * (static_cast<double>(c) - 1.0);
    allocated += c;
    summary.cells_in_every_run += c == static_cast<uint32_t>(repeats) ? 1 : 0;
  }
  if (repeats > 1 && allocated > 0.0) {
    const double n = repeats;
    summary.common_share = (pairs / (n * (n - 1.0))) / (allocated / n);
  }
  return summary;
}

void repeat_tally_begin(const Scenario& scenario, const RepeatShared& shared,
                        const RepeatOptions& options, RepeatTally& tally) {
  tally = RepeatTally();
  const ConfigDocument& config = summary_config(scenario, shared);
  runs_table_begin(tally.table, repeat_summary_paths(config, options.stages).table);
}

void repeat_tally_add(RepeatTally& tally, const RepeatRunResult& r) {
  if (!tally.best || repeat_better(r, *tally.best)) {
    tally.best = r;
    std::string().swap(tally.best->log);
    tally.best_row = tally.table.rows;
  }
  tally.energies.push_back(r.energy.energy);
  runs_table_add(tally.table, {r.run, r.seed, r.energy, r.seconds, false, r.lower_bound, r.measures,
                               r.uses, r.pairs});
}

RepeatSummary merge_repeats(const Scenario& scenario, const RepeatShared& shared,
                            const RepeatOptions& options, const RepeatSetResult& set,
                            RepeatTally& tally) {
  if (!tally.best) return RepeatSummary();
  const LandUses& uses = shared.uses;
  const ConfigDocument& config = summary_config(scenario, shared);
  const RepeatRunResult& best = *tally.best;
  const RepeatMaps& best_maps = set.best_maps;
  const std::vector<uint32_t>& counts = set.counts;
  log_message("REPEATS end\n");
  log_message("  best run %d of %d, seed %llu, energy %f\n", best.run, options.repeats,
              static_cast<unsigned long long>(best.seed), best.energy.energy);
  const StageFlags& stages = options.stages;
  if (stages.preprocess) {
    write_map(shared.geometry, best_maps.preprocess_output,
              preprocess_read_parameters(config).output, uses);
  }
  if (stages.process) {
    write_map(shared.geometry, best_maps.process_output, process_read_parameters(config).output,
              uses);
  }
  if (stages.postprocess) {
    const PostprocessParameters p = postprocess_read_parameters(config);
    write_map(shared.geometry, best_maps.postprocess_output, p.output, uses);
    // The mask is drawn from the final map, as the stage draws it, rather than kept: every new
    // cell of any use when there are several.
    const float value = best_maps.working_cell_value;
    write_map(shared.geometry, best_maps.postprocess_output, p.output_mask, [&](float cell) {
      const bool allocated = uses.uses.empty() ? cell == value : land_use_of_code(uses, cell) >= 0;
      return allocated ? 1.0f : CELL_NODATA;
    });
    style_write_mask(p.output_mask);
  }
  const PackedMap& final_map = stages.postprocess ? best_maps.postprocess_output
                               : stages.process   ? best_maps.process_output
                                                  : best_maps.preprocess_output;
  const RepeatSummaryPaths summary = repeat_summary_paths(config, stages);
  std::vector<const ProcessInputs*> records;
  for (const ProcessInputs& inputs : shared.use_inputs) records.push_back(&inputs);
  if (uses.uses.empty()) records.push_back(&shared.process);
  write_frequency_grid(shared.geometry, records, counts.data(), final_map, summary.frequency,
                       options.repeats);
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    write_frequency_grid(shared.geometry, {records[k]}, set.use_counts.data() + k * counts.size(),
                         final_map, repeat_use_frequency_path(summary, uses.uses[k].name),
                         options.repeats);
  }
  runs_table_finish(tally.table, tally.best_row);
  log_message("  frequency map '%s'\n", summary.frequency.c_str());
  for (const LandUse& use : uses.uses) {
    log_message("  frequency map of '%s' '%s'\n", use.name.c_str(),
                repeat_use_frequency_path(summary, use.name).c_str());
  }
  log_message("  runs table '%s'\n", summary.table.c_str());
  RepeatSummary result = repeat_summary(std::move(tally.energies), counts, options.repeats);
  result.best = best;
  return result;
}
