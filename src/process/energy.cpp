#include "process/energy.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "driver/log.h"
#include "raster/grid.h"
#include "raster/islands.h"

EnergyState energy_state;

namespace {

constexpr int32_t SCRATCH_MAP = 5;
// Far above the rounding of sums of millions of values in [0, 1], far below any real term.
constexpr double ROUNDING_RESIDUE = 1e-9;

const char* const TERM_NAMES[5] = {"potential", "perimeter", "islands", "nservices", "distances"};

// Top and bottom sums of the three value maps for a solution of `n` cells. They depend only on the
// maps and on n, neither of which changes during a PROCESS run, so they are sorted out once and
// reused by every later full evaluation.
struct ValueBounds {
  int32_t n = -1;  // -1: not computed
  double top[3] = {0.0, 0.0, 0.0};
  double bottom[3] = {0.0, 0.0, 0.0};
};
ValueBounds value_bounds;

// Sum of the n largest (top) and of the n smallest (bottom) cells of map k that pass the term's
// test (>= 0, or > 0 when `strictly_positive`). The largest are added largest first and the
// smallest smallest first, as a walk over the whole map sorted in descending order would add them;
// selecting the n candidates first spares sorting the cells that are never added.
void value_map_bounds(int32_t k, bool strictly_positive, int32_t n, float* scratch, double* top,
                      double* bottom) {
  const float* cells = map_cells(k);
  const size_t count = grid_cell_count();
  size_t m = 0;
  for (size_t i = 0; i < count; ++i) {
    float v = cells[i];
    if (strictly_positive ? v > 0.0f : v >= 0.0f) scratch[m++] = v;
  }
  const size_t take = std::min(m, static_cast<size_t>(std::max(n, 0)));
  std::nth_element(scratch, scratch + take, scratch + m, std::greater<float>());
  std::sort(scratch, scratch + take, std::greater<float>());
  double sum = 0.0;
  for (size_t i = 0; i < take; ++i) sum += scratch[i];
  *top = sum;
  std::nth_element(scratch, scratch + take, scratch + m);
  std::sort(scratch, scratch + take);
  sum = 0.0;
  for (size_t i = 0; i < take; ++i) sum += scratch[i];
  *bottom = sum;
}

void ensure_value_bounds(int32_t n) {
  if (value_bounds.n == n) return;
  // Map 5 is the loaders' working space and is not read once the stage's maps are built; using it
  // keeps the stage's peak memory at its maps and labelling arrays.
  float* scratch = nullptr;
  bool owned = memory_maps.count <= SCRATCH_MAP;
  if (owned) {
    scratch = static_cast<float*>(std::malloc(grid_cell_count() * sizeof(float) + 1));
    if (scratch == nullptr) fatal(1, "error: not enough memory!\n");
  } else {
    scratch = map_cells(SCRATCH_MAP);
  }
  value_map_bounds(PROCESS_POTENTIAL_MAP, false, n, scratch, &value_bounds.top[0],
                   &value_bounds.bottom[0]);
  value_map_bounds(PROCESS_NSERVICES_MAP, false, n, scratch, &value_bounds.top[1],
                   &value_bounds.bottom[1]);
  value_map_bounds(PROCESS_DISTANCES_MAP, true, n, scratch, &value_bounds.top[2],
                   &value_bounds.bottom[2]);
  if (owned) std::free(scratch);
  value_bounds.n = n;
}

// A normaliser of 0, a negative one (n - 1 with no solution cell) or one that is not finite would
// turn the term into NaN or infinity; such a term is left out of the whole run instead.
void check_normaliser(int term, double range) {
  if (std::isfinite(range) && range > 0.0) return;
  if (energy_state.term_off[term]) return;
  energy_state.term_off[term] = true;
  log_message("! term f%d (%s) off: degenerate normaliser %f\n", term + 1, TERM_NAMES[term], range);
}

// Fixes a normaliser at the run's first evaluation (while it is unset, -1.0).
void fix_range(int term, double* range, double value) {
  if (*range != -1.0) return;
  *range = value;
  check_normaliser(term, value);
}

// A term as its difference over its normaliser, or 0 when the term is off.
inline double term_or_zero(int term, double difference, double range) {
  return energy_state.term_off[term] ? 0.0 : difference / range;
}

// One pass over the grid for the three value sums, the solution size and the perimeter; each sum
// is still accumulated cell by cell in row-major order.
void energy_scan() {
  const int32_t nrows = grid_geometry.nrows;
  const int32_t ncols = grid_geometry.ncols;
  const float wcv = working_cell_value;
  const float* solution = map_cells(PROCESS_SOLUTION_MAP);
  const float* potential = map_cells(PROCESS_POTENTIAL_MAP);
  const float* nservices = map_cells(PROCESS_NSERVICES_MAP);
  const float* distances = map_cells(PROCESS_DISTANCES_MAP);
  double f1_sum = 0.0;
  double f4_sum = 0.0;
  double f5_sum = 0.0;
  int32_t n = 0;
  int32_t perimeter = 0;
  const size_t stride = static_cast<size_t>(ncols);
  for (int32_t r = 0; r < nrows; ++r) {
    const size_t row = static_cast<size_t>(r) * stride;
    for (int32_t c = 0; c < ncols; ++c) {
      const size_t i = row + static_cast<size_t>(c);
      if (solution[i] != wcv) continue;
      ++n;
      f1_sum += potential[i];
      f4_sum += nservices[i];
      f5_sum += distances[i];
      if (r == 0 || solution[i - stride] != wcv) ++perimeter;
      if (r == nrows - 1 || solution[i + stride] != wcv) ++perimeter;
      if (c == 0 || solution[i - 1] != wcv) ++perimeter;
      if (c == ncols - 1 || solution[i + 1] != wcv) ++perimeter;
    }
  }
  energy_state.solution_size = n;
  energy_state.f1_sum = f1_sum;
  energy_state.f4_sum = f4_sum;
  energy_state.f5_sum = f5_sum;
  energy_state.perimeter = perimeter;
  energy_state.min_perimeter =
      static_cast<int32_t>(4.0 * std::ceil(std::sqrt(static_cast<double>(n))));
}

// A term that should be at least 0 but came out a hair below it, from rounding, is 0.
inline double rounding_residue_as_zero(double term) {
  return term < 0.0 && term > -ROUNDING_RESIDUE ? 0.0 : term;
}

}  // namespace

