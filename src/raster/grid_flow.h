// Maximum flow / minimum s-t cut on the 4-neighbour grid graph, specialised for the energies of
// binary labellings with a uniform boundary cost: every cell of the graph has one terminal
// capacity (from the source when positive, to the sink when negative) and every side shared by
// two cells of the graph has the same capacity both ways. Cells outside the graph take no part.
// Nothing here knows what the cells mean; the min-cut method of PROCESS builds the capacities.
//
// The graph is stored on the bordered grid, without arc records: a side's flow is one signed
// value (its two residuals are pair - flow and pair + flow), so a cell costs a few bytes. After a
// solve, terminal capacities may change and the next solve goes on from the flow and search trees
// already found, as long as the graph's cells and the pair capacity stay.
#pragma once

#include <cstdint>
#include <vector>

/// The flow network of one grid and its search state; fill with grid_flow_allocate.
struct GridFlow {
  int32_t nrows = 0;
  int32_t ncols = 0;
  size_t stride = 0;  ///< ncols + 2: cells are stored on the bordered grid
  int32_t pair = 0;   ///< capacity of a side between two cells of the graph, each way
  /// Flow from the cell into its right (index 0) and lower (index 1) neighbour, 2 per cell.
  std::vector<int32_t> side_flow;
  /// Residual terminal capacity: from the source when positive, to the sink when negative.
  std::vector<int32_t> terminal;
  /// Per cell: in the graph, search tree, parent direction, active and orphan flags.
  std::vector<uint8_t> node;
  std::vector<uint32_t> active;   ///< queue of active cells (bordered indices)
  std::vector<uint32_t> orphans;  ///< cells whose parent arc saturated
  int64_t flow = 0;  ///< flow pushed so far, with the constant added by lowering a terminal
};

/// Sizes `flow` for an nrows x ncols grid, every cell outside the graph, `pair` the capacity of
/// each side between two cells of the graph. Fatal (exit 1) when memory is short or when the
/// bordered grid has 2^32 cells or more.
void grid_flow_allocate(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair);

/// Puts the cell (row, col) into the graph with terminal capacity `terminal` (from the source when
/// positive, to the sink when negative). Only before the first grid_flow_solve after allocating.
void grid_flow_load(GridFlow& flow, int32_t row, int32_t col, int32_t terminal);

/// Sets the terminal capacity of the cell (row, col), already in the graph, to `terminal` after
/// a solve, keeping the flow and the search trees: the next solve goes on from them.
void grid_flow_set_terminal(GridFlow& flow, int32_t row, int32_t col, int32_t terminal);

/// Pushes flow until none can pass; returns the value of a minimum cut of the current
/// capacities (the sum of the capacities it cuts).
int64_t grid_flow_solve(GridFlow& flow);

/// Whether the cell (row, col) is on the source side of the minimum cut found by the last solve:
/// the side of the cells the source still reaches in the residual graph, the smallest source side
/// of any minimum cut. Cells outside the graph are not.
bool grid_flow_in_source(const GridFlow& flow, int32_t row, int32_t col);
