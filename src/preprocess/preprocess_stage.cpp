#include "preprocess/preprocess_stage.h"

#include <cstdio>

#include "config/config.h"
#include "driver/log.h"
#include "driver/random.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "raster/grid.h"
#include "raster/loaders.h"
#include "raster/map_ops.h"

namespace {

void echo_convert_area(float fraction) {
  log_message("  convert-area %f\n", double(fraction));
}

}  // namespace

PreprocessParameters preprocess_read_parameters() {
  PreprocessParameters p;
  p.exclusion_masks = config_get_text_list("maps.exclusion-masks");
  char text[CONFIG_TEXT_MAX];
  config_get_string("preprocess.init-values-map", text);
  p.init_values_map = text;
  p.distribution_masks = config_get_text_list("preprocess.distribution-masks");
  p.convert_area = static_cast<float>(config_get_number("preprocess.convert-area"));
  // Written so that a NaN fails the range test too.
  if (!(p.convert_area >= 0.0f && p.convert_area <= 1.0f)) {
    echo_convert_area(p.convert_area);
    config_out_of_range(1, "error: property 'convert-area' out of range!\n",
                        "property 'preprocess.convert-area'", p.convert_area, "0 to 1");
  }
  p.debug_maps = config_get_flag("preprocess.debug-maps");
  config_get_string("preprocess.output", text);
  p.output = text;
  return p;
}

// Map roles: 0 the solution map, 1 the loaders' scratch and then the distribution map, 2 the
// scratch of the masks and then the distance map.
void run_preprocess_stage() {
  log_message("PREPROCESS begin\n");
  const PreprocessParameters p = preprocess_read_parameters();
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(3);

  log_message("init solution map\n");
  maps_init_solution();
  log_message("apply exclusion masks\n");
  maps_apply_exclusion_masks(CELL_MASKED);

  if (!p.init_values_map.empty()) {
    log_message("apply initial values map\n");
    init_values_apply(p.init_values_map.c_str());
  }

  log_message("apply distribution masks\n");
  if (!p.distribution_masks.empty()) {
    distribution_map_build();
  } else {
    map_fill(0, 1, 1.0f);
  }

  // Above every initial value, so allocated cells stay distinguishable from copied ones.
  log_message("config parameters\n");
  const float highest = map_max_value();
  working_cell_value = static_cast<float>(static_cast<double>(highest) + 1.0);
  log_message("  working cell value is %f\n", working_cell_value);
  if (working_cell_value == 0.0f) fatal(1, "error: no allocatable cells in map!\n");
  // From 2^24 on, a float has no next whole number: the allocation would merge with that code.
  if (!(working_cell_value > highest)) {
    fatal(1, "error: no working cell value above initial value %f!\n",
          static_cast<double>(highest));
  }
  echo_convert_area(p.convert_area);

  // Written before the placement, so it shows the placement weights rather than the allocation.
  if (p.debug_maps) {
    log_message("debug maps\n");
    grid_write_suffixed(p.output.c_str(), ".debug.map-1.asc", 1);
  }

  rand_seed_stage();
  initial_state_create(p.convert_area);

  grid_write(p.output.c_str(), 0);
  log_message("PREPROCESS end\n");
  maps_release();
}
