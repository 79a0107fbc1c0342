// Moves of the annealing: one allocated cell of the solution map is taken out and one free cell is
// put in, so the allocated area keeps its size. The energy after a move comes from the running sums
// of the energy state and the two cells' 3 x 3 neighbourhoods, never from a full evaluation; the
// annealing then commits or undoes the move.
#pragma once

#include <cstdint>

/// The move under evaluation and the running values it replaced.
struct Move {
  int32_t out_row = 0;  ///< the cell taken out
  int32_t out_col = 0;
  int32_t in_row = 0;  ///< the cell put in
  int32_t in_col = 0;
  double previous_f1_sum = 0.0;
  int32_t previous_perimeter = 0;
  int32_t previous_island_count = 0;
  double previous_f4_sum = 0.0;
  double previous_f5_sum = 0.0;
};

/// The process-wide move.
extern Move current_move;

/// Indexes the allocated cells of map 0 for the draws; call after every (re)load of map 0. Stops
/// with exit code 1 when no move can ever be drawn: no allocated cell, or no free cell whose
/// selection value (map 2) is above 0, either of which would make propose_move draw for ever.
void moves_prepare();

/// Frees the index of allocated cells.
void moves_release();

/// Draws the two cells, marks them in map 0 and sets candidate_energy; stops on a negative energy,
/// and with exit code 1 when earlier moves left no free cell whose selection value is above 0.
void propose_move();

/// The energy after the marked move, from the running sums (which it updates).
double evaluate_move();

/// Change of the island count when the (marked) cell at (col, row) is removed: A - Q - 1.
int32_t removal_island_delta(int32_t col, int32_t row);

/// Keeps the move: the cell taken out becomes free, the cell put in allocated.
void commit_move();

/// Restores map 0 and the running sums as they were before the move.
void undo_move();
