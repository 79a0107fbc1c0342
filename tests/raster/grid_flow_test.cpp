#include "raster/grid_flow.h"

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/boykov_kolmogorov_max_flow.hpp>
#include <queue>

#include "test_support.h"

namespace {

// The capacities of a grid's network; kOutside marks a cell not in the graph.
constexpr int32_t kOutside = INT32_MIN;
struct Capacities {
  int32_t nrows, ncols, pair;
  std::vector<int32_t> terminal;  // row-major
};

// A minimum cut as text: its value, then the smallest source side drawn with '#' for its cells
// and '.' for the others, rows joined by '/'.
template <typename InSource>
std::string cut_of(int64_t value, const Capacities& c, InSource in_source) {
  std::string cut = std::to_string(value) + ' ';
  for (int32_t i = 0; i < c.nrows * c.ncols; ++i) {
    if (i > 0 && i % c.ncols == 0) cut += '/';
    cut += in_source(i) ? '#' : '.';
  }
  return cut;
}

std::string grid_cut(GridFlow& flow, const Capacities& c, int32_t threads = 1) {
  return cut_of(grid_flow_solve(flow, threads), c,
                [&](int32_t i) { return grid_flow_in_source(flow, i / c.ncols, i % c.ncols); });
}

GridFlow loaded_flow(const Capacities& c) {
  GridFlow flow;
  grid_flow_allocate(flow, c.nrows, c.ncols, c.pair);
  for (int32_t i = 0; i < c.nrows * c.ncols; ++i)
    if (c.terminal[i] != kOutside) grid_flow_load(flow, i / c.ncols, i % c.ncols, c.terminal[i]);
  return flow;
}

size_t bordered(const Capacities& c, int32_t i) {
  return static_cast<size_t>(i / c.ncols + 1) * static_cast<size_t>(c.ncols + 2) +
         static_cast<size_t>(i % c.ncols) + 1;
}

// The costs on the bordered grid whose terminals at `price` are c's; 12345 outside the graph.
std::vector<int32_t> costs_of(const Capacities& c, int64_t price) {
  std::vector<int32_t> costs(static_cast<size_t>(c.nrows + 2) * (c.ncols + 2), 12345);
  for (int32_t i = 0; i < c.nrows * c.ncols; ++i) {
    if (c.terminal[i] != kOutside)
      costs[bordered(c, i)] = static_cast<int32_t>(-c.terminal[i] - price);
  }
  return costs;
}

int64_t from_source(const Capacities& c) {
  int64_t sum = 0;
  for (const int32_t t : c.terminal) sum += t != kOutside ? std::max(t, 0) : 0;
  return sum;
}

std::string fresh_cut(const Capacities& c, int32_t threads = 1) {
  GridFlow flow = loaded_flow(c);
  return grid_cut(flow, c, threads);
}

// Boost's Boykov-Kolmogorov on the same network with explicit arcs; the source side is the
// cells a search from the source reaches through arcs with residual capacity left.
std::string boost_cut(const Capacities& c) {
  using namespace boost;
  using Arc = adjacency_list_traits<vecS, vecS, directedS>::edge_descriptor;
  using Graph = adjacency_list<
      vecS, vecS, directedS,
      property<vertex_color_t, default_color_type,
               property<vertex_distance_t, int64_t, property<vertex_predecessor_t, Arc>>>,
      property<edge_capacity_t, int64_t,
               property<edge_residual_capacity_t, int64_t, property<edge_reverse_t, Arc>>>>;
  const int cells = c.nrows * c.ncols, source = cells, sink = cells + 1;
  Graph graph(cells + 2);
  auto capacity = get(edge_capacity, graph);
  auto reverse = get(edge_reverse, graph);
  auto residual = get(edge_residual_capacity, graph);
  const auto arc = [&](int from, int to, int64_t forward, int64_t back) {
    const auto e = add_edge(from, to, graph).first, r = add_edge(to, from, graph).first;
    capacity[e] = forward, capacity[r] = back, reverse[e] = r, reverse[r] = e;
  };
  for (int i = 0; i < cells; ++i) {
    if (c.terminal[i] == kOutside) continue;
    if (c.terminal[i] > 0) arc(source, i, c.terminal[i], 0);
    if (c.terminal[i] < 0) arc(i, sink, -c.terminal[i], 0);
    if (i % c.ncols + 1 < c.ncols && c.terminal[i + 1] != kOutside) arc(i, i + 1, c.pair, c.pair);
    if (i + c.ncols < cells && c.terminal[i + c.ncols] != kOutside)
      arc(i, i + c.ncols, c.pair, c.pair);
  }
  const int64_t value = boykov_kolmogorov_max_flow(graph, source, sink);
  std::vector<bool> reached(cells + 2);
  std::queue<int> queue;
  for (queue.push(source), reached[source] = true; !queue.empty(); queue.pop()) {
    for (const auto& e : make_iterator_range(out_edges(queue.front(), graph))) {
      const auto next = static_cast<int>(target(e, graph));
      if (residual[e] > 0 && !reached[next]) reached[next] = true, queue.push(next);
    }
  }
  return cut_of(value, c, [&](int32_t i) { return reached[i]; });
}

// Terminals in [-k, k], a cell in the graph with probability `density` percent.
Capacities random_capacities(std::mt19937& random, int32_t nrows, int32_t ncols, int density) {
  const int32_t k = 1 + static_cast<int32_t>(random() % 40);
  Capacities c{nrows, ncols, static_cast<int32_t>(random() % (k / 2 + 2)), {}};
  for (int32_t i = 0; i < nrows * ncols; ++i) {
    const int32_t t = static_cast<int32_t>(random() % (2 * k + 1)) - k;
    c.terminal.push_back(static_cast<int>(random() % 100) < density ? t : kOutside);
  }
  return c;
}

}  // namespace

