#include "raster/islands.h"

#include <cstdlib>
#include <cstring>

#include "driver/log.h"
#include "raster/grid.h"
#include "raster/map_ops.h"

IslandState island_state;

bool islands_allocate(size_t queue_entries) {
  islands_release();
  // Never ask for zero bytes: a null result must mean that memory is short.
  const size_t cells = map_cell_count() > 0 ? map_cell_count() : 1;
  const size_t entries = queue_entries > 0 ? queue_entries : 1;
  size_t label_bytes = 0;
  size_t queue_bytes = 0;
  if (__builtin_mul_overflow(cells, sizeof(int32_t), &label_bytes) ||
      __builtin_mul_overflow(entries, sizeof(int32_t), &queue_bytes)) {
    return false;
  }
  island_state.label_map = static_cast<int32_t*>(std::malloc(label_bytes));
  island_state.queue_col = static_cast<int32_t*>(std::malloc(queue_bytes));
  island_state.queue_row = static_cast<int32_t*>(std::malloc(queue_bytes));
  if (island_state.label_map == nullptr || island_state.queue_col == nullptr ||
      island_state.queue_row == nullptr) {
    islands_release();
    return false;
  }
  island_state.queue_capacity = queue_entries;
  return true;
}

void islands_release() {
  std::free(island_state.label_map);
  std::free(island_state.queue_col);
  std::free(island_state.queue_row);
  island_state.label_map = nullptr;
  island_state.queue_col = nullptr;
  island_state.queue_row = nullptr;
  island_state.queue_capacity = 0;
}

namespace {

constexpr int32_t LABEL_NONE = -1;    // not a solution cell, or not reached yet
constexpr int32_t LABEL_QUEUED = -2;  // a seed waiting in the queue of the island being filled

// Fills one island at a time, run by run: a seed taken from the queue grows into the whole run of
// solution cells of its row around it, which takes the island's number, and each run of unlabelled
// solution cells touching it from the row above or below gets one seed. Rows are walked in memory
// order, so a large island costs little more than a scan. Each cell is labelled once and looked at
// from its own row and from the runs above and below it, and each queued seed is a distinct cell
// (marked -2), so the queue never holds more entries than the island has cells.
struct IslandFill {
  const float* cells;
  int32_t* label;
  int32_t nrows;
  int32_t ncols;
  float solution;
  int32_t tail;  ///< queue entries of the island being filled
};

size_t cell_index(const IslandFill& f, int32_t row, int32_t col) {
  return static_cast<size_t>(row) * static_cast<size_t>(f.ncols) + static_cast<size_t>(col);
}

// A solution cell that no run has taken yet (unreached or queued).
bool is_open(const IslandFill& f, size_t i) {
  return f.cells[i] == f.solution && f.label[i] < 0;
}

void queue_seed(IslandFill& f, int32_t row, int32_t col) {
  IslandState& s = island_state;
  // The stage sizes the queue for its largest island; writing past it would corrupt memory.
  if (static_cast<size_t>(f.tail) >= s.queue_capacity) {
    fatal(-1, "error: island queue too small (%zu entries)!\n", s.queue_capacity);
  }
  s.queue_col[f.tail] = col;
  s.queue_row[f.tail] = row;
  ++f.tail;
  f.label[cell_index(f, row, col)] = LABEL_QUEUED;
}

// Queues one seed for each run of unlabelled solution cells of `row` between columns lo and hi.
void queue_runs(IslandFill& f, int32_t row, int32_t lo, int32_t hi) {
  bool in_run = false;
  for (int32_t col = lo; col <= hi; ++col) {
    const size_t i = cell_index(f, row, col);
    if (!is_open(f, i)) {
      in_run = false;
      continue;
    }
    if (!in_run && f.label[i] == LABEL_NONE) queue_seed(f, row, col);
    in_run = true;
  }
}

void fill_island(IslandFill& f, int32_t row0, int32_t col0, int32_t island) {
  const IslandState& s = island_state;
  f.tail = 0;
  queue_seed(f, row0, col0);
  for (int32_t head = 0; head < f.tail; ++head) {
    const int32_t row = s.queue_row[head];
    const int32_t col = s.queue_col[head];
    if (f.label[cell_index(f, row, col)] >= 0) continue;  // taken by a run since it was queued
    int32_t lo = col;
    while (lo > 0 && is_open(f, cell_index(f, row, lo - 1))) --lo;
    int32_t hi = col;
    while (hi < f.ncols - 1 && is_open(f, cell_index(f, row, hi + 1))) ++hi;
    for (int32_t c = lo; c <= hi; ++c) f.label[cell_index(f, row, c)] = island;
    if (row > 0) queue_runs(f, row - 1, lo, hi);
    if (row < f.nrows - 1) queue_runs(f, row + 1, lo, hi);
  }
}

}  // namespace

double islands_label() {
  IslandState& s = island_state;
  const size_t n = map_cell_count();
  if (n > 0 && (s.label_map == nullptr || s.queue_col == nullptr || s.queue_row == nullptr)) {
    fatal(-1, "error: island arrays not allocated!\n");
  }
  if (n > 0) std::memset(s.label_map, 0xFF, n * sizeof(int32_t));
  IslandFill fill{map_cells(0),
                  s.label_map,
                  n == 0 ? 0 : grid_geometry.nrows,
                  n == 0 ? 0 : grid_geometry.ncols,
                  working_cell_value,
                  0};

  // Islands are numbered in the order the row-major scan meets them, at their top-most, then
  // left-most cell.
  int32_t islands = 0;
  int32_t solution_cells = 0;
  for (int32_t r = 0; r < fill.nrows; ++r) {
    for (int32_t c = 0; c < fill.ncols; ++c) {
      const size_t i = cell_index(fill, r, c);
      if (fill.cells[i] != fill.solution) continue;
      ++solution_cells;
      if (fill.label[i] != LABEL_NONE) continue;
      fill_island(fill, r, c, islands);
      ++islands;
    }
  }

  s.island_count = islands;
  s.min_island_count = 1;
  if (s.f3_range == -1.0) s.f3_range = static_cast<double>(solution_cells) - 1.0;
  // A range of 0 comes from a first solution of one cell, which is always one island: there is
  // no island beyond the first to count, and the term is 0 rather than 0 / 0.
  if (s.f3_range == 0.0) return 0.0;
  return (static_cast<double>(s.island_count) - 1.0) / s.f3_range;
}
