#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "process_fixture.h"

namespace {

// The plain reference: sort the whole map in descending order and walk it from either end,
// adding the values that pass the test until n were added.
void sorted_bounds(std::vector<float> values, bool strictly, int n, double* top, double* bottom) {
  std::sort(values.begin(), values.end(), std::greater<float>());
  auto passes = [&](float v) { return strictly ? v > 0.0f : v >= 0.0f; };
  *top = 0.0;
  int added = 0;
  for (size_t i = 0; i < values.size() && added < n; ++i) {
    if (passes(values[i])) {
      *top += values[i];
      ++added;
    }
  }
  *bottom = 0.0;
  added = 0;
  for (size_t i = values.size(); i-- > 0 && added < n;) {
    if (passes(values[i])) {
      *bottom += values[i];
      ++added;
    }
  }
}

}  // namespace

TEST(EnergyTest, PerimeterTermOfBlockAndRow) {
  // Nine cells as a 3 x 3 block: perimeter 12 = 4 * ceil(sqrt(9)), so f2 = 0. The first
  // evaluation fixes f2_range = 4 * 9 - 12 = 24.
  process_setup(5, 9);
  std::vector<float> block(45, 0.0f);
  for (int r = 1; r <= 3; ++r)
    for (int c = 2; c <= 4; ++c) block[static_cast<size_t>(r * 9 + c)] = 1.0f;
  process_load_solution(block, 1.0f);
  process_set_weights(0, 1, 0, 0, 0);
  EXPECT_EQ(energy_evaluate(), 0.0);
  EXPECT_EQ(energy_state.perimeter, 12);
  EXPECT_EQ(energy_state.f2_range, 24.0);

  // The same nine cells in a row, evaluated with the fixed range: perimeter 20, f2 = 8 / 24.
  std::vector<float> row(45, 0.0f);
  for (int c = 0; c < 9; ++c) row[static_cast<size_t>(2 * 9 + c)] = 1.0f;
  set_map(0, row);
  EXPECT_DOUBLE_EQ(energy_evaluate(), 8.0 / 24.0);
  EXPECT_EQ(energy_state.perimeter, 20);
}

TEST(EnergyTest, ValueTermsMatchASortOfTheWholeMap) {
  // Random maps with no-data cells, zeros, and fewer non-negative values than n in one map: the
  // top and bottom sums equal the sorted walk, and f1 is 0 on the n highest potentials.
  const int nrows = 12;
  const int ncols = 10;
  for (unsigned seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    process_setup(nrows, ncols);
    std::mt19937 random(seed);
    std::vector<std::vector<float>> maps(5, std::vector<float>(nrows * ncols));
    for (int k : {1, 3, 4}) {
      for (float& v : maps[static_cast<size_t>(k)]) {
        const unsigned pick = random() % 10;
        v = pick == 0 ? -1.0f : pick == 1 ? 0.0f : static_cast<float>(random() % 256) / 256.0f;
      }
    }
    // The nservices map has only 3 cells >= 0: its top and bottom cover just those.
    std::fill(maps[3].begin(), maps[3].end(), -1.0f);
    maps[3][5] = 0.25f;
    maps[3][17] = 0.5f;
    maps[3][40] = 0.0f;
    for (int k : {1, 3, 4}) set_map(k, maps[static_cast<size_t>(k)]);
    // Allocate the n = 7 cells of highest potential.
    std::vector<int> order(nrows * ncols);
    for (int i = 0; i < nrows * ncols; ++i) order[static_cast<size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return maps[1][static_cast<size_t>(a)] > maps[1][static_cast<size_t>(b)];
    });
    std::vector<float> solution(nrows * ncols, 0.0f);
    for (int i = 0; i < 7; ++i) solution[static_cast<size_t>(order[static_cast<size_t>(i)])] = 1.0f;
    process_load_solution(solution, 1.0f);
    process_set_weights(1, 0, 0, 0, 0);

    energy_evaluate();
    double top;
    double bottom;
    sorted_bounds(maps[1], false, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f1_top, top);
    EXPECT_EQ(energy_state.f1_range, top - bottom);
    EXPECT_EQ(heuristic_f1(), 0.0);
    sorted_bounds(maps[3], false, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f4_top, 0.75);
    EXPECT_EQ(energy_state.f4_range, top - bottom);
    sorted_bounds(maps[4], true, 7, &top, &bottom);
    EXPECT_EQ(energy_state.f5_bottom, bottom);
    EXPECT_EQ(energy_state.f5_range, top - bottom);
  }
}

