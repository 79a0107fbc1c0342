// The memory layout the moves work on. A move reads the 3 x 3 neighbourhoods of two cells and four
// read-only values at each, at cells spread over the whole grid, so on a large grid its cost is the
// number of cache lines it fetches. Two arrays keep that number low:
// - CellRecords, read-only and independent of any run: the potential, nservices and distances
//   values of a cell side by side in one 12-byte record, at most two cache lines per cell (the
//   selection value follows from the potential, so it is not stored);
// - CellStates, a run's own: one byte per cell saying allocated, free or neither, with a border of
//   never-allocated cells round the grid, so that neighbour tests need no bounds checks.
// Both use the bordered index (row + 1) * (ncols + 2) + (col + 1). The solution map of floats stays
// the stage's map of record: cell_states_settle writes the states back into it before anything
// else reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/big_block.h"
#include "raster/geometry.h"
#include "raster/maps.h"

/// A grid with a border of one cell on every side.
struct BorderedGrid {
  int32_t nrows = 0;
  int32_t ncols = 0;
  size_t stride = 0;  ///< ncols + 2
  size_t cells = 0;   ///< (nrows + 2) * (ncols + 2)
};

/// The bordered grid round `geometry`; fatal (exit 1) when its size cannot be represented.
BorderedGrid bordered_grid(const GridGeometry& geometry);

/// Bordered index of the grid cell (row, col).
inline size_t bordered_index(const BorderedGrid& g, int32_t row, int32_t col) {
  return (static_cast<size_t>(row) + 1) * g.stride + static_cast<size_t>(col) + 1;
}

/// The read-only values of one cell that a move reads.
struct CellRecord {
  float potential;
  float nservices;
  float distances;
};
static_assert(sizeof(CellRecord) == 12, "three values, no padding");

/// Selection values that a cell state can name (SELECTION_IN_RECORD aside).
constexpr int32_t SELECTION_CODES = 31;
/// The code of a selection value that is not in the palette: derive it from the record.
constexpr uint8_t SELECTION_IN_RECORD = SELECTION_CODES;

/// The records of every cell of a grid, bordered (border records are never read), how selection
/// values follow from potentials, and the first distinct selection values met, which cell states
/// name by their position.
struct CellRecords {
  BorderedGrid grid;
  BlockArray<CellRecord> records{nullptr, BlockFree{}};
  bool random_select = false;  ///< every cell with data has the selection value 1.0
  float selection_palette[SELECTION_CODES] = {};
  int32_t palette_size = 0;
};

/// The quantised selection value of a potential: 0 <= v < 0.2 gives 0.2, up to 0.8 <= v < 1
/// giving 1.0, so that better cells are favoured but none with data is barred; 1.0 and values
/// below 0 are kept.
float selection_quantise(float potential);

/// The selection value of a cell of potential `potential`: the probability that a free cell is
/// taken at one try. Either every cell with data is taken at once, or the potential is quantised.
inline float selection_of(bool random_select, float potential) {
  if (random_select) return potential == CELL_NODATA ? CELL_NODATA : 1.0f;
  return selection_quantise(potential);
}

/// The palette position of `selection`, or SELECTION_IN_RECORD.
uint8_t selection_code(const CellRecords& records, float selection);

/// Records for the grid `geometry`, none packed yet; fatal (exit 1) when memory is short.
CellRecords cell_records_allocate(const GridGeometry& geometry, bool random_select);

/// Packs rows [first_row, end_row) of the potential, nservices and distances maps (row-major
/// grids of the records' size) into the records, on up to `threads` threads; the palette takes
/// the first selection values met in row order.
void cell_records_pack(CellRecords& records, const float* potential, const float* nservices,
                       const float* distances, int32_t first_row, int32_t end_row,
                       int32_t threads = 1);

/// cell_records_allocate and cell_records_pack of every row.
CellRecords cell_records_build(const GridGeometry& geometry, const float* potential,
                               const float* nservices, const float* distances, bool random_select);

/// What a cell of the solution map is to the moves, in the low three bits of its state byte. Only
/// an allocated cell has bit 0 set. The high five bits hold the cell's selection code, so that
/// the draw of the cell put in, which tries about two cells per move, reads only this byte
/// until a cell passes.
enum CellState : uint8_t {
  STATE_OTHER = 0,      ///< never allocated: no data, masked, an existing land use, the border
  STATE_ALLOCATED = 1,  ///< holds the working cell value
  STATE_FREE = 2,       ///< holds 0.0
  STATE_MARKED = 4,     ///< a cell of the move under evaluation
};
constexpr uint8_t STATE_BITS = 7;
constexpr int STATE_CODE_SHIFT = 3;

/// Whether a state byte is in state `s`.
inline bool state_is(uint8_t byte, CellState s) {
  return (byte & STATE_BITS) == s;
}

/// Puts a state byte in state `s`, keeping its selection code.
inline void state_set(uint8_t& byte, CellState s) {
  byte = static_cast<uint8_t>((byte & ~STATE_BITS) | s);
}

/// The selection value of the cell at bordered index `cell` with state byte `byte`.
inline float cell_selection(const CellRecords& records, uint8_t byte, size_t cell) {
  const uint8_t code = byte >> STATE_CODE_SHIFT;
  return code == SELECTION_IN_RECORD
             ? selection_of(records.random_select, records.records[cell].potential)
             : records.selection_palette[code];
}

/// Whether a free cell of selection value `selection` can receive a move: a value of 0 or below,
/// or NaN, never can. The min-cut method keeps such cells out of its graph by the same rule.
inline bool selection_receives(float selection) {
  return selection > 0.0f;
}

/// Whether the cell at bordered index `cell`, with state byte `byte`, is free and can receive.
inline bool cell_receives(const CellRecords& records, uint8_t byte, size_t cell) {
  return state_is(byte, STATE_FREE) && selection_receives(cell_selection(records, byte, cell));
}

/// A run's states of the cells, bordered.
struct CellStates {
  BorderedGrid grid;
  BlockArray<uint8_t> state{nullptr, BlockFree{}};
};

/// Sets the states from the solution map `solution` (cells equal to `value` are allocated, cells
/// equal to 0.0 free) with the selection codes of `records`; allocates them on first use. Fatal
/// (exit 1) when memory is short. `bands` bands of rows run at once (run_bands).
void cell_states_load(CellStates& states, const CellRecords& records, const float* solution,
                      float value, int32_t bands = 1);

/// Writes the states back into `solution`: allocated cells get `value`, free cells 0.0, marked
/// cells MOVE_MARK; the others keep what they hold. `bands` bands of rows run at once.
void cell_states_settle(const CellStates& states, float* solution, float value, int32_t bands = 1);
