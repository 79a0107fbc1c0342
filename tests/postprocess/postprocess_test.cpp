// POSTPROCESS: selection, growth over basins, the whole stage on grid files. With one best island
// "large" accepts every draw, so growth follows the visiting order (row-major, neighbours up, left,
// right, down) and maps are drawn by hand: '.' free, 'W' allocated, 'S' selected, 'N' no data (X
// when written).
#include "base/random.h"
#include "grid_checks.h"
#include "postprocess/expand_basic.h"
#include "postprocess/expand_basins.h"
#include "postprocess/postprocess_run.h"
#include "postprocess/postprocess_stage.h"
#include "postprocess/selection.h"
#include "test_support.h"

namespace {

std::vector<float> cells(const std::string& text) {
  std::vector<float> out;
  for (char ch : text)
    if (ch != ' ')
      out.push_back(ch == 'W' ? 1 : ch == 'S' ? 2 : ch == 'N' ? -1 : ch == 'X' ? -999 : 0);
  return out;
}

// A POSTPROCESS run of its own on the configuration `json`: map 0 becomes `solution` (working cell
// value 1), the probability map 1.0 everywhere.
struct Fixture {
  Fixture(int nrows, int ncols, const std::string& solution, const std::string& json = "{}")
      : scenario(scenario_of(json)) {
    p.maps = make_maps(nrows, ncols, POSTPROCESS_MAPS);
    set_map(p.maps, 0, cells(solution));
    set_map(p.maps, POSTPROCESS_PROBABILITY_MAP, std::vector<float>(p.maps.cell_count(), 1.0f));
    p.working_cell_value = 1.0f;
    EXPECT_TRUE(islands_allocate(p.islands, p.maps.cell_count()));
    rand_seed(run.rng, 7);
  }
  Scenario scenario;
  ::Run run;
  PostprocessRun p{scenario, run};
};

// Runs the stage over "potential.asc" and "process.asc" of `dir` into "final.asc" and "mask.asc",
// the distance method reading `maps` (a list's members) with both its minimums `minimum`.
FatalResult run_stage(const TempDir& dir, int purge_limit, const std::string& maps, int minimum,
                      const std::string& share, const std::string& debug, ::Run* given = nullptr) {
  const Scenario scenario = scenario_of(json(
      "{'maps': {'potential-maps': [['" + dir.path("potential.asc") +
      "']], 'potential-maps-weight': [[1]]}, 'process': {'output': '" + dir.path("process.asc") +
      "'}, 'postprocess': {'select': {'purge-limit': " + std::to_string(purge_limit) +
      ", 'method-distance': {'distance-masks': [], 'distance-maps': [" + maps +
      "], 'minimum-distance-to-mask': " + std::to_string(minimum) +
      ", 'minimum-cells-at-distance': " + std::to_string(minimum) +
      "}, 'method-value': {'accumulated-value': " + share +
      "}}, 'expand': {'assign-preference': 'large', 'basins-map': '', "
      "'minimim-cells-in-basin': 0}, 'debug-maps': '" +
      debug + "', 'output': '" + dir.path("final.asc") + "', 'output-mask': '" +
      dir.path("mask.asc") + "'}}"));
  ::Run own;
  ::Run& run = given != nullptr ? *given : own;
  return run_capturing([&] { run_postprocess_stage(scenario, run); });
}

}  // namespace

TEST(PostprocessTest, SelectionTable) {
  // Islands 0: 0.5 at distance 3; 1: 0.25 + 0.25 at 0 and 2; 2: 0.75 at 1; 3: 0.125 + 0.125 at 5.
  // By value (share 0.5 of 2.0) the order is 2, 0, 1, 3 (0 before 1 at equal value): 2 and 0. By
  // distance (2 at most, 1 cell needed): 1 and 2, as a distance of 0 never counts.
  for (auto [distance, count, share, marked] :
       {std::tuple{2, 1, 0.0f, "W.SS.S.WW"}, std::tuple{0, 1, 0.5f, "S.WW.S.WW"},
        std::tuple{2, 1, 0.5f, "W.WW.S.WW"},     // chosen by both
        std::tuple{0, 1, 0.375f, "W.WW.S.WW"},   // island 2 reaches the target alone
        std::tuple{2, 2, 0.0f, "S.SS.S.SS"}}) {  // none chosen: every island
    Fixture f(1, 9, "W.WW.W.WW");
    f.p.params.min_distance = distance, f.p.params.min_cells = count;
    f.p.params.accumulated_value = share;
    set_map(f.p.maps, 1, {0.5f, 0, 0.25f, 0.25f, 0, 0.75f, 0, 0.125f, 0.125f});
    set_map(f.p.maps, 3, {3, 1, 0, 2, 1, 1, 4, 5, 5});
    FatalResult run = run_capturing([&] { postprocess_label(f.p), select_islands(f.p); });
    EXPECT_EQ(get_map(f.p.maps, 0), cells(marked)) << run.log;
  }
}

