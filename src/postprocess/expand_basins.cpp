#include "postprocess/expand_basins.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <mutex>
#include <new>
#include <stdexcept>

#include "base/log.h"
#include "raster/grid.h"

namespace {

// A basins-map value names a basin by its integer part. -1.0 is no basin, and so is anything
// below it (down to -2.0 the reader keeps such values), which would otherwise truncate to a
// negative basin outside the graph.
bool in_a_basin(float value) {
  return value > CELL_NODATA;
}

// Cells of the basins map read before their memory goes back: a few megabytes.
constexpr size_t DISCARD_CELLS = size_t{1} << 20;

// Fills graph.cell_basin and returns the columns. The basins that occur, in increasing order of
// their numbers, take columns 0, 1, ..., so that the graph grows with the number of basins and not
// with the largest basin number; cells in no basin that are free or allocated go to the error
// basin, the column after the last basin. The list grows as the basins map is read, and the map
// gives its memory back behind it, so that the two are never both whole.
int32_t assign_cell_basins(PostprocessRun& p, BasinGraph& graph) {
  const float* basins = p.maps.map(POSTPROCESS_BASINS_MAP);
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const size_t n = p.maps.cell_count();
  // The distinct numbers, sorted. The list is reduced to them whenever it has grown well past
  // them, so that it holds about as many entries as there are basins, not one per cell (on a grid
  // of billions of cells, gigabytes on top of the stage's maps).
  const auto reduce = [](std::vector<float>& list) {
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
  };
  constexpr size_t SLACK = size_t{1} << 16;
  // A basin is a region, so neighbours in a row mostly share their number: a number is listed
  // only when it differs from the one before it, which keeps the sorting to the runs.
  float previous = 0.0f;
  bool any = false;
  std::vector<float> numbers;
  size_t limit = SLACK;
  for (size_t i = 0; i < n; ++i) {
    if (!in_a_basin(basins[i])) continue;
    const float number = std::trunc(basins[i]);
    if (any && number == previous) continue;
    any = true;
    previous = number;
    numbers.push_back(number);
    if (numbers.size() >= limit) {
      reduce(numbers);
      limit = 2 * numbers.size() + SLACK;
    }
  }
  reduce(numbers);
  // Each basin is a column of the graph, indexed in 32 bits like the islands.
  if (numbers.size() >= size_t{INT32_MAX}) fatal(1, "error: not enough memory!\n");
  const int32_t count = static_cast<int32_t>(numbers.size());
  log_message("  %d basins (will reserve one more for map errors)\n", count);
  const int32_t error_basin = count;

  CellBasins& cell_basin = graph.own_cell_basin;
  cell_basin.reset(n, count + 1);
  log_message("  create adjacency graph\n");
  int64_t errors = 0;
  float last_number = 0.0f;
  int32_t last_column = -1;  // the column of last_number, once one was looked up
  for (size_t i = 0; i < n; ++i) {
    if (i % DISCARD_CELLS == 0 && i > 0)
      p.maps.discard(POSTPROCESS_BASINS_MAP, i - DISCARD_CELLS, i);
    int32_t basin = -1;
    if (!(solution[i] >= 0.0f)) {
      // Never free nor allocated: the growth never asks for its basin.
    } else if (in_a_basin(basins[i])) {
      const float number = std::trunc(basins[i]);
      if (last_column < 0 || number != last_number) {
        const auto at = std::lower_bound(numbers.begin(), numbers.end(), number);
        last_number = number;
        last_column = static_cast<int32_t>(at - numbers.begin());
      }
      basin = last_column;
    } else {
      basin = error_basin;
      ++errors;
    }
    cell_basin.push_back(basin);
  }
  graph.cell_basin = &cell_basin;
  if (errors > 0) log_message("  - %" PRId64 " cells go to map error basin\n", errors);
  return count + 1;
}

[[noreturn]] void basins_exhausted(int64_t remaining) {
  log_message("error: basin map is unable to hold the number of cells needed!\n");
  log_message("  %" PRId64 " cells still unassigned\n", remaining);
  log_message("  (try to add more islands to the selection\n");
  fatal(-1, "  by reducing size or distance requirements)\n");
}

// Takes the shared basin list for the run when its free and allocated cells are those the list
// was made for; the first run to get here reads the basins map and makes the list (the others
// wait). Prints what reading the map printed, and stops as it did. The listing's lines are kept
// for expand_basins, which prints them after the island statistics. False: the run lists its own.
bool take_shared_basins(PostprocessRun& p) {
  PostprocessInputs& shared = *p.shared;
  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const size_t n = p.maps.cell_count();
  std::lock_guard<std::mutex> hold(shared.lock);
  if (!shared.basins_read.done) {
    shared.basins_layout.resize(n);
    for (size_t i = 0; i < n; ++i) shared.basins_layout[i] = solution[i] >= 0.0f;
    shared_step_run(shared.basins_read, [&] {
      grid_read(p.params.basins_map.c_str(), p.maps, POSTPROCESS_BASINS_MAP);
    });
    BasinGraph graph;
    shared_step_capture(shared.basins_list,
                        [&] { shared.basin_columns = assign_cell_basins(p, graph); });
    shared.cell_basin = std::move(graph.own_cell_basin);
    p.maps.discard(POSTPROCESS_BASINS_MAP, 0, n);
    shared.basins_list.done = true;
    shared.basins_read.done = true;
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (shared.basins_layout[i] != (solution[i] >= 0.0f)) return false;
    }
    shared_step_replay(shared.basins_read);
  }
  p.shared_basins = true;
  return true;
}

}  // namespace

