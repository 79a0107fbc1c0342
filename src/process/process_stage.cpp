#include "process/process_stage.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "config/config.h"
#include "driver/log.h"
#include "driver/output_file.h"
#include "driver/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "raster/distance.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "raster/loaders.h"
#include "raster/map_ops.h"

namespace {

constexpr int32_t PROCESS_MAPS = 8;

const char* const WEIGHTS_PATH = "process.functions-weight";
const char* const WEIGHTS_RANGE = "error: property out of range in config json file!\n";

void echo_weights(const double weights[5]) {
  log_message("  heuristic function weights\n");
  for (int32_t i = 0; i < 5; ++i) log_message("    f%d %f\n", i + 1, weights[i]);
}

// The weights are the five elements of "process.functions-weight". A negative (or not finite)
// weight could drive the energy below 0 or make it NaN, so it is refused with the array's
// out-of-range message; the negative-energy guard then only ever meets real faults.
void read_function_weights(double weights[5]) {
  const int32_t array = config_get_array(WEIGHTS_PATH);
  const int32_t count = config_child_count(array);
  if (count != 5) {
    config_out_of_range(4, WEIGHTS_RANGE,
                        std::string("the element count of property '") + WEIGHTS_PATH + "'", count,
                        "exactly 5");
  }
  for (int32_t i = 0; i < 5; ++i) weights[i] = config_element_number(WEIGHTS_PATH, array, i);
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
float read_float_parameter(const char* path, const char* name, bool at_most_one) {
  const float value = static_cast<float>(config_get_number(path));
  if (!(value >= 0.0f) || std::isinf(value) || (at_most_one && value > 1.0f)) {
    log_message("  %s %f\n", name, static_cast<double>(value));
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value,
                        at_most_one ? "0 to 1" : "0 or more");
  }
  return value;
}

int32_t read_count_parameter(const char* path, const char* name) {
  const int32_t value = config_get_integer(path);
  if (value < 0) {
    log_message("  %s %d\n", name, value);
    config_out_of_range(1, ("error: property '" + std::string(name) + "' out of range!\n").c_str(),
                        std::string("property '") + path + "'", value, "0 or more");
  }
  return value;
}

ProcessParameters read_annealing_parameters() {
  ProcessParameters p;
  p.pinit = read_float_parameter("process.pinit", "pinit", true);
  p.tinit = read_float_parameter("process.tinit", "tinit", false);
  p.tnext = read_float_parameter("process.tnext", "tnext", false);
  p.nmovs = read_count_parameter("process.nmovs", "nmovs");
  p.nstages = read_count_parameter("process.nstages", "nstages");
  p.kb = config_get_number("process.kb");
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

std::string read_text(const char* path) {
  char text[CONFIG_TEXT_MAX];
  config_get_string(path, text);
  return text;
}

int32_t count_solution_cells() {
  const float* solution = map_cells(0);
  const size_t count = grid_cell_count();
  int32_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    if (solution[i] == working_cell_value) ++n;
  }
  return n;
}

// The selection map gives, per cell, the probability that a free cell is taken at one try. Either
// every cell with data is taken at once, or the potential is quantised into steps of 0.2.
void build_selection_map(bool random_select) {
  log_message("init selection map\n");
  if (random_select) {
    map_fill(1, 2, 1.0f);
    return;
  }
  map_copy(1, 2);
  float* selection = map_cells(2);
  const size_t count = grid_cell_count();
  for (size_t i = 0; i < count; ++i) selection[i] = selection_quantise(selection[i]);
}

void build_distances_map(const ProcessStageParameters& p) {
  log_message("init distances map\n");
  if (!p.distance_masks.empty()) {
    maps_init_distance_area();
    log_message("* calc distances to masks\n");
    maps_apply_masks("process.distance-masks", 4, CELL_MASKED);
    map_distance(4, 5, CELL_MASKED);
    map_normalize(5);
    map_copy(5, 4);
    return;
  }
  maps_init_distance_area();
  maps_load_process_distances();
}

void write_debug_maps(const ProcessStageParameters& p) {
  if (!p.debug_maps) return;
  log_message("debug maps\n");
  const char* prefix = p.output.c_str();
  for (int32_t k = 1; k <= 4; ++k) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".debug.map-%d.asc", k);
    grid_write_suffixed(prefix, suffix, k);
  }
}

