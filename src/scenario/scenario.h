// What the three stages share: the scenario (the configuration and the --seed option, read-only
// and shared by every run of it) and the state of one run (its geometry, its generator and the
// solution maps its stages hand each other). A stage is a function of (const Scenario&, Run&):
// two runs on two threads share nothing they change.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bands.h"
#include "base/random.h"
#include "config/config.h"
#include "raster/geometry.h"
#include "raster/maps.h"
#include "raster/packed_map.h"
#include "scenario/map_style.h"

/// The read-only description of a run: its configuration and its fixed seed, if any.
struct Scenario {
  ConfigDocument config;
  std::optional<uint64_t> seed;  ///< the --seed option: every stage seeds with it
  /// The --time-limit option, in seconds: in place of "process.time-limit".
  std::optional<double> time_limit;
};

struct PreprocessInputs;
struct ProcessInputs;
struct PostprocessInputs;
struct WorkingValueCells;

/// The terms of the energy PROCESS lowers: potential, perimeter, islands, nservices, distances.
constexpr int32_t ENERGY_TERMS = 5;

/// Top and bottom sums of the three value maps for a solution of `n` cells. They depend only on
/// the maps and on n, neither of which changes during a PROCESS run, so they are sorted out once.
struct ValueBounds {
  int64_t n = -1;  ///< -1: not computed
  double top[3] = {0.0, 0.0, 0.0};
  double bottom[3] = {0.0, 0.0, 0.0};
};

/// The normalisers of the energy terms, as a PROCESS run fixes them at its first full
/// evaluation (-1.0: not fixed yet), and the terms left out for a degenerate normaliser.
struct Normalisers {
  double range[ENERGY_TERMS] = {-1.0, -1.0, -1.0, -1.0, -1.0};
  bool off[ENERGY_TERMS] = {};
};

/// How PROCESS by minimum cuts cuts in a round of the rounds that look for a map POSTPROCESS's
/// rules keep; the defaults cut as configured.
struct RulesCut {
  /// The perimeter's weight in the cuts, this many times its own (fewer, rounder islands).
  double perimeter_scale = 1.0;
  /// Cells (row-major, one byte each, nonzero: kept out) that the cuts may not allocate unless the
  /// map they start from holds them: those the rules dropped from an earlier cut. nullptr: none.
  std::shared_ptr<const std::vector<uint8_t>> keep_out;
  /// Cells (the same way) that every cut allocates, each group grown first to `least_island`
  /// cells: islands the rules purged for their size, tried at the size that lets them stay.
  std::shared_ptr<const std::vector<uint8_t>> keep_in;
  int32_t least_island = 0;
  /// With several land uses, the cells each use's cuts keep out (indexed by use, as `keep_out`;
  /// nullptr or missing: none); `start` then holds every use's cells.
  std::vector<std::shared_ptr<const std::vector<uint8_t>>> use_keep_out;
  /// The map PROCESS starts from in place of PREPROCESS's (the repair of an earlier cut, with
  /// `keep_out`); empty: PREPROCESS's.
  PackedMap start;
  /// Where the price search starts (where the round before ended); NaN: from the costs.
  double price_hint = std::numeric_limits<double>::quiet_NaN();
  /// The plain cut, a plan of its own, makes the re-cuts past its price search and bounds the
  /// energy; the other rounds' maps are tries that POSTPROCESS judges.
  bool plain() const {
    return perimeter_scale == 1.0 && start.empty() && !keep_in && use_keep_out.empty();
  }
};

/// Beyond this many cells, several uses' min-cut tries only the starts where each use is solved in
/// turn and settles only the lowest. The starts with every use on its best cells pile the uses on
/// the same land; from there the rounds settled 4 to 8 % above the best solved start on the
/// example's three uses (60,000 cells), tiled to 1000 x 1000 and to 2000 x 2000, for six of every
/// ten blocks of the run. On windows of up to 10,000 cells they win now and then (by about 1 %),
/// and blocks cost little up to here.
constexpr int64_t USES_ALL_STARTS_CELLS = 250000;