// Each draw picks among the first k remaining candidates and k falls by one per draw, so the
// entries opened are always the first ceil(count / 5) candidates; the draws are still made so
// that the generator moves on as the growth expects.
int32_t add_candidate_basins(BasinGraph& graph, Rng& rng) {
  int32_t count = 0;
  for (int32_t entry : graph.entries) {
    if (entry == BASIN_CANDIDATE) ++count;
  }
  if (count == 0) return 0;
  const int32_t opened = (count + 4) / 5;
  log_message("  available %d basins to choose from\n", count);
  log_message("  add %d new basins to the adjacency graph\n", opened);
  for (int32_t k = opened; k > 0; --k) rand15(rng);
  int32_t left = opened;
  for (int32_t& entry : graph.entries) {
    if (left == 0) break;
    if (entry == BASIN_CANDIDATE) {
      entry = BASIN_ALLOWED;
      --left;
    }
  }
  return opened;
}

int64_t expand_basins(PostprocessRun& p, int32_t min_cells_in_basin, int64_t cells_to_assign,
                      AssignPreference preference, bool narrowing) {
  IslandSizes sizes = growth_begin(p);
  BasinGraph graph;
  graph.island_count = p.islands.island_count;
  if (p.shared_basins) {
    shared_step_replay(p.shared->basins_list);
    graph.columns = p.shared->basin_columns;
    graph.cell_basin = &p.shared->cell_basin;
  } else {
    graph.columns = assign_cell_basins(p, graph);
  }
  p.maps.discard(POSTPROCESS_BASINS_MAP, 0, p.maps.cell_count());
  graph.mark_own_basin = min_cells_in_basin > 0;
  const size_t columns = static_cast<size_t>(graph.columns);
  // One entry per island and basin: a product that wraps would size the graph short.
  size_t entries = 0;
  if (__builtin_mul_overflow(size_t(graph.island_count), columns, &entries)) {
    fatal(1, "error: not enough memory!\n");
  }
  try {
    graph.entries.assign(entries, BASIN_NONE);
  } catch (const std::bad_alloc&) {
    fatal(1, "error: not enough memory!\n");
  } catch (const std::length_error&) {
    fatal(1, "error: not enough memory!\n");
  }
  std::vector<int64_t> basin_solution_cells(columns, 0);

  const float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  const int32_t* labels = p.islands.label_map.data();
  const size_t n = p.maps.cell_count();
  for (size_t i = 0; i < n; ++i) {
    if (solution[i] != p.working_cell_value) continue;
    const int32_t basin = (*graph.cell_basin)[i];
    basin_entry(graph, labels[i], basin) = BASIN_ALLOWED;
    ++basin_solution_cells[static_cast<size_t>(basin)];
  }

  if (min_cells_in_basin > 0) {
    int32_t removed = 0;
    for (int32_t b = 0; b < graph.columns; ++b) {
      const int64_t cells = basin_solution_cells[static_cast<size_t>(b)];
      if (cells <= 0 || cells >= min_cells_in_basin) continue;
      for (int32_t island = 0; island < graph.island_count; ++island) {
        basin_entry(graph, island, b) = BASIN_NONE;
      }
      ++removed;
    }
    log_message("  - removed %d adj basins because low number of solution cells there\n", removed);
    if (removed >= graph.columns) {
      log_message("error: no enough basins left to hold the number of cells needed!\n");
      log_message("  %" PRId64 " cells still unassigned\n", cells_to_assign);
      log_message("  %d basins\n", graph.columns);
      fatal(-1, "  %d basins removed\n", removed);
    }
  }

  log_message("  calculating (to assign %" PRId64 " cells)...\n", cells_to_assign);
  int64_t remaining = cells_to_assign;
  int64_t sweeps = 0;
  GrowthFrontier frontier;
  frontier.narrowing = narrowing;
  Progress progress = progress_begin(1.0);
  while (remaining > 0) {
    growth_progress(progress, cells_to_assign, remaining, sweeps);
    ++sweeps;
    const SweepResult sweep = growth_sweep(p, sizes, preference, &graph, remaining, frontier);
    if (sweep.added == 0 && add_candidate_basins(graph, p.run.rng) == 0) {
      basins_exhausted(remaining);
    }
  }
  progress_end(progress);
  log_message("    expansion finished after %" PRId64 " steps\n", sweeps);
  return sweeps;
}

void expand_basins_branch(PostprocessRun& p, int64_t cells_to_assign) {
  log_message("BASINS FILLING MODE selected\n");
  log_message("init basins map\n");
  // A run that writes the basins map among its debug maps reads it itself.
  const bool debug = p.params.debug_maps && !p.debug_prefix.empty();
  if (p.shared == nullptr || debug || !take_shared_basins(p)) {
    grid_read(p.params.basins_map.c_str(), p.maps, POSTPROCESS_BASINS_MAP);
  }
  if (postprocess_debug_begin(p)) {
    grid_write_suffixed(p.debug_prefix.c_str(), POSTPROCESS_DEBUG_BASINS, p.maps,
                        POSTPROCESS_BASINS_MAP);
  }

  log_message("config parameters\n");
  log_message(BASINS_ECHO_CELLS, p.params.min_cells_in_basin);
  echo_assign_preference("method", p.params.preference);
  expand_basins(p, p.params.min_cells_in_basin, cells_to_assign, p.params.preference);
}
