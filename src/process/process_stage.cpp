#include "process/process_stage.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/log.h"
#include "base/output_file.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_run.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/map_ops.h"
#include "scenario/loaders.h"

namespace {

const char* const WEIGHTS_PATH = "process.functions-weight";
const char* const WEIGHTS_RANGE = "error: property out of range in config json file!\n";

void set_weights(EnergyState& e, const double weights[ENERGY_TERMS]) {
  e.f1_weight = weights[0];
  e.f2_weight = weights[1];
  e.f3_weight = weights[2];
  e.f4_weight = weights[3];
  e.f5_weight = weights[4];
}

void echo_weights(const double weights[ENERGY_TERMS]) {
  log_message("  heuristic function weights\n");
  for (int32_t i = 0; i < ENERGY_TERMS; ++i) log_message("    f%d %f\n", i + 1, weights[i]);
}

// The weights are the five elements of "process.functions-weight". A negative (or not finite)
// weight could drive the energy below 0 or make it NaN, so it is refused with the array's
// out-of-range message; the negative-energy guard then only ever meets real faults.
void read_function_weights(const ConfigDocument& config, double weights[ENERGY_TERMS]) {
  const int32_t array = config_get_array(config, WEIGHTS_PATH);
  const int32_t count = config_child_count(config, array);
  if (count != 5) {
    config_out_of_range(4, WEIGHTS_RANGE,
                        std::string("the element count of property '") + WEIGHTS_PATH + "'", count,
                        "exactly 5");
  }
  for (int32_t i = 0; i < ENERGY_TERMS; ++i)
    weights[i] = config_element_number(config, WEIGHTS_PATH, array, i);
  for (int32_t i = 0; i < ENERGY_TERMS; ++i) {
    if (!(weights[i] >= 0.0) || std::isinf(weights[i])) {
      echo_weights(weights);
      config_out_of_range(4, WEIGHTS_RANGE,
                          "element " + std::to_string(i) + " of property '" + WEIGHTS_PATH + "'",
                          weights[i], "0 or more");
    }
  }
}

// A NaN, or a value too large for a float, would poison every temperature and probability after
// it, so it is out of range too. A value out of range is echoed before its error, as the stage
// prints it.
float read_float_parameter(const ConfigDocument& config, const char* path, const char* name,
                           bool at_most_one) {
  const float value = static_cast<float>(config_get_number(config, path));
  if (!(value >= 0.0f) || std::isinf(value) || (at_most_one && value > 1.0f)) {
    log_message("  %s %f\n", name, static_cast<double>(value));
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value,
                        at_most_one ? "0 to 1" : "0 or more");
  }
  return value;
}

int32_t read_count_parameter(const ConfigDocument& config, const char* path, const char* name) {
  const int32_t value = config_get_integer(config, path);
  if (value < 0) {
    log_message("  %s %d\n", name, value);
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value, "0 or more");
  }
  return value;
}

// The switches that came after the annealing's first properties may be left out: off.
bool read_optional_flag(const ConfigDocument& config, const char* path) {
  return config_find(config, 0, path) >= 0 && config_get_flag(config, path);
}

// A property that may be left out (none then); a value that fails `valid` is out of range, echoed
// under `label` before the error that names `key`.
template <typename Valid>
std::optional<double> read_optional_number(const ConfigDocument& config, const char* key,
                                           const char* label, Valid valid, const char* accepted) {
  const std::string path = std::string("process.") + key;
  if (config_find(config, 0, path.c_str()) < 0) return std::nullopt;
  const double value = config_get_number(config, path.c_str());
  if (!valid(value)) {
    log_message("  %s %f\n", label, value);
    config_out_of_range(1, ("error: property '" + std::string(key) + "' out of range!\n").c_str(),
                        "property '" + path + "'", value, accepted);
  }
  return value;
}

// "process.time-limit" may be left out: no limit. A limit of 0 or less could never let a stage
// run, and a NaN would never run out.
std::optional<double> read_time_limit(const ConfigDocument& config) {
  return read_optional_number(
      config, "time-limit", "time limit",
      [](double seconds) { return seconds > 0.0 && !std::isinf(seconds); }, "above 0");
}

