#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "driver/random.h"
#include "process_fixture.h"

namespace {

// A plain recount of what the moves keep up to date: the three value sums over the solution cells
// in row-major order, the perimeter, the 4-connected islands and the holes (8-connected groups of
// other cells that do not reach the grid edge).
struct Recount {
  double f1_sum = 0.0;
  double f4_sum = 0.0;
  double f5_sum = 0.0;
  int perimeter = 0;
  int islands = 0;
  int holes = 0;
};

int count_groups(const std::vector<int>& member, int nrows, int ncols, bool diagonal,
                 bool skip_edge_groups) {
  std::vector<int> seen(member.size(), 0);
  int groups = 0;
  for (int start = 0; start < nrows * ncols; ++start) {
    if (!member[static_cast<size_t>(start)] || seen[static_cast<size_t>(start)]) continue;
    bool touches_edge = false;
    std::vector<int> stack{start};
    seen[static_cast<size_t>(start)] = 1;
    while (!stack.empty()) {
      const int cell = stack.back();
      stack.pop_back();
      const int r = cell / ncols;
      const int c = cell % ncols;
      if (r == 0 || c == 0 || r == nrows - 1 || c == ncols - 1) touches_edge = true;
      for (int dr = -1; dr <= 1; ++dr) {
        for (int dc = -1; dc <= 1; ++dc) {
          if ((dr == 0 && dc == 0) || (!diagonal && dr != 0 && dc != 0)) continue;
          const int nr = r + dr;
          const int nc = c + dc;
          if (nr < 0 || nc < 0 || nr >= nrows || nc >= ncols) continue;
          const size_t next = static_cast<size_t>(nr * ncols + nc);
          if (member[next] && !seen[next]) {
            seen[next] = 1;
            stack.push_back(static_cast<int>(next));
          }
        }
      }
    }
    if (!(skip_edge_groups && touches_edge)) ++groups;
  }
  return groups;
}

Recount recount(int nrows, int ncols) {
  Recount out;
  const std::vector<float> solution = get_map(0);
  const std::vector<float> potential = get_map(1);
  const std::vector<float> nservices = get_map(3);
  const std::vector<float> distances = get_map(4);
  std::vector<int> in(solution.size());
  std::vector<int> other(solution.size());
  for (size_t i = 0; i < solution.size(); ++i) {
    in[i] = solution[i] == working_cell_value;
    other[i] = !in[i];
  }
  auto at = [&](int r, int c) {
    return r >= 0 && c >= 0 && r < nrows && c < ncols && in[static_cast<size_t>(r * ncols + c)];
  };
  for (int r = 0; r < nrows; ++r) {
    for (int c = 0; c < ncols; ++c) {
      const size_t i = static_cast<size_t>(r * ncols + c);
      if (!in[i]) continue;
      out.f1_sum += potential[i];
      out.f4_sum += nservices[i];
      out.f5_sum += distances[i];
      out.perimeter += !at(r - 1, c) + !at(r + 1, c) + !at(r, c - 1) + !at(r, c + 1);
    }
  }
  out.islands = count_groups(in, nrows, ncols, false, false);
  out.holes = count_groups(other, nrows, ncols, true, true);
  return out;
}

}  // namespace

TEST(MovesTest, RemovalIslandDeltaOnTheExamples) {
  // The marked cell sits in the middle of a 3 x 3 window: 1 2 3 / 4 x 5 / 6 7 8.
  struct Case {
    std::vector<int> allocated;  // window positions 1..8
    int expected;
  };
  const std::vector<Case> cases = {
      {{}, -1},                        // alone: an island disappears
      {{2}, 0},                        // one neighbour: the island shrinks
      {{2, 7}, 1},                     // north and south only: the island splits
      {{1, 2, 4}, 0},                  // north and west closed by the north-west corner
      {{2, 4}, 1},                     // north and west without the corner
      {{1, 2, 3, 4, 5, 6, 7, 8}, -1},  // all eight: a hole opens
  };
  const int window_row[9] = {0, 0, 0, 0, 1, 1, 2, 2, 2};
  const int window_col[9] = {0, 0, 1, 2, 0, 2, 0, 1, 2};
  for (const Case& c : cases) {
    process_setup(3, 3);
    std::vector<float> solution(9, 0.0f);
    for (int p : c.allocated) solution[static_cast<size_t>(window_row[p] * 3 + window_col[p])] = 1;
    solution[4] = MOVE_MARK;
    process_load_solution(solution, 1.0f);
    EXPECT_EQ(removal_island_delta(1, 1), c.expected) << "window with " << c.allocated.size();
  }
  // Beyond the edge counts as not allocated: a corner cell with its two inner neighbours and the
  // diagonal between them closes one corner (A 2, Q 1).
  process_setup(3, 3);
  process_load_solution({MOVE_MARK, 1, 0, 1, 1, 0, 0, 0, 0}, 1.0f);
  EXPECT_EQ(removal_island_delta(0, 0), 0);
}

