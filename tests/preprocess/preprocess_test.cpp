// PREPROCESS in memory: the distribution map, the placement samplers and the stage's checks.

#include "base/random.h"
#include "grid_checks.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "preprocess/preprocess_stage.h"
#include "raster/grid.h"
#include "test_support.h"

// Every cell available with weight w.
static MapBlock uniform(int nrows, int ncols, float w) {
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

// A geographic system: its unit is the degree.
const char* const PRJ_WGS84 =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

// The last cell has no data (its initial value 2 is not copied), the first the highest initial
// value, 3, so that a scan skipping it finds a working value other than 4: 61 free cells on 7 x 9,
// 141 on 13 x 11. Convert-area truncates its share; an area rounds to the nearest cell count (1.5
// ha of 900 m2 is 16.7 cells, so 17; 2265.625 m2 of 156.25 m2 is 14.5, so 15). A refused setting
// stops the stage before its output is written; a run kept in memory hands over the same map.
TEST(PreprocessTest, ConvertAreaAndDemandPlaceTheirNewCells) {
  const std::string utm = read_file(LANDALLOC_TEST_DATA "/utm32.prj");
  // Grid, cell size, coordinate system, demand, cells placed (or the exit code, negated), log line.
  const std::tuple<int, int, double, std::string, std::string, int64_t, std::string> cases[] = {
      {7, 9, 30, "", "'convert-area': 0.35", 21,
       "  61 cells available\n  21 cells to be assigned\n"},
      {7, 9, 30, "", "'convert-area': 1.5", -1,
       "  convert-area 1.500000\nerror: property 'convert-area' out of range!\n"
       "  property 'preprocess.convert-area' is 1.5, accepted 0 to 1\n"},
      {7, 9, 30, "", "'convert-area': 0", -1,
       "  processing...\n    0 accepted cells\n    0 rejections\nerror: no cell allocated!\n"},
      {7, 9, 30, "", "'convert-area': 'abc'", -2,
       "error: property 'preprocess.convert-area' is not a number ('abc')!\n"},
      {7, 9, 30, utm, "{'cells': 17}", 17, "  demand 17 cells (1.53 ha)\n"},
      {7, 9, 30, utm, "{'area': 1.5, 'unit': 'ha'}", 17, "  demand 1.5 ha: 17 cells (1.53 ha)\n"},
      {13, 11, 12.5, utm, "{'area': 2265.625, 'unit': 'm2'}", 15,
       "  demand 2265.62 m2: 15 cells (2343.75 m2)\n"},
      {13, 11, 12.5, utm, "{'area': 0.0021875, 'unit': 'km2'}", 14,
       "  demand 0.0021875 km2: 14 cells (0.0021875 km2)\n"},
      {13, 11, 12.5, "", "{'cells': 141}", 141, "  demand 141 cells\n"},
      {13, 11, 12.5, utm, "{'cells': 142}", -1,
       "error: demand of 142 cells (2.21875 ha) for the allocation exceeds the 141 free "
       "allocatable cells (2.20312 ha)!\n"},
      {7, 9, 30, "", "{'area': 1, 'unit': 'ha'}", -1,
       "error: an area in 'preprocess.demand' needs a projected map in metres; the map's units "
       "are unknown (no coordinate system read with '%s')!\n"
       "  to fix it: put a .prj file with the grid's coordinate system (in metres) beside '%s', "
       "or use a GeoTIFF that holds its system, or give the demand in cells ({\"cells\": n})\n"},
      {7, 9, 30, PRJ_WGS84, "{'area': 1, 'unit': 'ha'}", -1,
       "the map's units are 'Degree' (not projected)!\n  to fix it: reproject the maps to a "
       "coordinate system in metres (such as a UTM zone), or give the demand in cells "
       "({\"cells\": n})\n"},
      {7, 9, 30, utm, "{'area': 100, 'unit': 'm2'}", -1,
       "error: an area of 100 m2 in 'preprocess.demand' is less than half a cell of 900 m2!\n"},
      {7, 9, 30, utm, "{'cells': 5}, 'convert-area': 0.5", -2,
       "error: properties 'preprocess.convert-area' and 'preprocess.demand' given both (give "
       "one)!\n"},
      {7, 9, 30, utm, "{'cells': 5, 'area': 1}", -2,
       "error: property 'preprocess.demand' takes one of 'cells' and 'area'!\n"},
      {7, 9, 30, utm, "{'cells': 2.5}", -1,
       "  property 'preprocess.demand.cells' is 2.5, accepted a whole number from 1\n"},
      {7, 9, 30, utm, "{'area': 1, 'unit': 'acre'}", -1,
       "  property 'preprocess.demand.unit' is 'acre', accepted values are 'm2', 'ha', 'km2'\n"},
  };
  for (const auto& [nrows, ncols, cellsize, prj, demand, cells, message] : cases) {
#ifndef LANDALLOC_GDAL
    if (!prj.empty() || demand.find("'area'") != std::string::npos) continue;  // units
#endif
    TempDir dir;
    const size_t n = size_t(nrows) * size_t(ncols);
    std::vector<float> potential(n, 1.0f), init(n, 0.0f);
    potential[n - 1] = -9999.0f;
    init[0] = 3.0f, init[n - 1] = 2.0f;
    const std::string pot = dir.write("p.asc", grid_text(nrows, ncols, potential, cellsize));
    if (!prj.empty()) dir.write("p.prj", prj);
    const Scenario scenario = scenario_of(
        json("{'maps': {'potential-maps': [['" + pot +
             "']], 'potential-maps-weight': [[1]], 'exclusion-masks': []}, 'preprocess': "
             "{'init-values-map': '" +
             dir.write("i.asc", grid_text(nrows, ncols, init, cellsize)) +
             "', 'distribution-masks': [], 'debug-maps': 'no', 'output': '" + dir.path("out.asc") +
             "', " + (demand[0] == '{' ? "'demand': " : "") + demand + "}}"));
    ::Run run;
    const FatalResult result = run_capturing([&] { run_preprocess_stage(scenario, run); });
    const std::vector<float> out = grid_values(read_file(dir.path("out.asc")));
    EXPECT_EQ(result.fatal ? -result.code : std::count(out.begin(), out.end(), 4.0f), cells)
        << demand << "\n"
        << result.log;
    const std::string line = naming(message, pot);
    EXPECT_TRUE(result.fatal ? ends_with(result.log, line)
                             : result.log.find(line) != std::string::npos)
        << result.log;
    ASSERT_EQ(out.empty(), result.fatal);
    if (result.fatal) continue;
    EXPECT_EQ(std::make_pair(out[0], out[n - 1]), std::make_pair(3.0f, -999.0f));
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
