// PROCESS in memory: the energy terms and their normalisers, the incremental moves against a plain
// recount, and the annealing loop with its re-tries, listing and autotuning.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "driver/random.h"
#include "process/annealing.h"
#include "process/energy.h"
#include "process/moves.h"
#include "process/process_stage.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "test_support.h"

namespace {

// Fresh state with the stage's eight maps (1 to 7 all 0), `solution` as map 0 with working cell
// value `value`, the labelling queues sized for it, normalisers unset and the five weights.
void setup(int nrows, int ncols, const std::vector<float>& solution, float value,
           const std::array<double, 5>& w) {
  reset_process_state();
  process_reset_state();
  setup_grid(nrows, ncols, 8);
  for (int k = 1; k < 8; ++k) set_map(k, std::vector<float>(solution.size(), 0.0f));
  set_map(0, solution);
  working_cell_value = value;
  annealing_state.solution_cell_count =
      static_cast<int32_t>(std::count(solution.begin(), solution.end(), value));
  ASSERT_TRUE(islands_allocate(std::max<size_t>(1, annealing_state.solution_cell_count)));
  energy_reset_normalisers();
  energy_state.f1_weight = w[0], energy_state.f2_weight = w[1], energy_state.f3_weight = w[2];
  energy_state.f4_weight = w[3], energy_state.f5_weight = w[4];
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What the moves keep up to date, recounted plainly: the value sums, the perimeter 4C - 2E, and
// islands minus holes, C - E + F for 4-connected islands and 8-connected holes (C cells, E
// adjacent pairs, F full 2 x 2 blocks).
std::array<double, 5> recount(int nrows, int ncols) {
  std::array<double, 5> out{};
  double pairs = 0, blocks = 0, cells = 0;
  auto in = [&](int r, int c) {
    return r < nrows && c < ncols && map_get(0).at(r, c) == working_cell_value;
  };
  for (int i = 0; i < nrows * ncols; ++i) {
    const int r = i / ncols, c = i % ncols;
    if (!in(r, c)) continue;
    out[0] += map_cells(1)[i], out[1] += map_cells(3)[i], out[2] += map_cells(4)[i], ++cells;
    pairs += in(r + 1, c) + in(r, c + 1);
    blocks += in(r + 1, c) && in(r, c + 1) && in(r + 1, c + 1);
  }
  out[3] = 4 * cells - 2 * pairs;
  out[4] = cells - pairs + blocks;
  return out;
}

}  // namespace

TEST(ProcessTest, IncrementalSumsFollowAPlainRecountOverManyMoves) {
  // Moves go to cells of positive selection: the potential rounded up to fifths, 0 included.
  std::vector<float> q;
  for (float p : {0.0f, 0.19f, 0.5f, 0.99f, 1.0f, -1.0f, 1.3f}) q.push_back(selection_quantise(p));
  EXPECT_EQ(q, (std::vector<float>{0.2f, 0.2f, 0.6f, 1.0f, 1.0f, -1.0f, 1.4f}));
  // Values are multiples of 1/64, so every sum is exact in any order and must agree bit for bit.
  // No-data cells and zeros are among them; a third of the cells are allocated, so the two cells
  // of a move are often neighbours.
  const int nrows = 14, ncols = 17, cells = nrows * ncols;
  for (unsigned seed : {3u, 11u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto value = [&](int zeros) { return random() % zeros ? (random() % 65) / 64.0f : 0.0f; };
    std::vector<float> solution(cells), maps[5];
    for (auto& m : maps) m.resize(cells);
    for (int i = 0; i < cells; ++i) {
      const bool no_data = random() % 12 == 0;
      maps[1][i] = no_data ? -1.0f : value(5);
      maps[3][i] = no_data ? -1.0f : value(1000);
      maps[4][i] = no_data ? -1.0f : value(4);
      solution[i] = no_data ? -1.0f : random() % 3 == 0 ? 2.0f : 0.0f;
    }
    setup(nrows, ncols, solution, 2.0f, {1, 1, 1, 1, 1});
    for (int k : {1, 3, 4}) set_map(k, maps[k]);
    for (int i = 0; i < cells; ++i) map_cells(2)[i] = selection_quantise(maps[1][i]);
    rand_seed(seed);
    LogCapture quiet;
    moves_prepare();
    energy_evaluate();
    auto base = recount(nrows, ncols);
    int base_count = island_state.island_count;
    for (int move = 0; move < 3000; ++move) {
      propose_move();
      ASSERT_GT(map_get(2).at(current_move.in_row, current_move.in_col), 0.0f);
      const double candidate = annealing_state.candidate_energy;
      const bool keep = rand15() % 2 == 0;
      keep ? commit_move() : undo_move();
      const auto now = recount(nrows, ncols);
      ASSERT_EQ((std::array<double, 4>{energy_state.f1_sum, energy_state.f4_sum,
                                       energy_state.f5_sum, double(energy_state.perimeter)}),
                (std::array<double, 4>{now[0], now[1], now[2], now[3]}));
      // The count follows islands minus holes since the last full evaluation.
      ASSERT_EQ(island_state.island_count - base_count, now[4] - base[4]);
      if (move % 97 != 0) continue;
      // Where no hole opened or closed, a full evaluation gives the very energy the move formed.
      const int32_t running = island_state.island_count;
      const double full = energy_evaluate();
      ASSERT_TRUE(!keep || running != island_state.island_count || full == candidate);
      base = now;
      base_count = island_state.island_count;
    }
  }
}

TEST(ProcessTest, NegativeAndDegenerateTermsCountAsZero) {
  // A 2 x 5 block: perimeter 14 below min_perimeter 16 (f2_range 40 - 16 = 24), on the masks
  // (distance 0) below f5_bottom 10 * 0.5. The energy counts both as 0, the terms keep them. The
  // range stays that of the first evaluation: a full row and two cells below, perimeter 20.
  std::vector<float> solution(32, 0.0f), distances(32, 0.5f);
  for (int i : {9, 10, 11, 12, 13, 17, 18, 19, 20, 21}) solution[i] = 1.0f, distances[i] = 0.0f;
  distances[31] = 1.0f;
  setup(4, 8, solution, 1.0f, {0, 1, 0, 0, 1});
  set_map(4, distances);
  LogCapture quiet;
  EXPECT_EQ(energy_evaluate(), 0.0);
  double terms[5];
  energy_terms(terms);
  EXPECT_EQ(terms[1], -2.0 / 24.0);
  EXPECT_EQ(terms[4], -5.0 / energy_state.f5_range);
  for (int i = 0; i < 32; ++i) map_cells(0)[i] = i >= 8 && i < 18 ? 1.0f : 0.0f;
  EXPECT_EQ(energy_evaluate(), 4.0 / 24.0);

  // One allocated cell on a constant potential: f1, f2 and f3 have normalisers of 0 and are off for
  // the run, with one warning each; f4 = (1 - 0.5) / 1 and f5 = 0 are live. Nothing is NaN, and
  // the no-data cell (-1) is in no top or bottom sum.
  setup(3, 4, {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, 1.0f, {1, 1, 1, 1, 1});
  set_map(1, {-1, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f});
  set_map(3, {-1, 1, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0, 0});
  set_map(4, {1, 1, 1, 1, 1, 0.25f, 1, 1, 1, 1, 1, 1});
  FatalResult first = run_capturing([] { EXPECT_EQ(energy_evaluate(), 0.5); });
  EXPECT_EQ(first.log,
            "! term f1 (potential) off: degenerate normaliser 0.000000\n"
            "! term f2 (perimeter) off: degenerate normaliser 0.000000\n"
            "! term f3 (islands) off: degenerate normaliser 0.000000\n");
  std::swap(map_cells(0)[5], map_cells(0)[1]);
  EXPECT_EQ(run_capturing([] { EXPECT_EQ(energy_evaluate(), 1.0); }).log, "");  // f5 0.75 / 0.75
}

TEST(ProcessTest, NegativeEnergyStopsWithTheMarkedMapInErrorAsc) {
  // The one allocated cell moves from the middle to the right: f1_sum 0.5 -> 0.25 over a range of
  // 0.75. With f1_top lowered by hand to 0.25, or 0.75e-6 below, the candidate energy is exactly 0
  // (kept) or -0.000001 (fatal, with the map and its move marks written to "error.asc").
  TempDir dir;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.dir());
  for (double top : {0.25, 0.25 - 0.75e-6}) {
    setup(1, 3, {0, 1, 0}, 1.0f, {1, 0, 0, 0, 0});
    set_map(1, {1.0f, 0.5f, 0.25f});
    set_map(2, {-1.0f, 1.0f, 1.0f});
    FatalResult result = run_capturing([&] {
      moves_prepare();
      energy_evaluate();
      energy_state.f1_top = top;
      propose_move();
    });
    EXPECT_EQ(result.fatal ? result.code : 0, top == 0.25 ? 0 : 1);
    EXPECT_EQ(annealing_state.candidate_energy == 0.0, top == 0.25);
    EXPECT_EQ(ends_with(result.log, "error: negative energy -0.000001!\n* write 'error.asc'\n"),
              result.fatal);
    EXPECT_EQ(dir.read("error.asc").find("\n0 -3 -3\n") != std::string::npos, result.fatal);
  }
  std::filesystem::current_path(previous);
}

// One row of six cells whose two allocated cells hold the highest potentials, with only the
// potential term weighted: every move raises the energy (f1 from 0 by 0.125 or more). The listing
// prints the others: f2 off (n = 2), f3 0, f4 = (2 - 0.5) / 2 = 0.75, f5 = 0.75 / 1.25 = 0.6.
static void setup_uphill_row(const TempDir& dir, double kb, float tnext = 0.9f, int nstages = 3) {
  const std::vector<float> solution = {0, 0, 0, 0, 2, 2};
  setup(1, 6, solution, 2.0f, {1, 0, 0, 0, 0});
  load_config("{\"preprocess\": {\"output\": \"" + dir.write("pre.asc", grid_text(1, 6, solution)) +
              "\"}}");
  set_map(1, {0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f});
  set_map(2, std::vector<float>(6, 1.0f));
  set_map(3, {1, 1, 0, 0, 0, 0.5f});
  set_map(4, {0.25f, 0.5f, 0.75f, 1, 0.5f, 1});
  process_parameters.pinit = 0.5f, process_parameters.tinit = 1.0f;
  process_parameters.tnext = tnext, process_parameters.nstages = nstages;
  process_parameters.nmovs = 5, process_parameters.kb = 1.0;
  annealing_state.effective_kb = kb;
  rand_seed(7);
}

TEST(ProcessTest, AnnealingAcceptsRetriesListsAndTunes) {
  // A factor of 1e9 fails every uphill draw; without a re-try budget all three stages run once. A
  // factor of 0 gives p = 1: every move is kept, the uphill ones by the Boltzmann draw.
  TempDir dir;
  setup_uphill_row(dir, 1e9);
  FatalResult run = run_capturing([] { run_annealing(0); });
  EXPECT_TRUE(ends_with(run.log,
                        "execution\n  stage: 0 1 2\n  initial 0.000000\n"
                        "  final 0.000000\n  minimal 0.000000\n  stats\n"
                        "    0 accepts (0 by boltz prob)\n    15 rejections\n"))
      << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{0, 0, 0, 0, 2, 2}));
  setup_uphill_row(dir, 0.0);
  run = run_capturing([] { run_annealing(0); });
  EXPECT_TRUE(run.log.find("    15 accepts (") != std::string::npos &&
              run.log.find("(0 by boltz prob)") == std::string::npos &&
              ends_with(run.log, " by boltz prob)\n    0 rejections\n"))
      << run.log;

