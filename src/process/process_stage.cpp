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

// The weights are the five elements of "process.functions-weight". A negative (or not finite)
// weight could drive the energy below 0 or make it NaN, so it is refused with the array's
// out-of-range message; the negative-energy guard then only ever meets real faults.
void read_function_weights() {
  const char* path = "process.functions-weight";
  const int32_t array = config_get_array(path);
  if (config_child_count(array) != 5)
    fatal(4, "error: property out of range in config json file!\n");
  double weights[5];
  for (int32_t i = 0; i < 5; ++i) weights[i] = config_element_number(path, array, i);
  EnergyState& e = energy_state;
  e.f1_weight = weights[0];
  e.f2_weight = weights[1];
  e.f3_weight = weights[2];
  e.f4_weight = weights[3];
  e.f5_weight = weights[4];
  log_message("  heuristic function weights\n");
  for (int32_t i = 0; i < 5; ++i) log_message("    f%d %f\n", i + 1, weights[i]);
  for (double w : weights) {
    if (!(w >= 0.0) || std::isinf(w)) {
      fatal(4, "error: property out of range in config json file!\n");
    }
  }
}

// Each parameter is printed as stored before its range is tested. A NaN, or a value too large for
// a float, would poison every temperature and probability after it, so it is out of range too.
float read_float_parameter(const char* path, const char* name, bool at_most_one) {
  const float value = static_cast<float>(config_get_number(path));
  log_message("  %s %f\n", name, static_cast<double>(value));
  if (!(value >= 0.0f) || std::isinf(value) || (at_most_one && value > 1.0f)) {
    fatal(1, "error: property '%s' out of range!\n", name);
  }
  return value;
}

int32_t read_count_parameter(const char* path, const char* name) {
  const int32_t value = config_get_integer(path);
  log_message("  %s %d\n", name, value);
  if (value < 0) fatal(1, "error: property '%s' out of range!\n", name);
  return value;
}

void read_annealing_parameters() {
  ProcessParameters& p = process_parameters;
  p.pinit = read_float_parameter("process.pinit", "pinit", true);
  p.tinit = read_float_parameter("process.tinit", "tinit", false);
  p.tnext = read_float_parameter("process.tnext", "tnext", false);
  p.nmovs = read_count_parameter("process.nmovs", "nmovs");
  p.nstages = read_count_parameter("process.nstages", "nstages");
  p.kb = config_get_number("process.kb");
  log_message("  kb %f\n", p.kb);
  if (!(p.kb >= 0.0) || std::isinf(p.kb)) fatal(1, "error: property 'kb' out of range!\n");
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
void build_selection_map() {
  log_message("init selection map\n");
  if (config_get_flag("process.random-select")) {
    map_fill(1, 2, 1.0f);
    return;
  }
  map_copy(1, 2);
  float* selection = map_cells(2);
  const size_t count = grid_cell_count();
  for (size_t i = 0; i < count; ++i) selection[i] = selection_quantise(selection[i]);
}

void build_distances_map() {
  log_message("init distances map\n");
  const int32_t masks = config_get_array("process.distance-masks");
  if (config_child_count(masks) > 0) {
    maps_init_distance_area();
    log_message("* calc distances to masks\n");
    maps_apply_masks("process.distance-masks", 4, CELL_MASKED);
    map_distance(4, 5, CELL_MASKED);
    map_normalize(5);
    map_copy(5, 4);
    return;
  }
  const int32_t maps = config_get_array("process.distance-maps");
  if (config_child_count(maps) <= 0) {
    fatal(-1, "error: empty arrays 'distance-masks' and 'distance-maps'!\n");
  }
  maps_init_distance_area();
  maps_load_process_distances();
}

void write_debug_maps() {
  if (!config_get_flag("process.debug-maps")) return;
  log_message("debug maps\n");
  char prefix[CONFIG_TEXT_MAX];
  config_get_string("process.output", prefix);
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
void open_evolution_listing() {
  annealing_state.evolution_file = nullptr;
  if (!config_get_flag("process.debug-evolution")) return;
  log_message("debug lst\n");
  char prefix[CONFIG_TEXT_MAX];
  config_get_string("process.output", prefix);
  std::snprintf(evolution_path, sizeof(evolution_path), "%s.debug.evolution.lst", prefix);
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
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(PROCESS_MAPS);

  log_message("config parameters\n");
  read_function_weights();
  energy_reset_normalisers();
  read_annealing_parameters();

  log_message("load solution map\n");
  char path[CONFIG_TEXT_MAX];
  config_get_string("preprocess.output", path);
  grid_read(path, 0);
  working_cell_value = map_max_value();
  log_message("  working cell value is %f\n", static_cast<double>(working_cell_value));
  if (working_cell_value <= 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  maps_check_working_value(1);
  annealing_state.solution_cell_count = count_solution_cells();

  log_message("init potential map\n");
  maps_load_potential(1);
  build_selection_map();
  log_message("init nservices map\n");
  maps_load_nservices();
  build_distances_map();
  write_debug_maps();

  if (!islands_allocate(static_cast<size_t>(annealing_state.solution_cell_count))) {
    fatal(1, "error: not enough memory!\n");
  }
  rand_seed_stage();
  open_evolution_listing();

  const bool autotuning = config_get_flag("process.autotunning");
  const ProcessParameters& p = process_parameters;
  log_message(autotuning ? "AUTOTUNNING MODE selected\n" : "MANUAL MODE selected\n");
  if (autotuning) {
    autotune_kb();
    run_annealing(4);
  } else {
    annealing_state.effective_kb = p.kb;
    run_annealing(0);
  }

  close_evolution_listing();
  config_get_string("process.output", path);
  grid_write(path, 0);
  maps_release();
  islands_release();
  moves_release();
}
