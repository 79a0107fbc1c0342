#include "process/moves.h"

#include <algorithm>
#include <string>

#include "base/bands.h"
#include "base/log.h"
#include "base/random.h"
#include "process/energy.h"
#include "process/process_run.h"
#include "raster/grid.h"

namespace {

// The eight neighbours of a cell as bits, allocated or not: north, west, south, east, then the
// corners north-west, south-west, south-east, north-east. The border makes every position valid.
inline uint32_t neighbourhood(const uint8_t* state, size_t cell, size_t stride) {
  const uint8_t* up = state + cell - stride;
  const uint8_t* here = state + cell;
  const uint8_t* down = state + cell + stride;
  return (up[0] & 1u) | (here[-1] & 1u) << 1 | (down[0] & 1u) << 2 | (here[1] & 1u) << 3 |
         (up[-1] & 1u) << 4 | (down[-1] & 1u) << 5 | (down[1] & 1u) << 6 | (up[1] & 1u) << 7;
}

// Allocated side neighbours of a neighbourhood.
inline int32_t sides(uint32_t bits) {
  return static_cast<int32_t>(__builtin_popcount(bits & 0xFu));
}

// A - Q - 1: allocated sides less closed corners (two allocated sides and the allocated cell
// between them), less one.
inline int32_t island_delta(uint32_t bits) {
  const uint32_t n = bits & 1u, w = bits >> 1 & 1u, s = bits >> 2 & 1u, e = bits >> 3 & 1u;
  const uint32_t corners =
      (n & w & bits >> 4) + (w & s & bits >> 5) + (s & e & bits >> 6) + (e & n & bits >> 7);
  return sides(bits) - static_cast<int32_t>(corners) - 1;
}

// Both cache lines a record can touch.
inline void prefetch_record(const CellRecord* record) {
  __builtin_prefetch(record);
  __builtin_prefetch(reinterpret_cast<const char*>(record) + sizeof(CellRecord) - 1);
}

}  // namespace

void moves_index(ProcessRun& p) {
  const CellRecords& records = p.inputs->records;
  const int32_t bands = run_bands(p.run, p.maps.geometry.nrows, p.maps.geometry.ncols);
  cell_states_load(p.states, records, p.maps.map(PROCESS_SOLUTION_MAP), p.working_cell_value,
                   bands);
  const BorderedGrid& grid = p.states.grid;
  const uint8_t* state = p.states.state.get();
  // Band by band, joined in the order of the bands: the cells in row-major order.
  struct Found {
    std::vector<size_t> cells;
    int64_t receivers = 0;
  };
  std::vector<Found> found(static_cast<size_t>(bands));
  each_row_band(grid.nrows, bands, [&](size_t b, int32_t from, int32_t end) {
    // Found on locals: the bands' records lie side by side, and every cell would write one.
    Found own;
    for (int32_t row = from; row < end; ++row) {
      const size_t first = bordered_index(grid, row, 0);
      for (size_t i = first; i < first + static_cast<size_t>(grid.ncols); ++i) {
        if (state_is(state[i], STATE_ALLOCATED)) own.cells.push_back(i);
        if (cell_receives(records, state[i], i)) ++own.receivers;
      }
    }
    found[b] = std::move(own);
  });
  std::vector<size_t>& cells = p.allocated.cells;
  cells.clear();
  p.allocated.receivers = 0;
  for (Found& f : found) {
    cells.insert(cells.end(), f.cells.begin(), f.cells.end());
    p.allocated.receivers += f.receivers;
  }
}

void moves_prepare(ProcessRun& p) {
  moves_index(p);
  if (p.allocated.cells.empty()) fatal(1, "error: no allocated cell to move!\n");
  if (p.allocated.receivers == 0) fatal(1, "error: no free cell can receive a move!\n");
}

int32_t removal_island_delta(const ProcessRun& p, size_t cell) {
  return island_delta(neighbourhood(p.states.state.get(), cell, p.states.grid.stride));
}

void moves_settle(ProcessRun& p) {
  if (p.states.state == nullptr) return;
  cell_states_settle(p.states, p.maps.map(PROCESS_SOLUTION_MAP), p.working_cell_value,
                     run_bands(p.run, p.maps.geometry.nrows, p.maps.geometry.ncols));
}

void move_cell_position(const ProcessRun& p, size_t cell, int32_t* row, int32_t* col) {
  const size_t stride = p.states.grid.stride;
  *row = static_cast<int32_t>(cell / stride) - 1;
  *col = static_cast<int32_t>(cell % stride) - 1;
}

