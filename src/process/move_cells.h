// The memory layout the moves work on. A move reads the 3 x 3 neighbourhoods of two cells and four
// read-only values at each, at cells spread over the whole grid, so on a large grid its cost is the
// number of cache lines it fetches. Two arrays keep that number low:
// - CellRecords, read-only and independent of any run: the potential, selection, nservices and
//   distances values of a cell side by side in one 16-byte record, one cache line per cell;
// - CellStates, a run's own: one byte per cell saying allocated, free or neither, with a border of
//   never-allocated cells round the grid, so that neighbour tests need no bounds checks.
// Both use the bordered index (row + 1) * (ncols + 2) + (col + 1). The solution map of floats stays
// the stage's map of record: cell_states_settle writes the states back into it before anything
// else reads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/big_block.h"
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
struct alignas(16) CellRecord {
  float potential;
  float selection;
  float nservices;
  float distances;
};
static_assert(sizeof(CellRecord) == 16, "one record per quarter cache line");

/// Selection values that a cell state can name (SELECTION_IN_RECORD aside).
constexpr int32_t SELECTION_CODES = 31;
/// The code of a selection value that is not in the palette: read it from the record.
constexpr uint8_t SELECTION_IN_RECORD = 31;

/// The records of every cell of a grid, bordered (border records are never read), and the first
/// distinct selection values met, which cell states name by their position.
struct CellRecords {
  BorderedGrid grid;
  BlockArray<CellRecord> records{nullptr, BlockFree{}};
  float selection_palette[SELECTION_CODES + 1] = {};
  int32_t palette_size = 0;
};

/// The palette position of `selection`, or SELECTION_IN_RECORD.
uint8_t selection_code(const CellRecords& records, float selection);

/// Packs the potential, selection, nservices and distances maps (maps 1 to 4 of `maps`) into
/// records; fatal (exit 1) when memory is short.
CellRecords cell_records_build(const MapBlock& maps, int32_t potential, int32_t selection,
                               int32_t nservices, int32_t distances);

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
  return code == SELECTION_IN_RECORD ? records.records[cell].selection
                                     : records.selection_palette[code];
}

/// A run's states of the cells, bordered.
struct CellStates {
  BorderedGrid grid;
  BlockArray<uint8_t> state{nullptr, BlockFree{}};
};

/// Sets the states from the solution map `solution` (cells equal to `value` are allocated, cells
/// equal to 0.0 free) with the selection codes of `records`; allocates them on first use. Fatal
/// (exit 1) when memory is short.
void cell_states_load(CellStates& states, const CellRecords& records, const float* solution,
                      float value);

/// Writes the states back into `solution`: allocated cells get `value`, free cells 0.0, marked
/// cells MOVE_MARK; the others keep what they hold.
void cell_states_settle(const CellStates& states, float* solution, float value);
