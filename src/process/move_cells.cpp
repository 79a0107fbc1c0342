#include "process/move_cells.h"

#include <cstring>

#include "base/log.h"

namespace {

// Selection values are told apart by their bits: a NaN is one value like any other.
uint32_t bits_of(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

}  // namespace

BorderedGrid bordered_grid(const GridGeometry& geometry) {
  BorderedGrid g;
  g.nrows = geometry.nrows;
  g.ncols = geometry.ncols;
  g.stride = static_cast<size_t>(geometry.ncols) + 2;
  if (__builtin_mul_overflow(static_cast<size_t>(geometry.nrows) + 2, g.stride, &g.cells)) {
    fatal(1, "error: not enough memory!\n");
  }
  return g;
}

CellRecords cell_records_build(const MapBlock& maps, int32_t potential, int32_t selection,
                               int32_t nservices, int32_t distances) {
  CellRecords r;
  r.grid = bordered_grid(maps.geometry);
  r.records = block_array<CellRecord>(r.grid.cells);
  if (r.records == nullptr) fatal(1, "error: not enough memory!\n");
  const float* maps_of[4] = {maps.map(potential), maps.map(selection), maps.map(nservices),
                             maps.map(distances)};
  size_t i = 0;
  for (int32_t row = 0; row < r.grid.nrows; ++row) {
    CellRecord* line = r.records.get() + bordered_index(r.grid, row, 0);
    for (int32_t col = 0; col < r.grid.ncols; ++col, ++i) {
      line[col] = CellRecord{maps_of[0][i], maps_of[1][i], maps_of[2][i], maps_of[3][i]};
      if (r.palette_size < SELECTION_CODES &&
          selection_code(r, maps_of[1][i]) == SELECTION_IN_RECORD) {
        r.selection_palette[r.palette_size++] = maps_of[1][i];
      }
    }
  }
  return r;
}

uint8_t selection_code(const CellRecords& records, float selection) {
  const uint32_t bits = bits_of(selection);
  for (int32_t k = 0; k < records.palette_size; ++k) {
    if (bits_of(records.selection_palette[k]) == bits) return static_cast<uint8_t>(k);
  }
  return SELECTION_IN_RECORD;
}

void cell_states_load(CellStates& states, const CellRecords& records, const float* solution,
                      float value) {
  const BorderedGrid& grid = records.grid;
  if (states.state == nullptr || states.grid.cells != grid.cells) {
    states.state = block_array<uint8_t>(grid.cells);
    if (states.state == nullptr) fatal(1, "error: not enough memory!\n");
  }
  states.grid = grid;
  uint8_t* state = states.state.get();
  const CellRecord* record = records.records.get();
  size_t i = 0;
  for (int32_t row = 0; row < grid.nrows; ++row) {
    const size_t first = bordered_index(grid, row, 0);
    for (int32_t col = 0; col < grid.ncols; ++col, ++i) {
      const float v = solution[i];
      const uint8_t s = v == value            ? STATE_ALLOCATED
                        : v == CELL_AVAILABLE ? STATE_FREE
                                              : STATE_OTHER;
      const uint8_t code = selection_code(records, record[first + size_t(col)].selection);
      state[first + size_t(col)] = static_cast<uint8_t>(code << STATE_CODE_SHIFT | s);
    }
  }
}

void cell_states_settle(const CellStates& states, float* solution, float value) {
  const BorderedGrid& grid = states.grid;
  const uint8_t* state = states.state.get();
  size_t i = 0;
  for (int32_t row = 0; row < grid.nrows; ++row) {
    const uint8_t* line = state + bordered_index(grid, row, 0);
    for (int32_t col = 0; col < grid.ncols; ++col, ++i) {
      switch (line[col] & STATE_BITS) {
        case STATE_ALLOCATED:
          solution[i] = value;
          break;
        case STATE_FREE:
          solution[i] = CELL_AVAILABLE;
          break;
        case STATE_MARKED:
          solution[i] = MOVE_MARK;
          break;
        default:
          break;
      }
    }
  }
}
