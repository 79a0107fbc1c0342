#include "raster/grid_flow.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "base/bands.h"
#include "base/log.h"

namespace {

// A cell's byte: bits 0-1 its tree, bits 2-4 its parent, then the active, checked and pending
// flags.
constexpr uint8_t TREE_MASK = 0x03;
constexpr uint8_t OUTSIDE = 0;  // not in the graph (the border, and cells never loaded)
constexpr uint8_t FREE = 1;
constexpr uint8_t SOURCE = 2;
constexpr uint8_t SINK = 3;
constexpr int PARENT_SHIFT = 2;
constexpr uint8_t PARENT_MASK = 0x1c;
// Parents 0 to 3 are the neighbours in geometry.h's side order (up, left, right, down), so that
// the side back from neighbour d is 3 - d; then the cell's own terminal, and none for an orphan.
constexpr uint8_t TO_TERMINAL = 4;
constexpr uint8_t NO_PARENT = 5;
constexpr uint8_t ACTIVE = 0x20;   // to search, with an entry in the queue
constexpr uint8_t CHECKED = 0x40;  // rooted at its terminal, known during one adoption
constexpr uint8_t PENDING = 0x80;  // to search when the sweep reaches it, before the queue

constexpr int32_t PAIR_LIMIT = 1 << 28;

inline uint8_t tree_of(uint8_t cell) {
  return cell & TREE_MASK;
}
inline uint8_t parent_of(uint8_t cell) {
  return static_cast<uint8_t>((cell & PARENT_MASK) >> PARENT_SHIFT);
}
inline uint8_t with_parent(uint8_t cell, uint8_t parent) {
  return static_cast<uint8_t>((cell & ~PARENT_MASK) | (parent << PARENT_SHIFT));
}
inline uint8_t with_tree(uint8_t cell, uint8_t tree) {
  return static_cast<uint8_t>((cell & ~TREE_MASK) | tree);
}

// Raw views of the arrays for the inner loops, with the neighbour offsets of the bordered grid and
// the cells of the band being solved, [lo, hi): the cells past them count as outside the graph, so
// that a band's search never reads or writes what another thread's changes.
struct Net {
  int32_t* side;
  int32_t* terminal;
  uint8_t* node;
  int32_t pair;
  ptrdiff_t step[4];       // from a cell to its neighbour d
  ptrdiff_t side_step[4];  // from 2 * cell to the side it shares with neighbour d
  size_t lo;
  size_t hi;

