#include "process/moves.h"

#include <cstdlib>

#include "driver/log.h"
#include "driver/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "raster/grid.h"
#include "raster/islands.h"

Move current_move;

namespace {

// The allocated cells of map 0 (row-major indices), in no particular order. Drawing the cell taken
// out from this list is the same uniform choice as drawing grid positions until one is allocated,
// but costs one draw instead of about nrows * ncols / n of them. A committed move puts the cell
// put in where the cell taken out was listed.
// `receivers` counts the free cells whose selection value is above 0, kept up to date by every
// committed move: moves can use them all up (the cells freed may have a selection of 0, negative
// or NaN), and then no draw of the cell put in could ever end.
struct AllocatedCells {
  uint32_t* cells = nullptr;
  int32_t count = 0;
  int32_t drawn = 0;  // the slot of the cell taken out by the current move
  int64_t receivers = 0;
};
AllocatedCells allocated_cells;

inline size_t cell_index(int32_t row, int32_t col) {
  return static_cast<size_t>(row) * static_cast<size_t>(grid_geometry.ncols) +
         static_cast<size_t>(col);
}

// Positions beyond the grid count as not allocated.
inline bool allocated(const float* solution, int32_t row, int32_t col) {
  return row >= 0 && row < grid_geometry.nrows && col >= 0 && col < grid_geometry.ncols &&
         solution[cell_index(row, col)] == working_cell_value;
}

inline int32_t allocated_neighbours(const float* solution, int32_t row, int32_t col) {
  return allocated(solution, row - 1, col) + allocated(solution, row + 1, col) +
         allocated(solution, row, col - 1) + allocated(solution, row, col + 1);
}

// What a map adds to its running sum when the move goes through: the value at the cell put in
// minus the value at the cell taken out. Every cell counts, as it does in the full evaluation, so
// that the running sums stay those of the map.
inline double contribution(int32_t k, size_t in, size_t out) {
  const float* map = map_cells(k);
  return static_cast<double>(map[in]) - static_cast<double>(map[out]);
}

}  // namespace

void moves_prepare() {
  const float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const float* selection = map_cells(PROCESS_SELECTION_MAP);
  const size_t count = grid_cell_count();
  size_t n = 0;
  int64_t receivers = 0;
  for (size_t i = 0; i < count; ++i) {
    if (solution[i] == working_cell_value) ++n;
    if (solution[i] == CELL_AVAILABLE && selection[i] > 0.0f) ++receivers;
  }
  if (n == 0) fatal(1, "error: no allocated cell to move!\n");
  if (receivers == 0) fatal(1, "error: no free cell can receive a move!\n");
  moves_release();
  allocated_cells.receivers = receivers;
  // The list and its draws are 32-bit; no grid that fits in memory comes near that many cells.
  if (count > static_cast<size_t>(INT32_MAX)) fatal(1, "error: not enough memory!\n");
  allocated_cells.cells = static_cast<uint32_t*>(std::malloc(n * sizeof(uint32_t)));
  if (allocated_cells.cells == nullptr) fatal(1, "error: not enough memory!\n");
  size_t slot = 0;
  for (size_t i = 0; i < count; ++i) {
    if (solution[i] == working_cell_value) allocated_cells.cells[slot++] = static_cast<uint32_t>(i);
  }
  allocated_cells.count = static_cast<int32_t>(n);
}

void moves_release() {
  std::free(allocated_cells.cells);
  allocated_cells = AllocatedCells{};
}

int32_t removal_island_delta(int32_t col, int32_t row) {
  const float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const bool north = allocated(solution, row - 1, col);
  const bool west = allocated(solution, row, col - 1);
  const bool south = allocated(solution, row + 1, col);
  const bool east = allocated(solution, row, col + 1);
  const int32_t sides = north + west + south + east;
  int32_t corners = 0;
  if (north && west && allocated(solution, row - 1, col - 1)) ++corners;
  if (west && south && allocated(solution, row + 1, col - 1)) ++corners;
  if (south && east && allocated(solution, row + 1, col + 1)) ++corners;
  if (east && north && allocated(solution, row - 1, col + 1)) ++corners;
  return sides - corners - 1;
}

