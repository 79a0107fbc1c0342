#include "process/process_stage.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/output_file.h"
#include "process/process_run.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/map_ops.h"
#include "scenario/loaders.h"

namespace {

const char* const WEIGHTS_PATH = "process.functions-weight";
const char* const WEIGHTS_RANGE = "error: property out of range in config json file!\n";

void echo_weights(const double weights[5]) {
  log_message("  heuristic function weights\n");
  for (int32_t i = 0; i < 5; ++i) log_message("    f%d %f\n", i + 1, weights[i]);
}

// The weights are the five elements of "process.functions-weight". A negative (or not finite)
// weight could drive the energy below 0 or make it NaN, so it is refused with the array's
// out-of-range message; the negative-energy guard then only ever meets real faults.
void read_function_weights(const ConfigDocument& config, double weights[5]) {
  const int32_t array = config_get_array(config, WEIGHTS_PATH);
  const int32_t count = config_child_count(config, array);
  if (count != 5) {
    config_out_of_range(4, WEIGHTS_RANGE,
                        std::string("the element count of property '") + WEIGHTS_PATH + "'", count,
                        "exactly 5");
  }
  for (int32_t i = 0; i < 5; ++i)
    weights[i] = config_element_number(config, WEIGHTS_PATH, array, i);
  for (int32_t i = 0; i < 5; ++i) {
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
  return p;
}

void echo_annealing_parameters(const ProcessParameters& p) {
  log_message("  pinit %f\n", double(p.pinit));
  log_message("  tinit %f\n", double(p.tinit));
  log_message("  tnext %f\n", double(p.tnext));
  log_message("  nmovs %d\n", p.nmovs);
  log_message("  nstages %d\n", p.nstages);
  log_message("  kb %f\n", p.kb);
}

std::string read_text(const ConfigDocument& config, const char* path) {
  char text[CONFIG_TEXT_MAX];
  config_get_string(config, path, text);
  return text;
}

// The selection map gives, per cell, the probability that a free cell is taken at one try. Either
// every cell with data is taken at once, or the potential is quantised into steps of 0.2.
void build_selection_map(MapBlock& maps, bool random_select) {
  log_message("init selection map\n");
  if (random_select) {
    map_fill(maps, PROCESS_POTENTIAL_MAP, PROCESS_SELECTION_MAP, 1.0f);
    return;
  }
  map_copy(maps, PROCESS_POTENTIAL_MAP, PROCESS_SELECTION_MAP);
  float* selection = maps.map(PROCESS_SELECTION_MAP);
  const size_t count = maps.cell_count();
  for (size_t i = 0; i < count; ++i) selection[i] = selection_quantise(selection[i]);
}

void build_distances_map(const ConfigDocument& config, const ProcessStageParameters& p,
                         MapBlock& maps) {
  log_message("init distances map\n");
  maps_init_distance_area(config, maps, PROCESS_DISTANCES_MAP);
  if (p.distance_masks.empty()) {
    maps_load_process_distances(config, maps, PROCESS_DISTANCES_MAP);
    return;
  }
  log_message("* calc distances to masks\n");
  maps_apply_masks(config, maps, "process.distance-masks", PROCESS_DISTANCES_MAP, CELL_MASKED);
  map_distance(maps, PROCESS_DISTANCES_MAP, PROCESS_SCRATCH_MAP, CELL_MASKED);
  map_normalize(maps, PROCESS_SCRATCH_MAP);
  map_copy(maps, PROCESS_SCRATCH_MAP, PROCESS_DISTANCES_MAP);
}

void write_debug_maps(const ProcessStageParameters& p, const MapBlock& maps) {
  if (!p.debug_maps) return;
  log_message("debug maps\n");
  for (int32_t k = PROCESS_POTENTIAL_MAP; k <= PROCESS_DISTANCES_MAP; ++k) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".debug.map-%d.asc", k);
    grid_write_suffixed(p.output.c_str(), suffix, maps, k);
  }
}

// The listing goes to a temporary file beside its target, flushed after every line, and takes the
// target's name when the run completes: a run that ends in a fatal error leaves any older listing.
void open_evolution_listing(const ProcessStageParameters& p, EvolutionListing& listing) {
  if (!p.debug_evolution) return;
  log_message("debug lst\n");
  listing.path = p.output + ".debug.evolution.lst";
  log_message("* write to '%s'\n", listing.path.c_str());
  FILE* file = output_open(listing.path.c_str());
  if (file == nullptr) fatal(1, "error: unable to open file '%s'!\n", listing.path.c_str());
  std::fputs("# stage T E accpt boltz f1 f2 f3 f4 f5\n", file);
  listing.file = file;
}

