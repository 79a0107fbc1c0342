#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "driver/random.h"
#include "process_fixture.h"

namespace {

// Groups of `member` cells, 4- or 8-connected; with `inner_only`, only those off the grid edge.
int count_groups(std::vector<int> member, int nrows, int ncols, bool diagonal, bool inner_only) {
  int groups = 0;
  for (int start = 0; start < nrows * ncols; ++start) {
    if (member[start] != 1) continue;
    bool edge = false;
    std::vector<int> stack{start};
    member[start] = 2;
    while (!stack.empty()) {
      const int r = stack.back() / ncols, c = stack.back() % ncols;
      stack.pop_back();
      edge = edge || r == 0 || c == 0 || r == nrows - 1 || c == ncols - 1;
      for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
          const int nr = r + dr, nc = c + dc;
          if ((!diagonal && dr != 0 && dc != 0) || nr < 0 || nc < 0 || nr >= nrows || nc >= ncols)
            continue;
          if (member[nr * ncols + nc] == 1)
            member[nr * ncols + nc] = 2, stack.push_back(nr * ncols + nc);
        }
      }
    }
    groups += !(inner_only && edge);
  }
  return groups;
}

// A plain recount of what the moves keep up to date: the value sums in row-major order, the
// perimeter, the islands and the holes (8-connected other cells that do not reach the edge).
struct Recount {
  double f1_sum = 0, f4_sum = 0, f5_sum = 0;
  int perimeter = 0, islands = 0, holes = 0;
};

Recount recount(int nrows, int ncols) {
  Recount out;
  const std::vector<float> solution = get_map(0);
  std::vector<int> in(solution.size()), other(solution.size());
  for (size_t i = 0; i < solution.size(); ++i) in[i] = solution[i] == working_cell_value;
  for (size_t i = 0; i < solution.size(); ++i) other[i] = !in[i];
  auto at = [&](int r, int c) {
    return r >= 0 && c >= 0 && r < nrows && c < ncols && in[r * ncols + c];
  };
  for (int i = 0; i < nrows * ncols; ++i) {
    if (!in[i]) continue;
    const int r = i / ncols, c = i % ncols;
    out.f1_sum += map_cells(1)[i];
    out.f4_sum += map_cells(3)[i];
    out.f5_sum += map_cells(4)[i];
    out.perimeter += !at(r - 1, c) + !at(r + 1, c) + !at(r, c - 1) + !at(r, c + 1);
  }
  out.islands = count_groups(in, nrows, ncols, false, false);
  out.holes = count_groups(other, nrows, ncols, true, true);
  return out;
}

}  // namespace

TEST(MovesTest, RemovalIslandDeltaOnTheExamples) {
  // The marked middle cell of a 3 x 3 map with the listed cells allocated (row-major positions).
  const std::vector<std::pair<std::vector<int>, int>> cases = {
      {{}, -1},                        // alone: its island disappears
      {{1}, 0},                        // one neighbour: the island shrinks
      {{1, 7}, 1},                     // north and south only: the island splits
      {{0, 1, 3}, 0},                  // north and west closed by the north-west corner
      {{1, 3}, 1},                     // north and west without it
      {{0, 1, 2, 3, 5, 6, 7, 8}, -1},  // all eight: a hole opens
  };
  for (const auto& [allocated, expected] : cases) {
    process_setup(3, 3);
    std::vector<float> solution(9, 0.0f);
    for (int p : allocated) solution[p] = 1.0f;
    solution[4] = MOVE_MARK;
    process_load_solution(solution, 1.0f);
    EXPECT_EQ(removal_island_delta(1, 1), expected) << allocated.size() << " allocated";
  }
  // Beyond the edge counts as not allocated: a corner cell with its two inner neighbours and the
  // diagonal between them closes one corner (A 2, Q 1).
  process_load_solution({MOVE_MARK, 1, 0, 1, 1, 0, 0, 0, 0}, 1.0f);
  EXPECT_EQ(removal_island_delta(0, 0), 0);
}

