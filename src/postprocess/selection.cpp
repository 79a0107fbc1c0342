#include "postprocess/selection.h"

#include <algorithm>
#include <cinttypes>
#include <numeric>

#include "base/log.h"
#include "raster/grid.h"
#include "raster/map_ops.h"

namespace {

// Chooses the islands with at least `min_cells` cells within `min_distance` cells of a mask.
void select_by_distance(const PostprocessRun& p, IslandSelection& table, int32_t min_distance,
                        int32_t min_cells) {
  if (min_distance == 0 || min_cells == 0) {
    log_message("  skipping select by distance\n");
    return;
  }
  log_message("  select by distance\n");
  const size_t islands = table.island.size();
  const float limit = static_cast<float>(min_distance);
  const std::vector<int64_t> near_cells = island_totals<int64_t>(
      p.islands, [&p, limit](size_t i) { return p.near_mask(i, limit) ? 1 : 0; });
  int32_t chosen = 0;
  for (size_t row = 0; row < islands; ++row) {
    if (near_cells[static_cast<size_t>(table.island[row])] >= min_cells) {
      ++table.selection_score[row];
      ++chosen;
    }
  }
  log_message("    from an initial number of %d islands\n", p.islands.island_count);
  log_message("    - selected %d islands in the best group\n", chosen);
}

// Chooses the islands of largest accumulated potential until they hold `share` of the total.
void select_by_value(const PostprocessRun& p, IslandSelection& table, float share) {
  if (share == 0.0f) {
    log_message("  skipping select by value\n");
    return;
  }
  log_message("  select by value\n");
  const size_t islands = table.island.size();
  const std::vector<double> sums =
      island_totals<double>(p.islands, [&p](size_t i) { return double(p.potential(i)); });
  double total = 0.0;
  for (size_t row = 0; row < islands; ++row) {
    table.accumulated_value[row] = sums[static_cast<size_t>(table.island[row])];
    total += table.accumulated_value[row];
  }

  // Largest first; equal values keep ascending island order.
  std::vector<size_t> order(islands);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&table](size_t a, size_t b) {
    return table.accumulated_value[a] > table.accumulated_value[b];
  });
  IslandSelection sorted = table;
  for (size_t row = 0; row < islands; ++row) {
    sorted.island[row] = table.island[order[row]];
    sorted.accumulated_value[row] = table.accumulated_value[order[row]];
    sorted.selection_score[row] = table.selection_score[order[row]];
  }
  table = std::move(sorted);

  const double target = double(share) * total;
  double running = 0.0;
  int32_t chosen = 0;
  for (size_t row = 0; row < islands && target > running; ++row) {
    ++table.selection_score[row];
    ++chosen;
    running += table.accumulated_value[row];
  }
  log_message("    from an initial number of %d islands\n", p.islands.island_count);
  log_message("    - selected %d islands in the best group\n", chosen);
}

// The selected map, the map with only the best group allocated, and the best group's mask.
void write_selection_debug_maps(PostprocessRun& p) {
  if (!postprocess_debug_begin(p)) return;
  const char* prefix = p.debug_prefix.c_str();
  MapBlock& maps = p.maps;
  const int32_t scratch = POSTPROCESS_SCRATCH_MAP;
  const float selected = p.selected_mark();
  const size_t n = maps.cell_count();
  grid_write_suffixed(prefix, POSTPROCESS_DEBUG_SELECTED, maps, POSTPROCESS_SOLUTION_MAP);

  map_copy(maps, POSTPROCESS_SOLUTION_MAP, scratch);
  float* cells = maps.map(scratch);
  for (size_t i = 0; i < n; ++i) {
    if (cells[i] == selected) {
      cells[i] = p.working_cell_value;
    } else if (cells[i] == p.working_cell_value) {
      cells[i] = CELL_AVAILABLE;
    }
  }
  grid_write_suffixed(prefix, POSTPROCESS_DEBUG_SELECTION, maps, scratch);

  map_copy(maps, POSTPROCESS_SOLUTION_MAP, scratch);
  for (size_t i = 0; i < n; ++i) cells[i] = cells[i] == selected ? 1.0f : CELL_NODATA;
  grid_write_suffixed(prefix, POSTPROCESS_DEBUG_SELECTION_MASK, maps, scratch);
  maps.discard(scratch, 0, n);
}

}  // namespace

int64_t purge_islands(PostprocessRun& p, int32_t limit) {
  postprocess_label(p);
  const std::vector<int64_t> sizes = island_sizes(p.islands);
  int64_t purged = 0;
  for (int64_t size : sizes) {
    if (size < limit) purged += size;
  }
  if (purged > 0) {
    float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
    const int32_t* labels = p.islands.label_map.data();
    const size_t n = p.maps.cell_count();
    for (size_t i = 0; i < n; ++i) {
      if (labels[i] >= 0 && sizes[static_cast<size_t>(labels[i])] < limit) {
        solution[i] = CELL_AVAILABLE;
      }
    }
  }
  log_message("  - %" PRId64 " cells purged\n", purged);
  postprocess_label(p);
  return purged;
}

int64_t purge_stage(PostprocessRun& p) {
  log_message("PURGE islands\n");
  log_message("config parameters\n");
  log_message("  purge limit %d\n", p.params.purge_limit);
  const int64_t cells_purged = purge_islands(p, p.params.purge_limit);
  if (postprocess_debug_begin(p)) {
    grid_write_suffixed(p.debug_prefix.c_str(), POSTPROCESS_DEBUG_PURGED, p.maps,
                        POSTPROCESS_SOLUTION_MAP);
  }
  return cells_purged;
}

void select_islands(PostprocessRun& p) {
  log_message("SELECT best islands\n");
  log_message("config parameters\n");
  const int32_t min_distance = p.params.min_distance;
  const int32_t min_cells = p.params.min_cells;
  const float share = p.params.accumulated_value;
  log_message(SELECT_ECHO_DISTANCE, min_distance);
  log_message(SELECT_ECHO_CELLS, min_cells);
  log_message(SELECT_ECHO_VALUE, double(share));

  const int32_t islands = p.islands.island_count;
  const size_t rows = static_cast<size_t>(islands);
  IslandSelection table;
  table.island.resize(rows);
  table.accumulated_value.resize(rows);
  table.selection_score.resize(rows);
  for (int32_t i = 0; i < islands; ++i) table.island[static_cast<size_t>(i)] = i;

  select_by_distance(p, table, min_distance, min_cells);
  select_by_value(p, table, share);

  int32_t highest = 0;
  for (int32_t score : table.selection_score) highest = std::max(highest, score);
  std::vector<char> best(rows, 0);
  int32_t best_count = 0;
  for (size_t row = 0; row < rows; ++row) {
    if (table.selection_score[row] == highest) {
      best[static_cast<size_t>(table.island[row])] = 1;
      ++best_count;
    }
  }
  float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const int32_t* labels = p.islands.label_map.data();
  const float selected = p.selected_mark();
  const size_t n = p.maps.cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (labels[i] >= 0 && best[static_cast<size_t>(labels[i])]) solution[i] = selected;
  }
  table = IslandSelection{};

  log_message("  result\n");
  log_message("    from a total number of %d islands\n", islands);
  log_message("    - selected %d islands in the best group\n", best_count);
  log_message("    - selected %d islands in the worst group\n", islands - best_count);
  if (best_count == 0) fatal(-6, "error: no selected islands!\n");
  write_selection_debug_maps(p);
}