// Sweeps over the islands' rims grow what whole-map sweeps grow, draw for draw, on random maps in
// both modes with every preference: the same map and the same log.
TEST(PostprocessTest, RimSweepsGrowWhatWholeMapSweepsGrow) {
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    Rng random;
    rand_seed(random, seed);
    const int nrows = 6 + rand_index(random, 20), ncols = 6 + rand_index(random, 20);
    std::vector<float> solution(size_t(nrows * ncols)), probability(solution.size()),
        basins(solution.size());
    for (size_t i = 0; i < solution.size(); ++i) {
      const int32_t kind = rand_index(random, 20);
      solution[i] = kind < 3 ? 1.0f : kind == 3 ? -1.0f : 0.0f;
      probability[i] = float(rand_index(random, 11)) / 10.0f;
      basins[i] = float(rand_index(random, 4)) + (kind == 4 ? -2.0f : 0.0f);
    }
    const int32_t cells = 1 + rand_index(random, nrows * ncols / 3);
    const auto preference = AssignPreference(rand_index(random, 3));
    const bool in_basins = seed % 2 == 0;
    const int32_t minimum = rand_index(random, 3);
    auto grow = [&](bool narrowing) {
      Fixture f(nrows, ncols, std::string(solution.size(), '.'));
      set_map(f.p.maps, 0, solution);
      set_map(f.p.maps, POSTPROCESS_PROBABILITY_MAP, probability);
      set_map(f.p.maps, 4, basins);
      rand_seed(f.run.rng, seed);
      FatalResult run = run_capturing([&] {
        in_basins ? expand_basins(f.p, minimum, cells, preference, narrowing)
                  : expand_basic(f.p, cells, preference, narrowing);
      });
      return std::tuple{get_map(f.p.maps, 0), run.log, run.code};
    };
    ASSERT_EQ(grow(true), grow(false)) << "seed " << seed;
  }
}

TEST(PostprocessTest, BasinsModeGrowsOnlyIntoOpenBasins) {
  // Columns 0-1 are basin 7, 2-5 basin 5e9, the island spans both; with a minimum of 2, basin 7
  // (one solution cell) closes. The graph has a column per basin, however large its number.
  Fixture f(3, 6, "...... .WWW.. ......");
  const float b = 5e9f;
  set_map(f.p.maps, 4, {7, 7.5f, b, b, b, b, 7, 7, b, b, b, b, 7, 7, b, b, b, b});
  FatalResult run = run_capturing([&] { expand_basins(f.p, 2, 4, AssignPreference::large); });
  EXPECT_EQ(get_map(f.p.maps, 0), cells("..WW.. .WWWW. ..W...")) << run.log;
  EXPECT_NE(run.log.find("  2 basins (will reserve one more for map errors)\n"), std::string::npos);
  EXPECT_NE(run.log.find("  - removed 1 adj basins because low number of solution cells there\n"),
            std::string::npos);

  // More basins than 16 bits number: cells 2k and 2k + 1 share basin k, so the island's cell 2
  // grows into cell 3 first.
  const size_t long_row = 140000;
  Fixture wide(1, static_cast<int32_t>(long_row), "..W" + std::string(long_row - 3, '.'));
  std::vector<float> numbers(long_row);
  for (size_t i = 0; i < long_row; ++i) numbers[i] = float(i / 2) + 0.5f;
  set_map(wide.p.maps, 4, numbers);
  run = run_capturing([&] { expand_basins(wide.p, 0, 1, AssignPreference::large); });
  EXPECT_NE(run.log.find("  70000 basins (will reserve"), std::string::npos) << run.log;
  EXPECT_EQ(get_map(wide.p.maps, 0), cells("..WW" + std::string(long_row - 4, '.')));

  // "W..N" over basins 0 0 1 1: basins 0 and 1 fill, then none opens. "W.W." over the error basin
  // (-1, -1.999) with a minimum of 2: both basins hold one solution cell and close.
  const std::tuple<std::string, std::string, int, std::string> ends[] = {
      {"W..N", "0 0 1 1", 0,
       "error: basin map is unable to hold the number of cells needed!\n  1 cells still "
       "unassigned\n  (try to add more islands to the selection\n  by reducing size or "
       "distance requirements)\n"},
      {"W.W.", "0 0 -1 -1.999", 2,
       "  - 2 cells go to map error basin\n  - removed 2 adj basins because low number of "
       "solution cells there\nerror: no enough basins left to hold the number of cells "
       "needed!\n  3 cells still unassigned\n  2 basins\n  2 basins removed\n"}};
  for (const auto& [solution, basins, minimum, tail] : ends) {
    Fixture small(1, 4, solution);
    set_map(small.p.maps, 4, grid_values(basins));
    run = run_capturing([&] { expand_basins(small.p, minimum, 3, AssignPreference::large); });
    EXPECT_TRUE(run.code == -1 && ends_with(run.log, tail)) << run.log;
  }
}

