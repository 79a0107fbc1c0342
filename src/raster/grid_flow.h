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
//
// The algorithm is Boykov and Kolmogorov's: a search tree grows from each terminal through
// residual arcs; where they meet, flow is pushed along the path, and the cells cut off by
// saturated arcs look for a new parent (adoption) or leave their tree. Capacities are integers,
// so the flow ends exact and the source tree at the end is the smallest source side.
//
// Limits, checked where a caller sets them (fatal, exit 1, when broken): 0 <= pair <= 2^28 and
// |terminal| + 4 * pair < 2^31, so that no residual leaves int32; the sum of |terminal| over the
// cells, and of every change made by grid_flow_set_terminal, must fit int64 (it does for any grid
// of fewer than 2^32 cells whose terminals are below 2^30 in size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// The search of one part of the grid: the whole grid, or one band of rows while the bands are
/// solved on threads of their own.
struct GridFlowSearch {
  /// Cells whose terminal was set are searched first, in index order from here, without a queue
  /// entry: at the first solve that is every cell.
  size_t sweep = 0;
  std::vector<uint32_t> active;   ///< FIFO of the other cells to search
  size_t active_head = 0;         ///< first entry of `active` still to be taken
  std::vector<uint32_t> orphans;  ///< cells whose parent arc saturated, to adopt
  /// Cells found rooted at a terminal during the current adoption, flagged checked until it ends.
  std::vector<uint32_t> checked;
  /// The whole grid's: the value of a minimum cut of the current capacities once a solve has
  /// ended, the flow pushed so far plus the constants by which changed terminals shifted every
  /// cut. A band's: what it added to that while on its own.
  int64_t flow = 0;
};

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
  /// Per cell: its tree (outside the graph, free, source or sink), the direction of its parent
  /// (a neighbour, the terminal, or none for an orphan), and the active, checked and pending flags.
  std::vector<uint8_t> node;
  GridFlowSearch search;  ///< of the whole grid
  /// Of the bands solved on threads, kept from one solve to the next with their queues' room.
  std::vector<GridFlowSearch> bands;
};

/// Sizes `flow` for an nrows x ncols grid, every cell outside the graph, `pair` the capacity of
/// each side between two cells of the graph. Fatal (exit 1) when memory is short, when the
/// bordered grid has 2^32 cells or more, or when pair is out of its limits.
void grid_flow_allocate(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair);

/// Puts the cell (row, col) into the graph with terminal capacity `terminal` (from the source when
/// positive, to the sink when negative). Only before the first grid_flow_solve after allocating.
void grid_flow_load(GridFlow& flow, int32_t row, int32_t col, int32_t terminal);

/// Sets the terminal capacity of the cell (row, col), already in the graph, to `terminal` after
/// a solve, keeping the flow and the search trees: the next solve goes on from them.
void grid_flow_set_terminal(GridFlow& flow, int32_t row, int32_t col, int32_t terminal);

/// Sizes `flow` as grid_flow_allocate does and puts into the graph every cell p of the bordered
/// grid ((row + 1) * (ncols + 2) + col + 1) whose byte graph[p] has a bit of `in_graph` set, with
/// terminal capacity -(costs[p] + price), as grid_flow_load would one cell after the other. The
/// terminals take the memory of `costs`, which is left empty: a caller that keeps a cost for every
/// cell lends it to the flow rather than holding both. Returns the sum of the terminal capacities
/// from the source. Fatal as grid_flow_allocate and grid_flow_load.
int64_t grid_flow_load_costs(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair,
                             std::vector<int32_t>& costs, int64_t price,
                             const std::vector<uint8_t>& graph, uint8_t in_graph);

/// Adds `change` to the terminal capacity of every cell in the graph after a solve, as
/// grid_flow_set_terminal would one cell after the other, on up to `threads` threads. Returns the
/// sum of the terminal capacities from the source. Fatal as grid_flow_set_terminal when a
/// capacity is out of its limits.
int64_t grid_flow_add_to_terminals(GridFlow& flow, int64_t change, int32_t threads);

/// The inverse of grid_flow_load_costs: empties `flow` and gives back its terminals' memory, each
/// cell in the graph holding -(its terminal capacity as last set) - price, every other cell 0.
std::vector<int32_t> grid_flow_unload_costs(GridFlow& flow, int64_t price);

/// Pushes flow until none can pass, on up to `threads` threads; returns the value of a minimum
/// cut of the current capacities (the sum of the capacities it cuts). With several threads, bands
/// of rows are solved at once, each with the sides to the others held at their flow, then the
/// whole grid goes on from their flows and search trees; the cut found is the same for any count.
int64_t grid_flow_solve(GridFlow& flow, int32_t threads = 1);

/// Whether the cell (row, col) is on the source side of the minimum cut found by the last solve:
/// the side of the cells the source still reaches in the residual graph, the smallest source side
/// of any minimum cut. Cells outside the graph are not.
bool grid_flow_in_source(const GridFlow& flow, int32_t row, int32_t col);

/// Bytes the structure holds now (the capacity of its arrays), for the memory budget.
size_t grid_flow_bytes(const GridFlow& flow);