ProcessParameters read_annealing_parameters(const ConfigDocument& config) {
  ProcessParameters p;
  p.pinit = read_float_parameter(config, "process.pinit", "pinit", true);
  p.tinit = read_float_parameter(config, "process.tinit", "tinit", false);
  p.tnext = read_float_parameter(config, "process.tnext", "tnext", false);
  p.nmovs = read_count_parameter(config, "process.nmovs", "nmovs");
  p.nstages = read_count_parameter(config, "process.nstages", "nstages");
  p.kb = config_get_number(config, "process.kb");
  if (!(p.kb >= 0.0) || std::isinf(p.kb)) {
    log_message("  kb %f\n", p.kb);
    config_out_of_range(1, "error: property 'kb' out of range!\n", "property 'process.kb'", p.kb,
                        "0 or more");
  }
  p.keep_best = read_optional_flag(config, "process.keep-best");
  p.polish = read_optional_flag(config, "process.polish");
  return p;
}

void echo_annealing_parameters(const ProcessParameters& p) {
  log_message("  pinit %f\n", double(p.pinit));
  log_message("  tinit %f\n", double(p.tinit));
  log_message("  tnext %f\n", double(p.tnext));
  log_message("  nmovs %" PRId64 "\n", p.nmovs);
  log_message("  nstages %d\n", p.nstages);
  log_message("  kb %f\n", p.kb);
  if (p.keep_best) log_message("  keep best yes\n");
  if (p.polish) log_message("  polish yes\n");
}

std::string read_text(const ConfigDocument& config, const char* path) {
  char text[CONFIG_TEXT_MAX];
  config_get_text(config, path, text);
  return text;
}

// "process.method" may be left out: the annealing, as before the property existed.
ProcessMethod read_method(const ConfigDocument& config) {
  const char* const path = "process.method";
  if (config_find(config, 0, path) < 0) return ProcessMethod::annealing;
  const std::string text = read_text(config, path);
  if (text == "annealing") return ProcessMethod::annealing;
  if (text == "min-cut") return ProcessMethod::min_cut;
  log_message("  method '%s'\n", text.c_str());
  log_message("error: property 'method' out of range!\n");
  fatal(1, "  accepted values are 'annealing', 'min-cut'\n");
}

// "process.portfolio-gap" may be left out: 1 %.
double read_portfolio_gap(const ConfigDocument& config) {
  return read_optional_number(
             config, "portfolio-gap", "portfolio gap",
             [](double gap) { return gap >= 0.0 && gap <= 1.0; }, "0 to 1")
      .value_or(MinCutParameters().portfolio_gap);
}

// Keeps map k of `maps` and gives back the memory of the `scratch` maps after it.
void discard_scratch(MapBlock& maps, int32_t k, int32_t scratch) {
  for (int32_t m = k + 1; m <= k + scratch; ++m) maps.discard(m, 0, maps.cell_count());
}

// The distances are measured over the cells where the potential fusion has data. That area
// comes from the potential map already loaded (normalising keeps which cells have data) instead
// of from reading the files again; the lines of their loading are printed as before.
// Returns the map units of a normalised distance of 1: the largest distance, in the units of the
// distance maps or in cells of the transform times the cell size.
double build_distances_map(const ConfigDocument& config, const ProcessStageParameters& p,
                           const std::string& potential_log, MapBlock& maps) {
  const int32_t k = PROCESS_DISTANCES_MAP;
  log_message("init distances map\n");
  log_message("%s", potential_log.c_str());
  if (p.distance_masks.empty() && p.distance_maps.empty()) {
    // No distance is read (the cuts at a distance weight of 0): every cell lies at 0.
    map_fill(maps, PROCESS_POTENTIAL_MAP, k, 0.0f);
    return 0.0;
  }
  map_fill(maps, PROCESS_POTENTIAL_MAP, k, 1.0f);
  if (p.distance_masks.empty()) {
    return maps_load_process_distances(config, maps, k);
  }
  log_message("* calc distances to masks\n");
  maps_apply_masks(config, maps, "process.distance-masks", k, CELL_MASKED);
  map_distance(maps, k, k + 1, CELL_MASKED);
  // The largest distance becomes 1; without one, the distances are left as cells.
  const double unit = map_normalize(maps, k + 1) * maps.geometry.cellsize;
  map_copy(maps, k + 1, k);
  return unit;
}

// Rows of the float maps packed at a time before their memory goes back: a few megabytes.
constexpr size_t PACK_CELLS = size_t{1} << 20;

