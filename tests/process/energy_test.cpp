#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "process_fixture.h"

// Sum of the n largest and of the n smallest values that pass the term's test, by sorting the
// whole map and walking it from either end (the plain way the cached sums must match).
static void sorted_bounds(std::vector<float> v, bool strictly, int n, double* top, double* bottom) {
  std::sort(v.begin(), v.end(), std::greater<float>());
  auto take = [&](auto first, auto last) {
    double sum = 0.0;
    int added = 0;
    for (auto it = first; it != last && added < n; ++it) {
      if (strictly ? *it > 0.0f : *it >= 0.0f) sum += *it, ++added;
    }
    return sum;
  };
  *top = take(v.begin(), v.end());
  *bottom = take(v.rbegin(), v.rend());
}

TEST(EnergyTest, ValueTermsMatchASortOfTheWholeMap) {
  // No-data cells, zeros, and a nservices map with fewer values >= 0 than n; the solution holds the
  // n = 7 highest potentials, so f1 is 0.
  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    process_setup(12, 10);
    std::mt19937 random(seed);
    std::vector<std::vector<float>> maps(5, std::vector<float>(120));
    for (int k : {1, 3, 4}) {
      for (float& v : maps[k]) {
        const unsigned pick = random() % 10;
        v = pick == 0 ? -1.0f : pick == 1 ? 0.0f : static_cast<float>(random() % 256) / 256.0f;
      }
      if (k == 3) std::fill(maps[3].begin() + 3, maps[3].end(), -1.0f);
      set_map(k, maps[k]);
    }
    std::vector<int> order(120);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return maps[1][a] > maps[1][b]; });
    std::vector<float> solution(120, 0.0f);
    for (int i = 0; i < 7; ++i) solution[order[i]] = 1.0f;
    process_load_solution(solution, 1.0f);
    process_set_weights(1, 0, 0, 0, 0);
    LogCapture quiet;
    EXPECT_EQ(energy_evaluate(), 0.0);
    double top, bottom;
    sorted_bounds(maps[1], false, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f1_top, top);
    EXPECT_EQ(energy_state.f1_range, top - bottom);
    sorted_bounds(maps[3], false, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f4_top, top);
    sorted_bounds(maps[4], true, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f5_bottom, bottom);
    EXPECT_EQ(energy_state.f5_range, top - bottom);
  }
}

TEST(EnergyTest, CompactBlocksAndCellsOnMasksCountAsZero) {
  // Ten cells in a 2 x 5 block: perimeter 14 below min_perimeter 16 (f2_range 40 - 16 = 24). They
  // lie on the masks (distance 0), below f5_bottom 10 * 0.5. Both terms are negative: the energy
  // counts them as 0 and the listing's terms keep them.
  process_setup(4, 8);
  std::vector<float> solution(32, 0.0f);
  std::vector<float> distances(32, 0.5f);
  for (int i : {9, 10, 11, 12, 13, 17, 18, 19, 20, 21}) solution[i] = 1.0f, distances[i] = 0.0f;
  distances[31] = 1.0f;
  set_map(4, distances);
  process_load_solution(solution, 1.0f);
  process_set_weights(0, 1, 0, 0, 1);
  LogCapture quiet;
  EXPECT_EQ(energy_evaluate(), 0.0);
  double terms[5];
  energy_terms(terms);
  EXPECT_EQ(energy_state.perimeter, 14);
  EXPECT_EQ(terms[1], -2.0 / 24.0);
  EXPECT_EQ(terms[4], -5.0 / energy_state.f5_range);
  // The range stays that of the first evaluation: a full row and two cells below, perimeter 20.
  std::fill(solution.begin(), solution.end(), 0.0f);
  std::fill(solution.begin() + 8, solution.begin() + 18, 1.0f);
  set_map(0, solution);
  EXPECT_EQ(energy_evaluate(), 4.0 / 24.0);
}

TEST(EnergyTest, DegenerateNormalisersTurnTheirTermsOffOnce) {
  // One allocated cell: f2_range = 4 - 4 = 0 and f3_range = 0; a constant potential map gives
  // f1_range = 0. Those terms are 0 for the run, with one warning each, and nothing is NaN.
  process_setup(3, 4);
  set_map(1, std::vector<float>(12, 0.5f));
  set_map(3, {0, 1, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0, 0});
  set_map(4, {1, 1, 1, 1, 1, 0.25f, 1, 1, 1, 1, 1, 1});
  std::vector<float> solution(12, 0.0f);
  solution[5] = 1.0f;
  process_load_solution(solution, 1.0f);
  process_set_weights(1, 1, 1, 1, 1);
  // f4 = (1 - 0.5) / (1 - 0) and f5 = (0.25 - 0.25) / (1 - 0.25) are the live terms.
  FatalResult first = run_capturing([] { EXPECT_EQ(energy_evaluate(), 0.5); });
  EXPECT_EQ(first.log,
            "! term f1 (potential) off: degenerate normaliser 0.000000\n"
            "! term f2 (perimeter) off: degenerate normaliser 0.000000\n"
            "! term f3 (islands) off: degenerate normaliser 0.000000\n");
  FatalResult again = run_capturing([] {
    std::swap(map_cells(0)[5], map_cells(0)[1]);
    EXPECT_EQ(energy_evaluate(), 1.0);  // f4 = 0, f5 = (1 - 0.25) / 0.75
  });
  EXPECT_EQ(again.log, "");
}