TEST(MovesTest, IncrementalSumsFollowAPlainRecountOverManyMoves) {
  // Values are multiples of 1/64, so every sum is exact in any order and the running sums must
  // equal the recount bit for bit. Potentials of 0 and no-data cells are among them; a third of the
  // cells are allocated, so the two cells of a move are often neighbours.
  const int nrows = 14, ncols = 17, cells = nrows * ncols;
  for (unsigned seed : {3u, 11u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    process_setup(nrows, ncols);
    std::mt19937 random(seed);
    auto value = [&] { return static_cast<float>(random() % 65) / 64.0f; };
    std::vector<float> solution(cells);
    for (int i = 0; i < cells; ++i) {
      const bool no_data = random() % 12 == 0;
      map_cells(1)[i] = no_data ? -1.0f : random() % 5 == 0 ? 0.0f : value();
      map_cells(2)[i] = selection_quantise(map_cells(1)[i]);
      map_cells(3)[i] = no_data ? -1.0f : value();
      map_cells(4)[i] = no_data ? -1.0f : random() % 4 == 0 ? 0.0f : value();
      solution[i] = no_data ? -1.0f : random() % 3 == 0 ? 2.0f : 0.0f;
    }
    process_load_solution(solution, 2.0f);
    process_set_weights(1, 1, 1, 1, 1);
    rand_seed(seed);
    LogCapture quiet;
    moves_prepare();
    energy_evaluate();
    Recount base = recount(nrows, ncols);
    int base_count = island_state.island_count;
    for (int move = 0; move < 3000; ++move) {
      SCOPED_TRACE("move " + std::to_string(move));
      propose_move();
      ASSERT_GT(map_get(2).at(current_move.in_row, current_move.in_col), 0.0f);
      const double candidate = annealing_state.candidate_energy;
      const bool keep = rand15() % 2 == 0;
      keep ? commit_move() : undo_move();
      const Recount now = recount(nrows, ncols);
      ASSERT_EQ(energy_state.f1_sum, now.f1_sum);
      ASSERT_EQ(energy_state.f4_sum, now.f4_sum);
      ASSERT_EQ(energy_state.f5_sum, now.f5_sum);
      ASSERT_EQ(energy_state.perimeter, now.perimeter);
      // The count follows islands minus holes, so it is the island count while no hole opened or
      // closed since the last full evaluation.
      ASSERT_EQ(island_state.island_count - base_count,
                (now.islands - now.holes) - (base.islands - base.holes));
      if (move % 97 != 0) continue;
      // Where the counts agree, a full evaluation gives the very energy the move formed.
      const bool same_count = island_state.island_count == now.islands;
      const double full = energy_evaluate();
      ASSERT_TRUE(!keep || !same_count || full == candidate);
      base = now;
      base_count = island_state.island_count;
    }
  }
}

TEST(MovesTest, NegativeEnergyStopsWithTheMarkedMapInErrorAsc) {
  // The one allocated cell moves from the middle to the right (the left cell cannot be taken):
  // f1_sum goes from 0.5 to 0.25, f1_range is 1 - 0.25. With f1_top lowered by hand to 0.25, or
  // 0.75e-6 below it, the candidate energy is exactly 0 (kept) or -0.000001 (fatal).
  TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(dir.dir().c_str()), 0);
  for (double top : {0.25, 0.25 - 0.75e-6}) {
    process_setup(1, 3);
    set_map(1, {1.0f, 0.5f, 0.25f});
    set_map(2, {-1.0f, 1.0f, 1.0f});
    process_load_solution({0.0f, 1.0f, 0.0f}, 1.0f);
    process_set_weights(1, 0, 0, 0, 0);
    FatalResult result = run_capturing([&] {
      moves_prepare();
      energy_evaluate();
      energy_state.f1_top = top;
      propose_move();
    });
    EXPECT_EQ(result.fatal, top != 0.25);
    if (!result.fatal) {
      EXPECT_EQ(annealing_state.candidate_energy, 0.0);
      continue;
    }
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.log.find("error: negative energy -0.000001!\n"), std::string::npos);
    EXPECT_NE(dir.read("error.asc").find("\n0 -3 -3\n"), std::string::npos)
        << dir.read("error.asc");
  }
  ASSERT_EQ(chdir(previous), 0);
}