  // Residual capacity from cell p into its neighbour d: a side's flow counts rightwards and
  // downwards, so it frees capacity towards up and left.
  int32_t residual(size_t p, int d) const {
    const int32_t f = side[2 * p + side_step[d]];
    return d < 2 ? pair + f : pair - f;
  }
  void push(size_t p, int d, int32_t amount) const {
    int32_t& f = side[2 * p + side_step[d]];
    f = d < 2 ? f - amount : f + amount;
  }
  size_t neighbour(size_t p, int d) const { return static_cast<size_t>(p + step[d]); }
  uint8_t tree_at(size_t q) const { return q - lo < hi - lo ? tree_of(node[q]) : OUTSIDE; }
  // Net flow out of p through its sides, which is what its terminal arcs carry in.
  int64_t outflow(size_t p) const {
    return int64_t{side[2 * p]} + side[2 * p + 1] - side[2 * p + side_step[1]] -
           side[2 * p + side_step[0]];
  }
};

Net net_of(GridFlow& g, size_t lo, size_t hi) {
  const auto stride = static_cast<ptrdiff_t>(g.stride);
  return Net{g.side_flow.data(),
             g.terminal.data(),
             g.node.data(),
             g.pair,
             {-stride, -1, 1, stride},
             {-2 * stride + 1, -2, 0, 1},
             lo,
             hi};
}

Net whole_net(GridFlow& g) {
  return net_of(g, 0, g.node.size());
}

size_t cell_of(const GridFlow& g, int32_t row, int32_t col) {
  if (row < 0 || row >= g.nrows || col < 0 || col >= g.ncols) {
    fatal(1, "error: grid flow cell (%d, %d) outside the %d x %d grid!\n", row, col, g.nrows,
          g.ncols);
  }
  return (static_cast<size_t>(row) + 1) * g.stride + static_cast<size_t>(col) + 1;
}

bool terminal_fits(const GridFlow& g, int64_t terminal) {
  return std::llabs(terminal) + 4 * int64_t{g.pair} < (int64_t{1} << 31);
}

void check_terminal(const GridFlow& g, int64_t terminal) {
  if (!terminal_fits(g, terminal)) {
    fatal(1, "error: grid flow terminal capacity %lld too large for pair capacity %d!\n",
          static_cast<long long>(terminal), g.pair);
  }
}

void activate(GridFlowSearch& s, const Net& net, uint32_t p) {
  uint8_t& cell = net.node[p];
  if (cell & (ACTIVE | PENDING)) return;
  cell |= ACTIVE;
  s.active.push_back(p);
}

// Activates a cell whose terminal was set, through the sweep: the searches keep the order they
// would have in the queue, which would otherwise take 4 bytes for every cell at the first solve.
void activate_by_sweep(GridFlowSearch& s, const Net& net, size_t p) {
  uint8_t& cell = net.node[p];
  if (cell & (ACTIVE | PENDING)) return;
  cell |= PENDING;
  s.sweep = std::min(s.sweep, p);
}

void make_orphan(GridFlowSearch& s, const Net& net, uint32_t p) {
  net.node[p] = with_parent(net.node[p], NO_PARENT);
  s.orphans.push_back(p);
}

// Whether q reaches its tree's terminal through parents; if so every cell on the way is flagged
// checked, so that later walks of the same adoption stop there.
bool rooted(GridFlowSearch& s, const Net& net, size_t q) {
  size_t x = q;
  for (;;) {
    const uint8_t cell = net.node[x];
    if (cell & CHECKED) break;
    const uint8_t parent = parent_of(cell);
    if (parent == TO_TERMINAL) break;
    if (parent == NO_PARENT) return false;
    x = net.neighbour(x, parent);
  }
  for (x = q;;) {
    uint8_t& cell = net.node[x];
    if (cell & CHECKED) break;
    cell |= CHECKED;
    s.checked.push_back(static_cast<uint32_t>(x));
    const uint8_t parent = parent_of(cell);
    if (parent == TO_TERMINAL) break;
    x = net.neighbour(x, parent);
  }
  return true;
}

// Finds each orphan a new parent in its tree, one already rooted at the terminal, or frees it:
// then its children become orphans, and the neighbours that could grow into it are searched again.
void adopt(GridFlowSearch& s, const Net& net) {
  while (!s.orphans.empty()) {
    const uint32_t p = s.orphans.back();
    s.orphans.pop_back();
    uint8_t& cell = net.node[p];
    const uint8_t tree = tree_of(cell);
    // Set to a terminal again, or freed, since it was queued.
    if (parent_of(cell) != NO_PARENT || tree == FREE) continue;
    // An orphan's terminal has no residual capacity towards its tree: a cell with some always
    // hangs from its terminal, and loses that parent only when the capacity runs out.
    const bool source = tree == SOURCE;
    uint8_t parent = NO_PARENT;
    for (int d = 0; d < 4 && parent == NO_PARENT; ++d) {
      const size_t q = net.neighbour(p, d);
      if (net.tree_at(q) != tree) continue;
      const int32_t capacity = source ? net.residual(q, 3 - d) : net.residual(p, d);
      if (capacity > 0 && rooted(s, net, q)) parent = static_cast<uint8_t>(d);
    }
    if (parent != NO_PARENT) {
      cell = with_parent(cell, parent);
      continue;
    }
    // Every tree must be able to grow into the freed cell again, the other one too: a cell of it
    // already searched may have met this one while it waited to be searched itself.
    for (int d = 0; d < 4; ++d) {
      const size_t q = net.neighbour(p, d);
      const uint8_t other = net.tree_at(q);
      if (other == OUTSIDE || other == FREE) continue;
      const int32_t capacity = other == SOURCE ? net.residual(q, 3 - d) : net.residual(p, d);
      if (capacity > 0) activate(s, net, static_cast<uint32_t>(q));
      if (other == tree && parent_of(net.node[q]) == 3 - d) {
        make_orphan(s, net, static_cast<uint32_t>(q));
      }
    }
    cell = with_tree(cell, FREE);
  }
  for (const uint32_t x : s.checked) net.node[x] &= static_cast<uint8_t>(~CHECKED);
  s.checked.clear();
}

// Pushes the bottleneck along the path source -> ... -> a -> b -> ... -> sink, a in the source
// tree and b its neighbour d in the sink tree; cells whose parent arc saturates become orphans.
void augment(GridFlowSearch& s, const Net& net, size_t a, int d, size_t b) {
  int32_t amount = net.residual(a, d);
  size_t x = a;
  for (uint8_t parent; (parent = parent_of(net.node[x])) != TO_TERMINAL;) {
    const size_t y = net.neighbour(x, parent);
    amount = std::min(amount, net.residual(y, 3 - parent));
    x = y;
  }
  amount = std::min(amount, net.terminal[x]);
  for (x = b;;) {
    const uint8_t parent = parent_of(net.node[x]);
    if (parent == TO_TERMINAL) break;
    amount = std::min(amount, net.residual(x, parent));
    x = net.neighbour(x, parent);
  }
  amount = std::min(amount, -net.terminal[x]);

  net.push(a, d, amount);
  for (x = a;;) {
    const uint8_t parent = parent_of(net.node[x]);
    if (parent == TO_TERMINAL) break;
    const size_t y = net.neighbour(x, parent);
    net.push(y, 3 - parent, amount);
    if (net.residual(y, 3 - parent) == 0) make_orphan(s, net, static_cast<uint32_t>(x));
    x = y;
  }
  net.terminal[x] -= amount;
  if (net.terminal[x] == 0) make_orphan(s, net, static_cast<uint32_t>(x));
  for (x = b;;) {
    const uint8_t parent = parent_of(net.node[x]);
    if (parent == TO_TERMINAL) break;
    const size_t y = net.neighbour(x, parent);
    net.push(x, parent, amount);
    if (net.residual(x, parent) == 0) make_orphan(s, net, static_cast<uint32_t>(x));
    x = y;
  }
  net.terminal[x] += amount;
  if (net.terminal[x] == 0) make_orphan(s, net, static_cast<uint32_t>(x));
  s.flow += amount;
}

// Drops the taken entries at the front of the active queue once they are the larger part, so
// that the queue holds about as many entries as there are active cells.
void compact_active(GridFlowSearch& s) {
  if (s.active_head < 4096 || 2 * s.active_head < s.active.size()) return;
  s.active.erase(s.active.begin(), s.active.begin() + static_cast<ptrdiff_t>(s.active_head));
  s.active_head = 0;
}

// The search of grid_flow_solve on the cells [net.lo, net.hi), until no path is left there.
void solve_net(GridFlowSearch& s, const Net& net) {
  adopt(s, net);
  for (;;) {
    // The sweep's cells come first, in index order, then those the queue holds.
    const bool swept = s.sweep < net.hi;
    if (swept && !(net.node[s.sweep] & PENDING)) {
      ++s.sweep;
      continue;
    }
    if (!swept && s.active_head == s.active.size()) break;
    const size_t p = swept ? s.sweep : s.active[s.active_head];
    uint8_t& cell = net.node[p];
    const uint8_t tree = tree_of(cell);
    int meet = -1;
    const uint8_t flag = swept ? PENDING : ACTIVE;
    if ((cell & flag) && tree != FREE) {
      const bool source = tree == SOURCE;
      for (int d = 0; d < 4; ++d) {
        const size_t q = net.neighbour(p, d);
        const uint8_t other = net.tree_at(q);
        if (other == OUTSIDE || other == tree) continue;
        const int32_t capacity = source ? net.residual(p, d) : net.residual(q, 3 - d);
        if (capacity <= 0) continue;
        if (other != FREE) {
          meet = d;
          break;
        }
        net.node[q] = with_parent(with_tree(net.node[q], tree), static_cast<uint8_t>(3 - d));
        activate(s, net, static_cast<uint32_t>(q));
      }
    }
    if (meet < 0) {
      cell &= static_cast<uint8_t>(~flag);
      if (swept) {
        ++s.sweep;
      } else {
        ++s.active_head;
        compact_active(s);
      }
      continue;
    }
    // The cell stays in front: once the orphans are adopted it may meet the other tree again.
    const size_t q = net.neighbour(p, meet);
    if (tree == SOURCE) {
      augment(s, net, p, meet, q);
    } else {
      augment(s, net, q, 3 - meet, p);
    }
    adopt(s, net);
  }
  s.active.clear();
  s.active_head = 0;
}

// What grid_flow_set_terminal does to cell p, in the search `s` of the band or grid `net`: of the
// cell's children, only those within it are orphaned (see leave_band_borders for the others).
// `through` is the cell's net.outflow(p), which a caller may have at hand.
void set_terminal_at(GridFlowSearch& s, const Net& net, size_t p, int32_t terminal,
                     int64_t through) {
  // The terminal arcs carry what the sides carry away; the capacity they had is the residual
  // plus that. Changing the capacity changes the residual by as much; when the flow already
  // through the arc is more than the new capacity, the residual changes sign, which stands for
  // raising both terminal arcs of the cell by the excess: every cut costs that much more, and the
  // cut value owes it back. In all cases a cut x costs the change of the cell's term in the
  // capacities minus its change in the residuals, kept in `flow`.
  const int64_t old_residual = net.terminal[p];
  const int64_t old_capacity = old_residual + through;
  const int64_t residual = terminal - through;
  const auto sink_cost = [](int64_t c) { return c < 0 ? -c : 0; };
  s.flow +=
      sink_cost(terminal) - sink_cost(old_capacity) + sink_cost(old_residual) - sink_cost(residual);
  net.terminal[p] = static_cast<int32_t>(residual);

  const uint8_t cell = net.node[p];
  const uint8_t tree = tree_of(cell);
  if (residual == 0) {
    if (tree != FREE && parent_of(cell) == TO_TERMINAL)
      make_orphan(s, net, static_cast<uint32_t>(p));
    return;
  }
  const uint8_t wanted = residual > 0 ? SOURCE : SINK;
  if (tree != wanted && tree != FREE) {
    // It changes trees: its children in the old one lose their parent.
    for (int d = 0; d < 4; ++d) {
      const size_t q = net.neighbour(p, d);
      if (net.tree_at(q) == tree && parent_of(net.node[q]) == 3 - d) {
        make_orphan(s, net, static_cast<uint32_t>(q));
      }
    }
  }
  net.node[p] = with_parent(with_tree(cell, wanted), TO_TERMINAL);
  // A cell that stays in its tree keeps its arcs to the other cells: no path through it is new,
  // so a multiplier step searches only the cells whose side of the cut may change.
  if (tree != wanted) activate_by_sweep(s, net, p);
}

// The bands of rows for `threads` threads, as ranges of cells of the bordered grid that cover it:
// band b starts at bounds[b], the first cell of its first row (the border above for the first).
std::vector<size_t> band_bounds(const GridFlow& g, int32_t threads) {
  const int32_t count = row_bands(g.nrows, threads);
  std::vector<size_t> bounds(static_cast<size_t>(count) + 1);
  for (int32_t b = 1; b < count; ++b) {
    const int32_t row = band_first_row(g.nrows, count, b);
    bounds[static_cast<size_t>(b)] = (static_cast<size_t>(row) + 1) * g.stride;
  }
  bounds[static_cast<size_t>(count)] = g.node.size();
  return bounds;
}

// Makes an orphan, in the search `s`, of every cell of the row starting at `first` whose parent
// lies across the border `direction` (0: the row above, 3: the row below); with `changed` only
// when that parent is now in another tree, as after terminals were set band by band.
void orphan_across(GridFlow& g, GridFlowSearch& s, const Net& net, size_t first, uint8_t direction,
                   bool changed) {
  for (size_t p = first; p < first + static_cast<size_t>(g.ncols); ++p) {
    const uint8_t cell = net.node[p];
    if (parent_of(cell) != direction) continue;
    const uint8_t tree = tree_of(cell);
    if (tree != SOURCE && tree != SINK) continue;
    if (changed && tree_of(net.node[net.neighbour(p, direction)]) == tree) continue;
    make_orphan(s, net, static_cast<uint32_t>(p));
  }
}

// Solves each band of rows on a thread of its own, the sides between bands held at their flow:
// the trees may not cross them, so the cells hanging from across a border are orphans of their
// band first. Afterwards the whole grid has a flow, and search trees that hold for every side but
// those between bands: the cells along the borders are searched again in the whole grid.
void solve_bands(GridFlow& g, const std::vector<size_t>& bounds) {
  const size_t count = bounds.size() - 1;
  const Net whole = whole_net(g);
  g.bands.resize(count);
  const auto band_of = [&](size_t p) {
    return static_cast<size_t>(std::upper_bound(bounds.begin(), bounds.end(), p) - bounds.begin()) -
           1;
  };
  for (size_t b = 0; b < count; ++b) {
    GridFlowSearch& s = g.bands[b];
    s.sweep = std::max(g.search.sweep, bounds[b]);
    s.flow = 0;
    if (b > 0) {
      orphan_across(g, s, whole, bounds[b] + 1, 0, false);
      orphan_across(g, g.bands[b - 1], whole, bounds[b] - g.stride + 1, 3, false);
    }
  }
  for (const uint32_t p : g.search.orphans) g.bands[band_of(p)].orphans.push_back(p);
  g.search.orphans.clear();
  run_at_once(count, [&](size_t b) { solve_net(g.bands[b], net_of(g, bounds[b], bounds[b + 1])); });
  for (GridFlowSearch& s : g.bands) g.search.flow += s.flow;
  g.search.sweep = g.node.size();
  for (size_t b = 1; b < count; ++b) {
    for (size_t p = bounds[b] - g.stride + 1; p < bounds[b] + g.stride; ++p) {
      const uint8_t tree = tree_of(whole.node[p]);
      if (tree == SOURCE || tree == SINK) activate(g.search, whole, static_cast<uint32_t>(p));
    }
  }
}

size_t search_bytes(const GridFlowSearch& s) {
  return (s.active.capacity() + s.orphans.capacity() + s.checked.capacity()) * sizeof(uint32_t);
}

}  // namespace