/// What one run changes. The geometry is taken from the first potential map the first time a
/// stage needs it and kept from then on; the driver carries it from one run to the next.
struct Run {
  GridGeometry geometry;
  Rng rng;
  std::optional<uint64_t> seed;  ///< this run's seed, in place of the scenario's (repeats)
  /// Its number among repeats, from 1; 0 for a run on its own. Run 1 of the min-cut method is the
  /// unperturbed one, so that the best of N is never worse than a run alone.
  int32_t repeat = 0;
  /// When set, the stages hand their maps to each other in memory instead of through the output
  /// files, and keep the final maps there too.
  bool in_memory = false;
  /// The map handed over in memory is let go once read: a block of several land uses reads its
  /// view once, which would otherwise stay beside the block's own maps.
  bool handover_read_once = false;
  /// With files written as usual, the maps handed over and the final map are kept in memory too,
  /// for the driver to measure, and so are the PROCESS records the run built.
  bool also_in_memory = false;
  std::shared_ptr<const ProcessInputs> kept_process_inputs;
  std::vector<std::shared_ptr<const ProcessInputs>> kept_use_inputs;  ///< each use's, likewise
  /// With several uses, likewise: the map before any allocation, which the runs' rows price on.
  std::shared_ptr<const PackedMap> kept_uses_base;
  /// A replay of the best of several runs, for the files only a run writes: its debug maps and
  /// listing at the configured names, and no output.
  bool debug_files_only = false;
  /// Whether the stages write files at all; a repeat that is not kept writes none.
  bool write_files = true;
  /// Put before the extension of every file name the run writes (".run003"); empty for none.
  std::string file_tag;
  /// What the codes of the maps the run writes stand for, when several land uses are decided;
  /// empty: the largest code is the one new allocation.
  std::vector<CodeLabel> code_labels;
  /// Values of the maps in memory that files hold as another: several uses' new cells whose code
  /// is one of their existing codes (in memory, first; in files, second).
  std::vector<std::pair<float, float>> written_codes;
  /// The PREPROCESS maps shared by several runs (built by the first); nullptr: the stage builds
  /// its own.
  PreprocessInputs* preprocess_inputs = nullptr;
  /// The read-only PROCESS maps shared by several runs; nullptr: the stage builds its own.
  const ProcessInputs* process_inputs = nullptr;
  /// The POSTPROCESS maps shared by several runs (built by the first that needs them); nullptr:
  /// the stage loads its own.
  PostprocessInputs* postprocess_inputs = nullptr;
  /// The check of the working cell value shared by several runs; nullptr: each check reads.
  WorkingValueCells* working_value_cells = nullptr;
  PackedMap preprocess_output;      ///< the map PREPROCESS handed over (in memory)
  PackedMap process_output;         ///< the map PROCESS handed over (in memory)
  PackedMap postprocess_output;     ///< the final map of POSTPROCESS (in memory)
  Normalisers process_normalisers;  ///< those the PROCESS stage fixed
  /// The value bounds PROCESS sorted out for its map's cell count, which the runs table's pricing
  /// of the final map reuses (they are sorted out again where its count differs).
  ValueBounds process_value_bounds;
  std::vector<Normalisers> use_normalisers;  ///< those it fixed for each of several land uses
  float working_cell_value = 0.0f;  ///< the value of allocated cells in the last stage's map
  /// The threads PROCESS of several land uses may use at once, for its orders of blocks; runs of
  /// repeats and sweeps, which already run one per thread, keep 1.
  int32_t threads = 1;
  /// Grids of fewer cells pass over their cells on one thread (BAND_MIN_CELLS; a test sets 0 to
  /// run the bands of a small grid).
  int64_t band_min_cells = BAND_MIN_CELLS;
  /// Several uses' min-cut on maps of up to this many cells tries every start and settles each
  /// (USES_ALL_STARTS_CELLS; a test sets 0 to run a large map's way on a small grid).
  int64_t uses_all_starts_cells = USES_ALL_STARTS_CELLS;
  /// The lower bound of the energy that the min-cut PROCESS proved; unset for the annealing.
  std::optional<double> process_lower_bound;
  /// How PROCESS by minimum cuts cuts (a round of POSTPROCESS's rules; by default as configured).
  RulesCut cut;
  /// POSTPROCESS applies its rules again to their own result until they change nothing (the
  /// rounds of the rules), and says in `postprocess_kept` whether they did within its passes.
  bool postprocess_until_kept = false;
  bool postprocess_kept = false;
  /// Then the map after their first pass (in memory), when `postprocess_keep_repair` asks for it:
  /// a round that the next one starts from does, the kept round run again in the open need not.
  PackedMap postprocess_repair;
  bool postprocess_keep_repair = false;
  /// The price per allocated cell PROCESS's search by minimum cuts ended at (NaN: none).
  double min_cut_price = std::numeric_limits<double>::quiet_NaN();
};

/// The name under which the run writes the file configured as `path`: with the run's tag before
/// the extension of the file name (or at its end); empty when the run writes no file (a run in
/// memory writes files only under a tag).
std::string run_file_path(const Run& run, const std::string& path);

/// The name after which the run's debug files for the output `path` are named; empty for none.
std::string run_debug_prefix(const Run& run, const std::string& path);

/// The solution maps one stage hands the next.
enum class Handover { preprocess_output, process_output };

/// Seeds the run's generator as a stage does when it starts.
void stage_seed(const Scenario& scenario, Run& run);

/// Reads the solution map handed over as `which` into map k: from memory when the run keeps its
/// maps there, else from the file `path`.
void stage_read_handover(Run& run, Handover which, const std::string& path, MapBlock& maps,
                         int32_t k);

/// The value a map file holds for `value` of a map in memory, by `written` (Run::written_codes).
float written_value(const std::vector<std::pair<float, float>>& written, float value);

/// Writes map k of `maps` as a solution map at `path` with its style, in the values files hold.
void stage_write_solution(const Run& run, const std::string& path, const MapBlock& maps, int32_t k);

/// Hands map k over as `which`: into memory when the run keeps its maps there (and, when it writes
/// files, to its file as well), else to the file `path`.
void stage_write_handover(Run& run, Handover which, const std::string& path, const MapBlock& maps,
                          int32_t k);

/// The bands of rows `run`'s passes over a grid of `nrows` x `ncols` cells run in at once: one
/// for each of its threads (row_bands), one below `band_min_cells` cells.
inline int32_t run_bands(const Run& run, int32_t nrows, int32_t ncols) {
  return int64_t{nrows} * int64_t{ncols} < run.band_min_cells ? 1 : row_bands(nrows, run.threads);
}