// Integer capacities make the flow value and the smallest source side unique, so both must be
// Boost's exactly, on one thread or with bands of rows solved on several: on grids of one cell,
// one row, one column, fewer rows than bands, odd shapes and square, full and in pieces (ties of a
// side against terminal arcs, cells without a terminal, lone cells among them).
TEST(GridFlowTest, AgreesWithBoostOnRandomGridsOnAnyThreads) {
  const int32_t sizes[][2] = {{1, 1}, {1, 9},   {7, 1},   {2, 11},
                              {6, 6}, {13, 29}, {40, 40}, {61, 17}};
  for (const auto& [nrows, ncols] : sizes) {
    for (const int density : {100, 85, 55}) {
      for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        const Capacities c = random_capacities(random, nrows, ncols, density);
        const std::string expected = boost_cut(c);
        for (const int32_t threads : {1, 2, 3}) {
          EXPECT_EQ(fresh_cut(c, threads), expected)
              << "seed " << seed << ", " << nrows << " x " << ncols << ", density " << density
              << ", threads " << threads;
        }
      }
    }
  }
}

// Terminals changed after a solve (all shifted, as a price step does, or a third set anew, often
// below the flow they carry), cell by cell or all at once, each on threads different from the last
// solve's (bands whose trees cross the borders of the next ones, terminals set band by band under a
// whole-grid solve): the next solve finds what a fresh one does. A flow loaded from lent costs
// solves as one loaded cell by cell, and gives the costs back as they were at the last price.
TEST(GridFlowTest, ResolvesAfterTerminalChangesAsAFreshSolve) {
  // Per step: the shift (0: a third set anew, cell by cell), the threads setting a shift (0: cell
  // by cell) and the threads solving.
  const int32_t steps[][3] = {{7, 2, 1}, {-3, 1, 3}, {0, 0, 1},   {-9, 3, 1},
                              {0, 0, 2}, {12, 3, 2}, {-20, 2, 3}, {5, 0, 1}};
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    std::mt19937 random(seed);
    Capacities c = random_capacities(random, 17 + seed % 3, 23, seed % 2 ? 100 : 80);
    GridFlow flow = loaded_flow(c);
    const int64_t price = seed % 2 ? -4 : 9;
    if (seed > 4) {
      std::vector<int32_t> costs = costs_of(c, price);
      std::vector<uint8_t> graph(costs.size(), 2);
      for (int32_t i = 0; i < c.nrows * c.ncols; ++i) {
        if (c.terminal[i] != kOutside) graph[bordered(c, i)] = 3;
      }
      EXPECT_EQ(grid_flow_load_costs(flow, c.nrows, c.ncols, c.pair, costs, price, graph, 1),
                from_source(c));
      EXPECT_TRUE(costs.empty());
    }
    grid_cut(flow, c, 1 + seed % 3);
    int64_t shifted = 0;
    for (const auto& [shift, setting, solving] : steps) {
      for (int32_t i = 0; i < c.nrows * c.ncols; ++i) {
        if (c.terminal[i] == kOutside) continue;
        if (shift != 0) c.terminal[i] += shift;
        if (shift == 0 && random() % 3 == 0)
          c.terminal[i] = static_cast<int32_t>(random() % 61) - 30;
        if (setting == 0) grid_flow_set_terminal(flow, i / c.ncols, i % c.ncols, c.terminal[i]);
      }
      if (setting > 0) {
        EXPECT_EQ(grid_flow_add_to_terminals(flow, shift, setting), from_source(c));
      }
      shifted += shift;
      EXPECT_EQ(grid_cut(flow, c, solving), fresh_cut(c))
          << "seed " << seed << ", shift " << shift << ", threads " << setting << ", " << solving;
    }
    std::vector<int32_t> costs = costs_of(c, price - shifted);
    for (size_t p = 0; p < costs.size(); ++p) costs[p] = costs[p] == 12345 ? 0 : costs[p];
    EXPECT_EQ(grid_flow_unload_costs(flow, price - shifted), costs) << "seed " << seed;
    EXPECT_TRUE(flow.node.empty());
  }
}