TEST(MovesTest, IncrementalSumsFollowAPlainRecountOverManyMoves) {
  // Values are multiples of 1/64, so every double sum is exact whatever the order of the additions
  // and the running sums must equal the recount bit for bit. Potentials of 0 and no-data cells are
  // among them; a third of the cells are allocated, so moves often touch or neighbour each other.
  const int nrows = 14;
  const int ncols = 17;
  const size_t cells = static_cast<size_t>(nrows * ncols);
  for (unsigned seed : {3u, 11u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    process_setup(nrows, ncols);
    std::mt19937 maps_random(seed);
    auto value = [&] { return static_cast<float>(maps_random() % 65) / 64.0f; };
    std::vector<float> potential(cells);
    std::vector<float> nservices(cells);
    std::vector<float> distances(cells);
    std::vector<float> selection(cells);
    std::vector<float> solution(cells);
    for (size_t i = 0; i < cells; ++i) {
      const bool no_data = maps_random() % 12 == 0;
      potential[i] = no_data ? -1.0f : maps_random() % 5 == 0 ? 0.0f : value();
      nservices[i] = no_data ? -1.0f : value();
      distances[i] = no_data ? -1.0f : maps_random() % 4 == 0 ? 0.0f : value();
      selection[i] = selection_quantise(potential[i]);
      solution[i] = no_data ? -1.0f : maps_random() % 3 == 0 ? 2.0f : 0.0f;
    }
    set_map(1, potential);
    set_map(2, selection);
    set_map(3, nservices);
    set_map(4, distances);
    process_load_solution(solution, 2.0f);
    process_set_weights(1, 1, 1, 1, 1);
    rand_seed(seed);
    moves_prepare();

    Recount base = recount(nrows, ncols);
    int base_count = base.islands;
    {
      LogCapture quiet;
      energy_evaluate();
    }
    ASSERT_EQ(island_state.island_count, base.islands);
    for (int move = 0; move < 3000; ++move) {
      propose_move();
      const Move& m = current_move;
      ASSERT_GT(map_get(2).at(m.in_row, m.in_col), 0.0f);
      const double candidate = annealing_state.candidate_energy;
      const bool keep = rand15() % 2 == 0;
      keep ? commit_move() : undo_move();
      const Recount now = recount(nrows, ncols);
      ASSERT_EQ(energy_state.f1_sum, now.f1_sum) << "move " << move;
      ASSERT_EQ(energy_state.f4_sum, now.f4_sum) << "move " << move;
      ASSERT_EQ(energy_state.f5_sum, now.f5_sum) << "move " << move;
      ASSERT_EQ(energy_state.perimeter, now.perimeter) << "move " << move;
      // The count follows islands minus holes: it is the island count while no hole opened or
      // closed since the last full evaluation.
      ASSERT_EQ(island_state.island_count - base_count,
                (now.islands - now.holes) - (base.islands - base.holes))
          << "move " << move;
      if (now.holes == base.holes) {
        ASSERT_EQ(island_state.island_count, now.islands) << "move " << move;
      }
      if (move % 97 == 0) {
        // A full evaluation agrees with the energy the move formed whenever the counts agree.
        const bool counts_agree = island_state.island_count == now.islands;
        const double full = energy_evaluate();
        if (keep && counts_agree) {
          ASSERT_EQ(full, candidate) << "move " << move;
        }
        base = now;
        base_count = island_state.island_count;
      }
    }
  }
}

TEST(MovesTest, NegativeEnergyStopsWithTheMarkedMapInErrorAsc) {
  // One allocated cell moves from the middle cell to the right one (the left one cannot be taken):
  // f1_sum goes from 0.5 to 0.25 and f1_range is 1 - 0.25. With f1_top lowered by hand to 0.25, or
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
    if (top == 0.25) {
      EXPECT_FALSE(result.fatal);
      EXPECT_EQ(annealing_state.candidate_energy, 0.0);
      EXPECT_EQ(read_file(dir.path("error.asc")), "");
    } else {
      EXPECT_TRUE(result.fatal);
      EXPECT_EQ(result.code, 1);
      EXPECT_NE(result.log.find("error: negative energy -0.000001!\n"), std::string::npos);
      const std::string grid = read_file(dir.path("error.asc"));
      EXPECT_NE(grid.find("\n0 -3 -3\n"), std::string::npos) << grid;
    }
  }
  ASSERT_EQ(chdir(previous), 0);
}

TEST(MovesTest, MovesThatCanNeverBeDrawnAreRefused) {
  struct Case {
    std::vector<float> solution;
    std::vector<float> selection;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{2, 2, 2, 2}, {1, 1, 1, 1}, "error: no free cell can receive a move!\n"},
      {{2, 0, 0, -1}, {1, 0, -1, 1}, "error: no free cell can receive a move!\n"},
      {{0, 0, 0, 1}, {1, 1, 1, 1}, "error: no allocated cell to move!\n"},
  };
  for (const Case& c : cases) {
    process_setup(2, 2);
    set_map(2, c.selection);
    process_load_solution(c.solution, 2.0f);
    FatalResult result = run_capturing([] { moves_prepare(); });
    EXPECT_TRUE(result.fatal);
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.log, c.message);
  }
}