namespace {

// grid_flow_allocate's sizing, the terminals' array left empty when `terminals` is false.
void allocate(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair, bool terminals) {
  if (nrows < 0 || ncols < 0 || pair < 0 || pair > PAIR_LIMIT) {
    fatal(1, "error: grid flow of %d x %d cells with pair capacity %d!\n", nrows, ncols, pair);
  }
  const uint64_t cells =
      (uint64_t{static_cast<uint32_t>(nrows)} + 2) * (uint64_t{static_cast<uint32_t>(ncols)} + 2);
  if (cells >= (uint64_t{1} << 32)) {
    fatal(1, "error: grid flow of %d x %d cells: too many cells!\n", nrows, ncols);
  }
  flow = GridFlow{};
  flow.nrows = nrows;
  flow.ncols = ncols;
  flow.stride = static_cast<size_t>(ncols) + 2;
  flow.pair = pair;
  try {
    flow.side_flow.assign(2 * cells, 0);
    if (terminals) flow.terminal.assign(cells, 0);
    flow.node.assign(cells, OUTSIDE);
  } catch (const std::bad_alloc&) {
    fatal(1, "error: not enough memory for the grid flow of %d x %d cells!\n", nrows, ncols);
  }
}

}  // namespace

void grid_flow_allocate(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair) {
  allocate(flow, nrows, ncols, pair, true);
}