// The cell records of the potential, nservices and distances maps: they depend on the
// configuration alone, so that the runs of a scenario can share them. The maps are loaded one
// after the other into maps 1 to 5 of `maps`, each one's scratch maps given back before the next
// loads, and packed into the records a band of rows at a time, each band's floats given back as
// soon as it is packed: at no time do the floats and the records both hold the whole grid.
CellRecords build_cell_records(const ConfigDocument& config, const ProcessStageParameters& params,
                               MapBlock& maps, std::string& potential_log, double& distance_unit) {
  log_message("init potential map\n");
  {
    LogCopy copy(potential_log);
    maps_load_potential(config, maps, PROCESS_POTENTIAL_MAP);
  }
  discard_scratch(maps, PROCESS_POTENTIAL_MAP, 2);
  log_message("init selection map\n");
  log_message("init nservices map\n");
  maps_load_nservices(config, maps, PROCESS_NSERVICES_MAP);
  discard_scratch(maps, PROCESS_NSERVICES_MAP, 2);
  distance_unit = build_distances_map(config, params, potential_log, maps);
  discard_scratch(maps, PROCESS_DISTANCES_MAP, 1);

  CellRecords records = cell_records_allocate(maps.geometry, params.random_select);
  const int32_t ncols = maps.geometry.ncols;
  const int32_t band = static_cast<int32_t>(std::max<size_t>(1, PACK_CELLS / std::max(ncols, 1)));
  for (int32_t row = 0; row < maps.geometry.nrows; row += band) {
    const int32_t end = std::min(maps.geometry.nrows, row + band);
    cell_records_pack(records, maps.map(PROCESS_POTENTIAL_MAP), maps.map(PROCESS_NSERVICES_MAP),
                      maps.map(PROCESS_DISTANCES_MAP), row, end, maps.threads);
    const size_t first = cell_index(ncols, row, 0);
    const size_t last = cell_index(ncols, end, 0);
    for (int32_t k : {PROCESS_POTENTIAL_MAP, PROCESS_NSERVICES_MAP, PROCESS_DISTANCES_MAP}) {
      maps.discard(k, first, last);
    }
  }
  return records;
}

// Writes one value of the records as a grid named after `prefix`, through map `scratch`.
const char* const EVOLUTION_LISTING = ".debug.evolution.lst";

std::string debug_map_suffix(int32_t number) {
  return ".debug.map-" + std::to_string(number) + ".asc";
}

template <typename Value>
void write_record_map(const char* prefix, int32_t number, const CellRecords& records,
                      MapBlock& maps, int32_t scratch, Value value) {
  float* cells = maps.map(scratch);
  size_t i = 0;
  for (int32_t row = 0; row < records.grid.nrows; ++row) {
    const CellRecord* line = records.records.get() + bordered_index(records.grid, row, 0);
    for (int32_t col = 0; col < records.grid.ncols; ++col) cells[i++] = value(line[col]);
  }
  grid_write_suffixed(prefix, debug_map_suffix(number).c_str(), maps, scratch);
}

// The potential, selection, nservices and distances maps, numbered 1 to 4, drawn from the
// records through one scratch map.
void write_debug_maps(const ProcessStageParameters& p, const Run& run, const CellRecords& records) {
  const std::string prefix = run_debug_prefix(run, p.output);
  if (!p.debug_maps || prefix.empty()) return;
  log_message("debug maps\n");
  const char* name = prefix.c_str();
  MapBlock maps = maps_allocate_quiet(run.geometry, 1);
  const int32_t scratch = 0;
  write_record_map(name, 1, records, maps, scratch,
                   [](const CellRecord& r) { return r.potential; });
  write_record_map(name, 2, records, maps, scratch, [&](const CellRecord& r) {
    return selection_of(records.random_select, r.potential);
  });
  write_record_map(name, 3, records, maps, scratch,
                   [](const CellRecord& r) { return r.nservices; });
  write_record_map(name, 4, records, maps, scratch,
                   [](const CellRecord& r) { return r.distances; });
}

}  // namespace