// The evolution listing's path, kept for the report of a failed close.
char evolution_path[CONFIG_TEXT_MAX + 32];

// The listing goes to a temporary file beside its target, flushed after every line, and takes the
// target's name when the run completes: a run that ends in a fatal error leaves any older listing.
void open_evolution_listing(const ProcessStageParameters& p) {
  annealing_state.evolution_file = nullptr;
  if (!p.debug_evolution) return;
  log_message("debug lst\n");
  std::snprintf(evolution_path, sizeof(evolution_path), "%s.debug.evolution.lst", p.output.c_str());
  log_message("* write to '%s'\n", evolution_path);
  FILE* file = output_open(evolution_path);
  if (file == nullptr) fatal(1, "error: unable to open file '%s'!\n", evolution_path);
  std::fputs("# stage T E accpt boltz f1 f2 f3 f4 f5\n", file);
  annealing_state.evolution_file = file;
}

void close_evolution_listing() {
  FILE* file = annealing_state.evolution_file;
  annealing_state.evolution_file = nullptr;
  if (file != nullptr && !output_close(file)) {
    fatal(1, "error: unable to write file '%s'!\n", evolution_path);
  }
}

}  // namespace

ProcessStageParameters process_read_parameters() {
  ProcessStageParameters p;
  read_function_weights(p.weights);
  p.annealing = read_annealing_parameters();
  p.input = read_text("preprocess.output");
  p.random_select = config_get_flag("process.random-select");
  p.distance_masks = config_get_text_list("process.distance-masks");
  if (p.distance_masks.empty()) {
    p.distance_maps = config_get_text_list("process.distance-maps");
    if (p.distance_maps.empty()) {
      fatal(-1, "error: empty arrays 'distance-masks' and 'distance-maps'!\n");
    }
  }
  p.debug_maps = config_get_flag("process.debug-maps");
  p.debug_evolution = config_get_flag("process.debug-evolution");
  p.autotuning = config_get_flag("process.autotunning");
  p.output = read_text("process.output");
  return p;
}

float selection_quantise(float potential) {
  if (!(potential >= 0.0f) || potential == 1.0f) return potential;
  return static_cast<float>(std::floor(static_cast<double>(potential) / 0.2) / 5.0 + 0.2);
}

void process_reset_state() {
  if (annealing_state.evolution_file != nullptr) output_discard(annealing_state.evolution_file);
  process_parameters = ProcessParameters{};
  annealing_state = AnnealingState{};
  energy_state = EnergyState{};
  current_move = Move{};
  energy_reset_normalisers();
  moves_release();
}

void run_process_stage() {
  log_message("PROCESS begin\n");
  const ProcessStageParameters p = process_read_parameters();
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(PROCESS_MAPS);

  log_message("config parameters\n");
  echo_weights(p.weights);
  EnergyState& e = energy_state;
  e.f1_weight = p.weights[0];
  e.f2_weight = p.weights[1];
  e.f3_weight = p.weights[2];
  e.f4_weight = p.weights[3];
  e.f5_weight = p.weights[4];
  energy_reset_normalisers();
  process_parameters = p.annealing;
  echo_annealing_parameters(p.annealing);

  log_message("load solution map\n");
  grid_read(p.input.c_str(), 0);
  working_cell_value = map_max_value();
  log_message("  working cell value is %f\n", static_cast<double>(working_cell_value));
  if (working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(1);
  annealing_state.solution_cell_count = count_solution_cells();

  log_message("init potential map\n");
  maps_load_potential(1);
  build_selection_map(p.random_select);
  log_message("init nservices map\n");
  maps_load_nservices();
  build_distances_map(p);
  write_debug_maps(p);

  if (!islands_allocate(static_cast<size_t>(annealing_state.solution_cell_count))) {
    fatal(1, "error: not enough memory!\n");
  }
  rand_seed_stage();
  open_evolution_listing(p);

  log_message(p.autotuning ? "AUTOTUNNING MODE selected\n" : "MANUAL MODE selected\n");
  if (p.autotuning) {
    autotune_kb();
    run_annealing(4);
  } else {
    annealing_state.effective_kb = p.annealing.kb;
    run_annealing(0);
  }

  close_evolution_listing();
  grid_write(p.output.c_str(), 0);
  maps_release();
  islands_release();
  moves_release();
}