TEST(EnergyTest, CompactBlockAndCellsOnMasksGiveNoNegativeEnergy) {
  // Ten cells in a 2 x 5 block: perimeter 14 below min_perimeter 16. The distances are 0 on the
  // block (it lies on the masks) and 0.5 elsewhere, so f5_sum 0 is below f5_bottom. Both terms are
  // negative, the energy counts them as 0, and the listing terms stay unclamped.
  process_setup(4, 8);
  std::vector<float> solution(32, 0.0f);
  std::vector<float> distances(32, 0.5f);
  for (int r = 1; r <= 2; ++r) {
    for (int c = 1; c <= 5; ++c) {
      solution[static_cast<size_t>(r * 8 + c)] = 1.0f;
      distances[static_cast<size_t>(r * 8 + c)] = 0.0f;
    }
  }
  distances[31] = 1.0f;
  set_map(4, distances);
  process_load_solution(solution, 1.0f);
  process_set_weights(0, 1, 0, 0, 1);
  EXPECT_EQ(energy_evaluate(), 0.0);
  double terms[5];
  energy_terms(terms);
  EXPECT_EQ(energy_state.perimeter, 14);
  EXPECT_EQ(energy_state.min_perimeter, 16);
  EXPECT_DOUBLE_EQ(terms[1], -2.0 / energy_state.f2_range);
  EXPECT_DOUBLE_EQ(terms[4], -5.0 / energy_state.f5_range);
  EXPECT_EQ(energy_combine(terms), 0.0);
}

TEST(EnergyTest, DegenerateNormalisersTurnTheirTermsOffOnce) {
  // One allocated cell (n = 1): f2_range = 4 - 4 = 0 and f3_range = 0; a constant potential map
  // gives f1_range = 0. Each of those terms is 0 for the run, with one warning each.
  process_setup(3, 4);
  set_map(1, std::vector<float>(12, 0.5f));
  set_map(3, std::vector<float>{0, 1, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0, 0});
  set_map(4, std::vector<float>{1, 1, 1, 1, 1, 0.25f, 1, 1, 1, 1, 1, 1});
  std::vector<float> solution(12, 0.0f);
  solution[5] = 1.0f;
  process_load_solution(solution, 1.0f);
  process_set_weights(1, 1, 1, 1, 1);
  FatalResult first = run_capturing([] {
    double energy = energy_evaluate();
    EXPECT_TRUE(std::isfinite(energy));
    // f4 = (1 - 0.5) / (1 - 0) and f5 = (0.25 - 0.25) / (1 - 0.25): the two live terms.
    EXPECT_DOUBLE_EQ(energy, 0.5);
  });
  EXPECT_FALSE(first.fatal);
  EXPECT_EQ(first.log,
            "! term f1 (potential) off: degenerate normaliser 0.000000\n"
            "! term f2 (perimeter) off: degenerate normaliser 0.000000\n"
            "! term f3 (islands) off: degenerate normaliser 0.000000\n");
  FatalResult again = run_capturing([] {
    map_cells(0)[5] = 0.0f;
    map_cells(0)[1] = 1.0f;
    EXPECT_DOUBLE_EQ(energy_evaluate(), 0.0 + 1.0);  // f5 = (1 - 0.25) / 0.75
    double terms[5];
    energy_terms(terms);
    for (double t : terms) EXPECT_TRUE(std::isfinite(t));
  });
  EXPECT_EQ(again.log, "");
}