double evaluate_move() {
  Move& m = current_move;
  EnergyState& e = energy_state;
  const float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const size_t out = cell_index(m.out_row, m.out_col);
  const size_t in = cell_index(m.in_row, m.in_col);

  m.previous_f1_sum = e.f1_sum;
  e.f1_sum += contribution(PROCESS_POTENTIAL_MAP, in, out);

  // Both cells are marked, so neither counts as a neighbour of the other: removing the cell taken
  // out changes the perimeter by 2 * Ko - 4 and adding the cell put in by 4 - 2 * Ki.
  m.previous_perimeter = e.perimeter;
  const int32_t ko = allocated_neighbours(solution, m.out_row, m.out_col);
  const int32_t ki = allocated_neighbours(solution, m.in_row, m.in_col);
  e.perimeter += 2 * (ko - ki);

  m.previous_island_count = island_state.island_count;
  island_state.island_count +=
      removal_island_delta(m.out_col, m.out_row) - removal_island_delta(m.in_col, m.in_row);

  m.previous_f4_sum = e.f4_sum;
  e.f4_sum += contribution(PROCESS_NSERVICES_MAP, in, out);
  m.previous_f5_sum = e.f5_sum;
  e.f5_sum += contribution(PROCESS_DISTANCES_MAP, in, out);

  double terms[5];
  energy_terms(terms);
  return energy_combine(terms);
}

void propose_move() {
  Move& m = current_move;
  float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const float* selection = map_cells(PROCESS_SELECTION_MAP);
  const int32_t nrows = grid_geometry.nrows;
  const int32_t ncols = grid_geometry.ncols;
  const size_t stride = static_cast<size_t>(ncols);

  if (allocated_cells.receivers <= 0) fatal(1, "error: no free cell can receive a move!\n");
  allocated_cells.drawn = rand_index(allocated_cells.count);
  const size_t out = allocated_cells.cells[allocated_cells.drawn];
  m.out_row = static_cast<int32_t>(out / stride);
  m.out_col = static_cast<int32_t>(out % stride);

  int32_t row;
  int32_t col;
  for (;;) {
    row = rand_index(nrows);
    col = rand_index(ncols);
    const size_t i = cell_index(row, col);
    if (solution[i] != CELL_AVAILABLE) continue;
    if (static_cast<double>(selection[i]) >= rand_fraction()) break;
  }
  m.in_row = row;
  m.in_col = col;

  solution[out] = MOVE_MARK;
  solution[cell_index(row, col)] = MOVE_MARK;
  annealing_state.candidate_energy = evaluate_move();
  if (annealing_state.candidate_energy < 0.0) {
    log_message("error: negative energy %f!\n", annealing_state.candidate_energy);
    grid_write("error.asc", 0);
    fatal_exit(1);
  }
}

void commit_move() {
  const Move& m = current_move;
  float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const float* selection = map_cells(PROCESS_SELECTION_MAP);
  const size_t out = cell_index(m.out_row, m.out_col);
  const size_t in = cell_index(m.in_row, m.in_col);
  solution[out] = CELL_AVAILABLE;
  solution[in] = working_cell_value;
  allocated_cells.cells[allocated_cells.drawn] = static_cast<uint32_t>(in);
  allocated_cells.receivers += (selection[out] > 0.0f) - (selection[in] > 0.0f);
}

void undo_move() {
  const Move& m = current_move;
  float* solution = map_cells(PROCESS_SOLUTION_MAP);
  solution[cell_index(m.out_row, m.out_col)] = working_cell_value;
  solution[cell_index(m.in_row, m.in_col)] = CELL_AVAILABLE;
  energy_state.f1_sum = m.previous_f1_sum;
  energy_state.perimeter = m.previous_perimeter;
  island_state.island_count = m.previous_island_count;
  energy_state.f4_sum = m.previous_f4_sum;
  energy_state.f5_sum = m.previous_f5_sum;
}