void close_evolution_listing(EvolutionListing& listing) {
  FILE* file = listing.file;
  listing.file = nullptr;
  if (file != nullptr && !output_close(file)) {
    fatal(1, "error: unable to write file '%s'!\n", listing.path.c_str());
  }
}

}  // namespace

ProcessStageParameters process_read_parameters(const ConfigDocument& config) {
  ProcessStageParameters p;
  read_function_weights(config, p.weights);
  p.annealing = read_annealing_parameters(config);
  p.input = read_text(config, "preprocess.output");
  p.random_select = config_get_flag(config, "process.random-select");
  p.distance_masks = config_get_text_list(config, "process.distance-masks");
  if (p.distance_masks.empty()) {
    p.distance_maps = config_get_text_list(config, "process.distance-maps");
    if (p.distance_maps.empty()) {
      fatal(-1, "error: empty arrays 'distance-masks' and 'distance-maps'!\n");
    }
  }
  p.debug_maps = config_get_flag(config, "process.debug-maps");
  p.debug_evolution = config_get_flag(config, "process.debug-evolution");
  p.autotuning = config_get_flag(config, "process.autotunning");
  p.output = read_text(config, "process.output");
  return p;
}

float selection_quantise(float potential) {
  if (!(potential >= 0.0f) || potential == 1.0f) return potential;
  return static_cast<float>(std::floor(static_cast<double>(potential) / 0.2) / 5.0 + 0.2);
}

void run_process_stage(const Scenario& scenario, Run& run) {
  const ConfigDocument& config = scenario.config;
  log_message("PROCESS begin\n");
  const ProcessStageParameters params = process_read_parameters(config);
  ProcessRun p(scenario, run);
  p.input = params.input;
  log_message("init\n");
  maps_init_geometry(config, run.geometry);
  p.maps = maps_allocate(run.geometry, PROCESS_MAPS);

  log_message("config parameters\n");
  echo_weights(params.weights);
  EnergyState& e = p.energy;
  e.f1_weight = params.weights[0];
  e.f2_weight = params.weights[1];
  e.f3_weight = params.weights[2];
  e.f4_weight = params.weights[3];
  e.f5_weight = params.weights[4];
  p.parameters = params.annealing;
  echo_annealing_parameters(params.annealing);

  log_message("load solution map\n");
  stage_read_handover(run, Handover::preprocess_output, p.input, p.maps, PROCESS_SOLUTION_MAP);
  p.working_cell_value = map_max_value(p.maps, PROCESS_SOLUTION_MAP);
  log_message("  working cell value is %f\n", static_cast<double>(p.working_cell_value));
  if (p.working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(config, p.maps, p.working_cell_value, PROCESS_POTENTIAL_MAP);
  p.annealing.solution_cell_count =
      count_equal(p.maps.map(PROCESS_SOLUTION_MAP), p.maps.cell_count(), p.working_cell_value);

  log_message("init potential map\n");
  maps_load_potential(config, p.maps, PROCESS_POTENTIAL_MAP);
  build_selection_map(p.maps, params.random_select);
  log_message("init nservices map\n");
  maps_load_nservices(config, p.maps, PROCESS_NSERVICES_MAP);
  build_distances_map(config, params, p.maps);
  write_debug_maps(params, p.maps);

  if (!islands_allocate(p.islands, p.maps.cell_count(),
                        static_cast<size_t>(p.annealing.solution_cell_count))) {
    fatal(1, "error: not enough memory!\n");
  }
  stage_seed(scenario, run);
  EvolutionListing listing;
  open_evolution_listing(params, listing);

  log_message(params.autotuning ? "AUTOTUNNING MODE selected\n" : "MANUAL MODE selected\n");
  if (params.autotuning) {
    autotune_kb(p);
    run_annealing(p, listing, 4);
  } else {
    p.annealing.effective_kb = params.annealing.kb;
    run_annealing(p, listing, 0);
  }

  close_evolution_listing(listing);
  stage_write_handover(run, Handover::process_output, params.output, p.maps, PROCESS_SOLUTION_MAP);
}
