// POSTPROCESS runs that share the potential, distance and basin maps print and give what runs
// that load their own do, whichever run builds the shared maps and whatever no-data cells a later
// run's solution map has.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/random.h"
#include "postprocess/postprocess_stage.h"
#include "scenario/loaders.h"
#include "temp_dir.h"
#include "test_support.h"

TEST(PostprocessSharedMapsTest, RunsGiveWhatRunsWithTheirOwnMapsGive) {
  const int nrows = 12, ncols = 15;
  const size_t n = size_t(nrows * ncols);
  Rng random;
  rand_seed(random, 3);
  std::vector<float> potential(n), mask(n), basins(n), solution(n);
  for (size_t i = 0; i < n; ++i) {
    const bool hole = rand_index(random, 12) == 0;
    potential[i] = hole ? -9999.0f : float(rand_index(random, 101)) / 100.0f;
    mask[i] = rand_index(random, 25) == 0 ? 1.0f : 0.0f;
    basins[i] = i % 11 == 0 ? -9999.0f : float(i % size_t(ncols) / 8 + 2 * (i / size_t(ncols) / 6));
    solution[i] = hole ? CELL_NODATA : rand_index(random, 10) == 0 ? 1.0f : CELL_AVAILABLE;
  }
  // The same allocation with no data on every mask cell and every cell of no basin: the shared
  // distance map (no destination left) and basin list (no cell in the error basin) do not fit it.
  std::vector<float> other = solution;
  for (size_t i = 0; i < n; ++i) {
    if (mask[i] > 0.0f || i % 11 == 0) other[i] = CELL_NODATA;
  }

  TempDir dir;
  const std::string config =
      "{\"maps\": {\"potential-maps\": [[\"" +
      dir.write("p.asc", grid_text(nrows, ncols, potential)) +
      "\"]], \"potential-maps-weight\": [[1]]}, \"process\": {\"output\": \"unused.asc\"}, "
      "\"postprocess\": {\"select\": {\"purge-limit\": 2, \"method-distance\": {"
      "\"distance-masks\": [\"" +
      dir.write("m.asc", grid_text(nrows, ncols, mask)) +
      "\"], \"distance-maps\": [], \"minimum-distance-to-mask\": 3, "
      "\"minimum-cells-at-distance\": 1}, \"method-value\": {\"accumulated-value\": 0.5}}, "
      "\"expand\": {\"assign-preference\": \"random\", \"basins-map\": \"" +
      dir.write("b.asc", grid_text(nrows, ncols, basins)) +
      "\", \"minimim-cells-in-basin\": 0}, \"debug-maps\": \"no\", \"output\": \"o.asc\", "
      "\"output-mask\": \"k.asc\"}}";
  const Scenario scenario = scenario_of(config);

  // The potential as the runs of a scenario share it: loaded once, read through a stride.
  MapBlock loaded = make_maps(nrows, ncols, 4);
  PostprocessInputs shared;
  run_capturing([&] {
    LogCopy copy(shared.potential_log);
    maps_load_potential(scenario.config, loaded, 1);
  });
  shared.potential = reinterpret_cast<const unsigned char*>(loaded.map(1));
  shared.potential_step = sizeof(float);
  shared.potential_row_step = sizeof(float) * size_t(ncols);

  const auto run = [&](const std::vector<float>& map, PostprocessInputs* inputs) {
    ::Run r;
    r.in_memory = true;
    r.write_files = false;
    r.seed = 11;
    r.process_output = map;
    r.postprocess_inputs = inputs;
    const FatalResult result = run_capturing([&] { run_postprocess_stage(scenario, r); });
    return std::pair{result.log, r.postprocess_output};
  };
  for (const auto* map : {&solution, &other, &solution}) {
    const auto own = run(*map, nullptr);
    ASSERT_NE(own.first.find("POSTPROCESS end"), std::string::npos) << own.first;
    EXPECT_EQ(run(*map, &shared), own);
  }
  EXPECT_TRUE(shared.distance_built && shared.basins_built);
}