// The listing goes to a temporary file beside its target, flushed after every line, and takes the
// target's name when the run completes: a run that ends in a fatal error leaves any older listing.
void open_evolution_listing(const ProcessStageParameters& p, const Run& run,
                            EvolutionListing& listing, const std::string& header) {
  const std::string prefix = run_debug_prefix(run, p.output);
  if (!p.debug_evolution || prefix.empty()) return;
  log_message("debug lst\n");
  listing.path = prefix + EVOLUTION_LISTING;
  log_message("* write to '%s'\n", listing.path.c_str());
  FILE* file = output_open(listing.path.c_str());
  if (file == nullptr) fatal(1, "error: unable to open file '%s'!\n", listing.path.c_str());
  // The min-cut method lists its cuts: the price per allocated cell, the cells, the bound.
  if (!header.empty()) {
    std::fputs(header.c_str(), file);
  } else {
    std::fputs(p.method == ProcessMethod::min_cut ? "# cut price cells bound\n"
                                                  : "# stage T E accpt boltz f1 f2 f3 f4 f5\n",
               file);
  }
  listing.file = file;
}

void close_evolution_listing(EvolutionListing& listing) {
  FILE* file = listing.file;
  listing.file = nullptr;
  if (file != nullptr && !output_close(file)) {
    fatal(1, "error: unable to write file '%s'!\n", listing.path.c_str());
  }
}

std::vector<std::string> process_debug_files(const ProcessStageParameters& p,
                                             const std::string& prefix) {
  std::vector<std::string> files;
  for (int32_t number = 1; p.debug_maps && number <= 4; ++number)
    files.push_back(prefix + debug_map_suffix(number));
  if (p.debug_evolution) files.push_back(prefix + EVOLUTION_LISTING);
  return files;
}

namespace {

// The annealing reads a distance for every move whatever its weight, so it needs a mask or a map;
// the cuts with the distance weight at 0 never read one, and then need neither array.
void read_distance_sources(const ConfigDocument& config, ProcessStageParameters& p) {
  const bool unused = p.method == ProcessMethod::min_cut && p.weights[4] == 0.0;
  const char* const masks = "process.distance-masks";
  const char* const maps = "process.distance-maps";
  if (!unused || config_find(config, 0, masks) >= 0)
    p.distance_masks = config_get_text_list(config, masks);
  if (!p.distance_masks.empty()) return;
  if (!unused || config_find(config, 0, maps) >= 0)
    p.distance_maps = config_get_text_list(config, maps);
  if (!p.distance_maps.empty() || unused) return;
  log_message("error: empty arrays 'distance-masks' and 'distance-maps'!\n");
  if (p.method == ProcessMethod::annealing) {
    fatal(-1,
          "  section 'process': name the grids the new cells keep close to in 'distance-masks' "
          "(or distances in 'distance-maps'); the annealing needs one even with the distance "
          "weight at 0, \"method\": \"min-cut\" does not\n");
  }
  fatal(-1,
        "  section 'process': name the grids the new cells keep close to in 'distance-masks' "
        "(or distances in 'distance-maps'), or set the distance weight (the 5th of "
        "'functions-weight') to 0\n");
}

}  // namespace

ProcessStageParameters process_read_parameters(const ConfigDocument& config) {
  ProcessStageParameters p;
  read_function_weights(config, p.weights);
  p.method = read_method(config);
  if (p.method == ProcessMethod::annealing) {
    p.annealing = read_annealing_parameters(config);
  } else {
    p.min_cut.portfolio_gap = read_portfolio_gap(config);
  }
  p.time_limit = read_time_limit(config);
  p.input = read_text(config, "preprocess.output");
  // The cuts draw no cell at random: the switch then only shapes debug map 2.
  p.random_select = p.method == ProcessMethod::annealing
                        ? config_get_flag(config, "process.random-select")
                        : read_optional_flag(config, "process.random-select");
  read_distance_sources(config, p);
  p.debug_maps = config_get_flag(config, "process.debug-maps");
  p.debug_evolution = config_get_flag(config, "process.debug-evolution");
  if (p.method == ProcessMethod::annealing) {
    p.autotuning = config_get_flag(config, "process.autotunning");
  }
  p.output = read_text(config, "process.output");
  return p;
}

