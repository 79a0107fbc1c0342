#include "process/moves.h"

#include "base/log.h"
#include "base/random.h"
#include "process/process_run.h"
#include "raster/grid.h"

namespace {

// Positions beyond the grid count as not allocated.
inline bool allocated(const ProcessRun& p, const float* solution, int32_t row, int32_t col) {
  const GridGeometry& g = p.maps.geometry;
  return in_grid(g, row, col) && solution[cell_index(g, row, col)] == p.working_cell_value;
}

inline int32_t allocated_neighbours(const ProcessRun& p, const float* solution, int32_t row,
                                    int32_t col) {
  return allocated(p, solution, row - 1, col) + allocated(p, solution, row + 1, col) +
         allocated(p, solution, row, col - 1) + allocated(p, solution, row, col + 1);
}

// What a map adds to its running sum when the move goes through: the value at the cell put in
// minus the value at the cell taken out. Every cell counts, as it does in the full evaluation, so
// that the running sums stay those of the map.
inline double contribution(const ProcessRun& p, int32_t k, size_t in, size_t out) {
  const float* map = p.inputs->map(k);
  return static_cast<double>(map[in]) - static_cast<double>(map[out]);
}

}  // namespace

void moves_prepare(ProcessRun& p) {
  const float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const float* selection = p.inputs->map(PROCESS_SELECTION_MAP);
  const size_t count = p.maps.cell_count();
  size_t n = 0;
  int64_t receivers = 0;
  for (size_t i = 0; i < count; ++i) {
    if (solution[i] == p.working_cell_value) ++n;
    if (solution[i] == CELL_AVAILABLE && selection[i] > 0.0f) ++receivers;
  }
  if (n == 0) fatal(1, "error: no allocated cell to move!\n");
  if (receivers == 0) fatal(1, "error: no free cell can receive a move!\n");
  p.allocated.receivers = receivers;
  // The list and its draws are 32-bit; no grid that fits in memory comes near that many cells.
  if (count > static_cast<size_t>(INT32_MAX)) fatal(1, "error: not enough memory!\n");
  std::vector<uint32_t>& cells = p.allocated.cells;
  cells.clear();
  cells.reserve(n);
  for (size_t i = 0; i < count; ++i) {
    if (solution[i] == p.working_cell_value) cells.push_back(static_cast<uint32_t>(i));
  }
}

int32_t removal_island_delta(const ProcessRun& p, int32_t col, int32_t row) {
  const float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const bool north = allocated(p, solution, row - 1, col);
  const bool west = allocated(p, solution, row, col - 1);
  const bool south = allocated(p, solution, row + 1, col);
  const bool east = allocated(p, solution, row, col + 1);
  const int32_t sides = north + west + south + east;
  int32_t corners = 0;
  if (north && west && allocated(p, solution, row - 1, col - 1)) ++corners;
  if (west && south && allocated(p, solution, row + 1, col - 1)) ++corners;
  if (south && east && allocated(p, solution, row + 1, col + 1)) ++corners;
  if (east && north && allocated(p, solution, row - 1, col + 1)) ++corners;
  return sides - corners - 1;
}

double evaluate_move(ProcessRun& p) {
  Move& m = p.move;
  EnergyState& e = p.energy;
  const GridGeometry& g = p.maps.geometry;
  const float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const size_t out = cell_index(g, m.out_row, m.out_col);
  const size_t in = cell_index(g, m.in_row, m.in_col);

  m.previous_f1_sum = e.f1_sum;
  e.f1_sum += contribution(p, PROCESS_POTENTIAL_MAP, in, out);

  // Both cells are marked, so neither counts as a neighbour of the other: removing the cell taken
  // out changes the perimeter by 2 * Ko - 4 and adding the cell put in by 4 - 2 * Ki.
  m.previous_perimeter = e.perimeter;
  const int32_t ko = allocated_neighbours(p, solution, m.out_row, m.out_col);
  const int32_t ki = allocated_neighbours(p, solution, m.in_row, m.in_col);
  e.perimeter += 2 * (ko - ki);

  m.previous_island_count = e.island_count;
  e.island_count +=
      removal_island_delta(p, m.out_col, m.out_row) - removal_island_delta(p, m.in_col, m.in_row);

  m.previous_f4_sum = e.f4_sum;
  e.f4_sum += contribution(p, PROCESS_NSERVICES_MAP, in, out);
  m.previous_f5_sum = e.f5_sum;
  e.f5_sum += contribution(p, PROCESS_DISTANCES_MAP, in, out);

  double terms[5];
  energy_terms(e, terms);
  return energy_combine(e, terms);
}

double propose_move(ProcessRun& p) {
  Move& m = p.move;
  Rng& rng = p.run.rng;
  const GridGeometry& g = p.maps.geometry;
  float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const float* selection = p.inputs->map(PROCESS_SELECTION_MAP);
  const size_t stride = static_cast<size_t>(g.ncols);

  AllocatedCells& listed = p.allocated;
  if (listed.receivers <= 0) fatal(1, "error: no free cell can receive a move!\n");
  listed.drawn = rand_index(rng, static_cast<int32_t>(listed.cells.size()));
  const size_t out = listed.cells[static_cast<size_t>(listed.drawn)];
  m.out_row = static_cast<int32_t>(out / stride);
  m.out_col = static_cast<int32_t>(out % stride);

  int32_t row;
  int32_t col;
  for (;;) {
    row = rand_index(rng, g.nrows);
    col = rand_index(rng, g.ncols);
    const size_t i = cell_index(g, row, col);
    if (solution[i] != CELL_AVAILABLE) continue;
    if (static_cast<double>(selection[i]) >= rand_fraction(rng)) break;
  }
  m.in_row = row;
  m.in_col = col;

  solution[out] = MOVE_MARK;
  solution[cell_index(g, row, col)] = MOVE_MARK;
  const double candidate = evaluate_move(p);
  if (candidate < 0.0) {
    log_message("error: negative energy %f!\n", candidate);
    // Each run of a repeat dumps its own map.
    const std::string dump = "error" + p.run.file_tag + ".asc";
    grid_write(dump.c_str(), p.maps, PROCESS_SOLUTION_MAP);
    fatal_exit(1);
  }
  return candidate;
}

void commit_move(ProcessRun& p) {
  const Move& m = p.move;
  const GridGeometry& g = p.maps.geometry;
  float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const float* selection = p.inputs->map(PROCESS_SELECTION_MAP);
  const size_t out = cell_index(g, m.out_row, m.out_col);
  const size_t in = cell_index(g, m.in_row, m.in_col);
  solution[out] = CELL_AVAILABLE;
  solution[in] = p.working_cell_value;
  p.allocated.cells[static_cast<size_t>(p.allocated.drawn)] = static_cast<uint32_t>(in);
  p.allocated.receivers += (selection[out] > 0.0f) - (selection[in] > 0.0f);
}

void undo_move(ProcessRun& p) {
  const Move& m = p.move;
  const GridGeometry& g = p.maps.geometry;
  float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  solution[cell_index(g, m.out_row, m.out_col)] = p.working_cell_value;
  solution[cell_index(g, m.in_row, m.in_col)] = CELL_AVAILABLE;
  EnergyState& e = p.energy;
  e.f1_sum = m.previous_f1_sum;
  e.perimeter = m.previous_perimeter;
  e.island_count = m.previous_island_count;
  e.f4_sum = m.previous_f4_sum;
  e.f5_sum = m.previous_f5_sum;
}