  // With a budget of 4 re-tries, stage 0 aborts four times, each a tenth of the way closer to 1;
  // the fifth try runs to the end. A cooling factor of 1 cannot be raised.
  setup_uphill_row(dir, 1e9, 0.9f, 10);
  run = run_capturing([] { run_annealing(4); });
  for (const char* t : {"0.910000", "0.919000", "0.927100", "0.934390"}) {
    EXPECT_NE(run.log.find("  stage: 0\n  acceptance values too low!\n  processing...\n    tnext " +
                           std::string(t) + "\n"),
              std::string::npos)
        << t << run.log;
  }
  EXPECT_NE(run.log.find("  stage: 0 1 2 3 4 5 6 7 8 9\n  initial"), std::string::npos);
  setup_uphill_row(dir, 1e9, 1.0f);
  run = run_capturing([] { run_annealing(4); });
  EXPECT_EQ(run.fatal ? run.code : 0, 1);
  EXPECT_TRUE(ends_with(run.log, "    tnext 1.000000\n** error fatal con el reescalado!\n"))
      << run.log;
  // The listing keeps the aborted try's line and restarts the stages with the raised factor.
  setup_uphill_row(dir, 1e9);
  annealing_state.evolution_file = std::fopen(dir.path("run.lst").c_str(), "w");
  run = run_capturing([] { run_annealing(1); });
  std::fclose(annealing_state.evolution_file);
  annealing_state.evolution_file = nullptr;
  const std::string rest = " 0.000000 0.00 0.00 0.000000 0.000000 0.000000 0.750000 0.600000\n";
  EXPECT_EQ(dir.read("run.lst"),
            "0 1.000000" + rest + "0 1.000000" + rest + "1 0.910000" + rest + "2 0.828100" + rest);

  // Rejected differences -0.005 and -0.015: m = 0.01, k = |ln 0.5 * 1 / 0.01|. With every weight 0
  // no move is ever rejected: the configured kb stays, with a warning.
  EXPECT_EQ(std::to_string(autotune_factor(0.005 + 0.015, 2)), "69.314718");
  setup_uphill_row(dir, 1.0);
  energy_state.f1_weight = 0;
  run = run_capturing([] { autotune_kb(); });
  EXPECT_EQ(annealing_state.effective_kb, 1.0);
  EXPECT_TRUE(ends_with(run.log,
                        "! no move rejected in the last dry-run stage: kb 1.000000 kept\n"
                        "changes\n  nmovs 12\n  kb 1.000000\n"))
      << run.log;
}
