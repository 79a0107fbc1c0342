// The whole PREPROCESS stage on a 4000 x 4000 grid with one distribution mask in a corner, at
// convert-area 0.3 and 1. Far from the corner the weights are low, so plain rejection sampling
// alone would need hours at convert-area 1.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "config/config.h"
#include "preprocess/preprocess_stage.h"

namespace {

void BM_PreprocessStage(benchmark::State& state) {
  char pattern[] = "/tmp/landalloc-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  {
    MapBlock maps = bench_grid(4000, 1);
    std::fill(maps.map(0), maps.map(0) + maps.cell_count(), 1.0f);
    grid_write((dir + "/pot.asc").c_str(), maps, 0);
    std::fill(maps.map(0), maps.map(0) + maps.cell_count(), 0.0f);
    for (int32_t r = 0; r < 10; ++r) std::fill_n(&maps.get(0).at(r, 0), 10, 1.0f);
    grid_write((dir + "/mask.asc").c_str(), maps, 0);
  }
  const std::string json =
      "{\"maps\": {\"potential-maps\": [[\"" + dir +
      "/pot.asc\"]], \"potential-maps-weight\": [[1]], \"exclusion-masks\": []},"
      " \"preprocess\": {\"init-values-map\": \"\", \"distribution-masks\": [\"" +
      dir + "/mask.asc\"], \"convert-area\": " + std::to_string(state.range(0) / 10.0) +
      ", \"debug-maps\": \"no\", \"output\": \"" + dir + "/out.asc\"}}";
  Scenario scenario;
  config_load_text(scenario.config, json.c_str());
  scenario.seed = 1;
  for (auto _ : state) {
    Run run;
    run_preprocess_stage(scenario, run);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PreprocessStage)->Arg(3)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
