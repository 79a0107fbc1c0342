// Moves of the annealing: one allocated cell of the solution map is taken out and one free cell is
// put in, so the allocated area keeps its size. The energy after a move comes from the running sums
// of the energy state and the two cells' 3 x 3 neighbourhoods, never from a full evaluation; the
// annealing then commits or undoes the move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "process/process_state.h"

struct ProcessRun;

/// Sets the cell states from the solution map and the run's cell records and indexes its
/// allocated cells for the draws; call after every (re)load of it.
/// Stops with exit code 1 when no move can ever be drawn: no allocated cell, or no free cell
/// whose selection value is above 0, either of which would make propose_move draw for ever.
void moves_prepare(ProcessRun& p);

/// moves_prepare without its checks: the states, the index of the allocated cells and the count
/// of free cells that can receive (the moves of several uses draw only where some can).
void moves_index(ProcessRun& p);

/// Draws the two cells, marks them in the solution map and returns the energy after the move;
/// stops on a negative energy, and with exit code 1 when earlier moves left no free cell whose
/// selection value is above 0.
double propose_move(ProcessRun& p);

/// The energy after the marked move, from the running sums (which it updates).
double evaluate_move(ProcessRun& p);

/// Change of the island count when the (marked) cell at bordered index `cell` is removed:
/// A - Q - 1.
int32_t removal_island_delta(const ProcessRun& p, size_t cell);

/// Writes the cell states back into the solution map; call before the map is read after moves.
void moves_settle(ProcessRun& p);

/// Row and column of the bordered index `cell`.
void move_cell_position(const ProcessRun& p, size_t cell, int32_t* row, int32_t* col);

/// Keeps the move: the cell taken out becomes free, the cell put in allocated.
void commit_move(ProcessRun& p);

/// Restores the solution map and the running sums as they were before the move.
void undo_move(ProcessRun& p);
