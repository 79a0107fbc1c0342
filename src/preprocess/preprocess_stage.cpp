#include "preprocess/preprocess_stage.h"

#include <algorithm>

#include "base/log.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "raster/grid.h"
#include "raster/map_ops.h"
#include "scenario/loaders.h"

namespace {

const char* const DEBUG_MAP = ".debug.map-1.asc";

void echo_convert_area(float fraction) {
  log_message("  convert-area %f\n", double(fraction));
}

// Builds the solution map up to its initial values into map 0, map 1 serving the loaders.
void prepare_solution(const ConfigDocument& config, const PreprocessParameters& p, MapBlock& maps) {
  log_message("init solution map\n");
  maps_init_solution(config, maps);
  log_message("apply exclusion masks\n");
  maps_apply_masks(config, maps, "maps.exclusion-masks", PREPROCESS_SOLUTION_MAP, CELL_MASKED);

  if (!p.init_values_map.empty()) {
    log_message("apply initial values map\n");
    init_values_apply(maps, p.init_values_map.c_str());
  }
}

// Builds the solution map before the placement into map 0 and the distribution map into map 1;
// returns the working cell value, and in `to_assign` the cells of the demand, if any (checked
// against the free cells here, so that a demand that cannot be met stops before any file).
float prepare_maps(const ConfigDocument& config, const PreprocessParameters& p, MapBlock& maps,
                   int64_t& to_assign) {
  prepare_solution(config, p, maps);

  log_message("apply distribution masks\n");
  if (!p.distribution_masks.empty()) {
    distribution_map_build(config, maps);
  } else {
    map_fill(maps, PREPROCESS_SOLUTION_MAP, PREPROCESS_DISTRIBUTION_MAP, 1.0f);
  }
  // The masks and the distance map are done with: the placement and the hand-over need only the
  // solution and distribution maps.
  maps.discard(PREPROCESS_SCRATCH_MAP, 0, maps.cell_count());

  // Above every initial value, so allocated cells stay distinguishable from copied ones.
  log_message("config parameters\n");
  const float highest = map_max_value(maps, PREPROCESS_SOLUTION_MAP);
  const float value = static_cast<float>(static_cast<double>(highest) + 1.0);
  log_message("  working cell value is %f\n", value);
  if (value == 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  // From 2^24 on, a float has no next whole number: the allocation would merge with that code.
  if (!(value > highest)) {
    fatal(1, "error: no working cell value above initial value %f!\n",
          static_cast<double>(highest));
  }
  if (p.demand) {
    const int64_t available =
        count_equal(maps.map(PREPROCESS_SOLUTION_MAP), maps.cell_count(), CELL_AVAILABLE);
    to_assign = demand_cells(*p.demand, maps.geometry, available, "the allocation");
    demand_echo(*p.demand, to_assign, maps.geometry);
  } else {
    echo_convert_area(p.convert_area);
  }
  return value;
}

// Maps 0 and 1 of a run, built, or (the solution map) copied from the maps the runs share and
// (the placement weights) pointed at in `weights`; returns the working cell value.
float take_prepared_maps(const ConfigDocument& config, const PreprocessParameters& p,
                         MapBlock& maps, PreprocessInputs* shared, const float*& weights,
                         int64_t& to_assign) {
  if (shared == nullptr) return prepare_maps(config, p, maps, to_assign);
  const size_t n = maps.cell_count();
  std::lock_guard<std::mutex> hold(shared->lock);
  if (!shared->build.done) {
    shared_step_run(shared->build,
                    [&] { shared->value = prepare_maps(config, p, maps, shared->to_assign); });
    const float* solution = maps.map(PREPROCESS_SOLUTION_MAP);
    const float* distribution = maps.map(PREPROCESS_DISTRIBUTION_MAP);
    shared->solution.assign(solution, solution + n);
    shared->distribution.assign(distribution, distribution + n);
    maps.discard(PREPROCESS_DISTRIBUTION_MAP, 0, n);
    shared->build.done = true;
  } else {
    shared_step_replay(shared->build);
    shared->solution.unpack(maps.map(PREPROCESS_SOLUTION_MAP));
  }
  weights = shared->distribution.data();
  to_assign = shared->to_assign;
  return shared->value;
}

}  // namespace

PreprocessParameters preprocess_read_parameters(const ConfigDocument& config) {
  PreprocessParameters p;
  p.exclusion_masks = config_get_text_list(config, "maps.exclusion-masks");
  char text[CONFIG_TEXT_MAX];
  config_get_text(config, "preprocess.init-values-map", text);
  p.init_values_map = text;
  p.distribution_masks = config_get_text_list(config, "preprocess.distribution-masks");
  p.demand = demand_read(config, "preprocess.demand");
  if (p.demand && config_find(config, 0, "preprocess.convert-area") >= 0) {
    fatal(2,
          "error: properties 'preprocess.convert-area' and 'preprocess.demand' given both "
          "(give one)!\n");
  }
  if (!p.demand) {
    p.convert_area = static_cast<float>(config_get_number(config, "preprocess.convert-area"));
    // Written so that a NaN fails the range test too.
    if (!(p.convert_area >= 0.0f && p.convert_area <= 1.0f)) {
      echo_convert_area(p.convert_area);
      config_out_of_range(1, "error: property 'convert-area' out of range!\n",
                          "property 'preprocess.convert-area'", p.convert_area, "0 to 1");
    }
  }
  p.debug_maps = config_get_flag(config, "preprocess.debug-maps");
  config_get_text(config, "preprocess.output", text);
  p.output = text;
  return p;
}

int64_t preprocess_free_cells(const ConfigDocument& config, const PreprocessParameters& p,
                              const GridGeometry& geometry) {
  int64_t free = 0;
  SharedStep step;
  shared_step_capture(step, [&] {
    MapBlock maps = maps_allocate_quiet(geometry, PREPROCESS_MAPS);
    prepare_solution(config, p, maps);
    free = count_equal(maps.map(PREPROCESS_SOLUTION_MAP), maps.cell_count(), CELL_AVAILABLE);
  });
  // Quiet unless it fails: then the lines the stage would print, and its end.
  if (step.fatal_code != 0) shared_step_replay(step);
  return free;
}

std::vector<std::string> preprocess_debug_files(const PreprocessParameters& p,
                                                const std::string& prefix) {
  if (!p.debug_maps) return {};
  return {prefix + DEBUG_MAP};
}

void run_preprocess_stage(const Scenario& scenario, Run& run) {
  const ConfigDocument& config = scenario.config;
  log_message("PREPROCESS begin\n");
  const PreprocessParameters p = preprocess_read_parameters(config);
  log_message("init\n");
  maps_init_geometry(config, run.geometry);
  MapBlock maps = maps_allocate(run.geometry, PREPROCESS_MAPS);
  maps.threads = run.threads;
  const float* weights = nullptr;
  int64_t to_assign = 0;
  const float value =
      take_prepared_maps(config, p, maps, run.preprocess_inputs, weights, to_assign);

  // Written before the placement, so it shows the placement weights rather than the allocation.
  const std::string debug_prefix = run_debug_prefix(run, p.output);
  if (p.debug_maps && !debug_prefix.empty()) {
    log_message("debug maps\n");
    const size_t n = maps.cell_count();
    if (weights != nullptr) std::copy(weights, weights + n, maps.map(PREPROCESS_DISTRIBUTION_MAP));
    grid_write_suffixed(debug_prefix.c_str(), DEBUG_MAP, maps, PREPROCESS_DISTRIBUTION_MAP);
    if (weights != nullptr) maps.discard(PREPROCESS_DISTRIBUTION_MAP, 0, n);
  }

  stage_seed(scenario, run);
  initial_state_create(maps, value, run.rng, p.convert_area, p.demand ? to_assign : -1, weights);
  run.working_cell_value = value;

  stage_write_handover(run, Handover::preprocess_output, p.output, maps, PREPROCESS_SOLUTION_MAP);
  log_message("PREPROCESS end\n");
}