namespace {

// Puts cell p into the graph with terminal capacity `terminal`, before the first solve.
void load_at(GridFlow& flow, const Net& net, size_t p, int64_t terminal) {
  check_terminal(flow, terminal);
  net.terminal[p] = static_cast<int32_t>(terminal);
  if (terminal == 0) {
    net.node[p] = FREE;
    return;
  }
  net.node[p] = with_parent(terminal > 0 ? SOURCE : SINK, TO_TERMINAL);
  activate_by_sweep(flow.search, net, p);
}

}  // namespace

void grid_flow_load(GridFlow& flow, int32_t row, int32_t col, int32_t terminal) {
  load_at(flow, whole_net(flow), cell_of(flow, row, col), terminal);
}

void grid_flow_set_terminal(GridFlow& flow, int32_t row, int32_t col, int32_t terminal) {
  const size_t p = cell_of(flow, row, col);
  if (tree_of(flow.node[p]) == OUTSIDE) {
    fatal(1, "error: grid flow cell (%d, %d) is not in the graph!\n", row, col);
  }
  check_terminal(flow, terminal);
  const Net net = whole_net(flow);
  set_terminal_at(flow.search, net, p, terminal, net.outflow(p));
}

int64_t grid_flow_load_costs(GridFlow& flow, int32_t nrows, int32_t ncols, int32_t pair,
                             std::vector<int32_t>& costs, int64_t price,
                             const std::vector<uint8_t>& graph, uint8_t in_graph) {
  allocate(flow, nrows, ncols, pair, false);
  if (costs.size() != flow.node.size() || graph.size() != flow.node.size()) {
    fatal(1, "error: grid flow of %d x %d cells loaded from %zu costs!\n", nrows, ncols,
          costs.size());
  }
  flow.terminal.swap(costs);
  const Net net = whole_net(flow);
  int64_t from_source = 0;
  for (size_t p = 0; p < flow.node.size(); ++p) {
    if ((graph[p] & in_graph) == 0) {
      net.terminal[p] = 0;
      continue;
    }
    const int64_t terminal = -(int64_t{net.terminal[p]} + price);
    load_at(flow, net, p, terminal);
    from_source += std::max<int64_t>(terminal, 0);
  }
  return from_source;
}

