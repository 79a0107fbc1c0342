#include "process/min_cut.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <queue>
#include <vector>

#include "base/bands.h"
#include "base/log.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_run.h"
#include "raster/grid_flow.h"
#include "raster/packed_map.h"

namespace {

// Bits of the method's byte per cell (bordered, as the cell states).
constexpr uint8_t MARK_VARIABLE = 1;  // may be allocated or not: allocated, or free and receiving
constexpr uint8_t MARK_CURRENT = 2;   // allocated in the map being worked on
constexpr uint8_t MARK_LOW = 4;       // in the bracketing cut of at least n cells
constexpr uint8_t MARK_HIGH = 8;      // in the bracketing cut of at most n cells
constexpr uint8_t MARK_BEST = 16;     // in the best map found
constexpr uint8_t MARK_SAVED = 32;    // in the map a polish step started from
constexpr uint8_t MARK_VISITED = 64;  // reached by the search of holes
constexpr uint8_t MARK_KEPT = 128;    // left alone by a polish step

// The costs are scaled so that a cell's cost with its four sides stays within 2^26 in magnitude:
// with the price added, terminal capacities stay below 2^28, and the flow's 32-bit residuals
// keep room for its sides. The resolution, 2^-26 of the largest cost, is far below any
// difference between two maps that the printed energies show.
constexpr double COST_SCALE = 67108864.0;  // 2^26
// Cutting-plane steps of one price search; it usually ends in 10 to 25.
constexpr int32_t MAX_PRICE_STEPS = 60;
// Halvings of the interval of a clamp's multiplier.
constexpr int32_t CLAMP_STEPS = 6;
// Golden-section steps of the distances multiplier of the bound apart from any price.
constexpr int32_t SEPARABLE_STEPS = 16;
// Golden-section steps of the perimeter multiplier searched for the largest bound, and the
// largest map it is searched on (each step is a price search).
constexpr int32_t SEARCHED_STEPS = 4;
constexpr int64_t SEARCHED_VARIABLES = 250000;
// Parts the maps are split into at most where the cut jumps, on maps of up to BRANCHED_VARIABLES
// variable cells (each part is a price search). On small maps the parts run out before the
// work: housing alone on the example's 40 x 40 window at rows 140 to 179, columns 250 to 289
// (1413 cells it may take) has an optimum without islands of 0.1994; with at most 1024 parts
// four times the split's work raised its bound from 0.1815 to 0.1821 only, with 4096 to 0.1963.
// Several uses' closer bound takes that much work.
constexpr int32_t BRANCHES = 4096;
constexpr int64_t BRANCHED_VARIABLES = 20000;
// Islands and holes the polish tries, smallest first: at most MAX_POLISH_TRIES, and on large maps
// (each try passes over the whole grid a few times) no more than POLISH_WORK cells' worth of
// tries, nor fewer than MIN_POLISH_TRIES.
constexpr int32_t MAX_POLISH_TRIES = 64;
constexpr int32_t MIN_POLISH_TRIES = 8;
constexpr double POLISH_WORK = 1e8;
// The first perturbation of a repeat, in shares of the portfolio gap per cell: tries divide it by 4
// down to 1, which is sure to stay within the gap.
constexpr double PERTURBATION_FIRST_SHARE = 64.0;
// Searches after the first, while the best map without its islands term lies more than
// RECUT_GAP above the bound: each with the perimeter's cost scaled and the cells' costs perturbed
// by a multiple of that gap shared among the n cells.
struct Recut {
  double perimeter;
  double perturbation;
};
constexpr Recut RECUT_PLAN[] = {{1.0, 1.0}, {0.8, 0.0}, {1.0, 2.0}, {1.25, 0.0}, {1.0, 3.0},
                                {0.6, 0.0}, {1.0, 4.0}, {1.6, 0.0}, {1.0, 5.0},  {0.9, 0.0},
                                {1.0, 6.0}, {1.1, 0.0}, {0.8, 1.0}, {1.25, 1.0}, {0.6, 2.0},
                                {1.6, 2.0}, {0.9, 3.0}, {1.1, 3.0}};
constexpr int32_t RECUTS = sizeof RECUT_PLAN / sizeof RECUT_PLAN[0];
constexpr double RECUT_GAP = 5e-4;
// On maps of up to PILOT_VARIABLES variable cells, the greedy fix-up also starts with each of
// the PILOT_RANKS best first changes.
constexpr int64_t PILOT_VARIABLES = 100000;
constexpr int32_t PILOT_RANKS = 6;
// Energies closer than this are equal: sums of millions of values in [0, 1] round below it.
constexpr double ENERGY_TOLERANCE = 1e-9;

// The energy without the islands term, as a linear function of the allocation: a cost per
// allocated cell from the value maps, a cost per side of the perimeter, and a constant. `mu` and
// `nu` are the multipliers of the clamped perimeter and distances terms (1 where the clamp does
// not bind).
struct CutModel {
  double potential = 0.0;  // cost per unit of potential
  double nservices = 0.0;
  double distances = 0.0;
  double side = 0.0;  // cost per perimeter side
  double constant = 0.0;
  double scale = 1.0;    // integer units per unit of energy
  int64_t pair = 0;      // a side between two variable cells, in integer units
  double largest = 0.0;  // the largest cost of a cell with its four sides, in energy units
};

// A cut seen as a line of the dual: value + price * (size - n).
struct Line {
  int64_t value = 0;  // integer cost of its cells and sides, the price left out
  int64_t size = 0;   // allocated cells
  int64_t price = 0;  // where it was found
};

struct HeapEntry {
  int64_t delta;
  size_t cell;
  bool operator>(const HeapEntry& o) const {
    return delta != o.delta ? delta > o.delta : cell > o.cell;
  }
};
using MinHeap = std::priority_queue<HeapEntry, std::vector<HeapEntry>, std::greater<HeapEntry>>;

// What one band of rows finds, on a cache line of its own: the threads of the other bands write
// theirs beside it all the time.
template <typename T>
struct alignas(64) PerBand {
  T value;
};

struct MinCut {
  MinCut(ProcessRun& run, EvolutionListing& evolution)
      : p(run),
        records(run.inputs->records),
        grid(run.states.grid),
        listing(evolution),
        marks(grid.cells, 0) {}

  ProcessRun& p;
  const CellRecords& records;
  const BorderedGrid grid;
  EvolutionListing& listing;
  std::vector<uint8_t> marks;
  int64_t n = 0;          // cells to allocate
  int64_t variables = 0;  // cells that may be allocated
  CutModel model;
  std::vector<int32_t> costs;  // scaled_cost of each variable cell under the model
  GridFlow flow;
  bool flow_loaded = false;  // the flow holds the costs (`costs` is empty) at `loaded_price`
  int64_t loaded_price = 0;
  PackedMap parked;  // the solution map while the flow is held
  int32_t flows = 0;
  uint64_t perturbation_seed = 0;
  double perturbation = 0.0;  // largest extra cost of a cell, in energy units
  double best_energy = std::numeric_limits<double>::infinity();
  double best_bound = -std::numeric_limits<double>::infinity();
  double best_without_islands = std::numeric_limits<double>::infinity();
  /// Where the next price search starts, in energy units per allocated cell (NaN: from the
  /// costs); the first search takes it, and leaves the price it ended at in `found_price`.
  double price_hint = std::numeric_limits<double>::quiet_NaN();
  double found_price = std::numeric_limits<double>::quiet_NaN();
  double perimeter_scale = 1.0;  // MinCutParameters::perimeter_scale
  int64_t plain_bracket = 0;     // cells between the two cuts the plain model's search ended at
  double clamp_mu = 1.0;         // the multipliers of the clamped terms search_clamps found
  double clamp_nu = 1.0;
  double cheapest_nu = 1.0;   // the distances multiplier of the best bound by the cheapest cells
  double plain_energy = 0.0;  // of the map evaluate_current last judged, unscaled
  bool part_maps = false;     // MinCutParameters::part_maps
  double branch_work = 0.0;   // MinCutParameters::branch_work

  size_t offset(int k) const {
    switch (k) {
      case 0:
        return static_cast<size_t>(-static_cast<std::ptrdiff_t>(grid.stride));
      case 1:
        return grid.stride;
      case 2:
        return static_cast<size_t>(-1);
      default:
        return 1;
    }
  }
  bool variable(size_t i) const { return (marks[i] & MARK_VARIABLE) != 0; }
  bool current(size_t i) const { return (marks[i] & MARK_CURRENT) != 0; }

  template <typename Visit>
  void for_each_variable(Visit visit) const {
    for (int32_t row = 0; row < grid.nrows; ++row) {
      const size_t first = bordered_index(grid, row, 0);
      for (int32_t col = 0; col < grid.ncols; ++col) {
        const size_t i = first + static_cast<size_t>(col);
        if (variable(i)) visit(i, row, col);
      }
    }
  }

  // visit(band, i, row, col) for each variable cell, the rows in `bands` bands (row_bands) run at
  // once, one thread each; visit may change what belongs to cell i alone.
  template <typename Visit>
  void for_each_variable_in_bands(int32_t bands, Visit visit) const {
    each_row_band(grid.nrows, bands, [&](size_t b, int32_t from, int32_t end) {
      // The loop works on locals: a visit that stores a byte could otherwise alias every pointer
      // reached through a reference, and each would be loaded again for every cell.
      Visit own = visit;
      const BorderedGrid g = grid;
      const uint8_t* const mark = marks.data();
      for (int32_t row = from; row < end; ++row) {
        const size_t first = bordered_index(g, row, 0);
        for (int32_t col = 0; col < g.ncols; ++col) {
          const size_t i = first + static_cast<size_t>(col);
          if ((mark[i] & MARK_VARIABLE) != 0) own(b, i, row, col);
        }
      }
    });
  }

  // The sum of visit(i, row, col) over the variable cells, band by band on the run's threads.
  template <typename Visit>
  int64_t sum_variables(Visit visit) const {
    const int32_t bands = this->bands();
    std::vector<PerBand<int64_t>> sums(static_cast<size_t>(bands), {0});
    for_each_variable_in_bands(bands, [&](size_t b, size_t i, int32_t row, int32_t col) {
      sums[b].value += visit(i, row, col);
    });
    int64_t total = 0;
    for (const PerBand<int64_t>& sum : sums) total += sum.value;
    return total;
  }

