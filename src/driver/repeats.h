// Repeats of one scenario: its selected stages run N times, run r with the seed S + r - 1, up to T
// runs at once, and nothing the user sees depends on T. run_repeat_set runs a given set of run
// numbers and reports what each run gave, in run order; a tally keeps of them what the outputs
// need, and merge_repeats turns it into the outputs: the best run's maps at the configured names,
// the selection-frequency grid (one per land use too, when several are decided together) and the
// runs table. Runs keep their maps in memory and share the read-only PROCESS maps; what the
// repeats hold besides grows by one energy a run, so a million runs of a small map take a few MB.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/preflight.h"
#include "driver/run_table.h"
#include "postprocess/postprocess_run.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_run.h"
#include "process/process_stage.h"
#include "scenario/loaders.h"
#include "scenario/scenario.h"

/// Runs the selected stages of `run` in their fixed order between the ALGORITHM banners; several
/// land uses are decided together (one use comes as its own configuration, made by the driver).
void run_selected_stages(const StageFlags& stages, const Scenario& scenario, Run& run);

/// How the repeats of one configuration file run.
struct RepeatOptions {
  StageFlags stages;
  uint64_t first_seed = 0;    ///< S: run r draws with S + r - 1
  int32_t repeats = 1;        ///< N
  int32_t threads = 1;        ///< T, at least 1
  bool keep_runs = false;     ///< every run also writes its files, tagged ".runNNN"
  bool debug_replay = false;  ///< the runs write their debug files only, at the configured names
};

/// The maps a run leaves (those of the stages that ran) and the value of its allocated cells.
struct RepeatMaps {
  PackedMap preprocess_output;
  PackedMap process_output;
  PackedMap postprocess_output;
  float working_cell_value = 0.0f;
};

/// What one run gave.
struct RepeatRunResult {
  int32_t run = 0;
  uint64_t seed = 0;
  bool done = false;     ///< it ran to the end and its final map was evaluated
  int fatal_code = 0;    ///< the exit code it stopped with (not done), 0 if it was not run
  std::string log;       ///< its whole log, the error message last when it stopped
  MapEnergy energy;      ///< of its final map, with the common normalisers
  double seconds = 0.0;  ///< its wall-clock time (the one value that differs from run to run)
  std::optional<double> lower_bound;  ///< what the min-cut PROCESS proved, if it ran
  RunMeasures measures;               ///< of its final map
  std::vector<UseColumns> uses;       ///< each land use's, when several are decided together
  std::vector<PairColumns> pairs;     ///< each pair of those uses'
};

/// The normalisers by which the run was priced: one set per land use (one for a single use).
std::vector<Normalisers> repeat_normalisers(const RepeatRunResult& result);

/// What a set of runs leaves once it has reported them: the runs themselves go to the report as
/// they finish, and the set keeps none of them.
struct RepeatSetResult {
  std::optional<int> stopped;    ///< the exit code of the failed run that stopped the set, if any
  std::vector<uint32_t> counts;  ///< per cell, the runs whose final map allocates it
  /// With several land uses, for each use in turn one count per cell: the runs whose final map
  /// gives the cell that use's code.
  std::vector<uint32_t> use_counts;
  RepeatMaps best_maps;  ///< of the set's best run (as repeat_better ranks them)
};

/// The run numbers of a set: `count` runs from `first`, `step` apart (a process of an MPI job runs
/// every P-th). A rule rather than a list, so that a million runs take no room.
struct RunSeries {
  int32_t first = 1;
  int32_t step = 1;
  int32_t count = 0;
  size_t size() const { return static_cast<size_t>(count); }
  int32_t operator[](size_t index) const { return first + static_cast<int32_t>(index) * step; }
};

/// Whether run a is better than run b: a lower energy (a NaN energy is worst), then the lower run.
bool repeat_better(const RepeatRunResult& a, const RepeatRunResult& b);

/// The name run r of N writes in place of `path` (".run03" before its extension, with r padded to
/// the width of N).
std::string repeat_run_tag(int32_t run, int32_t repeats);

