#include "postprocess/expansion.h"

#include <cinttypes>

#include "base/log.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "raster/grid.h"
#include "scenario/map_style.h"

namespace {

// Leaves only the best group allocated; returns the cells of the worst group.
int64_t clear_worst_group(PostprocessRun& p) {
  float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const float selected = p.selected_mark();
  const size_t n = p.maps.cell_count();
  int64_t removed = 0;
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] == selected) {
      solution[i] = p.working_cell_value;
    } else if (solution[i] == p.working_cell_value) {
      solution[i] = CELL_AVAILABLE;
      ++removed;
    }
  }
  return removed;
}

// Free cells take their potential as the chance of being grown into under the random preference,
// every other cell with data 1.0: the run notes which cells were taken, and the chances follow
// from that and the potential, which may be shared with other runs.
void init_probability_map(PostprocessRun& p) {
  log_message("init probability map\n");
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const size_t n = p.maps.cell_count();
  p.taken.assign(n, false);
  for (size_t i = 0; i < n; ++i) p.taken[i] = solution[i] != CELL_AVAILABLE;
}

// The chances as a map, through the scratch map.
void write_probability_debug_map(PostprocessRun& p) {
  const size_t n = p.maps.cell_count();
  float* cells = p.maps.map(POSTPROCESS_SCRATCH_MAP);
  for (size_t i = 0; i < n; ++i) cells[i] = p.growth_chance(i);
  grid_write_suffixed(p.debug_prefix.c_str(), POSTPROCESS_DEBUG_PROBABILITY, p.maps,
                      POSTPROCESS_SCRATCH_MAP);
  p.maps.discard(POSTPROCESS_SCRATCH_MAP, 0, n);
}

}  // namespace

void expand_islands(PostprocessRun& p, int64_t cells_purged) {
  log_message("EXPAND best islands\n");
  const int64_t cells_removed = clear_worst_group(p);
  postprocess_label(p);
  log_message("stats\n");
  log_message("  selected %d islands to expand\n", p.islands.island_count);
  log_message("  - %" PRId64 " cells purged\n", cells_purged);
  log_message("  - another %" PRId64 " cells removed\n", cells_removed);

  init_probability_map(p);
  if (postprocess_debug_begin(p)) write_probability_debug_map(p);

  const int64_t cells_to_assign = cells_removed + cells_purged;
  if (p.params.basins_map.empty()) {
    expand_basic_branch(p, cells_to_assign);
  } else {
    expand_basins_branch(p, cells_to_assign);
  }
}

// A run that keeps its maps in memory hands them to the driver there, and writes them only as its
// own files when it is kept.
void write_final_maps(PostprocessRun& p) {
  Run& run = p.run;
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const size_t n = p.maps.cell_count();
  const std::string output = run_file_path(run, p.params.output);
  if (run.in_memory || run.also_in_memory) run.postprocess_output.assign(solution, solution + n);
  if (!output.empty()) {
    grid_write(output.c_str(), p.maps, POSTPROCESS_SOLUTION_MAP);
    style_write_solution(output, solution, n);
  }

  float* mask = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  for (size_t i = 0; i < n; ++i) mask[i] = mask[i] == p.working_cell_value ? 1.0f : CELL_NODATA;
  const std::string output_mask = run_file_path(run, p.params.output_mask);
  if (output_mask.empty()) return;
  grid_write(output_mask.c_str(), p.maps, POSTPROCESS_SOLUTION_MAP);
  style_write_mask(output_mask);
}
