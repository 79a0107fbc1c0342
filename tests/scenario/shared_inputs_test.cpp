// Runs that share what their stages would each build (the POSTPROCESS potential, distance and basin
// maps, the working value's cells) print and give what runs with their own do: whichever run builds
// them, when the build fails, whatever a solution leaves without data.

#include "base/random.h"
#include "postprocess/postprocess_stage.h"
#include "scenario/loaders.h"
#include "test_support.h"

TEST(SharedInputsTest, PostprocessRunsGiveWhatRunsWithTheirOwnMapsGive) {
  const int nrows = 12, ncols = 15;
  const size_t n = size_t(nrows * ncols);
  Rng random;
  rand_seed(random, 3);
  // `other` has no data on every mask cell and every cell of no basin: the shared distance map and
  // basin list do not fit it.
  std::vector<float> potential(n), mask(n), basins(n), solution(n), other(n);
  for (size_t i = 0; i < n; ++i) {
    const bool hole = rand_index(random, 12) == 0;
    potential[i] = hole ? -9999.0f : float(rand_index(random, 101)) / 100.0f;
    mask[i] = rand_index(random, 25) == 0 ? 1.0f : 0.0f;
    basins[i] = i % 11 == 0 ? -9999.0f : float(i % size_t(ncols) / 8 + 2 * (i / size_t(ncols) / 6));
    solution[i] = hole ? CELL_NODATA : rand_index(random, 10) == 0 ? 1.0f : CELL_AVAILABLE;
    other[i] = mask[i] > 0.0f || i % 11 == 0 ? CELL_NODATA : solution[i];
  }

  TempDir dir;
  const std::string config = json(
      "{'maps': {'potential-maps': [['" + dir.write("p.asc", grid_text(nrows, ncols, potential)) +
      "']], 'potential-maps-weight': [[1]]}, 'process': {'output': 'unused.asc'}, 'postprocess': "
      "{'select': {'purge-limit': 2, 'method-distance': {'distance-masks': ['" +
      dir.write("m.asc", grid_text(nrows, ncols, mask)) +
      "'], 'distance-maps': [], 'minimum-distance-to-mask': 3, 'minimum-cells-at-distance': 1}, "
      "'method-value': {'accumulated-value': 0.5}}, 'expand': {'assign-preference': 'random', "
      "'basins-map': '" +
      dir.write("b.asc", grid_text(nrows, ncols, basins)) +
      "', 'minimim-cells-in-basin': 0}, 'debug-maps': 'no', 'output': 'o.asc', "
      "'output-mask': 'k.asc'}}");
  const Scenario scenario = scenario_of(config);

  MapBlock loaded = make_maps(nrows, ncols, 4);
  PostprocessInputs shared;
  run_capturing([&] {
    LogCopy copy(shared.potential_log);
    maps_load_potential(scenario.config, loaded, 1);
  });
  shared.potential = reinterpret_cast<const unsigned char*>(loaded.map(1));
  shared.potential_step = sizeof(float), shared.potential_row_step = sizeof(float) * size_t(ncols);

  const auto run = [&](const std::vector<float>& map, PostprocessInputs* inputs) {
    ::Run r;
    r.in_memory = true, r.write_files = false, r.seed = 11;
    r.process_output = map;
    r.postprocess_inputs = inputs;
    return std::pair{outcome([&] { run_postprocess_stage(scenario, r); }), r.postprocess_output};
  };
  for (const auto* map : {&solution, &other, &solution}) {
    const auto own = run(*map, nullptr);
    ASSERT_NE(own.first.find("POSTPROCESS end"), std::string::npos) << own.first;
    EXPECT_EQ(run(*map, &shared), own);
  }
  EXPECT_TRUE(shared.distance_build.done && shared.basins_read.done);
}

// The first check fills the cells of its value, a later one takes them (and fails where its map
// holds the value), one of another value reads the map itself.
TEST(SharedInputsTest, WorkingValueCheckTakesTheCellsOfItsValue) {
  TempDir dir;
  const std::string init = dir.write("i.asc", grid_text(1, 4, {2, 0, 3, 2}));
  const Scenario scenario =
      scenario_of(json("{'preprocess': {'init-values-map': '" + init + "'}}"));
  WorkingValueCells shared;
  const std::tuple<std::vector<float>, float> cases[] = {
      {{0, 2, 3, 0}, 2.0f}, {{0, 1, 3, 2}, 2.0f}, {{0, 2, 3, 0}, 3.0f}, {{2, 0, 0, 0}, 2.0f}};
  for (const auto& [solution, value] : cases) {
    const auto check = [&](WorkingValueCells* cells) {
      MapBlock maps = make_maps(1, 4, 2);
      set_map(maps, 0, solution);
      return outcome([&] { maps_check_working_value(scenario.config, maps, value, 1, cells); });
    };
    const auto own = check(nullptr);
    EXPECT_NE(own.find("* read"), std::string::npos);
    EXPECT_EQ(check(&shared), own) << own;
  }
  EXPECT_EQ(shared.cells, (std::vector<size_t>{0, 3}));
}