int64_t grid_flow_add_to_terminals(GridFlow& flow, int64_t change, int32_t threads) {
  const std::vector<size_t> bounds = band_bounds(flow, threads);
  const size_t count = bounds.size() - 1;
  flow.bands.resize(count);
  // The first capacity out of its limits in each band; the first of them is the one a cell by
  // cell setting would have stopped at.
  std::vector<int64_t> wrong(count, 0);
  std::vector<int64_t> from_source(count, 0);
  run_at_once(count, [&](size_t b) {
    GridFlowSearch& s = flow.bands[b];
    s.sweep = flow.node.size();
    s.flow = 0;
    const Net net = net_of(flow, bounds[b], bounds[b + 1]);
    int64_t sum = 0;  // written once: the bands' sums share a cache line
    for (size_t p = bounds[b]; p < bounds[b + 1]; ++p) {
      if (tree_of(net.node[p]) == OUTSIDE) continue;
      const int64_t through = net.outflow(p);
      const int64_t terminal = int64_t{net.terminal[p]} + through + change;
      if (!terminal_fits(flow, terminal)) {
        wrong[b] = terminal;
        return;
      }
      sum += std::max<int64_t>(terminal, 0);
      set_terminal_at(s, net, p, static_cast<int32_t>(terminal), through);
    }
    from_source[b] = sum;
  });
  for (size_t b = 0; b < count; ++b) {
    if (wrong[b] != 0) check_terminal(flow, wrong[b]);
  }
  const Net whole = whole_net(flow);
  int64_t total = 0;
  for (size_t b = 0; b < count; ++b) {
    GridFlowSearch& s = flow.bands[b];
    total += from_source[b];
    flow.search.flow += s.flow;
    flow.search.sweep = std::min(flow.search.sweep, s.sweep);
    flow.search.orphans.insert(flow.search.orphans.end(), s.orphans.begin(), s.orphans.end());
    s.orphans.clear();
  }
  // A cell whose parent across a border changed trees lost it, as in the band the parent is in.
  for (size_t b = 1; b < count; ++b) {
    orphan_across(flow, flow.search, whole, bounds[b] + 1, 0, true);
    orphan_across(flow, flow.search, whole, bounds[b] - flow.stride + 1, 3, true);
  }
  return total;
}

