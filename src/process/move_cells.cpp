#include "process/move_cells.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/bands.h"
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

float selection_quantise(float potential) {
  if (!(potential >= 0.0f) || potential == 1.0f) return potential;
  return static_cast<float>(std::floor(static_cast<double>(potential) / 0.2) / 5.0 + 0.2);
}

CellRecords cell_records_allocate(const GridGeometry& geometry, bool random_select) {
  CellRecords r;
  r.grid = bordered_grid(geometry);
  r.random_select = random_select;
  r.records = block_array<CellRecord>(r.grid.cells);
  if (r.records == nullptr) fatal(1, "error: not enough memory!\n");
  return r;
}

void cell_records_pack(CellRecords& r, const float* potential, const float* nservices,
                       const float* distances, int32_t first_row, int32_t end_row,
                       int32_t threads) {
  const size_t ncols = static_cast<size_t>(r.grid.ncols);
  const int32_t rows = end_row - first_row;
  const auto bands = static_cast<int32_t>(
      cell_ranges(static_cast<size_t>(std::max(rows, 0)) * ncols, std::min(threads, rows)));
  each_row_band(rows, bands, [&, ncols](size_t, int32_t first, int32_t end) {
    for (int32_t row = first_row + first; row < first_row + end; ++row) {
      CellRecord* line = r.records.get() + bordered_index(r.grid, row, 0);
      const size_t start = static_cast<size_t>(row) * ncols;
      for (size_t col = 0; col < ncols; ++col) {
        const size_t i = start + col;
        line[col] = CellRecord{potential[i], nservices[i], distances[i]};
      }
    }
  });
  // The palette in row order, until it is full.
  for (int32_t row = first_row; row < end_row && r.palette_size < SELECTION_CODES; ++row) {
    const size_t start = static_cast<size_t>(row) * ncols;
    for (size_t col = 0; col < ncols && r.palette_size < SELECTION_CODES; ++col) {
      const float selection = selection_of(r.random_select, potential[start + col]);
      if (selection_code(r, selection) == SELECTION_IN_RECORD) {
        r.selection_palette[r.palette_size++] = selection;
      }
    }
  }
}

CellRecords cell_records_build(const GridGeometry& geometry, const float* potential,
                               const float* nservices, const float* distances, bool random_select) {
  CellRecords r = cell_records_allocate(geometry, random_select);
  cell_records_pack(r, potential, nservices, distances, 0, r.grid.nrows);
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
                      float value, int32_t bands) {
  const BorderedGrid& grid = records.grid;
  // Loaded again for every annealing of a run: the array of a grid is allocated once (the first
  // load finds no cells).
  if (states.grid.cells != grid.cells) {
    states.state = block_array<uint8_t>(grid.cells);
    if (states.state == nullptr) fatal(1, "error: not enough memory!\n");
  }
  states.grid = grid;
  uint8_t* state = states.state.get();
  const CellRecord* record = records.records.get();
  // Each row writes its own cells: the bands run at once.
  each_row_band(grid.nrows, bands, [&](size_t, int32_t from, int32_t end) {
    for (int32_t row = from; row < end; ++row) {
      const size_t first = bordered_index(grid, row, 0);
      const float* line = solution + cell_index(grid.ncols, row, 0);
      for (int32_t col = 0; col < grid.ncols; ++col) {
        const float v = line[col];
        const uint8_t s = v == value            ? STATE_ALLOCATED
                          : v == CELL_AVAILABLE ? STATE_FREE
                                                : STATE_OTHER;
        const uint8_t code = selection_code(
            records, selection_of(records.random_select, record[first + size_t(col)].potential));
        state[first + size_t(col)] = static_cast<uint8_t>(code << STATE_CODE_SHIFT | s);
      }
    }
  });
}

void cell_states_settle(const CellStates& states, float* solution, float value, int32_t bands) {
  const BorderedGrid& grid = states.grid;
  const uint8_t* state = states.state.get();
  // Each row writes its own cells: the bands run at once.
  each_row_band(grid.nrows, bands, [&](size_t, int32_t first, int32_t end) {
    for (int32_t row = first; row < end; ++row) {
      const uint8_t* line = state + bordered_index(grid, row, 0);
      float* out = solution + cell_index(grid.ncols, row, 0);
      for (int32_t col = 0; col < grid.ncols; ++col) {
        switch (line[col] & STATE_BITS) {
          case STATE_ALLOCATED:
            out[col] = value;
            break;
          case STATE_FREE:
            out[col] = CELL_AVAILABLE;
            break;
          case STATE_MARKED:
            out[col] = MOVE_MARK;
            break;
          default:
            break;
        }
      }
    }
  });
}
