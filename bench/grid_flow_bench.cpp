// The grid max-flow on square grids of 1000 and 4000 cells a side, capacities shaped as the
// min-cut method builds them: a fresh solve, and a re-solve after every terminal moved by one
// step of the multiplier on the allocated area, which should cost a fraction of a fresh solve;
// each on 1 and 2 threads (the last argument), whose cuts are the same. Cells per second, and the
// structure's bytes per cell once solved. Wall time: the bands' threads work beside the timed one.
#include <benchmark/benchmark.h>

#include <vector>

#include "base/random.h"
#include "raster/grid_flow.h"

namespace {

constexpr int32_t K = 1000;  // the terminals' scale; pair is a quarter of it

// Terminals in about [-K, K], smooth over a dozen cells as suitability maps are: noise averaged
// over a 9 x 9 window (two passes of a running sum), then stretched back to the scale.
std::vector<int32_t> smooth_terminals(int32_t side) {
  Rng rng;
  rand_seed(rng, 42);
  const size_t n = static_cast<size_t>(side) * static_cast<size_t>(side);
  std::vector<int32_t> noise(n), across(n, 0), terminals(n, 0);
  for (int32_t& v : noise) v = rand_index(rng, 2 * K + 1) - K;
  constexpr int32_t R = 4;
  for (int32_t r = 0; r < side; ++r) {
    for (int32_t c = 0; c < side; ++c) {
      int32_t sum = 0;
      for (int32_t d = -R; d <= R; ++d) {
        if (c + d >= 0 && c + d < side) sum += noise[static_cast<size_t>(r) * side + c + d];
      }
      across[static_cast<size_t>(r) * side + c] = sum;
    }
  }
  for (int32_t r = 0; r < side; ++r) {
    for (int32_t c = 0; c < side; ++c) {
      int64_t sum = 0;
      for (int32_t d = -R; d <= R; ++d) {
        if (r + d >= 0 && r + d < side) sum += across[static_cast<size_t>(r + d) * side + c];
      }
      // The average of 81 uniform values spreads about a ninth as wide as one.
      terminals[static_cast<size_t>(r) * side + c] = static_cast<int32_t>(sum * 9 / 81);
    }
  }
  return terminals;
}

void load(GridFlow& flow, int32_t side, const std::vector<int32_t>& terminals, int32_t shift) {
  grid_flow_allocate(flow, side, side, K / 4);
  for (int32_t r = 0; r < side; ++r) {
    for (int32_t c = 0; c < side; ++c) {
      grid_flow_load(flow, r, c, terminals[static_cast<size_t>(r) * side + c] + shift);
    }
  }
}

void report(benchmark::State& state, const GridFlow& flow, int32_t side) {
  const int64_t cells = int64_t{side} * side;
  state.SetItemsProcessed(state.iterations() * cells);
  state.counters["bytes_per_cell"] = static_cast<double>(grid_flow_bytes(flow)) / cells;
}

void BM_GridFlowSolve(benchmark::State& state) {
  const auto side = static_cast<int32_t>(state.range(0));
  const auto threads = static_cast<int32_t>(state.range(1));
  const std::vector<int32_t> terminals = smooth_terminals(side);
  GridFlow flow;
  for (auto _ : state) {
    state.PauseTiming();
    load(flow, side, terminals, 0);
    state.ResumeTiming();
    benchmark::DoNotOptimize(grid_flow_solve(flow, threads));
  }
  report(state, flow, side);
}
BENCHMARK(BM_GridFlowSolve)
    ->ArgsProduct({{1000, 4000}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Every terminal moved by a step (argument 1, a tenth or a hundredth of the scale, as a search
// for the multiplier narrows), up and down in turn, each time from the flow the last solve left:
// all shifted at once, as the min-cut method does when its price changes.
void BM_GridFlowResolve(benchmark::State& state) {
  const auto side = static_cast<int32_t>(state.range(0));
  const auto step = static_cast<int32_t>(state.range(1));
  const auto threads = static_cast<int32_t>(state.range(2));
  const std::vector<int32_t> terminals = smooth_terminals(side);
  GridFlow flow;
  load(flow, side, terminals, 0);
  grid_flow_solve(flow, threads);
  int32_t shift = 0;
  for (auto _ : state) {
    const int32_t next = shift == 0 ? step : 0;
    grid_flow_add_to_terminals(flow, next - shift, threads);
    shift = next;
    benchmark::DoNotOptimize(grid_flow_solve(flow, threads));
  }
  report(state, flow, side);
}
// Four steps at least at 4000, so that the figure is not that of one direction alone.
BENCHMARK(BM_GridFlowResolve)
    ->ArgsProduct({{1000}, {K / 10, K / 100}, {1, 2}})
    ->ArgsProduct({{4000}, {K / 10}, {1, 2}})
    ->MinTime(2.0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