/// The read-only maps every run of the scenario shares, built once: the PROCESS inputs, which also
/// give the energy by which runs compare, before the runs; the PREPROCESS maps before the
/// placement, the POSTPROCESS maps and the cells of the working-value check by the first run that
/// needs them, under their locks (hence mutable). The POSTPROCESS potential is read from the
/// PROCESS records. With several land uses the runs build their own maps, and each use's PROCESS
/// records are built once here to price the runs' final maps.
struct RepeatShared {
  mutable PreprocessInputs preprocess;
  ProcessInputs process;  ///< with several uses, the log and code of a use's failed build only
  LandUses uses;          ///< none for a single use
  std::vector<ProcessInputs> use_inputs;
  mutable PostprocessInputs postprocess;
  mutable WorkingValueCells working_value_cells;
  GridGeometry geometry;
};

/// Builds the shared PROCESS inputs of the scenario and points the POSTPROCESS potential at them;
/// with several land uses, each use's PROCESS inputs.
void repeat_share_inputs(const ConfigDocument& config, RepeatShared& shared);

/// Runs the runs `runs` of the scenario on up to options.threads threads.
/// The energies use the normalisers run 1 fixes (the PROCESS ones of its first evaluation, or
/// those its final map fixes when PROCESS does not run): `runs` must hold run 1 unless `common`
/// is given, which the first run that needs them calls once, on its thread, while the others
/// wait (a process of an MPI job waits there for process 0's run 1). `report` is called on the
/// calling thread for each run, in run order, as soon as it and every run before it are finished;
/// once a run fails, no later run is started or reported. It may take what it needs from the
/// result: the set keeps no run, and a run starts only a few runs ahead of the last reported, so
/// that a million runs hold no more than a few at once.
RepeatSetResult run_repeat_set(const Scenario& scenario, const RepeatShared& shared,
                               const RepeatOptions& options, const RunSeries& runs,
                               const std::function<std::vector<Normalisers>()>& common,
                               const std::function<void(RepeatRunResult&)>& report);

/// Prints the one line that closes a run's log.
void repeat_print_summary(const RepeatRunResult& result, int32_t repeats);

/// Writes the debug maps and listing that the configuration asks for, of the best run, at the
/// configured names: the runs write none of them (but kept runs, under their tags), so the best
/// run is run again with its seed and its normalisers, writing those files alone. A replay that
/// ends elsewhere than the best run (a time limit cut it at another point) is warned about.
void repeat_write_best_debug_files(const Scenario& scenario, const RepeatShared& shared,
                                   const RepeatOptions& options, const RepeatRunResult& best);

/// What the repeats of a scenario gave as a whole: the best run, the median energy, and how alike
/// the runs' final maps are.
struct RepeatSummary {
  RepeatRunResult best;  ///< without its log
  double median_energy = 0.0;
  /// The mean, over every two runs, of the cells both allocate, as a share of a run's allocated
  /// cells (1 for a single run).
  double common_share = 1.0;
  int64_t cells_in_every_run = 0;
};

/// The summary of runs that gave `energies` and, per cell, `counts` of the `repeats` runs.
RepeatSummary repeat_summary(std::vector<double> energies, const std::vector<uint32_t>& counts,
                             int32_t repeats);

/// What the outputs of the repeats need of their runs, gathered from each done run in run order:
/// the runs table's rows (waiting in a scratch file), every energy for the median, and the best
/// run.
struct RepeatTally {
  RunsTableStream table;
  std::vector<double> energies;
  std::optional<RepeatRunResult> best;  ///< without its log
  int64_t best_row = -1;                ///< its row of the table, from 0
};

/// Starts the tally of the repeats of the scenario: its runs table goes beside the final output.
void repeat_tally_begin(const Scenario& scenario, const RepeatShared& shared,
                        const RepeatOptions& options, RepeatTally& tally);

/// Adds a done run, the one after the runs added before.
void repeat_tally_add(RepeatTally& tally, const RepeatRunResult& result);

/// Merges the repeats once every run is done and tallied: writes the best run's maps (`set`
/// holds them, and the counts of every run) at the configured names, the frequency grid (with
/// several land uses, of new cells of any use, and one per use) and the runs table beside the
/// final output, prints the final summary and returns it.
RepeatSummary merge_repeats(const Scenario& scenario, const RepeatShared& shared,
                            const RepeatOptions& options, const RepeatSetResult& set,
                            RepeatTally& tally);
