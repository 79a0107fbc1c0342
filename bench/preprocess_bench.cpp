// Preprocess of a 4000 x 4000 grid with one distribution mask in a corner: the whole stage (grid
// files included) and the random placement alone, at convert-area 0.3 and 1. Far from the corner
// the weights are low, so plain rejection sampling alone would need hours at convert-area 1.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "config/config.h"
#include "driver/log.h"
#include "driver/random.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "preprocess/preprocess_stage.h"
#include "raster/grid.h"

namespace {

constexpr int SIDE = 4000;

// The input files, written once per benchmark process into a temporary folder.
struct BenchFiles {
  std::string dir;
  BenchFiles() {
    char pattern[] = "/tmp/landalloc-bench-XXXXXX";
    dir = mkdtemp(pattern);
    write_grid("pot.asc", [](int, int) { return 1; });
    write_grid("mask.asc", [](int r, int c) { return r < 10 && c < 10 ? 1 : 0; });
  }
  ~BenchFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  template <typename Cell>
  void write_grid(const std::string& name, Cell cell) {
    FILE* f = std::fopen(path(name).c_str(), "w");
    std::fprintf(f,
                 "ncols %d\nnrows %d\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n",
                 SIDE, SIDE);
    std::string line;
    for (int r = 0; r < SIDE; ++r) {
      line.clear();
      for (int c = 0; c < SIDE; ++c) line += cell(r, c) ? "1 " : "0 ";
      line.back() = '\n';
      std::fputs(line.c_str(), f);
    }
    std::fclose(f);
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

const BenchFiles& files() {
  static BenchFiles instance;
  return instance;
}

void load_bench_config(double fraction) {
  // The benchmarks that ran before leave their geometry behind, and a stage takes the geometry
  // from its first potential map only when none is set: without this the 4000 x 4000 file would
  // not match and the whole benchmark program would end.
  grid_reset_geometry();
  const BenchFiles& f = files();
  std::string json = "{\"maps\": {\"potential-maps\": [[\"" + f.path("pot.asc") +
                     "\"]], \"potential-maps-weight\": [[1]], \"exclusion-masks\": []},"
                     " \"preprocess\": {\"init-values-map\": \"\", \"distribution-masks\": [\"" +
                     f.path("mask.asc") + "\"], \"convert-area\": " + std::to_string(fraction) +
                     ", \"debug-maps\": \"no\", \"output\": \"" + f.path("out.asc") + "\"}}";
  config_load_text(json.c_str());
}

// Quiet log for the benchmarks' lifetime.
struct QuietLog {
  FILE* sink = std::fopen("/dev/null", "w");
  QuietLog() { log_set_stream(sink); }
  ~QuietLog() {
    log_set_stream(nullptr);
    std::fclose(sink);
  }
};

void BM_PreprocessStage(benchmark::State& state) {
  QuietLog quiet;
  load_bench_config(static_cast<double>(state.range(0)) / 10.0);
  rand_set_fixed_seed(1);
  for (auto _ : state) run_preprocess_stage();
  config_release();
}
BENCHMARK(BM_PreprocessStage)->Arg(3)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

// The placement alone, over the distribution map of the corner mask.
void BM_InitialState(benchmark::State& state) {
  QuietLog quiet;
  load_bench_config(0.0);
  grid_init_geometry();
  maps_allocate(3);
  std::fill(map_cells(0), map_cells(0) + grid_cell_count(), CELL_AVAILABLE);
  distribution_map_build();
  working_cell_value = 1.0f;
  float fraction = static_cast<float>(state.range(0)) / 10.0f;
  rand_seed(1);
  for (auto _ : state) {
    state.PauseTiming();
    std::fill(map_cells(0), map_cells(0) + grid_cell_count(), CELL_AVAILABLE);
    state.ResumeTiming();
    initial_state_create(fraction);
  }
  maps_release();
  config_release();
}
BENCHMARK(BM_InitialState)->Arg(3)->Arg(10)->Iterations(2)->Unit(benchmark::kSecond);

}  // namespace
