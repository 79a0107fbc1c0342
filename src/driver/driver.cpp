#include "driver/driver.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/bands.h"
#include "base/log.h"
#include "base/output_file.h"
#include "base/random.h"
#include "config/config.h"
#include "driver/describe.h"
#include "driver/options.h"
#include "driver/preflight.h"
#include "driver/repeat_job.h"
#include "driver/repeats.h"
#include "driver/sweep.h"
#include "driver/template.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_uses.h"
#include "raster/grid.h"
#include "scenario/land_uses.h"
#include "scenario/loaders.h"

namespace {

void report_parse_error(const ConfigDocument& config) {
  const int32_t code = config.token_count;
  log_message("error: unable to parse json data (code %d)!\n", code);
  switch (code) {
    case CONFIG_ERROR_PART:
      log_message("the string is not a full json packet, more bytes expected\n");
      break;
    case CONFIG_ERROR_INVAL:
      log_message("invalid character inside json string\n");
      break;
    case CONFIG_ERROR_NOMEM:
      log_message("not enough json tokens were reserved\n");
      break;
    default:
      log_message("unknown error\n");
      break;
  }
  log_message("  at line %d, column %d\n", config.error_line, config.error_column);
}

void report_reserve_failure(int64_t bytes) {
  log_message("error: unable to reserve enough memory (%d bytes)!\n",
              static_cast<int>(bytes < INT32_MAX ? bytes : INT32_MAX));
}

// A configuration is a few kilobytes; anything past this is no configuration (/dev/zero would
// otherwise be buffered until memory runs out).
constexpr int64_t CONFIG_FILE_MAX = int64_t{64} << 20;

void report_too_large(const char* path) {
  log_message("error: configuration file '%s' larger than %lld MiB!\n", path,
              static_cast<long long>(CONFIG_FILE_MAX >> 20));
}

// A pipe (such as a shell's process substitution) has no size to seek to: its text is read as it
// comes, into a buffer that doubles, up to the size limit of a configuration.
std::optional<std::string> read_stream(FILE* file, const char* path) {
  int64_t capacity = 1 << 16;
  int64_t used = 0;
  std::string text;
  for (;;) {
    try {
      text.resize(static_cast<size_t>(capacity));
    } catch (const std::bad_alloc&) {
      break;
    }
    used += static_cast<int64_t>(std::fread(&text[static_cast<size_t>(used)], 1,
                                            static_cast<size_t>(capacity - 1 - used), file));
    if (used < capacity - 1) {
      text.resize(static_cast<size_t>(used));
      return text;
    }
    if (used > CONFIG_FILE_MAX) {
      report_too_large(path);
      return std::nullopt;
    }
    // Room for one byte past the limit tells a text of exactly the limit from a longer one.
    capacity = capacity * 2 < CONFIG_FILE_MAX + 2 ? capacity * 2 : CONFIG_FILE_MAX + 2;
  }
  report_reserve_failure(capacity);
  return std::nullopt;
}

// Reads the whole file; nothing (after its message) when it cannot be opened or held.
std::optional<std::string> read_config_file(const char* path) {
  FILE* file = std::fopen(path, "rb");
  struct stat info;
  // A folder opens for reading on some systems but holds no text.
  if (file != nullptr && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) {
    log_message("error: unable to open filename '%s'!\n", path);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    std::optional<std::string> text = read_stream(file, path);
    std::fclose(file);
    return text;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  if (size > CONFIG_FILE_MAX) {
    report_too_large(path);
    std::fclose(file);
    return std::nullopt;
  }
  // A size the 32-bit count cannot hold cannot be reserved.
  std::string text;
  bool held = size >= 0 && size < INT32_MAX;
  if (held) {
    try {
      text.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      held = false;
    }
  }
  if (!held) {
    report_reserve_failure(size >= 0 ? static_cast<int64_t>(size) + 1 : INT32_MAX);
    std::fclose(file);
    return std::nullopt;
  }
  text.resize(std::fread(&text[0], 1, text.size(), file));
  std::fclose(file);
  return text;
}

// A run's files are kept only when it is one of several.
RepeatShape repeat_shape(const Job& job) {
  RepeatShape shape;
  shape.repeats = job.repeats;
  shape.keep_runs = job.keep_runs && job.repeats > 1;
  return shape;
}

// Runs the repeats of one configuration file, checked, printing each run's log in run order; a
// run that fails ends the process with its message and code after the logs of the runs before
// it, and nothing of the repeats is written then but the files of kept runs.
RepeatSummary run_repeats(const Job& job, const Scenario& scenario, const GridGeometry& geometry,
                          const Cluster& cluster) {
  RepeatShared shared;
  shared.geometry = geometry;
  // The energy by which runs compare needs the PROCESS maps even when the stage does not run.
  repeat_share_inputs(scenario.config, shared);
  if (shared.process.fatal_code != 0 && !job.stages.process) {
    log_message("%s", shared.process.log.c_str());
    fatal_exit(shared.process.fatal_code);
  }
  RepeatOptions options;
  options.stages = job.stages;
  options.first_seed = *scenario.seed;
  options.repeats = job.repeats;
  options.threads = job.threads;
  options.keep_runs = job.keep_runs;
  // Only process 0 writes the outputs; the others' runs reach it at the end.
  RepeatTally tally;
  if (cluster.rank == 0) repeat_tally_begin(scenario, shared, options, tally);
  const auto report_run = [&](RepeatRunResult& result) {
    log_message("%s", result.log.c_str());
    if (result.done) repeat_print_summary(result, job.repeats);
    std::fflush(log_stream());
    // Printed, a run's log is not needed again: a million runs must not hold a million logs.
    std::string().swap(result.log);
    if (result.done) repeat_tally_add(tally, result);
  };
  RepeatSetResult set;
  if (cluster.size > 1) {
    // The runs of other processes come in at the end: process 0 prints every run's log then,
    // in run order, as one process does while they finish.
    RepeatJobResult all = repeat_job_run(scenario, shared, options, cluster);
    if (cluster.rank != 0) return RepeatSummary();
    for (RepeatRunResult& result : all.runs) report_run(result);
    set = std::move(all.set);
  } else {
    set = run_repeat_set(scenario, shared, options, {1, 1, job.repeats}, nullptr, report_run);
    if (set.stopped) fatal_exit(*set.stopped);
  }
  const RepeatSummary summary = merge_repeats(scenario, shared, options, set, tally);
  repeat_write_best_debug_files(scenario, shared, options, summary.best);
  return summary;
}

// How many land uses a configuration decides: 1 when it has no "land-uses". One use is run as
// the configuration of that use alone, so that repeats, sweeps and the runs table see the
// properties the use gives in place of the shared ones.
size_t land_use_count(ConfigDocument& config) {
  if (!land_uses_present(config)) return 1;
  LandUses uses = land_uses_read(config);
  // A use that may convert codes needs the stages of several uses, which know conversions.
  if (uses.uses.size() == 1 && uses.uses[0].conversions.empty())
    config = std::move(uses.uses[0].config);
  return uses.uses.size();
}

// The job with its sweep's land uses resolved against the configuration as the file gives it (a
// use named that is not there ends the run, as a property the configuration lacks does).
Job resolved_sweep(const Job& job, const ConfigDocument& config) {
  Job resolved = job;
  std::string error;
  if (!sweep_resolve(config, resolved.sweeps, error)) fatal(2, "%s", error.c_str());
  return resolved;
}

// The configuration that names the files beside the final output: with several uses, the first
// use's (the shared one has no demand of its own to read PREPROCESS's properties by).
ConfigDocument naming_config(const ConfigDocument& config) {
  if (!land_uses_present(config)) return config;
  return land_uses_read(config).uses[0].config;
}

// The row of a run of several land uses: E of its final map and, for each use, its own terms
// (with the normalisers PROCESS fixed, when it ran) and the measures of its new cells.
RunRow land_uses_row(const Job& job, const Scenario& scenario, const LandUses& uses, const Run& run,
                     const PackedMap& map) {
  // The records PROCESS built, else built now, quietly.
  const size_t K = uses.uses.size();
  std::vector<ProcessInputs> built(run.kept_use_inputs.size() == K ? 0 : K);
  std::vector<const ProcessInputs*> inputs;
  for (size_t k = 0; k < K; ++k) {
    if (built.empty()) {
      inputs.push_back(run.kept_use_inputs[k].get());
    } else {
      process_build_inputs(uses.uses[k].config, run.geometry, built[k], run.threads);
      inputs.push_back(&built[k]);
    }
  }
  // The base PROCESS kept holds for its records; records built here go with a base read again.
  RunRow row =
      runs_table_uses_row(scenario, uses, inputs, run.geometry, map,
                          job.stages.process ? run.use_normalisers : std::vector<Normalisers>(),
                          built.empty() ? run.kept_uses_base : nullptr);
  // PROCESS logs its own map's pairs; POSTPROCESS changes the map.
  if (job.stages.postprocess && !row.pairs.empty() && !std::isnan(row.pairs[0].adjacency)) {
    log_message("final map\n");
    size_t p = 0;
    for (size_t a = 0; a < K; ++a) {
      for (size_t b = a + 1; b < K; ++b, ++p)
        log_use_pair(uses, a, b, row.pairs[p].sides, row.pairs[p].length, row.pairs[p].adjacency);
    }
  }
  return row;
}

// The row of a run of one use: the energy and the measures of its final map, priced on the PROCESS
// records: those PROCESS built, else built now, quietly; a configuration without the PROCESS
// properties (PREPROCESS alone) leaves the energy unknown.
RunRow one_use_row(const Job& job, const Scenario& scenario, const Run& run, const PackedMap& map) {
  ProcessInputs built;
  const ProcessInputs* inputs = run.kept_process_inputs.get();
  if (inputs == nullptr) {
    process_build_inputs(scenario.config, run.geometry, built, run.threads);
    inputs = &built;
  }
  RunRow row;
  const auto price = [&] {
    if (inputs->fatal_code != 0 || inputs->records.records == nullptr) {
      row.energy.energy = std::nan("");
      return;
    }
    // PROCESS's value bounds hold for the records it built, and the map's count is checked.
    ValueBounds bounds = inputs == run.kept_process_inputs.get() && job.stages.process
                             ? run.process_value_bounds
                             : ValueBounds();
    row.energy =
        process_map_energy(scenario, *inputs, map, run.working_cell_value,
                           job.stages.process ? run.process_normalisers : Normalisers(), &bounds);
  };
  const auto measure = [&] {
    row.measures = run_measures(run.geometry, *inputs, map, run.working_cell_value);
  };
  // Each reads the map alone: on a large map with a second thread, the measures are taken beside
  // the pricing (which may end the run, and so stays on the calling thread).
  both(run_bands(run, run.geometry.nrows, run.geometry.ncols) > 1, price, measure);
  return row;
}

// A single run writes its files as the stages do and, as repeats do, a runs table of one row with
// the energy and the measures of its final map (several land uses: E, and each use's columns).
RepeatSummary run_single(const Job& job, const Scenario& scenario, Run& run) {
  run.also_in_memory = true;
  const auto start = std::chrono::steady_clock::now();
  run_selected_stages(job.stages, scenario, run);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const PackedMap& map = job.stages.postprocess ? run.postprocess_output
                         : job.stages.process   ? run.process_output
                                                : run.preprocess_output;
  RunRow row;
  std::string table;
  if (land_uses_present(scenario.config)) {
    // The table goes beside the final output, which every use's configuration names; the shared
    // one has no demand of its own to read PREPROCESS's properties by.
    const LandUses uses = land_uses_read(scenario.config);
    row = land_uses_row(job, scenario, uses, run, map);
    table = repeat_summary_paths(uses.uses[0].config, job.stages).table;
  } else {
    row = one_use_row(job, scenario, run, map);
    table = repeat_summary_paths(scenario.config, job.stages).table;
  }
  row.run = 1;
  row.seed = *scenario.seed;
  row.best = true;
  row.seconds = seconds;
  row.lower_bound = run.process_lower_bound;
  write_runs_table({row}, table);
  RepeatSummary summary = repeat_summary({row.energy.energy}, {}, 1);
  summary.cells_in_every_run = row.energy.cells;
  summary.best.run = 1;
  summary.best.seed = row.seed;
  summary.best.energy = row.energy;
  summary.best.measures = row.measures;
  summary.best.lower_bound = row.lower_bound;
  summary.best.uses = std::move(row.uses);
  summary.best.pairs = std::move(row.pairs);
  return summary;
}

// Draws the picture of a sweep with gnuplot, when it is installed; false when it could not. The
// names go to the script as arguments, never as part of its text.
bool run_gnuplot(const std::vector<std::string>& arguments) {
  pid_t pid = 0;
  std::vector<std::string> words = {"gnuplot", "-c"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  if (posix_spawnp(&pid, "gnuplot", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `word` as one word of a POSIX shell command: in single quotes, each quote closed and escaped.
std::string shell_word(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// "property = value" of each swept property at `point`, as the log names a point.
std::string point_values(const std::vector<SweepAxis>& axes, const SweepPoint& point) {
  std::string values;
  for (size_t a = 0; a < axes.size(); ++a)
    values += (a > 0 ? ", " : "") + axes[a].property + " = " + axes[a].labels[point.at[a]];
  return values;
}

// What the sweep recommends: the elbow of the trade-off curve for any sweep, and for a single
// weight of the energy also Cohon's value, each with one line on why.
// With several land uses, one use's weight is traded within E as one use's is: its term is that
// use's, the rest all else of E. A shared weight that several uses read gets the elbow alone.
size_t recommend(const std::vector<SweepAxis>& axes, const std::vector<SweepPointResult>& results,
                 const TradeOff& trade, const std::vector<std::string>& uses) {
  std::vector<double> x, y;
  for (const SweepPointResult& r : results) {
    x.push_back(sweep_measure(r.summary, trade.x, trade));
    y.push_back(sweep_measure(r.summary, trade.y, trade));
  }
  const size_t elbow = sweep_elbow(x, y);
  const std::string values = point_values(axes, results[elbow].point);
  log_message(
      "  recommended %s (elbow): of the trade-off between %s and %s, scaled to 0-1, the "
      "point furthest from the line between the two ends\n",
      values.c_str(), sweep_measure_name(trade.x, trade, uses).c_str(),
      sweep_measure_name(trade.y, trade, uses).c_str());
  const SweepAxis& axis = axes[0];
  if (axes.size() != 1 || axis.name != "process.functions-weight") return elbow;
  if (trade.uses > 0 && trade.use < 0) return elbow;
  const int32_t k = axis.indices[0];
  const auto lowest = std::min_element(axis.values.begin(), axis.values.end());
  const auto highest = std::max_element(axis.values.begin(), axis.values.end());
  const RepeatSummary& low = results[static_cast<size_t>(lowest - axis.values.begin())].summary;
  const RepeatSummary& high = results[static_cast<size_t>(highest - axis.values.begin())].summary;
  const auto term = [&](const RepeatSummary& summary) {
    const RepeatRunResult& best = summary.best;
    return std::max(trade.use >= 0 ? best.uses[static_cast<size_t>(trade.use)].energy.terms[k]
                                   : best.energy.terms[k],
                    0.0);
  };
  const double term_low = term(low);
  const double term_high = term(high);
  double weight = 0.0;
  if (sweep_cohon(*lowest, term_low, low.best.energy.energy - *lowest * term_low, *highest,
                  term_high, high.best.energy.energy - *highest * term_high, weight)) {
    char cohon_text[32];
    std::snprintf(cohon_text, sizeof cohon_text, "%.4g", weight);
    log_message(
        "  Cohon's method: %s = %s: at this weight the plans of the smallest and the "
        "largest value have the same energy, f%d traded for the other terms one for "
        "one\n",
        axis.property.c_str(), cohon_text, k + 1);
  } else {
    log_message(
        "  Cohon's method: no value: the plan of the largest value does not trade less "
        "f%d for more of the other terms than the plan of the smallest\n",
        k + 1);
  }
  return elbow;
}

// The files a sweep writes of its own, beside the final output: its table, the picture's script
// and the picture.
std::vector<std::string> sweep_files(const ConfigDocument& config, const StageFlags& stages) {
  const std::string table = repeat_summary_paths(naming_config(config), stages).table;
  const std::string stem = table.substr(0, table.size() - std::strlen(".runs.csv"));
  return {stem + ".sweep.csv", stem + ".sweep.gp", stem + ".sweep.png"};
}

// Builds and checks the scenario of every point of the sweep before the first runs, so that no
// point fails after others have written their files; `plan` gathers what they all read and
// write, the sweep's own files last. A point that cannot run ends the run, named with its values.
// The points differ only by their values and output names: the first one's check prints its
// warnings, the others' are quiet unless they fail.
std::vector<std::unique_ptr<Scenario>> prepare_sweep(const Job& job, const Scenario& base,
                                                     const std::string& original,
                                                     GridGeometry& geometry, RunPlan& plan) {
  const std::vector<SweepPoint> points = sweep_points(job.sweeps);
  const int32_t count = static_cast<int32_t>(points.size());
  std::vector<std::unique_ptr<Scenario>> scenarios;
  const bool weights_swept =
      std::any_of(job.sweeps.begin(), job.sweeps.end(),
                  [](const SweepAxis& axis) { return axis.name == "maps.potential-maps-weight"; });
  for (const SweepPoint& point : points) {
    std::string text, error;
    if (!sweep_point_text(original, base.config, job.sweeps, point, count, job.stages, text,
                          error)) {
      fatal(2, "%s", error.c_str());
    }
    scenarios.push_back(std::make_unique<Scenario>());
    Scenario& scenario = *scenarios.back();
    scenario.seed = base.seed;
    scenario.time_limit = base.time_limit;
    config_load_text(scenario.config, text.c_str());
    RepeatShape shape = repeat_shape(job);
    if (point.index + 1 == count) shape.also_written = sweep_files(base.config, job.stages);
    SharedStep check;
    RunPlan own;
    shared_step_capture(check, [&] {
      own = preflight_check(scenario.config, job.stages, shape, geometry);
      land_use_count(scenario.config);
    });
    // Whether the weighted potential maps stay floats is known only from their cells.
    if (check.fatal_code == 0 && weights_swept && (job.stages.process || job.stages.postprocess)) {
      SharedStep load;
      shared_step_capture(load, [&] {
        MapBlock maps = maps_allocate_quiet(geometry, 3);
        if (!land_uses_present(scenario.config)) {
          maps_load_potential(scenario.config, maps, 0);
          return;
        }
        for (const LandUse& use : land_uses_read(scenario.config).uses)
          maps_load_potential(use.config, maps, 0);
      });
      if (load.fatal_code != 0) check = load;
    }
    if (check.fatal_code != 0) {
      log_message("error: sweep point %d of %d (%s) cannot run:\n", point.index + 1, count,
                  point_values(job.sweeps, point).c_str());
      shared_step_replay(check);
    }
    if (point.index == 0) log_message("%s", check.log.c_str());
    for (const std::string& input : own.inputs) {
      if (std::find(plan.inputs.begin(), plan.inputs.end(), input) == plan.inputs.end())
        plan.inputs.push_back(input);
    }
    plan.outputs.insert(plan.outputs.end(), own.outputs.begin(), own.outputs.end());
  }
  return scenarios;
}

// Runs every point of the sweep as the job's repeats, then writes the sweep table, the picture
// and the recommendation beside the final output.
void run_sweep(const Job& job, const Scenario& base, const std::string& original,
               GridGeometry& geometry, const Cluster& cluster) {
  const std::vector<SweepPoint> points = sweep_points(job.sweeps);
  const int32_t count = static_cast<int32_t>(points.size());
  RunPlan plan;
  const std::vector<std::unique_ptr<Scenario>> scenarios =
      prepare_sweep(job, base, original, geometry, plan);
  std::vector<SweepPointResult> results;
  for (size_t p = 0; p < points.size(); ++p) {
    log_message("SWEEP point %d of %d: %s\n", points[p].index + 1, count,
                point_values(job.sweeps, points[p]).c_str());
    Run run;
    run.geometry = geometry;
    run.threads = job.threads;
    SweepPointResult result;
    result.point = points[p];
    if (job.repeats > 1) {
      result.summary = run_repeats(job, *scenarios[p], geometry, cluster);
    } else if (cluster.rank == 0) {
      result.summary = run_single(job, *scenarios[p], run);
    }
    results.push_back(result);
  }
  if (cluster.rank != 0) return;

  log_message("SWEEP end\n");
  // Several uses measure by their columns: a run of one use alone (given as a list) has none.
  std::vector<std::string> uses;
  for (const UseColumns& use : results[0].summary.best.uses) uses.push_back(use.name);
  const TradeOff trade = sweep_trade_off(job.sweeps[0], static_cast<int32_t>(uses.size()));
  const size_t chosen = recommend(job.sweeps, results, trade, uses);
  const std::vector<std::string> files = sweep_files(base.config, job.stages);
  const std::string& sweep_table = files[0];
  log_message("* write '%s'\n", sweep_table.c_str());
  output_write_text(sweep_table, sweep_table_text(job.sweeps, results, chosen));
  log_message("  sweep table '%s'\n", sweep_table.c_str());

  const std::string& script = files[1];
  const std::string& picture = files[2];
  log_message("* write '%s'\n", script.c_str());
  output_write_text(
      script, sweep_plot_script(job.sweeps, trade, chosen, sweep_moved_terms(results, trade.use)));
  std::vector<std::string> arguments = {script, sweep_table, picture, sweep_plot_title(job.sweeps)};
  // The measured use, or the pair, by name: values of the script, as every other name.
  if (trade.use >= 0) arguments.push_back(uses[static_cast<size_t>(trade.use)]);
  for (size_t a = 0, p = 0; trade.pair >= 0 && a < uses.size(); ++a) {
    for (size_t b = a + 1; b < uses.size(); ++b, ++p) {
      if (p == static_cast<size_t>(trade.pair))
        arguments.insert(arguments.end(), {uses[a], uses[b]});
    }
  }
  log_message("* write '%s'\n", picture.c_str());
  if (run_gnuplot(arguments)) {
    log_message("  trade-off picture '%s'\n", picture.c_str());
  } else {
    std::string command = "gnuplot -c";
    for (const std::string& argument : arguments) command += " " + shell_word(argument);
    log_message("! gnuplot did not draw '%s' (is it installed?): %s draws it\n", picture.c_str(),
                command.c_str());
  }
}

// Loads the configuration file into `config`; false (after its messages) when it cannot be read
// or is not a JSON object.
bool load_config_file(const char* path, ConfigDocument& config, std::string* original = nullptr) {
  const std::optional<std::string> text = read_config_file(path);
  if (!text) return false;
  if (original != nullptr) *original = *text;
  const int32_t count = config_load_text(config, text->c_str());
  if (count < 0) {
    report_parse_error(config);
    return false;
  }
  config_refuse_control_characters(config);
  for (const std::string& warning : config.warnings) log_message("%s", warning.c_str());
  if (count == 0 || !config_token_is(config, 0, CONFIG_OBJECT)) {
    log_message("error: incorrect type in file (json object expected)!\n");
    return false;
  }
  return true;
}

// The processes of an MPI job other than 0 keep their log in a file of their own, started afresh
// for every configuration file: it reaches standard output only when that process fails, as the
// message of the failure that ends the job.
void restart_quiet_log(const Cluster& cluster) {
  if (cluster.rank == 0) return;
  FILE* log = log_stream();
  std::fflush(log);
  std::rewind(log);
  if (ftruncate(fileno(log), 0) != 0) std::clearerr(log);
}

// How a fatal error ends a process of an MPI job: with its log shown, its unfinished outputs
// removed, and every other process ended too, whatever it is waiting for.
[[noreturn]] void end_job(int code) {
  FILE* log = log_stream();
  if (log != stdout) {
    std::fflush(log);
    std::rewind(log);
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, log)) > 0;)
      std::fwrite(buffer, 1, got, stdout);
    std::fflush(stdout);
  }
  output_remove_pending();
  cluster_abort(code);
}

// Runs one configuration file with the run's seed on the geometry of the process (taken from the
// first potential map the first time it is needed); returns 1 when the file could not be loaded
// (a failed stage ends the process, and the job, with its own code).
int run_config_file(const Job& job, uint64_t seed, GridGeometry& geometry, const Cluster& cluster) {
  restart_quiet_log(cluster);
  // Reading and writing the maps take no more threads than the run: on a node shared by several
  // processes, each keeps to its own cores.
  raster_set_threads(job.threads);
  Scenario scenario;
  std::string original;
  const bool loaded = load_config_file(job.path, scenario.config, &original);
  // Every process reads the file itself: one that cannot, while others can, ends the job rather
  // than leave them waiting for it.
  const Agreement agreement = cluster_agree(cluster, loaded);
  if (!loaded && agreement.any) fatal_exit(1);
  if (!agreement.all) return 1;
  if (job.repeats > 1) {
    log_message(
        "seed %llu (repeat these runs with --seed=%llu; run r alone with the seed + r - 1)\n",
        static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  } else {
    log_message("seed %llu (repeat this run with --seed=%llu)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  }
  scenario.seed = seed;
  scenario.time_limit = job.time_limit;
  Run run;
  try {
    // A sweep never writes the outputs as named: each point checks its own.
    if (!job.sweeps.empty()) {
      run_sweep(resolved_sweep(job, scenario.config), scenario, original, geometry, cluster);
      return 0;
    }
    preflight_check(scenario.config, job.stages, repeat_shape(job), geometry);
    run.geometry = geometry;
    run.threads = job.threads;
    land_use_count(scenario.config);
    if (job.repeats > 1) {
      run_repeats(job, scenario, geometry, cluster);
      return 0;
    }
    // Run 1 is process 0's.
    if (cluster.rank == 0) run_single(job, scenario, run);
  } catch (const std::bad_alloc&) {
    // Memory that the C++ library could not get (a stage's table or container) ends the run as
    // every other shortage does, with its message and exit code instead of an abort.
    fatal(1, "error: not enough memory!\n");
  } catch (const std::length_error&) {
    fatal(1, "error: not enough memory!\n");
  }
  geometry = run.geometry;
  return 0;
}

// What PREPROCESS would start from and place: the free allocatable cells and the demand, in
// cells and, on a map in metres, in area. A demand that does not fit ends the check as it would
// end the run.
void print_allocation(const ConfigDocument& config, const GridGeometry& geometry,
                      const std::string& use = "the allocation") {
  const PreprocessParameters p = preprocess_read_parameters(config);
  const int64_t free = preprocess_free_cells(config, p, geometry);
  const std::string area = demand_area_text(free, geometry, DemandUnit::cells);
  log_message("  allocatable %" PRId64 " cells%s\n", free,
              area.empty() ? "" : (" (" + area + ")").c_str());
  if (p.demand) {
    demand_echo(*p.demand, demand_cells(*p.demand, geometry, free, use), geometry);
  } else {
    const Demand share{"preprocess.convert-area", DemandUnit::cells, 0.0};
    demand_echo(share, static_cast<int64_t>(static_cast<float>(free) * p.convert_area), geometry);
  }
}

// Checks one configuration file for its stages and prints what would run; returns the exit code
// that the run would end with at the first fault (1 when the file cannot be loaded), else 0.
int check_config_file(const Job& job, GridGeometry& geometry) {
  log_message("check '%s'\n", job.path);
  Scenario base;
  const ConfigDocument& config = base.config;
  std::string original;
  int code = 0;
  fatal_set_throw(true);
  try {
    if (!load_config_file(job.path, base.config, &original)) {
      fatal_set_throw(false);
      return 1;
    }
    RunPlan plan;
    std::vector<std::unique_ptr<Scenario>> points;
    const Job swept = job.sweeps.empty() ? job : resolved_sweep(job, config);
    if (job.sweeps.empty()) {
      plan = preflight_check(config, job.stages, repeat_shape(job), geometry);
    } else {
      points = prepare_sweep(swept, base, original, geometry, plan);
    }
    log_message("  stages%s%s%s\n", job.stages.preprocess ? " PREPROCESS" : "",
                job.stages.process ? " PROCESS" : "", job.stages.postprocess ? " POSTPROCESS" : "");
    for (const std::string& input : plan.inputs) log_message("  reads '%s'\n", input.c_str());
    for (const std::string& output : plan.outputs) log_message("  writes '%s'\n", output.c_str());
    if (plan.runs_between > 0) {
      log_message("  writes the files of run 1 for each run from 2 to %d, tagged as theirs\n",
                  plan.runs_between + 1);
    }
    // Each use on its own: the cells it could take before the others take theirs.
    const auto allocations = [&](const ConfigDocument& of) {
      if (!land_uses_present(of)) return print_allocation(of, geometry);
      for (const LandUse& use : land_uses_read(of).uses) {
        log_message("  land use '%s' (code %g)\n", use.name.c_str(), static_cast<double>(use.code));
        print_allocation(use.config, geometry, "land use '" + use.name + "'");
      }
    };
    if (job.stages.preprocess && !points.empty()) {
      // A sweep may move a demand: each point's.
      const std::vector<SweepPoint> at = sweep_points(swept.sweeps);
      for (size_t p = 0; p < points.size(); ++p) {
        log_message("  sweep point %d of %zu (%s)\n", at[p].index + 1, at.size(),
                    point_values(swept.sweeps, at[p]).c_str());
        allocations(points[p]->config);
      }
    } else if (job.stages.preprocess) {
      allocations(config);
    }
    log_message("check passed\n");
  } catch (const FatalExit& e) {
    code = e.code;
  }
  fatal_set_throw(false);
  return code;
}

}  // namespace

int driver_main(int argc, char** argv, const Cluster& cluster) {
  if (cluster.rank != 0) {
    FILE* quiet_log = std::tmpfile();
    if (quiet_log == nullptr) {
      log_message("error: unable to create a temporary file for the log!\n");
      cluster_abort(1);
    }
    log_set_stream(quiet_log);
  }
  if (cluster.size > 1) fatal_set_exit_handler(end_job);
  CommandLine line;
  const bool parsed = parse_command_line(argc, argv, &line);
  if (parsed && line.help) print_help();
  if (parsed && line.describe && !line.help) print_description();
  if (parsed && line.version && !line.help && !line.describe)
    log_message("landalloc %s\n", LANDALLOC_VERSION);
  const bool only_template = !line.help && !line.describe && !line.version;
  if (parsed && line.template_kind && only_template) {
    log_message("%s", template_json(*line.template_kind).c_str());
    std::fputs(template_guide(*line.template_kind).c_str(), stderr);
  }
  if (!parsed || line.help || line.describe || line.version || line.template_kind) {
    std::fflush(log_stream());
    return parsed ? 0 : -1;
  }
  // Files without --seed share one seed from the system's entropy, so that one --seed=N in front
  // of the same command repeats them all.
  const uint64_t entropy_seed = cluster_broadcast(cluster, rand_entropy_seed());
  progress_enable(cluster.rank == 0 && (line.progress || isatty(STDERR_FILENO) != 0));
  int status = 0;
  // The geometry is taken once per process: every later file runs on it.
  GridGeometry geometry;
  for (const Job& job : line.jobs) {
    const int code = line.check
                         ? check_config_file(job, geometry)
                         : run_config_file(job, job.seed.value_or(entropy_seed), geometry, cluster);
    if (status == 0) status = code;
  }
  std::fflush(log_stream());
  return status;
}
