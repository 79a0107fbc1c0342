#include "postprocess/growth.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <iterator>

#include "base/log.h"
#include "base/random.h"

namespace {

double acceptance_value(const PostprocessRun& p, const IslandSizes& sizes,
                        AssignPreference preference, size_t cell, int32_t island) {
  if (preference == AssignPreference::random) return double(p.growth_chance(cell));
  const double share = double(sizes.size[static_cast<size_t>(island)]) / double(sizes.largest);
  return preference == AssignPreference::large ? share : 1.0 - share;
}

const struct {
  const char* word;
  AssignPreference preference;
} PREFERENCE_WORDS[] = {{"random", AssignPreference::random},
                        {"large", AssignPreference::large},
                        {"small", AssignPreference::small}};

}  // namespace

AssignPreference read_assign_preference(const ConfigDocument& config) {
  char text[CONFIG_TEXT_MAX];
  config_get_text(config, "postprocess.expand.assign-preference", text);
  for (const auto& w : PREFERENCE_WORDS) {
    if (std::strcmp(text, w.word) == 0) return w.preference;
  }
  log_message("error: property 'assign-preference' out of range!\n");
  fatal(1, "  accepted values are 'random', 'large', 'small'\n");
}

void echo_assign_preference(const char* label, AssignPreference preference) {
  for (const auto& w : PREFERENCE_WORDS) {
    if (w.preference == preference) log_message("  assign %s '%s'\n", label, w.word);
  }
}

void growth_progress(Progress& progress, int64_t cells_to_assign, int64_t remaining,
                     int64_t sweeps) {
  const int64_t grown = cells_to_assign - remaining;
  progress_update(progress, double(grown), double(cells_to_assign),
                  "POSTPROCESS %" PRId64 " of %" PRId64 " cells grown, sweep %" PRId64, grown,
                  cells_to_assign, sweeps + 1);
}

IslandSizes growth_begin(PostprocessRun& p) {
  postprocess_label(p);
  IslandSizes sizes;
  sizes.size = island_sizes(p.islands);
  if (!sizes.size.empty()) {
    sizes.largest = sizes.size[0];
    sizes.smallest = sizes.size[0];
    for (int64_t s : sizes.size) {
      if (s > sizes.largest) sizes.largest = s;
      if (s < sizes.smallest) sizes.smallest = s;
    }
  }
  log_message("stats\n");
  log_message("  %d islands\n", p.islands.island_count);
  log_message("  max island %" PRId64 " cells\n", sizes.largest);
  log_message("  min island %" PRId64 " cells\n", sizes.smallest);
  return sizes;
}

namespace {

// Whether the cell at `cell` has a free side neighbour on the grid.
bool borders_free(const GridGeometry& g, const float* solution, size_t cell) {
  const int32_t r = static_cast<int32_t>(cell / static_cast<size_t>(g.ncols));
  const int32_t c = static_cast<int32_t>(cell % static_cast<size_t>(g.ncols));
  for (int k = 0; k < 4; ++k) {
    const int32_t row = r + SIDE_ROW[k];
    const int32_t col = c + SIDE_COL[k];
    if (in_grid(g, row, col) && solution[cell_index(g, row, col)] == CELL_AVAILABLE) return true;
  }
  return false;
}

// The frontier after a sweep that grew the cells `grown`: the cells of the old frontier (the whole
// map after the first sweep) and the grown cells that still border a free cell, in row-major order.
void narrow_frontier(GrowthFrontier& frontier, const GridGeometry& g, const float* solution,
                     float value, std::vector<size_t>& grown) {
  const auto rim = [&](size_t cell) { return borders_free(g, solution, cell); };
  std::vector<size_t> kept;
  if (frontier.whole_map) {
    const size_t n = geometry_cell_count(g);
    for (size_t cell = 0; cell < n; ++cell) {
      if (solution[cell] == value && rim(cell)) kept.push_back(cell);
    }
    frontier.whole_map = false;
    frontier.cells.swap(kept);
    return;
  }
  for (size_t cell : frontier.cells) {
    if (rim(cell)) kept.push_back(cell);
  }
  std::sort(grown.begin(), grown.end());
  grown.erase(std::remove_if(grown.begin(), grown.end(), [&](size_t cell) { return !rim(cell); }),
              grown.end());
  frontier.cells.clear();
  std::merge(kept.begin(), kept.end(), grown.begin(), grown.end(),
             std::back_inserter(frontier.cells));
}

}  // namespace

// Cells are visited in row-major order and each looks at its neighbours up, left, right, down,
// one draw per free neighbour examined. A grown cell holds GROWN_MARK until the sweep ends, so it
// neither grows nor is taken again in the same sweep.
SweepResult growth_sweep(PostprocessRun& p, IslandSizes& sizes, AssignPreference preference,
                         BasinGraph* graph, int64_t& remaining, GrowthFrontier& frontier) {
  SweepResult result{0, false};
  const int32_t nrows = p.maps.geometry.nrows;
  const int32_t ncols = p.maps.geometry.ncols;
  const float value = p.working_cell_value;
  float* solution = p.maps.map(POSTPROCESS_SOLUTION_MAP);
  int32_t* labels = p.islands.label_map.data();
  std::vector<size_t> grown;
  const auto visit = [&](size_t cell, int32_t r, int32_t c) {
    const int32_t island = labels[cell];
    if (graph != nullptr && graph->mark_own_basin) {
      int32_t& own = basin_entry(*graph, island, (*graph->cell_basin)[cell]);
      if (own != BASIN_ALLOWED) own = BASIN_CANDIDATE;
    }
    const double chance = acceptance_value(p, sizes, preference, cell, island);
    for (int k = 0; k < 4 && remaining > 0; ++k) {
      const int32_t row = r + SIDE_ROW[k];
      const int32_t col = c + SIDE_COL[k];
      if (!in_grid(p.maps.geometry, row, col)) continue;
      const size_t next = cell_index(ncols, row, col);
      if (solution[next] != CELL_AVAILABLE) continue;
      if (graph != nullptr) {
        int32_t& entry = basin_entry(*graph, island, (*graph->cell_basin)[next]);
        if (entry != BASIN_ALLOWED) {
          entry = BASIN_CANDIDATE;
          continue;
        }
      }
      if (chance >= 0.0) result.could_grow = true;
      if (!(chance >= rand_fraction(p.run.rng))) continue;
      solution[next] = GROWN_MARK;
      labels[next] = island;
      int64_t& size = sizes.size[static_cast<size_t>(island)];
      ++size;
      if (size > sizes.largest) sizes.largest = size;
      --remaining;
      ++result.added;
      grown.push_back(next);
    }
  };
  if (frontier.whole_map) {
    for (int32_t r = 0; r < nrows && remaining > 0; ++r) {
      for (int32_t c = 0; c < ncols && remaining > 0; ++c) {
        const size_t cell = cell_index(ncols, r, c);
        if (solution[cell] == value) visit(cell, r, c);
      }
    }
  } else {
    for (size_t cell : frontier.cells) {
      if (remaining <= 0) break;
      visit(cell, int32_t(cell / size_t(ncols)), int32_t(cell % size_t(ncols)));
    }
  }
  // GROWN_MARK cannot come from a grid file (the reader turns values below -2 into no data), so
  // the cells grown in this sweep are exactly the ones recorded.
  for (size_t cell : grown) solution[cell] = value;
  if (frontier.narrowing && remaining > 0) {
    narrow_frontier(frontier, p.maps.geometry, solution, value, grown);
  }
  return result;
}
