#include "postprocess/expansion.h"

#include "driver/log.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/postprocess_stage.h"
#include "postprocess/selection.h"
#include "raster/grid.h"
#include "raster/islands.h"

namespace {

// Leaves only the best group allocated; returns the cells of the worst group.
int32_t clear_worst_group() {
  float* solution = map_cells(0);
  const float selected = SELECTED_MARK;
  const size_t n = grid_cell_count();
  int32_t removed = 0;
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] == selected) {
      solution[i] = working_cell_value;
    } else if (solution[i] == working_cell_value) {
      solution[i] = CELL_AVAILABLE;
      ++removed;
    }
  }
  return removed;
}

// Free cells take their potential as the chance of being grown into under the random preference.
void init_probability_map() {
  log_message("init probability map\n");
  const float* solution = map_cells(0);
  const float* potential = map_cells(1);
  float* probability = map_cells(2);
  const size_t n = grid_cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] == CELL_AVAILABLE) probability[i] = potential[i];
  }
}

void write_output_mask(const char* path) {
  float* solution = map_cells(0);
  const size_t n = grid_cell_count();
  for (size_t i = 0; i < n; ++i) {
    solution[i] = solution[i] == working_cell_value ? 1.0f : CELL_NODATA;
  }
  grid_write(path, 0);
}

}  // namespace

void expand_islands(const PostprocessParameters& p, int32_t cells_purged) {
  log_message("EXPAND best islands\n");
  const int32_t cells_removed = clear_worst_group();
  islands_label();
  log_message("stats\n");
  log_message("  selected %d islands to expand\n", island_state.island_count);
  log_message("  - %d cells purged\n", cells_purged);
  log_message("  - another %d cells removed\n", cells_removed);

  init_probability_map();
  if (postprocess_debug_begin(p)) grid_write_suffixed(p.output.c_str(), ".debug.map-2.asc", 2);

  const int32_t cells_to_assign = cells_removed + cells_purged;
  if (p.basins_map.empty()) {
    expand_basic_branch(cells_to_assign, p.preference);
  } else {
    expand_basins_branch(cells_to_assign, p);
  }

  // Only a complete expansion reaches this point: a failed one ends the run without a final map.
  grid_write(p.output.c_str(), 0);
  write_output_mask(p.output_mask.c_str());
}
