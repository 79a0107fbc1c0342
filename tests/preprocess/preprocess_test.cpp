// PREPROCESS in memory: the distribution map, the placement samplers and the stage's checks.

#include "base/random.h"
#include "grid_checks.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "preprocess/preprocess_stage.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

// Every cell available with weight w.
MapBlock uniform(int nrows, int ncols, float w) {
  MapBlock maps = make_maps(nrows, ncols, PREPROCESS_MAPS);
  std::fill(maps.map(1), maps.map(1) + maps.cell_count(), w);
  return maps;
}

// Weight 1 passes 26445 / 32768 of the tries in every sampler, every column of a 40000-wide row is
// reachable, and no available cell is out of reach.
TEST(PreprocessTest, AcceptanceAndReach) {
  Rng rng;
  rand_seed(rng, 1);
  for (PlacementSampler sampler : {SAMPLER_PLAIN, SAMPLER_EXACT, SAMPLER_AUTO}) {
    MapBlock maps = uniform(100, 100, 1.0f);
    PlacementCounts c = initial_state_place(maps, 1.0f, rng, 10000, sampler);
    EXPECT_NEAR(c.accepted / double(c.accepted + c.rejections), 26445.0 / 32768, 0.015) << sampler;
    maps = uniform(1, 40000, 1.0f);
    EXPECT_EQ(initial_state_place(maps, 1.0f, rng, 40000, sampler).accepted, 40000) << sampler;
    EXPECT_EQ(std::count(maps.map(0), maps.map(0) + 40000, 1.0f), 40000);
    // A draw of 0 passes even a weight of 0: asked for every free cell, a sampler takes them all,
    // and no other.
    maps = uniform(2, 3, 0.0f);
    maps.map(0)[5] = CELL_MASKED;
    EXPECT_EQ(initial_state_place(maps, 1.0f, rng, 5, sampler).accepted, 5) << sampler;
    EXPECT_EQ(get_map(maps, 0), (std::vector<float>{1, 1, 1, 1, 1, CELL_MASKED})) << sampler;
  }
}

// The plain sampler takes a column draw, a row draw, then the acceptance draw. On a grid of 2 rows
// and 3 columns, replaying that order from the seed names the cell placed; drawn the other way
// round (or with the counts swapped) some seed places another cell.
TEST(PreprocessTest, PlainSamplerDrawsTheColumnBeforeTheRow) {
  Rng rng;
  for (uint64_t seed = 1; seed <= 100; ++seed) {
    MapBlock maps = uniform(2, 3, 1.0f);
    rand_seed(rng, seed);
    ASSERT_EQ(initial_state_place(maps, 1.0f, rng, 1, SAMPLER_PLAIN).accepted, 1);
    rand_seed(rng, seed);
    int32_t cell;
    do {
      const int32_t col = rand_index(rng, 3);
      cell = rand_index(rng, 2) * 3 + col;
    } while (placement_probability(1.0) < rand_fraction(rng));
    ASSERT_EQ(get_map(maps, 0)[static_cast<size_t>(cell)], 1.0f) << "seed " << seed;
  }
}

// A centre mask gives distances 0, 1, 2 reversed to 1, 0.5, 0; an excluded cell counts like any
// data cell and no-data stays no-data.
TEST(PreprocessTest, DistributionMapFromMasks) {
  TempDir dir;
  MapBlock maps = make_maps(5, 5, PREPROCESS_MAPS);
  std::vector<float> mask(25, 0.0f), solution(25, CELL_AVAILABLE);
  mask[12] = 1.0f, solution[3] = CELL_NODATA, solution[6] = CELL_MASKED;
  set_map(maps, 0, solution);
  const ConfigDocument config = config_of(json("{'preprocess': {'distribution-masks': ['" +
                                               dir.write("m.asc", grid_text(5, 5, mask)) + "']}}"));
  ASSERT_FALSE(run_capturing([&] { distribution_map_build(config, maps); }).fatal);
  for (int i = 0; i < 25; ++i) {
    const int ring = std::max(std::abs(i / 5 - 2), std::abs(i % 5 - 2));
    EXPECT_EQ(get_map(maps, 1)[i], i == 3 ? CELL_NODATA : 1.0f - 0.5f * ring) << i;
  }
}