  // The cost of allocating cell i alone, its sides facing cells that are never allocated
  // included, as a real number.
  double real_cost(size_t i) const {
    const CellRecord& r = records.records[i];
    double c = model.potential * static_cast<double>(r.potential) +
               model.nservices * static_cast<double>(r.nservices) +
               model.distances * static_cast<double>(r.distances);
    int32_t fixed_sides = 0;
    for (int k = 0; k < 4; ++k) fixed_sides += variable(i + offset(k)) ? 0 : 1;
    c += model.side * fixed_sides;
    c += extra(i);
    if (perturbation > 0.0) c += perturbation * perturbation_share(i);
    return c;
  }

  // Rounded down, so that every map's integer cost is at most its real cost times the scale and
  // the bound stays a bound; the model keeps them (`costs`), as every cut and greedy step asks.
  int64_t scaled_cost(size_t i) const {
    return static_cast<int64_t>(std::floor(real_cost(i) * model.scale));
  }
  int64_t cost(size_t i) const { return costs[i]; }

  // The run's own cost of allocating cell i, in energy units (0 without).
  double extra(size_t i) const {
    return p.extra_cost != nullptr ? static_cast<double>((*p.extra_cost)[i]) : 0.0;
  }

  // A share in [0, 1) drawn for cell i from the run's seed, the same on every thread.
  double perturbation_share(size_t i) const {
    uint64_t z = perturbation_seed + 0x9e3779b97f4a7c15ULL * (static_cast<uint64_t>(i) + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }

  int32_t neighbours_in(size_t i) const {
    int32_t in = 0;
    for (int k = 0; k < 4; ++k) in += current(i + offset(k)) ? 1 : 0;
    return in;
  }
  int32_t variable_neighbours(size_t i) const {
    int32_t v = 0;
    for (int k = 0; k < 4; ++k) v += variable(i + offset(k)) ? 1 : 0;
    return v;
  }

  // The change of the integer cost when cell i changes side.
  int64_t toggle_delta(size_t i) const {
    const int32_t in = neighbours_in(i);
    const int32_t out = variable_neighbours(i) - in;
    if (current(i)) return -cost(i) + model.pair * (in - out);
    return cost(i) + model.pair * (out - in);
  }

  void toggle(size_t i) { marks[i] ^= MARK_CURRENT; }

  // Bands of rows for the passes over every cell: one for each of the run's threads.
  int32_t bands() const { return run_bands(p.run, grid.nrows, grid.ncols); }

  // Row by row over every cell, the never-allocated ones too: their marks hold no bit, so the
  // copy leaves them as they are, and a loop without a test of each cell is faster. Every cut of
  // a price search, every start of the fix-up and every try of the polish copies a whole map.
  void copy_bits(uint8_t from, uint8_t to) {
    const int32_t count = bands();
    run_at_once(static_cast<size_t>(count), [&](size_t b) {
      const auto band = static_cast<int32_t>(b);
      const size_t first = bordered_index(grid, band_first_row(grid.nrows, count, band), 0);
      const size_t last = bordered_index(grid, band_first_row(grid.nrows, count, band + 1), 0);
      const auto keep = static_cast<uint8_t>(~to);
      for (size_t i = first; i < last; ++i) {
        const uint8_t byte = marks[i];
        marks[i] = static_cast<uint8_t>((byte & keep) | ((byte & from) != 0 ? to : 0));
      }
    });
  }

  // The entries find(i, out) pushes onto `out` for each variable cell, found band by band on the
  // run's threads and joined in the order of the bands: the list of one pass in row-major order,
  // for any number of threads. find may read any cell but change none.
  template <typename Entry, typename Find>
  std::vector<Entry> collect_in_bands(Find find) const {
    const int32_t count = bands();
    std::vector<PerBand<std::vector<Entry>>> found(static_cast<size_t>(count));
    for_each_variable_in_bands(
        count, [&](size_t b, size_t i, int32_t, int32_t) { find(i, found[b].value); });
    std::vector<Entry> entries = std::move(found[0].value);
    for (size_t b = 1; b < found.size(); ++b) {
      entries.insert(entries.end(), found[b].value.begin(), found[b].value.end());
      std::vector<Entry>().swap(found[b].value);
    }
    return entries;
  }

  // visit(i, mark) for each variable cell, `mark` its mark byte, band by band on the run's
  // threads; visit may change what belongs to cell i alone. A visit that stores bytes should read
  // through pointers it holds by value.
  template <typename Visit>
  void each_variable_at_once(Visit visit) {
    uint8_t* const all = marks.data();
    for_each_variable_in_bands(
        bands(), [all, visit](size_t, size_t i, int32_t, int32_t) { visit(i, all[i]); });
  }

  int64_t current_size() const {
    return sum_variables([&](size_t i, int32_t, int32_t) { return current(i) ? 1 : 0; });
  }
};

void mark_variables(MinCut& m) {
  const uint8_t* state = m.p.states.state.get();
  const std::vector<uint8_t>* keep_out = m.p.run.cut.keep_out.get();
  const int32_t bands = m.bands();
  std::vector<PerBand<std::pair<int64_t, int64_t>>> counts(static_cast<size_t>(bands));
  each_row_band(m.grid.nrows, bands, [&](size_t b, int32_t from, int32_t end) {
    // Counted on locals: the marks' byte stores could alias counters reached by reference.
    int64_t variables = 0, n = 0;
    for (int32_t row = from; row < end; ++row) {
      const size_t first = bordered_index(m.grid, row, 0);
      for (int32_t col = 0; col < m.grid.ncols; ++col) {
        const size_t i = first + static_cast<size_t>(col);
        const uint8_t byte = state[i];
        uint8_t mark = 0;
        if (state_is(byte, STATE_ALLOCATED)) {
          mark = MARK_VARIABLE | MARK_CURRENT;
        } else if (cell_receives(m.records, byte, i) &&
                   (keep_out == nullptr || (*keep_out)[cell_index(m.grid.ncols, row, col)] == 0)) {
          mark = MARK_VARIABLE;
        }
        m.marks[i] = mark;
        if (mark != 0) ++variables;
        if (mark & MARK_CURRENT) ++n;
      }
    }
    counts[b].value = {variables, n};
  });
  for (const auto& count : counts) {
    m.variables += count.value.first;
    m.n += count.value.second;
  }
}

// While a search's flow is held, the solution map, read only by the evaluations of whole maps
// after the search, waits packed (a byte a cell), its pages given back.
void park_solution(MinCut& m) {
  const float* solution = m.p.maps.map(PROCESS_SOLUTION_MAP);
  m.parked.assign(solution, solution + m.p.maps.cell_count());
  m.p.maps.discard(PROCESS_SOLUTION_MAP, 0, m.p.maps.cell_count());
}

// Frees the flow, its terminals given back as the costs they were loaded from (a search's flow is
// never reused by the next one, which cuts under another model), and the solution map unpacked.
void return_costs(MinCut& m) {
  m.costs = grid_flow_unload_costs(m.flow, m.loaded_price);
  m.flow_loaded = false;
  m.parked.unpack(m.p.maps.map(PROCESS_SOLUTION_MAP));
  m.parked = PackedMap();
}

// The linear model for the multipliers mu (perimeter) and nu (distances), scaled to integers.
void build_model(MinCut& m, double mu, double nu) {
  const EnergyState& e = m.p.energy;
  CutModel c;
  if (!e.term_off[0]) {
    c.potential = -e.f1_weight / e.f1_range;
    c.constant += e.f1_weight * e.f1_top / e.f1_range;
  }
  if (!e.term_off[1]) {
    c.side = mu * m.perimeter_scale * e.f2_weight / e.f2_range;
    c.constant -= c.side * static_cast<double>(e.min_perimeter);
  }
  if (!e.term_off[3]) {
    c.nservices = -e.f4_weight / e.f4_range;
    c.constant += e.f4_weight * e.f4_top / e.f4_range;
  }
  if (!e.term_off[4]) {
    c.distances = nu * e.f5_weight / e.f5_range;
    c.constant -= c.distances * e.f5_bottom;
  }
  m.model = c;
  m.model.scale = 1.0;
  // Two passes over the cells, on the run's threads: the largest is the same in any order.
  const int32_t bands = m.bands();
  std::vector<PerBand<double>> largest(static_cast<size_t>(bands), {4.0 * c.side});
  m.for_each_variable_in_bands(bands, [&](size_t b, size_t i, int32_t, int32_t) {
    largest[b].value = std::max(largest[b].value, std::fabs(m.real_cost(i)) + 4.0 * c.side);
  });
  double most = 4.0 * c.side;
  for (const PerBand<double>& band : largest) most = std::max(most, band.value);
  m.model.largest = most;
  m.model.scale = most > 0.0 ? COST_SCALE / most : 1.0;
  m.model.pair = static_cast<int64_t>(std::floor(c.side * m.model.scale));
  // Within 2^26 in magnitude, by the scale.
  if (m.flow_loaded) return_costs(m);
  m.costs.resize(m.grid.cells);
  m.for_each_variable_in_bands(bands, [&](size_t, size_t i, int32_t, int32_t) {
    m.costs[i] = static_cast<int32_t>(m.scaled_cost(i));
  });
}

void write_listing_line(MinCut& m, const Line& line, int64_t dual) {
  FILE* file = m.listing.file;
  if (file == nullptr) return;
  std::fprintf(file, "%d %.9g %" PRId64 " %f\n", m.flows,
               static_cast<double>(line.price) / m.model.scale, line.size,
               m.model.constant + static_cast<double>(dual) / m.model.scale);
  std::fflush(file);
}

// The minimum cut at `price` (integer units per allocated cell) into MARK_CURRENT. While a search
// cuts, the flow holds the costs in its terminals (their capacity is -(cost + price)): the map's
// costs are not held twice at the run's peak.
Line cut_at(MinCut& m, int64_t price) {
  // The flow's bands too: one on a small grid, where starting threads costs more than they save.
  const int32_t threads = m.bands();
  // The cut's value counts a cell of negative cost only when it is left out, through its terminal
  // from the source; taking those back gives the map's own value, so no second pass prices it.
  if (!m.flow_loaded) park_solution(m);
  const int64_t from_source =
      m.flow_loaded ? grid_flow_add_to_terminals(m.flow, m.loaded_price - price, threads)
                    : grid_flow_load_costs(m.flow, m.grid.nrows, m.grid.ncols,
                                           static_cast<int32_t>(m.model.pair), m.costs, price,
                                           m.marks, MARK_VARIABLE);
  m.flow_loaded = true;
  m.loaded_price = price;
  const int64_t cut = grid_flow_solve(m.flow, threads);
  ++m.flows;
  Line line;
  line.price = price;
  line.size = m.sum_variables([&](size_t i, int32_t row, int32_t col) {
    const bool in = grid_flow_in_source(m.flow, row, col);
    m.marks[i] = static_cast<uint8_t>((m.marks[i] & ~MARK_CURRENT) | (in ? MARK_CURRENT : 0));
    return int64_t{in ? 1 : 0};
  });
  line.value = cut - from_source - price * line.size;
  const int64_t dual = line.value + price * (line.size - m.n);
  write_listing_line(m, line, dual);
  return line;
}

int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// The sum of the variable cells' costs and their extremes.
struct CostSummary {
  int64_t sum = 0;
  int64_t lowest = std::numeric_limits<int64_t>::max();
  int64_t highest = std::numeric_limits<int64_t>::min();
};

// The costs' summary, band by band on `bands` bands: integers, the same for any number of them.
CostSummary summarise_costs(const MinCut& m, int32_t bands) {
  std::vector<PerBand<CostSummary>> found(static_cast<size_t>(bands), {CostSummary{}});
  m.for_each_variable_in_bands(bands, [&](size_t b, size_t i, int32_t, int32_t) {
    CostSummary& costs = found[b].value;
    const int64_t c = m.cost(i);
    costs.sum += c;
    costs.lowest = std::min(costs.lowest, c);
    costs.highest = std::max(costs.highest, c);
  });
  CostSummary all;
  for (const PerBand<CostSummary>& band : found) {
    all.sum += band.value.sum;
    all.lowest = std::min(all.lowest, band.value.lowest);
    all.highest = std::max(all.highest, band.value.highest);
  }
  return all;
}

// A first price: about the cost of the n-th cheapest cell, from a histogram of the costs.
int64_t first_price(MinCut& m, int64_t low, int64_t high) {
  constexpr int32_t BINS = 1024;
  const double width = static_cast<double>(high - low) / BINS + 1.0;
  // A table per band, added up: counts, the same for any number of bands.
  const int32_t bands = m.bands();
  std::vector<int64_t> tables(static_cast<size_t>(bands) * BINS, 0);
  m.for_each_variable_in_bands(bands, [&](size_t band, size_t i, int32_t, int32_t) {
    const int64_t c = m.cost(i) + (m.variable_neighbours(i) == 4 ? 0 : m.model.pair);
    const auto bin = static_cast<int32_t>(static_cast<double>(c - low) / width);
    ++tables[band * BINS + static_cast<size_t>(std::clamp(bin, 0, BINS - 1))];
  });
  const std::vector<int64_t> counts = add_up_tables(tables, BINS);
  int64_t seen = 0;
  for (int32_t b = 0; b < BINS; ++b) {
    seen += counts[static_cast<size_t>(b)];
    if (seen >= m.n) return -(low + static_cast<int64_t>((b + 0.5) * width));
  }
  return -high;
}

struct PriceSearch {
  Line low;                                            // at least n cells, in MARK_LOW
  Line high;                                           // at most n cells, in MARK_HIGH
  int64_t dual = std::numeric_limits<int64_t>::min();  // best lower bound, integer units
};

// Cutting planes on the concave dual: each cut is a line below it, the next price is where the
// lines of the two brackets meet, until they meet at a cut of n cells or at adjacent prices.
PriceSearch search_price(MinCut& m) {
  PriceSearch s;
  const CostSummary costs = summarise_costs(m, m.bands());
  const int64_t all_value = costs.sum;
  const int64_t lowest = costs.lowest;
  const int64_t highest = costs.highest;
  // Every cell is allocated below the price `-(highest + 4 pair) - 1`, none above `-lowest + 1`.
  s.low = Line{all_value, m.variables, -(highest + 4 * m.model.pair) - 1};
  s.high = Line{0, 0, -lowest + 1};
  m.each_variable_at_once(
      [](size_t, uint8_t& mark) { mark = static_cast<uint8_t>((mark | MARK_LOW) & ~MARK_HIGH); });
  const int64_t tolerance =
      std::max<int64_t>(1, static_cast<int64_t>(ENERGY_TOLERANCE * m.model.scale));
  // A hint from an earlier search of a similar map starts the search near its end; probes
  // stepping away from it, twice as far each time, find the other bracket close by.
  const bool warm = !std::isnan(m.price_hint);
  const bool first_search = std::isnan(m.found_price) || warm;
  int64_t price = warm ? static_cast<int64_t>(std::llround(m.price_hint * m.model.scale))
                       : first_price(m, lowest, highest + 4 * m.model.pair);
  price = std::clamp(price, s.low.price + 1, s.high.price - 1);
  m.price_hint = std::numeric_limits<double>::quiet_NaN();
  const Line all = s.low;
  const Line none = s.high;
  int64_t probe = 0;
  for (int32_t step = 0; step < MAX_PRICE_STEPS && s.high.price - s.low.price > 1; ++step) {
    const Line line = cut_at(m, price);
    if (first_search) m.found_price = static_cast<double>(price) / m.model.scale;
    s.dual = std::max(s.dual, line.value + price * (line.size - m.n));
    if (line.size >= m.n) {
      s.low = line;
      m.copy_bits(MARK_CURRENT, MARK_LOW);
    }
    if (line.size <= m.n) {
      s.high = line;
      m.copy_bits(MARK_CURRENT, MARK_HIGH);
    }
    if (line.size == m.n) break;
    // Where the two bracketing lines meet, and the dual's largest value there.
    const int64_t slope = s.low.size - s.high.size;
    const int64_t meet = floor_div(s.high.value - s.low.value, slope);
    const int64_t ceiling = s.low.value + meet * (s.low.size - m.n);
    if (ceiling - s.dual <= tolerance) break;
    price = std::clamp(meet, s.low.price + 1, s.high.price - 1);
    if (warm && (s.low.price == all.price || s.high.price == none.price)) {
      probe = probe == 0 ? std::max<int64_t>(1, std::llabs(line.price) / 64) : 2 * probe;
      price = std::clamp(line.size > m.n ? line.price + probe : line.price - probe, s.low.price + 1,
                         s.high.price - 1);
    }
  }
  if (m.flow_loaded) return_costs(m);
  return s;
}

// Greedy changes of the current map until it holds n cells: cells of `allowed` are added
// (cheapest first) while there are too few, cells of the map outside `protect` removed while
// there are too many. The first change takes the candidate of rank `first_rank` instead of the
// cheapest: a greedy walk that starts elsewhere can take a whole edge of a shape where the
// cheapest first step leads it astray.
void fix_size(MinCut& m, uint8_t allowed, uint8_t protect, int32_t first_rank = 0) {
  int64_t size = m.current_size();
  if (size == m.n) return;
  const bool grow = size < m.n;
  const auto eligible = [&](size_t i) {
    if (!m.variable(i) || m.current(i) != !grow) return false;
    return grow ? (m.marks[i] & allowed) != 0 : (m.marks[i] & protect) == 0;
  };
  // Only cells at the rim of the eligible ones start in the heap (a cell inside a block of them
  // costs the same or more, and enters when a neighbour changes), so that the heap follows the
  // length of the edges rather than the area.
  // Found band by band on the run's threads: no two entries are equal, so the order they enter
  // the heap in changes nothing it gives.
  MinHeap heap(std::greater<HeapEntry>(),
               m.collect_in_bands<HeapEntry>([&](size_t i, std::vector<HeapEntry>& out) {
                 if (!eligible(i)) return;
                 bool rim = false;
                 for (int k = 0; k < 4 && !rim; ++k) rim = !eligible(i + m.offset(k));
                 if (rim) out.push_back({m.toggle_delta(i), i});
               }));
  std::vector<HeapEntry> passed;  // better cells passed over for the first change
  while (size != m.n && !heap.empty()) {
    const HeapEntry top = heap.top();
    heap.pop();
    if (!eligible(top.cell)) continue;
    const int64_t delta = m.toggle_delta(top.cell);
    if (delta != top.delta) {
      heap.push({delta, top.cell});
      continue;
    }
    if (static_cast<int32_t>(passed.size()) < first_rank) {
      passed.push_back(top);
      continue;
    }
    for (const HeapEntry& e : passed) heap.push(e);
    passed.clear();
    first_rank = 0;
    m.toggle(top.cell);
    size += grow ? 1 : -1;
    for (int k = 0; k < 4; ++k) {
      const size_t j = top.cell + m.offset(k);
      if (eligible(j)) heap.push({m.toggle_delta(j), j});
    }
  }
  // A band too narrow leaves the count short: any variable cell will do then.
  if (size != m.n) {
    m.for_each_variable([&](size_t i, int32_t, int32_t) {
      if (size != m.n && m.current(i) != grow && (grow || !(m.marks[i] & protect))) {
        m.toggle(i);
        size += grow ? 1 : -1;
      }
    });
  }
}

// Cells on the edge of the map: allocated with a side to a free variable cell, or free with a
// side to an allocated one. Only they can be part of an improving swap of the cut's cost that the
// cut itself did not already make.
bool on_edge(const MinCut& m, size_t i) {
  if (!m.variable(i)) return false;
  for (int k = 0; k < 4; ++k) {
    const size_t j = i + m.offset(k);
    if (m.variable(j) && m.current(j) != m.current(i)) return true;
  }
  return false;
}

// The best valid entries of a heap, up to `count`, popped; stale entries are refreshed.
std::vector<HeapEntry> best_entries(MinCut& m, MinHeap& heap, bool allocated, size_t count) {
  std::vector<HeapEntry> out;
  while (out.size() < count && !heap.empty()) {
    const HeapEntry top = heap.top();
    heap.pop();
    const size_t i = top.cell;
    if (!m.variable(i) || m.current(i) != allocated || (m.marks[i] & MARK_KEPT)) continue;
    const int64_t delta = m.toggle_delta(i);
    if (delta != top.delta) {
      heap.push({delta, i});
      continue;
    }
    if (!out.empty() && out.back().cell == i) continue;
    out.push_back(top);
  }
  return out;
}

bool adjacent(const MinCut& m, size_t a, size_t b) {
  return a + 1 == b || b + 1 == a || a + m.grid.stride == b || b + m.grid.stride == a;
}

// Best swaps of one allocated cell for one free cell while one lowers the cut's cost; cells
// marked MARK_KEPT stay as they are.
void swap_descent(MinCut& m) {
  // The cells on the edge, found band by band: no two entries are equal, so the order they enter
  // the heaps in changes nothing the heaps give.
  std::vector<HeapEntry> adds;
  std::vector<HeapEntry> removes;
  {
    const std::vector<HeapEntry> edge =
        m.collect_in_bands<HeapEntry>([&](size_t i, std::vector<HeapEntry>& out) {
          if (on_edge(m, i) && !(m.marks[i] & MARK_KEPT)) out.push_back({m.toggle_delta(i), i});
        });
    for (const HeapEntry& e : edge) (m.current(e.cell) ? removes : adds).push_back(e);
  }
  MinHeap add(std::greater<HeapEntry>(), std::move(adds));
  MinHeap remove(std::greater<HeapEntry>(), std::move(removes));
  const int64_t limit = 4 * m.variables + 16;
  for (int64_t step = 0; step < limit; ++step) {
    const std::vector<HeapEntry> ins = best_entries(m, add, false, 3);
    const std::vector<HeapEntry> outs = best_entries(m, remove, true, 3);
    int64_t best = 0;
    const HeapEntry* in_best = nullptr;
    const HeapEntry* out_best = nullptr;
    for (const HeapEntry& a : ins) {
      for (const HeapEntry& r : outs) {
        // A cell removed beside the one added takes back one shared side from each.
        const int64_t delta =
            a.delta + r.delta + (adjacent(m, a.cell, r.cell) ? 2 * m.model.pair : 0);
        if (delta < best) {
          best = delta;
          in_best = &a;
          out_best = &r;
        }
      }
    }
    for (const HeapEntry& e : ins) add.push(e);
    for (const HeapEntry& e : outs) remove.push(e);
    if (in_best == nullptr) return;
    for (size_t cell : {in_best->cell, out_best->cell}) {
      m.toggle(cell);
      for (int k = -1; k < 4; ++k) {
        const size_t j = k < 0 ? cell : cell + m.offset(k);
        if (m.variable(j) && !(m.marks[j] & MARK_KEPT)) {
          (m.current(j) ? remove : add).push({m.toggle_delta(j), j});
        }
      }
    }
  }
}

// The energy without the islands term from the sums of a map: the clamps make it a function of
// the sums that no single linear model follows where a term is near 0.
struct MapSums {
  double potential = 0.0;
  double nservices = 0.0;
  double distances = 0.0;
  double extra = 0.0;
  int64_t perimeter = 0;
};

double sums_energy(const EnergyState& e, const MapSums& s) {
  double energy = 0.0;
  if (!e.term_off[0]) energy += e.f1_weight * (e.f1_top - s.potential) / e.f1_range;
  if (!e.term_off[1]) {
    energy += e.f2_weight *
              std::max(static_cast<double>(s.perimeter - e.min_perimeter) / e.f2_range, 0.0);
  }
  if (!e.term_off[3]) energy += e.f4_weight * (e.f4_top - s.nservices) / e.f4_range;
  if (!e.term_off[4]) {
    energy += e.f5_weight * std::max((s.distances - e.f5_bottom) / e.f5_range, 0.0);
  }
  return energy + s.extra;
}

// The sums after cell i changes side (`sign` +1 in, -1 out), its sides counted against the map as
// it is then, `other` (a cell changing side at the same time, or none) taken as already changed.
MapSums toggled_sums(const MinCut& m, MapSums s, size_t i, int sign, size_t other) {
  const CellRecord& r = m.records.records[i];
  s.potential += sign * static_cast<double>(r.potential);
  s.nservices += sign * static_cast<double>(r.nservices);
  s.distances += sign * static_cast<double>(r.distances);
  s.extra += sign * m.extra(i);
  int32_t in = 0;
  for (int k = 0; k < 4; ++k) {
    const size_t j = i + m.offset(k);
    in += (j == other) ? (m.current(j) ? 0 : 1) : (m.current(j) ? 1 : 0);
  }
  s.perimeter += sign * (4 - 2 * in);
  return s;
}

MapSums current_sums(const MinCut& m) {
  MapSums s;
  m.for_each_variable([&](size_t i, int32_t, int32_t) {
    if (!m.current(i)) return;
    const CellRecord& r = m.records.records[i];
    s.potential += r.potential;
    s.nservices += r.nservices;
    s.distances += r.distances;
    s.extra += m.extra(i);
    for (int k = 0; k < 4; ++k) s.perimeter += m.current(i + m.offset(k)) ? 0 : 1;
  });
  return s;
}

// Candidates of the exact descent kept per linear score.
constexpr size_t EXACT_CANDIDATES = 8;

// Swaps that lower the energy without the islands term, clamps and all. Each step takes the
// cheapest cells to add and to remove under the linear models with and without each clamped
// term, and tries every pair of them on the sums.
void exact_descent(MinCut& m) {
  const EnergyState& e = m.p.energy;
  MapSums sums = current_sums(m);
  double energy = sums_energy(e, sums);
  const double side = e.term_off[1] ? 0.0 : e.f2_weight / e.f2_range;
  const double c1 = e.term_off[0] ? 0.0 : -e.f1_weight / e.f1_range;
  const double c4 = e.term_off[3] ? 0.0 : -e.f4_weight / e.f4_range;
  const double c5 = e.term_off[4] ? 0.0 : e.f5_weight / e.f5_range;
  // The cells on the edge of the map, and later every cell beside a swap: the candidates.
  std::vector<size_t> edge = m.collect_in_bands<size_t>([&](size_t i, std::vector<size_t>& out) {
    if (on_edge(m, i)) out.push_back(i);
  });
  const int64_t limit = 2 * m.variables + 16;
  for (int64_t step = 0; step < limit; ++step) {
    // Per model (perimeter and distances on or off), the best cells to add and to remove.
    std::vector<std::pair<double, size_t>> best[2][4];
    for (size_t i : edge) {
      if (!on_edge(m, i)) continue;
      const CellRecord& r = m.records.records[i];
      const int sign = m.current(i) ? -1 : 1;
      const int32_t in = m.neighbours_in(i);
      for (int model = 0; model < 4; ++model) {
        const double score =
            sign * (c1 * r.potential + c4 * r.nservices + ((model & 1) ? c5 * r.distances : 0.0)) +
            ((model & 2) ? sign * side * (4 - 2 * in) : 0.0) + sign * m.extra(i);
        auto& list = best[m.current(i) ? 1 : 0][model];
        if (list.size() < EXACT_CANDIDATES || score < list.back().first) {
          list.emplace_back(score, i);
          std::sort(list.begin(), list.end());
          if (list.size() > EXACT_CANDIDATES) list.pop_back();
        }
      }
    }
    std::vector<size_t> adds, removes;
    for (int model = 0; model < 4; ++model) {
      for (const auto& c : best[0][model]) adds.push_back(c.second);
      for (const auto& c : best[1][model]) removes.push_back(c.second);
    }
    std::sort(adds.begin(), adds.end());
    adds.erase(std::unique(adds.begin(), adds.end()), adds.end());
    std::sort(removes.begin(), removes.end());
    removes.erase(std::unique(removes.begin(), removes.end()), removes.end());
    double best_energy = energy - ENERGY_TOLERANCE;
    size_t best_add = 0, best_remove = 0;
    MapSums best_sums;
    for (size_t a : adds) {
      const MapSums added = toggled_sums(m, sums, a, 1, 0);
      for (size_t r : removes) {
        const MapSums swapped = toggled_sums(m, added, r, -1, a);
        const double tried = sums_energy(e, swapped);
        if (tried < best_energy) {
          best_energy = tried;
          best_add = a;
          best_remove = r;
          best_sums = swapped;
        }
      }
    }
    if (best_add == 0) return;
    m.toggle(best_add);
    m.toggle(best_remove);
    for (size_t cell : {best_add, best_remove}) {
      for (int k = 0; k < 4; ++k) {
        const size_t j = cell + m.offset(k);
        if (m.variable(j)) edge.push_back(j);
      }
    }
    if (static_cast<int64_t>(edge.size()) > 4 * m.variables) {
      std::sort(edge.begin(), edge.end());
      edge.erase(std::unique(edge.begin(), edge.end()), edge.end());
    }
    sums = best_sums;
    energy = best_energy;
  }
}

// The full energy of the current map, islands included, through the one energy evaluation. With
// the perimeter's weight scaled, maps are judged with the perimeter term scaled as in the cuts:
// otherwise the rounder maps the scale draws lose to the map the round started from.
double evaluate_current(MinCut& m) {
  uint8_t* state = m.p.states.state.get();
  m.each_variable_at_once([state](size_t i, uint8_t& mark) {
    state_set(state[i], (mark & MARK_CURRENT) != 0 ? STATE_ALLOCATED : STATE_FREE);
  });
  moves_settle(m.p);
  m.plain_energy = energy_evaluate(m.p);
  const EnergyState& e = m.p.energy;
  if (m.perimeter_scale == 1.0 || e.term_off[1]) return m.plain_energy;
  double terms[ENERGY_TERMS];
  energy_terms(e, terms);
  return m.plain_energy + (m.perimeter_scale - 1.0) * e.f2_weight * std::max(terms[1], 0.0);
}

// The energy of the map the energy state was last evaluated on, less its islands term: what the
// cuts and their bounds see of it.
double without_islands(const MinCut& m, double energy) {
  const EnergyState& e = m.p.energy;
  double terms[ENERGY_TERMS];
  energy_terms(e, terms);
  return energy - (e.term_off[2] ? 0.0 : e.f3_weight * std::max(terms[2], 0.0));
}

// Keeps the current map when it beats the best one; notes the best energy without islands.
void offer(MinCut& m, double energy) {
  m.best_without_islands = std::min(m.best_without_islands, without_islands(m, energy));
  if (energy < m.best_energy) {
    m.best_energy = energy;
    m.copy_bits(MARK_CURRENT, MARK_BEST);
  }
}

// Largest product of components and target size the choice of components works through.
constexpr int64_t MAX_CHOICE_TABLE = int64_t{1} << 26;

// The cells of the wider bracket outside the narrower one fall into 4-connected components that
// touch each other nowhere, so each adds its own cost to the narrower bracket's whatever the
// others do. The components whose sizes sum to as near n as the table reaches, from below, at the
// least cost (a knapsack by dynamic programming) are added to the narrower bracket. At the
// price where both brackets are minimum cuts, every component costs 0 there, and the choice is
// one of the minimum cuts nearest n.
void choose_components(MinCut& m) {
  m.copy_bits(MARK_HIGH, MARK_CURRENT);
  const int64_t target = m.n - m.current_size();
  std::vector<std::vector<size_t>> parts;
  std::vector<int64_t> costs;
  m.each_variable_at_once([](size_t, uint8_t& mark) { mark &= ~MARK_VISITED; });
  const auto in_band = [&](size_t j) {
    return m.variable(j) && (m.marks[j] & MARK_LOW) && !(m.marks[j] & MARK_HIGH);
  };
  m.for_each_variable([&](size_t start, int32_t, int32_t) {
    if (!in_band(start) || (m.marks[start] & MARK_VISITED)) return;
    std::vector<size_t> part{start};
    m.marks[start] |= MARK_VISITED;
    int64_t cost = 0;
    for (size_t q = 0; q < part.size(); ++q) {
      const size_t i = part[q];
      cost += m.cost(i);
      for (int k = 0; k < 4; ++k) {
        const size_t j = i + m.offset(k);
        if (!m.variable(j)) continue;
        if (in_band(j)) {
          if (!(m.marks[j] & MARK_VISITED)) {
            m.marks[j] |= MARK_VISITED;
            part.push_back(j);
          }
        } else {
          cost += m.current(j) ? -m.model.pair : m.model.pair;
        }
      }
    }
    parts.push_back(std::move(part));
    costs.push_back(cost);
  });
  const auto count = static_cast<int64_t>(parts.size());
  if (target <= 0 || count == 0 || count * (target + 1) > MAX_CHOICE_TABLE) return;
  // best[t]: least cost of components of total size t; taken[k][t]: whether component k is in it.
  constexpr int64_t NONE = std::numeric_limits<int64_t>::max();
  std::vector<int64_t> best(static_cast<size_t>(target + 1), NONE);
  std::vector<std::vector<bool>> taken(parts.size(),
                                       std::vector<bool>(static_cast<size_t>(target + 1), false));
  best[0] = 0;
  for (size_t k = 0; k < parts.size(); ++k) {
    const auto size = static_cast<int64_t>(parts[k].size());
    for (int64_t t = target; t >= size; --t) {
      const int64_t from = best[static_cast<size_t>(t - size)];
      if (from == NONE || from + costs[k] >= best[static_cast<size_t>(t)]) continue;
      best[static_cast<size_t>(t)] = from + costs[k];
      taken[k][static_cast<size_t>(t)] = true;
    }
  }
  int64_t t = target;
  while (best[static_cast<size_t>(t)] == NONE) --t;
  for (size_t k = parts.size(); k-- > 0 && t > 0;) {
    if (!taken[k][static_cast<size_t>(t)]) continue;
    for (size_t i : parts[k]) m.marks[i] |= MARK_CURRENT;
    t -= static_cast<int64_t>(parts[k].size());
  }
}

// Both brackets brought to n cells, then the best swaps, each offered.
void fix_up(MinCut& m) {
  const int32_t ranks = m.variables <= PILOT_VARIABLES ? PILOT_RANKS : 1;
  for (uint8_t start : {uint8_t{0}, MARK_HIGH, MARK_LOW}) {
    for (int32_t rank = 0; rank < (start == 0 ? 1 : ranks); ++rank) {
      if (start == 0) {
        choose_components(m);
      } else {
        m.copy_bits(start, MARK_CURRENT);
      }
      fix_size(m, MARK_LOW, MARK_HIGH, rank);
      swap_descent(m);
      exact_descent(m);
      offer(m, evaluate_current(m));
    }
  }
}

// The bound of the cuts at the multipliers mu (perimeter) and nu (distances); `bracket`, when
// given, receives the cells between the two cuts the search ended at.
double cut_bound_at(MinCut& m, double mu, double nu, int64_t* bracket = nullptr) {
  build_model(m, mu, nu);
  const PriceSearch s = search_price(m);
  if (bracket != nullptr) *bracket = s.low.size - s.high.size;
  return m.model.constant + static_cast<double>(s.dual) / m.model.scale;
}

// One price search and fix-up at the multipliers mu and nu; returns the unclamped perimeter and
// distances terms of the fixed-up map of the search (its energy offered), and `bracket` as above.
void solve_at(MinCut& m, double mu, double nu, double terms[ENERGY_TERMS],
              int64_t* bracket = nullptr) {
  const double bound = cut_bound_at(m, mu, nu, bracket);
  // Only multipliers up to 1 keep the clamped terms above their linear parts.
  if (m.perturbation == 0.0 && mu <= 1.0 && nu <= 1.0) m.best_bound = std::max(m.best_bound, bound);
  fix_up(m);
  energy_terms(m.p.energy, terms);
}

// The sum of the n smallest integer costs of the variable cells, exactly, from a histogram of the
// costs and one of the bin that holds the n-th: a copy of the costs to select from would be held at
// the size of the run's peak.
int64_t sum_of_cheapest(const MinCut& m) {
  constexpr int64_t BINS = 65536;
  // Each band finds its own extremes and fills its own tables, joined afterwards: the counts and
  // sums are integers, so the total is the same for any number of bands.
  // At most TABLE_PIECES of them: each holds 1.5 MB of tables while the pass runs.
  const int32_t bands = std::min(m.bands(), static_cast<int32_t>(TABLE_PIECES));
  const auto B = static_cast<size_t>(bands);
  const CostSummary costs = summarise_costs(m, bands);
  const int64_t lowest = costs.lowest;
  const int64_t width = (costs.highest - lowest) / BINS + 1;
  // Per band, the count and the sum of the costs of each bin, side by side.
  std::vector<int64_t> tables(B * 2 * static_cast<size_t>(BINS), 0);
  m.for_each_variable_in_bands(bands, [&](size_t b, size_t i, int32_t, int32_t) {
    int64_t* table = tables.data() + b * 2 * static_cast<size_t>(BINS);
    const auto bin = static_cast<size_t>((m.cost(i) - lowest) / width);
    ++table[2 * bin];
    table[2 * bin + 1] += m.cost(i);
  });
  std::vector<int64_t> bins = add_up_tables(tables, 2 * static_cast<size_t>(BINS));
  std::vector<int64_t>().swap(tables);
  int64_t below = 0;
  int64_t total = 0;
  size_t bin = 0;
  for (; below + bins[2 * bin] < m.n; ++bin) {
    below += bins[2 * bin];
    total += bins[2 * bin + 1];
  }
  const int64_t first = lowest + static_cast<int64_t>(bin) * width;
  const auto W = static_cast<size_t>(width);
  std::vector<int64_t> fines(B * W, 0);
  m.for_each_variable_in_bands(bands, [&](size_t b, size_t i, int32_t, int32_t) {
    const int64_t c = m.cost(i);
    if (c >= first && c < first + width) ++fines[b * W + static_cast<size_t>(c - first)];
  });
  const std::vector<int64_t> fine = add_up_tables(fines, W);
  for (int64_t need = m.n - below, value = first; need > 0; ++value) {
    const int64_t take = std::min(need, fine[static_cast<size_t>(value - first)]);
    total += take * value;
    need -= take;
  }
  return total;
}

// The largest value of f at the points a golden-section search for its maximum on [low, high]
// tries in `steps` steps after its first two (f concave: near its maximum; else still a value of
// f, which is all a bound taken from it needs).
template <typename F>
double golden_max(double low, double high, int32_t steps, F f, double* at = nullptr) {
  const double ratio = 0.5 * (std::sqrt(5.0) - 1.0);
  double a = high - ratio * (high - low);
  double b = low + ratio * (high - low);
  double at_a = f(a);
  double at_b = f(b);
  for (int32_t step = 0; step < steps; ++step) {
    if (at_a < at_b) {
      low = a;
      a = b;
      at_a = at_b;
      b = low + ratio * (high - low);
      at_b = f(b);
    } else {
      high = b;
      b = a;
      at_b = at_a;
      a = high - ratio * (high - low);
      at_a = f(a);
    }
  }
  if (at != nullptr) *at = at_a < at_b ? b : a;
  return std::max(at_a, at_b);
}

// The constant and the sum of the n cheapest cells' own costs (sides left out), the distances
// term at the multiplier nu. The integer costs are rounded down: their sum is at most that of the
// real costs.
double cheapest_at(MinCut& m, double nu) {
  build_model(m, 0.0, nu);
  return m.model.constant + static_cast<double>(sum_of_cheapest(m)) / m.model.scale;
}

// A second bound that holds apart from any price: the cells' own costs are at least the sum of
// the n cheapest (sides left out), and no shape of n cells has a perimeter below 2 ceil(2 sqrt n).
// Where the cut jumps over n cells at once (small n), this can beat the price's bound. The
// distances term is clamped at 0: any multiplier of it between 0 and 1 keeps the sum a bound, and
// the sum is concave in it (the least of lines), so where the n cheapest cells at 1 take the term
// below 0, a golden-section search finds the largest.
double separable_bound(MinCut& m) {
  const double side = m.p.energy.term_off[1] ? 0.0 : m.p.energy.f2_weight / m.p.energy.f2_range;
  if (m.n > m.variables) return -std::numeric_limits<double>::infinity();
  double sum = cheapest_at(m, 1.0);
  constexpr double NEAR_ONE = 1.0 - 1.0 / 64.0;
  if (!m.p.energy.term_off[4] && cheapest_at(m, NEAR_ONE) > sum) {
    double nu = 1.0;
    const double best = golden_max(
        0.0, NEAR_ONE, SEPARABLE_STEPS, [&](double x) { return cheapest_at(m, x); }, &nu);
    if (best > sum) {
      sum = best;
      m.cheapest_nu = nu;
    }
  }
  sum += side *
         std::max(energy_least_perimeter(m.n) - static_cast<double>(m.p.energy.min_perimeter), 0.0);
  return sum;
}

// The perimeter and distances terms are clamped at 0. Where the map of the plain linear model
// takes one of them below 0, the clamp binds: its multiplier is lowered, halving the interval
// towards the value where the term of the maps found crosses 0.
void search_clamps(MinCut& m) {
  double terms[ENERGY_TERMS];
  double mu = 1.0;
  double nu = 1.0;
  solve_at(m, mu, nu, terms, &m.plain_bracket);
  const EnergyState& e = m.p.energy;
  for (int term : {4, 1}) {
    if (e.term_off[term] || terms[term] >= 0.0) continue;
    double low = 0.0;
    double high = 1.0;
    for (int32_t step = 0; step < CLAMP_STEPS; ++step) {
      const double middle = 0.5 * (low + high);
      (term == 4 ? nu : mu) = middle;
      solve_at(m, mu, nu, terms);
      (terms[term] < 0.0 ? high : low) = middle;
    }
    (term == 4 ? nu : mu) = low;
  }
  m.clamp_mu = mu;
  m.clamp_nu = nu;
}

// Any multipliers of the clamped terms in [0, 1] give a bound (mu f <= max(0, f)), but the clamps'
// search picks them by the sign of the terms of the maps it fixes up, not where the bound is
// largest. Where the plain cut jumped over many cells at once (a few cells, a heavy perimeter: a
// blob of many cells or none), a lighter perimeter lets the cut stop nearer n and the bound
// rises: a golden-section search on mu, at the distances multiplier the clamps' search found, at
// 0 (the maps near a distance mask pay nothing for their distances, which a multiple of the
// unclamped term cannot see) and at that of the best bound by the cheapest cells. Only where the
// plain cut jumped over more than n/4 cells, on maps small enough that the searches cost little;
// elsewhere the clamps' multipliers are as good.
double searched_bound(MinCut& m, double* best_mu, double* best_nu) {
  const EnergyState& e = m.p.energy;
  const double none = -std::numeric_limits<double>::infinity();
  if (e.term_off[1] || m.perimeter_scale != 1.0 || m.variables > SEARCHED_VARIABLES ||
      m.plain_bracket <= m.n / 4)
    return none;
  std::vector<double> nus = {m.clamp_nu};
  if (!e.term_off[4]) {
    for (const double nu : {0.0, m.cheapest_nu})
      if (std::find(nus.begin(), nus.end(), nu) == nus.end()) nus.push_back(nu);
  }
  double best = none;
  for (const double nu : nus) {
    double mu = 1.0;
    const double found = golden_max(
        0.0, 1.0, SEARCHED_STEPS, [&](double x) { return cut_bound_at(m, x, nu); }, &mu);
    if (found > best) {
      best = found;
      *best_mu = mu;
      *best_nu = nu;
    }
  }
  // Where the bound peaks the cut often meets n, with the clamped terms at or above 0: that map
  // is then the optimum, and the clamps' cuts, still jumping, may lie far from it (a use of 21
  // cells on a 60 x 60 window of the example ended 18 % above the map its bound had cut).
  if (best != none) {
    cut_bound_at(m, *best_mu, *best_nu);
    fix_up(m);
  }
  return best;
}

// One problem of the branching: the maps whose cells `fixed` holds are allocated (`in`) or not.
struct Fixing {
  size_t cell;
  bool in;
};
struct Branch {
  double bound;
  std::vector<Fixing> fixed;
  size_t split = 0;  // a cell to branch on (0, a border cell: none)
  bool operator>(const Branch& o) const { return bound > o.bound; }
};

// The cell of the cut's maps marked `marks` (of their cells, not kept in or out by `fixed`) whose
// own cost is largest, or 0 where there is none.
size_t costliest(MinCut& m, uint8_t marks, const std::vector<Fixing>& fixed) {
  size_t cell = 0;
  double largest = -std::numeric_limits<double>::infinity();
  m.for_each_variable([&](size_t i, int32_t, int32_t) {
    if ((m.marks[i] & (MARK_LOW | MARK_HIGH)) != marks) return;
    for (const Fixing& f : fixed)
      if (f.cell == i) return;
    const double cost = m.real_cost(i);
    if (cost > largest) {
      largest = cost;
      cell = i;
    }
  });
  return cell;
}

// The bound of the cuts at the multipliers mu and nu over the maps `fixed` allows: a cell kept
// out is no longer variable (its sides face a cell never allocated, as they would), a cell kept
// in costs `in_bonus` less, given back to the bound for each such cell. A bonus beyond any cost,
// side and price makes it part of every cut, and the bound holds whether or not it does.
// `split` receives the cell of the jump between the two cuts the search ended at whose own cost
// is largest (the first a map of n cells would give up), or 0 where the search met n; `met`,
// where given, the costliest cell of the map of n cells the search met, or 0. With `part_maps`
// the part's cuts are fixed up too, its kept-out cells free in every map tried.
double fixed_bound(MinCut& m, double mu, double nu, const std::vector<Fixing>& fixed, size_t* split,
                   size_t* met = nullptr) {
  std::vector<uint8_t> saved;
  for (const Fixing& f : fixed) {
    if (f.in) continue;
    saved.push_back(m.marks[f.cell]);
    m.marks[f.cell] = 0;
    --m.variables;
  }
  build_model(m, mu, nu);
  const int64_t in_bonus = 2 * static_cast<int64_t>(COST_SCALE) + 8 * m.model.pair;
  int64_t kept_in = 0;
  for (const Fixing& f : fixed) {
    if (!f.in) continue;
    m.costs[f.cell] -= static_cast<int32_t>(in_bonus);
    ++kept_in;
  }
  *split = 0;
  if (met != nullptr) *met = 0;
  // Too many cells kept in or out: the part holds no map of n cells.
  const bool empty = kept_in > m.n || m.variables < m.n;
  const PriceSearch s = empty ? PriceSearch{} : search_price(m);
  // The search stops at a cut of n cells, marked in both brackets.
  const bool meets = !empty && (s.low.size == m.n || s.high.size == m.n);
  if (!empty && !meets) *split = costliest(m, MARK_LOW, fixed);
  if (meets && met != nullptr) *met = costliest(m, MARK_LOW | MARK_HIGH, fixed);
  const double best_before = m.best_energy;
  if (!empty && m.part_maps) {
    uint8_t* state = m.p.states.state.get();
    for (const Fixing& f : fixed)
      if (!f.in) state_set(state[f.cell], STATE_FREE);
    fix_up(m);
  }
  // A kept-out cell is in no map the part offered: where one became the best, the cell is not in
  // it, and the current map is copied anew before it is next read.
  const auto keep = static_cast<uint8_t>(m.best_energy < best_before ? ~(MARK_BEST | MARK_CURRENT)
                                                                     : ~MARK_CURRENT);
  size_t k = 0;
  for (const Fixing& f : fixed) {
    if (f.in) continue;
    m.marks[f.cell] = static_cast<uint8_t>(saved[k++] & keep);
    ++m.variables;
  }
  if (empty) return std::numeric_limits<double>::infinity();
  return m.model.constant + static_cast<double>(s.dual + in_bonus * kept_in) / m.model.scale;
}

using Multipliers = std::vector<std::pair<double, double>>;

// The best bound of the part `fixed` over the pairs of multipliers `tried`, and the split of the
// pair that gives it. With `met`, where that pair's cut meets n but another's jumps, the split is
// the other's: the part's bound is then the relaxed energy of a map of n cells (a multiplier below
// 1 counts only part of a clamped term), and the parts of the other's jump may each lie higher.
// Where every pair's cut meets n, the split is by the costliest cell of the best pair's map: that
// map may still lie above its relaxed energy, and one of the two parts no longer holds it.
//
// A part whose n cells are all kept in holds one map: its bound is that map's energy without
// islands, offered, and not the relaxed energy the cuts give it (with multipliers below 1, or
// clamped terms below 0, a chain of parts that keep in the cells of the cut they met would
// otherwise never rise).
double part_bound(MinCut& m, const Multipliers& tried, const std::vector<Fixing>& fixed, bool met,
                  size_t* split) {
  double single = -std::numeric_limits<double>::infinity();
  if (std::count_if(fixed.begin(), fixed.end(), [](const Fixing& f) { return f.in; }) == m.n) {
    m.each_variable_at_once([](size_t, uint8_t& mark) { mark &= ~MARK_CURRENT; });
    for (const Fixing& f : fixed)
      if (f.in) m.marks[f.cell] |= MARK_CURRENT;
    const double energy = evaluate_current(m);
    offer(m, energy);
    single = without_islands(m, energy);
  }
  double best = -std::numeric_limits<double>::infinity();
  double jumping = -std::numeric_limits<double>::infinity();
  size_t jump = 0;
  size_t best_met = 0;
  for (const auto& [mu, nu] : tried) {
    size_t cell = 0;
    size_t met_cell = 0;
    const double bound = fixed_bound(m, mu, nu, fixed, &cell, met ? &met_cell : nullptr);
    if (bound > best) {
      best = bound;
      *split = cell;
      best_met = met_cell;
    }
    if (cell != 0 && bound > jumping) {
      jumping = bound;
      jump = cell;
    }
  }
  if (met && *split == 0) *split = jump != 0 ? jump : best_met;
  return std::max(best, single);
}

// Where the cut jumps over many cells at once, the dual's line between the two cuts lies well
// below every map of n cells between them. The maps are split by whether a cell of the jump is
// allocated, each part bounded by its own cuts (at least its parent's bound: its maps are some
// of the parent's), always the part of the lowest bound first; the least bound of the parts left
// bounds them all, or the best map found where every part lies above it. At most BRANCHES parts
// and `branch_work` cells times cuts. A part is left once its bound reaches the energy without
// islands of the best map found, read as the split goes: with `part_maps` the parts' own maps
// lower it.
double branched_bound(MinCut& m, const Multipliers& tried, bool met, double root) {
  std::priority_queue<Branch, std::vector<Branch>, std::greater<Branch>> open;
  Branch first{root, {}, 0};
  first.bound = std::max(root, part_bound(m, tried, first.fixed, met, &first.split));
  open.push(first);
  double closed = std::numeric_limits<double>::infinity();  // least bound of parts solved
  const int32_t first_flows = m.flows;
  for (int32_t parts = 1;
       parts < BRANCHES && !open.empty() && !time_is_up(m.p) &&
       static_cast<double>(m.flows - first_flows) * static_cast<double>(m.variables) <=
           m.branch_work;) {
    Branch b = open.top();
    if (b.bound >= std::min(m.best_without_islands, closed)) break;
    if (b.split == 0) {
      closed = std::min(closed, b.bound);
      open.pop();
      continue;
    }
    open.pop();
    for (const bool in : {true, false}) {
      Branch part{b.bound, b.fixed, 0};
      part.fixed.push_back({b.split, in});
      part.bound = std::max(b.bound, part_bound(m, tried, part.fixed, met, &part.split));
      open.push(std::move(part));
      ++parts;
    }
  }
  double least = std::min(m.best_without_islands, closed);
  if (!open.empty()) least = std::min(least, open.top().bound);
  return least;
}

// The islands and enclosed holes of the best map, each tried away: an island's cells are freed and
// as many added where they cost least, a hole's cells allocated and as many removed. A try is kept
// when the full energy does not rise (an island only when it falls). `work_share` is the share
// of the tries' budget this polish takes (no fewer than MIN_POLISH_TRIES).
void polish(MinCut& m, double work_share = 1.0) {
  build_model(m, 1.0, 1.0);
  m.copy_bits(MARK_BEST, MARK_CURRENT);
  double energy = evaluate_current(m);
  IslandState islands;
  const GridGeometry& geometry = m.p.maps.geometry;
  if (!islands_allocate(islands, m.p.maps.cell_count())) fatal(1, "error: not enough memory!\n");
  const double budget =
      std::clamp(POLISH_WORK / static_cast<double>(std::max<int64_t>(m.variables, 1)),
                 static_cast<double>(MIN_POLISH_TRIES), static_cast<double>(MAX_POLISH_TRIES));
  const auto max_tries = static_cast<int32_t>(
      std::max(static_cast<double>(MIN_POLISH_TRIES), std::ceil(work_share * budget)));
  for (int32_t tries = 0; tries < max_tries && !time_is_up(m.p); ++tries) {
    // Candidates: the islands but the largest, and the enclosed holes, smallest first.
    const int32_t count =
        islands_label(islands, m.p.maps, PROCESS_SOLUTION_MAP, m.p.working_cell_value);
    std::vector<std::vector<size_t>> groups;
    if (count > 1) {
      std::vector<std::vector<size_t>> cells(static_cast<size_t>(count));
      for (int32_t r = 0; r < geometry.nrows; ++r) {
        for (int32_t c = 0; c < geometry.ncols; ++c) {
          const int32_t label = islands.label_map[cell_index(geometry.ncols, r, c)];
          if (label >= 0) cells[static_cast<size_t>(label)].push_back(bordered_index(m.grid, r, c));
        }
      }
      std::sort(cells.begin(), cells.end(),
                [](const auto& a, const auto& b) { return a.size() < b.size(); });
      cells.pop_back();
      for (auto& g : cells) groups.push_back(std::move(g));
    }
    const size_t islands_tried = groups.size();
    // Holes: components of free variable cells whose every side leads to an allocated cell.
    m.each_variable_at_once([](size_t, uint8_t& mark) { mark &= ~MARK_VISITED; });
    // A component's cells are kept only while it may still be a hole of fewer than n cells: the
    // free land around the map is most of the grid, and only the queue's front need cross it.
    m.for_each_variable([&](size_t start, int32_t, int32_t) {
      if (m.current(start) || (m.marks[start] & MARK_VISITED)) return;
      std::vector<size_t> hole{start};
      std::deque<size_t> queue{start};
      m.marks[start] |= MARK_VISITED;
      bool candidate = true;
      while (!queue.empty()) {
        const size_t i = queue.front();
        queue.pop_front();
        for (int k = 0; k < 4; ++k) {
          const size_t j = i + m.offset(k);
          if (m.current(j)) continue;
          if (!m.variable(j)) {
            candidate = false;
            continue;
          }
          if (!(m.marks[j] & MARK_VISITED)) {
            m.marks[j] |= MARK_VISITED;
            queue.push_back(j);
            if (candidate) hole.push_back(j);
          }
        }
        if (candidate && static_cast<int64_t>(hole.size()) >= m.n) candidate = false;
        if (!candidate && hole.capacity() > 0) std::vector<size_t>().swap(hole);
      }
      if (candidate) groups.push_back(std::move(hole));
    });
    std::stable_sort(groups.begin() + static_cast<std::ptrdiff_t>(islands_tried), groups.end(),
                     [](const auto& a, const auto& b) { return a.size() < b.size(); });
    bool improved = false;
    for (size_t g = 0; g < groups.size() && tries < max_tries && !time_is_up(m.p); ++g, ++tries) {
      const bool is_hole = g >= islands_tried;
      m.copy_bits(MARK_CURRENT, MARK_SAVED);
      for (size_t i : groups[g]) {
        m.toggle(i);
        m.marks[i] |= MARK_KEPT;
      }
      m.each_variable_at_once([](size_t, uint8_t& mark) {
        if (!(mark & MARK_KEPT)) mark |= MARK_LOW;
        mark &= ~MARK_HIGH;
      });
      fix_size(m, MARK_LOW, MARK_KEPT);
      swap_descent(m);
      for (size_t i : groups[g]) m.marks[i] &= ~MARK_KEPT;
      const double tried = evaluate_current(m);
      if (tried < energy - ENERGY_TOLERANCE || (is_hole && tried <= energy + ENERGY_TOLERANCE)) {
        energy = tried;
        offer(m, tried);
        improved = true;
        break;  // the islands and holes changed: label again
      }
      // The next try evaluates its own map in full, and the islands are labelled again only
      // after a try that was kept: the map put back needs no evaluation of its own.
      m.copy_bits(MARK_SAVED, MARK_CURRENT);
    }
    if (!improved) break;
  }
  if (energy <= m.best_energy + ENERGY_TOLERANCE) {
    m.best_energy = std::min(m.best_energy, energy);
    m.copy_bits(MARK_CURRENT, MARK_BEST);
  }
}

// Cells every map must allocate, as a bonus (a cost of the run's own, in `bonus`, bordered like
// the records) on each that outweighs anything the rest of the energy gives back for freeing it:
// a cell cheaper than every other by more than eight sides is in every nonempty minimum cut, and
// no greedy step or polish frees it. Each group of kept-in cells first grows to the least island
// size by the neighbour that costs least beside it. Returns whether any cell is kept in.
bool keep_cells_in(MinCut& m, const MinCutParameters& parameters, PackedMap& bonus) {
  if (parameters.keep_in == nullptr || m.p.extra_cost != nullptr) return false;
  build_model(m, 1.0, 1.0);
  const double side = m.model.side;
  std::vector<uint8_t> in(m.grid.cells, 0);
  m.for_each_variable([&](size_t i, int32_t row, int32_t col) {
    in[i] = (*parameters.keep_in)[cell_index(m.grid.ncols, row, col)] != 0 ? 1 : 0;
  });
  // What a cell adds beside the group growing (marked 2) and the map it starts from: its cost,
  // less the sides it closes. Growing towards the map's other cells, an island may join them.
  const auto grow_cost = [&](size_t i) {
    int32_t beside = 0;
    for (int k = 0; k < 4; ++k) {
      const size_t j = i + m.offset(k);
      beside += in[j] == 2 || m.current(j) ? 1 : 0;
    }
    return m.real_cost(i) - 2.0 * side * beside;
  };
  int64_t kept = 0;
  std::vector<size_t> order;
  m.for_each_variable([&](size_t i, int32_t, int32_t) {
    if (in[i] == 1) order.push_back(i);
  });
  for (size_t start : order) {
    if (in[start] != 1) continue;  // grown or met from an earlier cell of its group
    // The group (marked 2 while it grows), then its cheapest neighbours up to the least size.
    std::vector<size_t> group{start};
    in[start] = 2;
    for (size_t q = 0; q < group.size(); ++q) {
      for (int k = 0; k < 4; ++k) {
        const size_t j = group[q] + m.offset(k);
        if (in[j] == 1) {
          in[j] = 2;
          group.push_back(j);
        }
      }
    }
    // A neighbour's cost falls as the group grows around it: it enters the heap again each time,
    // and an entry whose cost is no longer the cell's own is passed over.
    std::priority_queue<std::pair<double, size_t>, std::vector<std::pair<double, size_t>>,
                        std::greater<>>
        heap;
    const auto offer_neighbours = [&](size_t g) {
      for (int k = 0; k < 4; ++k) {
        const size_t j = g + m.offset(k);
        if (m.variable(j) && in[j] == 0) heap.emplace(grow_cost(j), j);
      }
    };
    for (size_t g : group) offer_neighbours(g);
    while (static_cast<int64_t>(group.size()) < parameters.least_island && !heap.empty()) {
      const auto [cost, j] = heap.top();
      heap.pop();
      if (in[j] != 0 || cost != grow_cost(j)) continue;
      in[j] = 2;
      group.push_back(j);
      offer_neighbours(j);
    }
    const bool fits = kept + static_cast<int64_t>(group.size()) <= m.n;
    for (size_t g : group) in[g] = fits ? 3 : 4;
    if (fits) kept += static_cast<int64_t>(group.size());
  }
  if (kept == 0) return false;
  // The model built above, without the bonus yet, gives the largest cost.
  const auto amount = static_cast<float>(-(3.0 * m.model.largest + 8.0 * side));
  std::vector<float> cells(m.grid.cells, 0.0f);
  for (size_t i = 0; i < in.size(); ++i)
    if (in[i] == 3) cells[i] = amount;
  bonus = PackedMap(cells);
  m.p.extra_cost = &bonus;
  log_message("  %" PRId64 " cells kept in the cuts\n", kept);
  return true;
}

// The searched multipliers' bound, raised by branching on maps small enough; `known` is the best
// bound found before. The parts are bounded at the searched multipliers, the clamps' and 1: a
// part whose cut meets n at one pair may still jump at another. With `branch_met` and the
// distances term on, also at the whole perimeter and no distances: a map below the distances'
// clamp pays nothing for them, which a multiplier above 0 cannot see, and a lighter perimeter
// leaves part of its perimeter out.
double branched(MinCut& m, const MinCutParameters& parameters, double known) {
  double mu = 1.0;
  double nu = 1.0;
  const double searched = searched_bound(m, &mu, &nu);
  if (!parameters.branch || m.variables > BRANCHED_VARIABLES || m.perimeter_scale != 1.0)
    return searched;
  Multipliers tried;
  if (searched != -std::numeric_limits<double>::infinity()) tried.push_back({mu, nu});
  Multipliers others = {{m.clamp_mu, m.clamp_nu}, {1.0, 1.0}};
  if (parameters.branch_met && !m.p.energy.term_off[4]) others.emplace_back(1.0, 0.0);
  for (const std::pair<double, double>& other : others)
    if (std::find(tried.begin(), tried.end(), other) == tried.end()) tried.push_back(other);
  return branched_bound(m, tried, parameters.branch_met, std::max(searched, known));
}

}  // namespace

double min_cut_polish(ProcessRun& p, double work_share) {
  cell_states_load(p.states, p.inputs->records, p.maps.map(PROCESS_SOLUTION_MAP),
                   p.working_cell_value,
                   run_bands(p.run, p.maps.geometry.nrows, p.maps.geometry.ncols));
  const double start = energy_evaluate(p);
  if (time_is_up(p)) return start;
  EvolutionListing none;
  MinCut m(p, none);
  mark_variables(m);
  if (m.n == 0 || m.n == m.variables) return start;
  std::vector<size_t> before;
  m.for_each_variable([&](size_t i, int32_t, int32_t) {
    if (m.current(i)) before.push_back(i);
  });
  m.copy_bits(MARK_CURRENT, MARK_BEST);
  m.best_energy = start;
  exact_descent(m);
  offer(m, evaluate_current(m));
  polish(m, work_share);
  m.copy_bits(MARK_BEST, MARK_CURRENT);
  const double energy = evaluate_current(m);
  if (energy < start) return energy;
  // A hole filled at an equal energy (within the tolerance) is no fall: the map stays as it was.
  m.for_each_variable([&](size_t i, int32_t, int32_t) { m.marks[i] &= ~MARK_CURRENT; });
  for (size_t i : before) m.marks[i] |= MARK_CURRENT;
  return evaluate_current(m);
}

double min_cut_gap_percent(double final_energy, double lower_bound) {
  const double gap = std::max(final_energy - lower_bound, 0.0);
  if (gap == 0.0) return 0.0;
  return 100.0 * gap / std::fabs(final_energy);
}

MinCutResult run_min_cut(ProcessRun& p, const MinCutParameters& parameters,
                         uint64_t perturbation_seed, EvolutionListing& listing) {
  log_message("reload\n");
  stage_read_handover(p.run, Handover::preprocess_output, p.input, p.maps, PROCESS_SOLUTION_MAP);
  moves_index(p);
  if (p.allocated.cells.empty()) fatal(1, "error: no allocated cell to move!\n");
  MinCutResult result;
  result.initial_energy = energy_evaluate(p);
  if (p.allocated.receivers == 0) {
    // Every cell that may be allocated is: the map is the only one of its count, the optimum.
    log_message("  no free cell: the map is the only one of %zu cells\n", p.allocated.cells.size());
    result.final_energy = result.lower_bound = result.initial_energy;
    return result;
  }
  log_message("execution\n");
  MinCut m(p, listing);
  mark_variables(m);
  m.copy_bits(MARK_CURRENT, MARK_BEST);
  m.price_hint = parameters.price_hint;
  m.perimeter_scale = parameters.perimeter_scale;
  m.part_maps = parameters.part_maps;
  m.branch_work = parameters.branch_work;
  PackedMap bonus;
  const bool kept_in = keep_cells_in(m, parameters, bonus);
  m.best_energy =
      m.perimeter_scale == 1.0 && !kept_in ? result.initial_energy : evaluate_current(m);
  Progress progress = progress_begin(0.0);
  progress_update(progress, 0.0, 1.0, "PROCESS minimum cuts");
  // The bound apart from any price passes over every cell and selects among them, the searched
  // multipliers cut again. A run that makes no search after the first and draws no perturbation
  // reads its bound nowhere (a block of several uses on a large map, a pass of the rules'
  // rounds): it goes without them.
  const bool bound_read =
      parameters.bound_only || parameters.recut_work >= 0.0 || perturbation_seed != 0;
  const double separable =
      bound_read ? separable_bound(m) : -std::numeric_limits<double>::infinity();
  // Every term is at least 0 once clamped: without costs of the run's own (another use's shared
  // sides, which may attract), no map is below 0, however weak the multipliers left the bound.
  const double least = p.extra_cost == nullptr ? 0.0 : -std::numeric_limits<double>::infinity();
  if (parameters.bound_only) {
    const double plain = cut_bound_at(m, 1.0, 1.0, &m.plain_bracket);
    const double searched = branched(m, parameters, std::max({plain, separable, least}));
    progress_end(progress);
    // The split evaluates maps on the solution's cells: the best of them is left there.
    m.copy_bits(MARK_BEST, MARK_CURRENT);
    result.final_energy = evaluate_current(m);
    result.lower_bound =
        std::min(std::max({plain, separable, searched, least}), result.final_energy);
    result.flows = m.flows;
    result.price = m.found_price;
    return result;
  }
  search_clamps(m);
  const double searched = bound_read
                              ? branched(m, parameters, std::max({m.best_bound, separable, least}))
                              : -std::numeric_limits<double>::infinity();
  progress_update(progress, 0.3, 1.0, "PROCESS minimum cuts, the prices found");
  // The re-cuts and the portfolio size their perturbations on the clamps' multipliers' bound,
  // which the searched multipliers may pass where the cuts jump.
  const double bound = std::max({m.best_bound, separable, least});
  // Between two prices the cut jumps over n cells; costs perturbed by a share of the gap left
  // make other cuts minimal, and some land nearer n or on a better map.
  // The perimeter's weight scaled up or down moves the jumps to other sizes and shapes.
  const int32_t first_flows = m.flows;
  for (int32_t recut = 0; recut < RECUTS; ++recut) {
    const double gap = m.best_without_islands - bound;
    if (gap <= RECUT_GAP * std::fabs(bound) + ENERGY_TOLERANCE || time_is_up(p)) break;
    if (static_cast<double>(m.flows - first_flows) * static_cast<double>(m.variables) >
        parameters.recut_work)
      break;
    progress_update(progress, 0.3 + 0.5 * recut / RECUTS, 1.0, "PROCESS re-cut %d of at most %d",
                    recut + 1, RECUTS);
    m.perturbation_seed = 0x2545f4914f6cdd1dULL * static_cast<uint64_t>(recut + 1);
    m.perturbation = gap / static_cast<double>(m.n) * RECUT_PLAN[recut].perturbation;
    double terms[ENERGY_TERMS];
    solve_at(m, RECUT_PLAN[recut].perimeter, 1.0, terms);
  }
  m.perturbation = 0.0;
  // The bonus of cells kept in would swamp a perturbation sized on the energy.
  if (perturbation_seed != 0 && parameters.portfolio_gap > 0.0 && !kept_in) {
    // Costs perturbed by up to `perturbation` a cell change the map by at most n times that; most
    // maps change far less, so the first tries perturb more and the amplitude falls until the
    // map stays within the portfolio gap of the best one. The map kept is the perturbed one.
    const double best = m.best_energy;
    const double limit = best + parameters.portfolio_gap * std::fabs(best);
    m.copy_bits(MARK_BEST, MARK_SAVED);
    m.perturbation_seed = perturbation_seed;
    bool kept = false;
    for (double share = PERTURBATION_FIRST_SHARE; share >= 1.0 && !kept; share /= 4.0) {
      m.perturbation =
          share * parameters.portfolio_gap * std::fabs(bound) / static_cast<double>(m.n);
      m.best_energy = std::numeric_limits<double>::infinity();
      double terms[ENERGY_TERMS];
      solve_at(m, 1.0, 1.0, terms);
      kept = m.best_energy <= limit;
    }
    m.perturbation = 0.0;
    if (!kept) {
      m.copy_bits(MARK_SAVED, MARK_BEST);
      m.best_energy = best;
    }
  }
  if (parameters.polish) {
    progress_update(progress, 0.9, 1.0, "PROCESS polish");
    polish(m);
  }
  progress_end(progress);
  if (kept_in) m.p.extra_cost = nullptr;  // the map's own energy, without the kept-in bonus
  m.copy_bits(MARK_BEST, MARK_CURRENT);
  evaluate_current(m);
  result.final_energy = m.plain_energy;
  result.lower_bound = std::min(std::max(bound, searched), result.final_energy);
  result.flows = m.flows;
  result.price = m.found_price;
  log_message("  flows %d\n", m.flows);
  return result;
}