void energy_reset_normalisers() {
  energy_state.f1_range = -1.0;
  energy_state.f2_range = -1.0;
  island_state.f3_range = -1.0;
  energy_state.f4_range = -1.0;
  energy_state.f5_range = -1.0;
  for (bool& off : energy_state.term_off) off = false;
  value_bounds = ValueBounds{};
}

double heuristic_f1() {
  EnergyState& e = energy_state;
  e.f1_top = value_bounds.top[0];
  fix_range(0, &e.f1_range, e.f1_top - value_bounds.bottom[0]);
  return term_or_zero(0, e.f1_top - e.f1_sum, e.f1_range);
}

double heuristic_f2() {
  EnergyState& e = energy_state;
  fix_range(1, &e.f2_range, static_cast<double>(4 * e.solution_size - e.min_perimeter));
  return term_or_zero(1, static_cast<double>(e.perimeter - e.min_perimeter), e.f2_range);
}

double heuristic_f4() {
  EnergyState& e = energy_state;
  e.f4_top = value_bounds.top[1];
  fix_range(3, &e.f4_range, e.f4_top - value_bounds.bottom[1]);
  return term_or_zero(3, e.f4_top - e.f4_sum, e.f4_range);
}

double heuristic_f5() {
  EnergyState& e = energy_state;
  e.f5_bottom = value_bounds.bottom[2];
  fix_range(4, &e.f5_range, value_bounds.top[2] - e.f5_bottom);
  return term_or_zero(4, e.f5_sum - e.f5_bottom, e.f5_range);
}

double energy_evaluate() {
  energy_scan();
  ensure_value_bounds(energy_state.solution_size);
  double terms[5];
  terms[0] = heuristic_f1();
  terms[1] = heuristic_f2();
  const bool f3_unset = island_state.f3_range == -1.0;
  terms[2] = islands_label();
  if (f3_unset) check_normaliser(2, island_state.f3_range);
  if (energy_state.term_off[2]) terms[2] = 0.0;
  terms[3] = heuristic_f4();
  terms[4] = heuristic_f5();
  return energy_combine(terms);
}

void energy_terms(double terms[5]) {
  const EnergyState& e = energy_state;
  const IslandState& i = island_state;
  terms[0] = term_or_zero(0, e.f1_top - e.f1_sum, e.f1_range);
  terms[1] = term_or_zero(1, static_cast<double>(e.perimeter - e.min_perimeter), e.f2_range);
  terms[2] = term_or_zero(2, static_cast<double>(i.island_count - i.min_island_count), i.f3_range);
  terms[3] = term_or_zero(3, e.f4_top - e.f4_sum, e.f4_range);
  terms[4] = term_or_zero(4, e.f5_sum - e.f5_bottom, e.f5_range);
}

double energy_combine(const double terms[5]) {
  // A compact allocation can beat 4 * ceil(sqrt(n)), and cells on the distance masks (distance 0)
  // lie below the bottom sum, so the perimeter and distances terms, like the islands term after a
  // hole opens, dip under 0 for good solutions: the energy counts them as 0. The potential and
  // nservices terms cannot go below 0 but by the rounding of the same values added in another
  // order; that residue is 0 too, so that only a real fault trips the negative-energy guard.
  const EnergyState& e = energy_state;
  double energy = e.f1_weight * rounding_residue_as_zero(terms[0]);
  energy += e.f2_weight * std::max(terms[1], 0.0);
  energy += e.f3_weight * std::max(terms[2], 0.0);
  energy += e.f4_weight * rounding_residue_as_zero(terms[3]);
  energy += e.f5_weight * std::max(terms[4], 0.0);
  return energy;
}
