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

// Map roles: 0 the solution map, 1 the loaders' scratch and then the distribution map, 2 the
// scratch of the masks and then the distance map.
void run_preprocess_stage() {
  char text[CONFIG_TEXT_MAX];

  log_message("PREPROCESS begin\n");
  log_message("init\n");
  grid_init_geometry();
  maps_allocate(3);

  log_message("init solution map\n");
  maps_init_solution();
  log_message("apply exclusion masks\n");
  maps_apply_exclusion_masks(CELL_MASKED);

  config_get_string("preprocess.init-values-map", text);
  if (text[0] != '\0') {
    log_message("apply initial values map\n");
    init_values_apply(text);
  }

  log_message("apply distribution masks\n");
  int32_t masks = config_get_array("preprocess.distribution-masks");
  if (config_child_count(masks) > 0) {
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

  float fraction = static_cast<float>(config_get_number("preprocess.convert-area"));
  log_message("  convert-area %f\n", fraction);
  // Written so that a NaN (atof reads "nan") fails the range test too.
  if (!(fraction >= 0.0f && fraction <= 1.0f))
    fatal(1, "error: property 'convert-area' out of range!\n");

  // Written before the placement, so it shows the placement weights rather than the allocation.
  if (config_get_flag("preprocess.debug-maps")) {
    log_message("debug maps\n");
    config_get_string("preprocess.output", text);
    grid_write_suffixed(text, ".debug.map-1.asc", 1);
  }

  rand_seed_stage();
  initial_state_create(fraction);

  config_get_string("preprocess.output", text);
  grid_write(text, 0);
  log_message("PREPROCESS end\n");
  maps_release();
}