std::vector<int32_t> grid_flow_unload_costs(GridFlow& flow, int64_t price) {
  const Net net = whole_net(flow);
  for (size_t p = 0; p < flow.node.size(); ++p) {
    net.terminal[p] =
        tree_of(net.node[p]) == OUTSIDE
            ? 0
            : static_cast<int32_t>(-(int64_t{net.terminal[p]} + net.outflow(p)) - price);
  }
  std::vector<int32_t> costs;
  costs.swap(flow.terminal);
  flow = GridFlow{};
  return costs;
}

int64_t grid_flow_solve(GridFlow& flow, int32_t threads) {
  const std::vector<size_t> bounds = band_bounds(flow, threads);
  if (bounds.size() > 2) solve_bands(flow, bounds);
  solve_net(flow.search, whole_net(flow));
  return flow.search.flow;
}

bool grid_flow_in_source(const GridFlow& flow, int32_t row, int32_t col) {
  return tree_of(flow.node[cell_of(flow, row, col)]) == SOURCE;
}

size_t grid_flow_bytes(const GridFlow& flow) {
  size_t bytes = flow.side_flow.capacity() * sizeof(int32_t) +
                 flow.terminal.capacity() * sizeof(int32_t) + flow.node.capacity() +
                 search_bytes(flow.search) + flow.bands.capacity() * sizeof(GridFlowSearch);
  for (const GridFlowSearch& s : flow.bands) bytes += search_bytes(s);
  return bytes;
}