double evaluate_move(ProcessRun& p) {
  Move& m = p.move;
  EnergyState& e = p.energy;
  const uint8_t* state = p.states.state.get();
  const size_t stride = p.states.grid.stride;
  const CellRecord& in = p.inputs->records.records[m.in];
  const CellRecord& out = p.inputs->records.records[m.out];

  // What each map adds to its running sum: the value at the cell put in minus the value at the
  // cell taken out. Every cell counts, as it does in the full evaluation, so that the running sums
  // stay those of the map.
  m.previous_f1_sum = e.f1_sum;
  e.f1_sum += static_cast<double>(in.potential) - static_cast<double>(out.potential);

  // Both cells are marked, so neither counts as a neighbour of the other: removing the cell taken
  // out changes the perimeter by 2 * Ko - 4 and adding the cell put in by 4 - 2 * Ki.
  const uint32_t around_out = neighbourhood(state, m.out, stride);
  const uint32_t around_in = neighbourhood(state, m.in, stride);
  m.previous_perimeter = e.perimeter;
  e.perimeter += 2 * (sides(around_out) - sides(around_in));

  m.previous_island_count = e.island_count;
  e.island_count += island_delta(around_out) - island_delta(around_in);

  m.previous_f4_sum = e.f4_sum;
  e.f4_sum += static_cast<double>(in.nservices) - static_cast<double>(out.nservices);
  m.previous_f5_sum = e.f5_sum;
  e.f5_sum += static_cast<double>(in.distances) - static_cast<double>(out.distances);
  m.previous_extra_sum = e.extra_sum;
  if (p.extra_cost != nullptr) {
    e.extra_sum +=
        static_cast<double>((*p.extra_cost)[m.in]) - static_cast<double>((*p.extra_cost)[m.out]);
  }

  double terms[ENERGY_TERMS];
  energy_terms(e, terms);
  return energy_combine(e, terms);
}

double propose_move(ProcessRun& p) {
  Move& m = p.move;
  Rng& rng = p.run.rng;
  const BorderedGrid& grid = p.states.grid;
  uint8_t* state = p.states.state.get();
  const CellRecords& cell_records = p.inputs->records;
  const CellRecord* records = cell_records.records.get();

  AllocatedCells& listed = p.allocated;
  if (listed.receivers <= 0) fatal(1, "error: no free cell can receive a move!\n");
  listed.drawn = static_cast<size_t>(rand_index64(rng, static_cast<int64_t>(listed.cells.size())));
  const size_t out = listed.cells[listed.drawn];
  // The cell taken out is known before the draws of the cell put in: its record (which may span
  // two cache lines) and its three rows of states load while those draws run.
  prefetch_record(records + out);
  __builtin_prefetch(state + out - grid.stride);
  __builtin_prefetch(state + out);
  __builtin_prefetch(state + out + grid.stride);

  // Draws of (row, col) until a free cell passes its selection test, which reads the state byte
  // alone but for selection values beyond the palette.
  size_t in;
  for (;;) {
    const int32_t row = rand_index(rng, grid.nrows);
    const int32_t col = rand_index(rng, grid.ncols);
    in = bordered_index(grid, row, col);
    const uint8_t byte = state[in];
    if (!state_is(byte, STATE_FREE)) continue;
    const float selection = cell_selection(cell_records, byte, in);
    if (static_cast<double>(selection) >= rand_fraction(rng)) break;
  }
  prefetch_record(records + in);
  m.out = out;
  m.in = in;

  state_set(state[out], STATE_MARKED);
  state_set(state[in], STATE_MARKED);
  const double candidate = evaluate_move(p);
  if (candidate < 0.0) {
    log_message("error: negative energy %f!\n", candidate);
    moves_settle(p);
    // Each run of a repeat dumps its own map.
    const std::string dump = "error" + p.run.file_tag + ".asc";
    grid_write(dump.c_str(), p.maps, PROCESS_SOLUTION_MAP);
    fatal_exit(1);
  }
  return candidate;
}

void commit_move(ProcessRun& p) {
  const Move& m = p.move;
  uint8_t* state = p.states.state.get();
  state_set(state[m.out], STATE_FREE);
  state_set(state[m.in], STATE_ALLOCATED);
  p.allocated.cells[p.allocated.drawn] = m.in;
  const CellRecords& records = p.inputs->records;
  p.allocated.receivers += selection_receives(cell_selection(records, state[m.out], m.out)) -
                           selection_receives(cell_selection(records, state[m.in], m.in));
}

void undo_move(ProcessRun& p) {
  const Move& m = p.move;
  uint8_t* state = p.states.state.get();
  state_set(state[m.out], STATE_ALLOCATED);
  state_set(state[m.in], STATE_FREE);
  EnergyState& e = p.energy;
  e.f1_sum = m.previous_f1_sum;
  e.perimeter = m.previous_perimeter;
  e.island_count = m.previous_island_count;
  e.f4_sum = m.previous_f4_sum;
  e.f5_sum = m.previous_f5_sum;
  e.extra_sum = m.previous_extra_sum;
}