// The stage in basic mode. Islands A = (1,1) (1,2) (2,1); B = (1,5); D = (4,0); E = (4,3) (4,4).
// Purge limit 2 erases B and D; by value A (3.0) is chosen, E (2.0) cleared: 4 cells regrow, (1,1)
// up and left, (1,2) right and down past the no-data cell. Purging every island writes nothing.
TEST(PostprocessTest, StageRegrowsAroundTheBestIslandOrWritesNothing) {
  const std::vector<std::tuple<std::string, int, int, std::string, std::string>> cases = {
      {"WN. NN. ..W", 100, -6,
       "  - selected 0 islands in the worst group\nerror: no selected islands!\n", ""},
      {"..N... .WW..W .W.... ...... W..WW.", 2, 0,
       "  selected 1 islands to expand\n  - 2 cells purged\n  - another 2 cells removed\n",
       ".WX... WWWW.. .WW... ...... ......"},
  };
  TempDir dir;
  for (const auto& [process, purge_limit, code, part, final_map] : cases) {
    const int ncols = static_cast<int>(process.find(' ')),
              nrows = (process.size() + 1) / (ncols + 1);
    std::vector<float> values = cells(process), potential(values.size(), 1.0f);
    for (float& v : values) v = v < 0 ? -9999.0f : v;
    potential.back() = 0.5f;
    dir.write("potential.asc", grid_text(nrows, ncols, potential));
    dir.write("process.asc", grid_text(nrows, ncols, values));
    const FatalResult run = run_stage(dir, purge_limit, "", 0, "0.5", "no");
    EXPECT_EQ(run.fatal ? run.code : 0, code) << run.log;
    EXPECT_TRUE(code ? ends_with(run.log, part) : run.log.find(part) != std::string::npos)
        << run.log;
    EXPECT_EQ(grid_values(read_file(dir.path("final.asc"))), cells(final_map));
    EXPECT_EQ(read_file(dir.path("mask.asc")).empty(), code != 0);
  }
}

// Distance maps in map units (cell size 2): means 2 and 2.5 are 1 and 2 whole cells, no data where
// either has none. Only island {0, 1} is within 1 cell: chosen; {3} cleared grows back beside it.
TEST(PostprocessTest, DistanceMapsCountWholeCellsOfTheirMean) {
  TempDir dir;
  dir.write("potential.asc", grid_text(1, 4, {1, 1, 1, 1}, 2.0));
  dir.write("process.asc", grid_text(1, 4, {1, 1, 0, 1}, 2.0));
  const std::string a = dir.write("a.asc", grid_text(1, 4, {1, 2, 3, -9999}, 2.0));
  const std::string b = dir.write("b.asc", grid_text(1, 4, {3, 3, -9999, 1}, 2.0));
  const FatalResult run = run_stage(dir, 1, "'" + a + "', '" + b + "'", 1, "0", "yes");
  ASSERT_FALSE(run.fatal) << run.log;
  EXPECT_EQ(grid_values(dir.read("final.asc.debug.map-3.asc")),
            (std::vector<float>{1, 2, -999, -999}));
  EXPECT_EQ(grid_values(dir.read("final.asc.debug.selection-mask.asc")), cells("WWXX"));
  EXPECT_EQ(grid_values(dir.read("final.asc")), cells("WWW."));
}

// Applied until they hold, the rules pass over their own repair until it changes nothing. Three
// islands of one cell at a share of 0.5: the first pass drops the last and grows beside the first,
// which is then worth twice the second: the next pass drops that one too.
TEST(PostprocessTest, RulesAppliedUntilTheyHoldPassOverTheirOwnRepair) {
  TempDir dir;
  dir.write("potential.asc", grid_text(1, 10, std::vector<float>(10, 1.0f)));
  dir.write("process.asc", grid_text(1, 10, cells("W..W..W...")));
  for (const bool until_kept : {false, true}) {
    ::Run run;
    run.postprocess_until_kept = until_kept;
    const FatalResult r = run_stage(dir, 1, "", 0, "0.5", "no", &run);
    ASSERT_FALSE(r.fatal) << r.log;
    EXPECT_EQ(grid_values(dir.read("final.asc")), cells(until_kept ? "WWW......." : "WW.W......"));
    EXPECT_EQ(run.postprocess_kept, until_kept);
  }
}