// Mixed weights around a no-data, an excluded and an initial-value cell: over many seeded runs
// the plain loop and the exact sampler fill each cell equally often.
TEST(PreprocessTest, SamplersGiveTheSameDistribution) {
  const int runs = 4000;
  std::vector<double> freq[2] = {std::vector<double>(16), std::vector<double>(16)};
  Rng rng;
  for (int s = 0; s < 2; ++s) {
    MapBlock maps = uniform(4, 4, 0);
    set_map(
        maps, 1,
        {0, 0.5f, 0.8f, -1, 0.85f, 0.9f, 0.3f, 0.95f, 1, 1, 0.7f, 0.88f, 0.9f, 0.2f, 0.92f, 0.99f});
    for (int run = 0; run < runs; ++run) {
      set_map(maps, 0, {0, 0, 0, -1, 0, 0, -2, 0, 0, 0, 0, 0, 3, 0, 0, 0});
      rand_seed(rng, static_cast<uint64_t>(1000 + run));
      const PlacementSampler sampler = s == 0 ? SAMPLER_PLAIN : SAMPLER_EXACT;
      ASSERT_EQ(initial_state_place(maps, 4.0f, rng, 4, sampler).accepted, 4);
      for (size_t i = 0; i < 16; ++i) freq[s][i] += (maps.map(0)[i] == 4.0f) / double{runs};
    }
  }
  for (size_t i = 0; i < 16; ++i) {
    const double p = (freq[0][i] + freq[1][i]) / 2;
    EXPECT_NEAR(freq[0][i], freq[1][i], 5 * std::sqrt(2 * p * (1 - p) / runs) + 1e-3) << i;
  }
  EXPECT_GT(freq[0][8], 3 * freq[0][13]);
}

// The stage on a 3 x 4 potential map with one no-data cell and an initial value 3 in its first
// cell (another one over the no-data cell is not copied): the working value is 4 and 0.35 of the
// 10 available cells truncates to 3. Convert-area out of [0, 1] stops after echoing it, one that
// places no cell after the placement, and a text that is no number stops naming it, before
// anything is written. A run that keeps its maps in memory hands over the same map without
// writing it.
TEST(PreprocessTest, StageCountsAndChecksConvertArea) {
  TempDir dir;
  const std::string pot = dir.write("p.asc",
                                    grid_text(3, 4, {1, 1, 1, 1, 1, -9999, 1, 1, 1, 1, 1, 1})),
                    init =
                        dir.write("i.asc", grid_text(3, 4, {3, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  const std::tuple<std::string, int, std::string> cases[] = {
      {"0.35", 0, "PREPROCESS end\n"},
      {"1.5", 1,
       "  convert-area 1.500000\nerror: property 'convert-area' out of range!\n"
       "  property 'preprocess.convert-area' is 1.5, accepted 0 to 1\n"},
      {"0", 1,
       "  processing...\n    0 accepted cells\n    0 rejections\nerror: no cell allocated!\n"},
      {"\"abc\"", 2, "error: property 'preprocess.convert-area' is not a number ('abc')!\n"},
  };
  for (const auto& [area, code, tail] : cases) {
    std::remove(dir.path("out.asc").c_str());
    const Scenario scenario =
        scenario_of(json("{'maps': {'potential-maps': [['" + pot +
                         "']], 'potential-maps-weight': [[1]], "
                         "'exclusion-masks': []}, 'preprocess': {'init-values-map': '" +
                         init + "', 'distribution-masks': [], 'debug-maps': 'no', 'output': '" +
                         dir.path("out.asc") + "', 'convert-area': " + area + "}}"));
    ::Run run;
    FatalResult result = run_capturing([&] { run_preprocess_stage(scenario, run); });
    std::vector<float> out = grid_values(read_file(dir.path("out.asc")));
    EXPECT_EQ(result.fatal ? result.code : 0, code) << result.log;
    EXPECT_TRUE(ends_with(result.log, tail)) << result.log;
    EXPECT_EQ(
        result.log.find("  10 cells available\n  3 cells to be assigned\n") != std::string::npos,
        code == 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), 4.0f), code == 0 ? 3 : 0) << result.log;
    ASSERT_EQ(out.size(), code == 0 ? 12u : 0u);
    if (code != 0) continue;
    EXPECT_EQ(out[5], -999.0f);
    std::remove(dir.path("out.asc").c_str());
    ::Run kept;
    kept.in_memory = true;
    run_capturing([&] { run_preprocess_stage(scenario, kept); });
    std::vector<float> kept_map = kept.preprocess_output.unpack();
    for (float& v : kept_map) v = v == -1.0f ? -999.0f : v;
    EXPECT_EQ(kept_map, out);
    EXPECT_FALSE(dir.exists("out.asc"));
  }
}

}  // namespace
