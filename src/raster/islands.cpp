#include "raster/islands.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "base/log.h"

bool islands_allocate(IslandState& islands, size_t cells) {
  try {
    // Never ask for zero entries: an empty array must mean that none was allocated.
    islands.label_map.assign(cells > 0 ? cells : 1, -1);
  } catch (const std::bad_alloc&) {
    islands = IslandState{};
    return false;
  } catch (const std::length_error&) {
    islands = IslandState{};
    return false;
  }
  return true;
}

namespace {

constexpr int32_t LABEL_NONE = -1;    // not a solution cell, or not reached yet
constexpr int32_t LABEL_QUEUED = -2;  // a seed waiting in the queue of the island being filled

// Fills one island at a time, run by run: a seed taken from the queue grows into the whole run of
// solution cells of its row around it, which takes the island's number, and each run of unlabelled
// solution cells touching it from the row above or below gets one seed. Rows are walked in memory
// order, so a large island costs little more than a scan. Each cell is labelled once and looked at
// from its own row and from the runs above and below it, and each queued seed is a distinct cell
// (marked -2), so the queue never holds more entries than the island has cells; it grows to the
// largest island's and keeps that room for the next labelling.
struct IslandFill {
  IslandState& state;
  const float* cells;
  int32_t* label;
  int32_t nrows;
  int32_t ncols;
  float solution;
};

// A solution cell that no run has taken yet (unreached or queued).
bool is_open(const IslandFill& f, size_t i) {
  return f.cells[i] == f.solution && f.label[i] < 0;
}

void queue_seed(IslandFill& f, int32_t row, int32_t col) {
  IslandState& s = f.state;
  s.queue_col.push_back(col);
  s.queue_row.push_back(row);
  f.label[cell_index(f.ncols, row, col)] = LABEL_QUEUED;
}

// Queues one seed for each run of unlabelled solution cells of `row` between columns lo and hi.
void queue_runs(IslandFill& f, int32_t row, int32_t lo, int32_t hi) {
  bool in_run = false;
  for (int32_t col = lo; col <= hi; ++col) {
    const size_t i = cell_index(f.ncols, row, col);
    if (!is_open(f, i)) {
      in_run = false;
      continue;
    }
    if (!in_run && f.label[i] == LABEL_NONE) queue_seed(f, row, col);
    in_run = true;
  }
}

void fill_island(IslandFill& f, int32_t row0, int32_t col0, int32_t island) {
  const IslandState& s = f.state;
  f.state.queue_col.clear();
  f.state.queue_row.clear();
  queue_seed(f, row0, col0);
  for (size_t head = 0; head < s.queue_col.size(); ++head) {
    const int32_t row = s.queue_row[head];
    const int32_t col = s.queue_col[head];
    if (f.label[cell_index(f.ncols, row, col)] >= 0)
      continue;  // taken by a run since it was queued
    int32_t lo = col;
    while (lo > 0 && is_open(f, cell_index(f.ncols, row, lo - 1))) --lo;
    int32_t hi = col;
    while (hi < f.ncols - 1 && is_open(f, cell_index(f.ncols, row, hi + 1))) ++hi;
    for (int32_t c = lo; c <= hi; ++c) f.label[cell_index(f.ncols, row, c)] = island;
    if (row > 0) queue_runs(f, row - 1, lo, hi);
    if (row < f.nrows - 1) queue_runs(f, row + 1, lo, hi);
  }
}

}  // namespace

int32_t islands_label(IslandState& s, const MapBlock& maps, int32_t k, float value) {
  const size_t n = maps.cell_count();
  if (n > 0 && s.label_map.size() < n) {
    fatal(-1, "error: island arrays not allocated!\n");
  }
  std::fill(s.label_map.begin(), s.label_map.end(), -1);
  IslandFill fill{s,
                  maps.map(k),
                  s.label_map.data(),
                  n == 0 ? 0 : maps.geometry.nrows,
                  n == 0 ? 0 : maps.geometry.ncols,
                  value};

  // Islands are numbered in the order the row-major scan meets them, at their top-most, then
  // left-most cell.
  int32_t islands = 0;
  int64_t solution_cells = 0;
  for (int32_t r = 0; r < fill.nrows; ++r) {
    for (int32_t c = 0; c < fill.ncols; ++c) {
      const size_t i = cell_index(fill.ncols, r, c);
      if (fill.cells[i] != fill.solution) continue;
      ++solution_cells;
      if (fill.label[i] != LABEL_NONE) continue;
      if (islands == INT32_MAX) fatal(1, "error: more than %d islands!\n", INT32_MAX);
      fill_island(fill, r, c, islands);
      ++islands;
    }
  }
  s.island_count = islands;
  s.solution_cells = solution_cells;
  return islands;
}

int64_t island_root(std::vector<int64_t>& parent, int64_t r) {
  while (parent[static_cast<size_t>(r)] != r) {
    int64_t& up = parent[static_cast<size_t>(r)];
    up = parent[static_cast<size_t>(up)];
    r = up;
  }
  return r;
}

IslandCount islands_count(IslandRuns& runs, const float* cells, int32_t nrows, int32_t ncols,
                          float value) {
  IslandCount count;
  int64_t joins = 0;
  island_runs(
      runs, nrows, ncols,
      [&](int32_t r, int32_t c) { return cells[cell_index(ncols, r, c)] == value; },
      [&](int64_t, int32_t, int32_t first, int32_t last) {
        count.solution_cells += last - first + 1;
      },
      [&](int64_t, int64_t) { ++joins; });
  count.islands = static_cast<int64_t>(runs.parent.size()) - joins;
  return count;
}