void run_process_stage(const Scenario& scenario, Run& run) {
  const ConfigDocument& config = scenario.config;
  log_message("PROCESS begin\n");
  const ProcessStageParameters params = process_read_parameters(config);
  ProcessRun p(scenario, run);
  p.input = params.input;
  log_message("init\n");
  maps_init_geometry(config, run.geometry);
  // A run that shares the read-only maps holds only its solution map.
  const ProcessInputs* shared = run.process_inputs;
  p.maps = maps_allocate(run.geometry, shared != nullptr ? 1 : PROCESS_MAPS);
  p.maps.threads = run.threads;

  log_message("config parameters\n");
  echo_weights(params.weights);
  EnergyState& e = p.energy;
  set_weights(e, params.weights);
  p.parameters = params.annealing;
  if (params.method == ProcessMethod::annealing) {
    echo_annealing_parameters(params.annealing);
  } else {
    log_message("  method min-cut\n");
    log_message("  portfolio gap %f\n", params.min_cut.portfolio_gap);
  }
  const std::optional<double> time_limit =
      scenario.time_limit ? scenario.time_limit : params.time_limit;
  if (time_limit) log_message("  time limit %f\n", *time_limit);

  log_message("load solution map\n");
  stage_read_handover(run, Handover::preprocess_output, p.input, p.maps, PROCESS_SOLUTION_MAP);
  p.working_cell_value = map_max_value(p.maps, PROCESS_SOLUTION_MAP);
  log_message("  working cell value is %f\n", static_cast<double>(p.working_cell_value));
  if (p.working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(config, p.maps, p.working_cell_value, PROCESS_POTENTIAL_MAP,
                           run.working_value_cells);
  p.annealing.solution_cell_count =
      count_equal(p.maps.map(PROCESS_SOLUTION_MAP), p.maps.cell_count(), p.working_cell_value);
  // Every try reloads the solution map: until then its memory, and that of the check's map, can
  // serve the build of the records.
  p.maps.discard(PROCESS_SOLUTION_MAP, 0, p.maps.cell_count());
  if (shared == nullptr) p.maps.discard(PROCESS_POTENTIAL_MAP, 0, p.maps.cell_count());

  if (shared != nullptr) {
    // Every run prints what building the shared records printed, so its log reads as if it had
    // built them, and every run stops as the build did.
    log_message("%s", shared->log.c_str());
    if (shared->fatal_code != 0) fatal_exit(shared->fatal_code);
    p.inputs = shared;
  } else {
    p.own_inputs.records = build_cell_records(config, params, p.maps, p.own_inputs.potential_log,
                                              p.own_inputs.distance_unit);
  }
  write_debug_maps(params, run, p.inputs->records);

  stage_seed(scenario, run);
  EvolutionListing listing;
  open_evolution_listing(params, run, listing);
  // The limit counts the method's own work, from here on.
  if (time_limit) p.deadline = p.clock() + *time_limit;

  if (params.method == ProcessMethod::min_cut) {
    log_message("MIN-CUT MODE selected\n");
    // Repeats past the first perturb their costs, each with its own seed, for distinct
    // near-optimal maps.
    const uint64_t perturbation = run.seed && run.repeat > 1 ? *run.seed * 2 + 1 : 0;
    MinCutParameters parameters = params.min_cut;
    const RulesCut& cut = run.cut;
    parameters.perimeter_scale = cut.perimeter_scale;
    parameters.keep_in = cut.keep_in.get();
    parameters.least_island = cut.least_island;
    if (!cut.plain()) parameters.recut_work = -1.0;
    if (!std::isnan(cut.price_hint)) parameters.price_hint = cut.price_hint;
    if (cut.perimeter_scale != 1.0)
      log_message("  perimeter weight in the cuts times %g\n", cut.perimeter_scale);
    if (cut.keep_out != nullptr) {
      const auto kept_out = std::count_if(cut.keep_out->begin(), cut.keep_out->end(),
                                          [](uint8_t cell) { return cell != 0; });
      log_message("  %zu cells the rules dropped kept out of the cuts\n",
                  static_cast<size_t>(kept_out));
    }
    const MinCutResult r = run_min_cut(p, parameters, perturbation, listing);
    run.min_cut_price = r.price;
    log_message("  initial %f\n", r.initial_energy);
    log_message("  final %f\n", r.final_energy);
    // Cuts of another perimeter weight, or with cells kept out, bound another problem.
    if (cut.plain()) {
      log_message("  lower bound %f\n", r.lower_bound);
      log_message("  gap %.3f%%\n", min_cut_gap_percent(r.final_energy, r.lower_bound));
      run.process_lower_bound = r.lower_bound;
    }
  } else {
    log_message(params.autotuning ? "AUTOTUNNING MODE selected\n" : "MANUAL MODE selected\n");
    if (params.autotuning) {
      autotune_kb(p);
      run_annealing(p, listing, 4);
    } else {
      p.annealing.effective_kb = params.annealing.kb;
      run_annealing(p, listing, 0);
    }
    if (params.annealing.polish) {
      log_message("polish\n");
      log_message("  polished %f\n", min_cut_polish(p));
    }
  }

  close_evolution_listing(listing);
  run.working_cell_value = p.working_cell_value;
  const double ranges[ENERGY_TERMS] = {e.f1_range, e.f2_range, e.f3_range, e.f4_range, e.f5_range};
  for (int32_t t = 0; t < ENERGY_TERMS; ++t) {
    run.process_normalisers.range[t] = ranges[t];
    run.process_normalisers.off[t] = e.term_off[t];
  }
  run.process_value_bounds = e.bounds;
  stage_write_handover(run, Handover::process_output, params.output, p.maps, PROCESS_SOLUTION_MAP);
  // The driver prices the final map with the records the run built, rather than build them again.
  if (run.also_in_memory && p.inputs == &p.own_inputs)
    run.kept_process_inputs = std::make_shared<const ProcessInputs>(std::move(p.own_inputs));
}

void process_build_inputs(const ConfigDocument& config, const GridGeometry& geometry,
                          ProcessInputs& inputs, int32_t threads) {
  char* text = nullptr;
  size_t length = 0;
  FILE* log = open_memstream(&text, &length);
  if (log == nullptr) fatal(1, "error: not enough memory!\n");
  FILE* previous = log_stream() == stdout ? nullptr : log_stream();
  log_set_stream(log);
  fatal_set_throw_on_thread(true);
  try {
    const ProcessStageParameters params = process_read_parameters(config);
    MapBlock maps = maps_allocate_quiet(geometry, PROCESS_MAPS);
    maps.threads = threads;
    inputs.records =
        build_cell_records(config, params, maps, inputs.potential_log, inputs.distance_unit);
  } catch (const FatalExit& e) {
    inputs.fatal_code = e.code;
  } catch (const std::bad_alloc&) {
    log_message("error: not enough memory!\n");
    inputs.fatal_code = 1;
  }
  fatal_set_throw_on_thread(false);
  log_set_stream(previous);
  std::fclose(log);
  inputs.log.assign(text, length);
  std::free(text);
}

void process_set_energy(EnergyState& e, const double weights[ENERGY_TERMS],
                        const Normalisers& fixed) {
  set_weights(e, weights);
  double* ranges[ENERGY_TERMS] = {&e.f1_range, &e.f2_range, &e.f3_range, &e.f4_range, &e.f5_range};
  for (int32_t t = 0; t < ENERGY_TERMS; ++t) {
    *ranges[t] = fixed.range[t];
    e.term_off[t] = fixed.off[t];
  }
}

MapEnergy process_map_energy(const Scenario& scenario, const ProcessInputs& inputs,
                             const PackedMap& map, float working_cell_value,
                             const Normalisers& fixed, ValueBounds* bounds, int32_t threads) {
  Run run;
  run.threads = threads;
  ProcessRun p(scenario, run);
  p.inputs = &inputs;
  GridGeometry geometry;
  geometry.nrows = inputs.records.grid.nrows;
  geometry.ncols = inputs.records.grid.ncols;
  p.maps = maps_allocate_quiet(geometry, 1);
  map.unpack(p.maps.block.get());
  p.working_cell_value = working_cell_value;
  const ProcessStageParameters params = process_read_parameters(scenario.config);
  EnergyState& e = p.energy;
  process_set_energy(e, params.weights, fixed);
  if (bounds != nullptr) e.bounds = *bounds;
  MapEnergy result;
  result.energy = energy_evaluate(p);
  if (bounds != nullptr) *bounds = e.bounds;
  energy_terms(e, result.terms);
  result.cells = e.solution_size;
  result.islands = e.island_count;
  const double ranges[ENERGY_TERMS] = {e.f1_range, e.f2_range, e.f3_range, e.f4_range, e.f5_range};
  for (int32_t t = 0; t < ENERGY_TERMS; ++t) {
    result.normalisers.range[t] = ranges[t];
    result.normalisers.off[t] = e.term_off[t];
  }
  return result;
}
