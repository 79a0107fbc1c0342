// Throughput of reading and writing grid text: a 4000 x 4000 grid of six-digit values, either
// integers (class and count maps) or decimals (potentials, elevations).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "driver/log.h"
#include "raster/grid.h"

namespace {

constexpr int32_t SIDE = 4000;

void setup_maps(bool decimals) {
  static FILE* null_log = std::fopen("/dev/null", "w");
  log_set_stream(null_log);
  grid_reset_geometry();
  grid_geometry.nrows = SIDE;
  grid_geometry.ncols = SIDE;
  grid_geometry.xllcorner = 361015.59563119;
  grid_geometry.yllcorner = 70223.434086869;
  grid_geometry.cellsize = 10.0;
  maps_allocate(2);
  float* cells = map_cells(0);
  uint32_t state = 12345;
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    state = state * 1664525u + 1013904223u;
    const float whole = static_cast<float>(100000 + (state >> 8) % 900000);
    cells[i] = decimals ? whole / 1000.0f : whole;
  }
}

int64_t file_size(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0 ? static_cast<int64_t>(s.st_size) : 0;
}

void BM_GridWrite(benchmark::State& state) {
  setup_maps(state.range(0) != 0);
  const std::string path = "/tmp/landalloc_bench_grid.asc";
  for (auto _ : state) benchmark::DoNotOptimize(grid_write(path.c_str(), 0));
  state.SetBytesProcessed(state.iterations() * file_size(path));
  maps_release();
}

void BM_GridRead(benchmark::State& state) {
  setup_maps(state.range(0) != 0);
  const std::string path = "/tmp/landalloc_bench_grid.asc";
  grid_write(path.c_str(), 0);
  for (auto _ : state) benchmark::DoNotOptimize(grid_read(path.c_str(), 1));
  state.SetBytesProcessed(state.iterations() * file_size(path));
  std::remove(path.c_str());
  maps_release();
}

}  // namespace

BENCHMARK(BM_GridWrite)->Arg(0)->Arg(1)->ArgName("decimals")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridRead)->Arg(0)->Arg(1)->ArgName("decimals")->Unit(benchmark::kMillisecond);
