#include "process/energy.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "base/bands.h"
#include "base/log.h"
#include "process/process_run.h"
#include "raster/islands.h"

namespace {

// Far above the rounding of sums of millions of values in [0, 1], far below any real term.
constexpr double ROUNDING_RESIDUE = 1e-9;

const char* const TERM_NAMES[ENERGY_TERMS] = {"potential", "perimeter", "islands", "nservices",
                                              "distances"};

// The values `field` of the records that pass the term's test (>= 0, or > 0 when
// `strictly_positive`), in row-major order.
template <typename Field, typename Visit>
void for_each_value(const CellRecords& records, Field field, bool strictly_positive, Visit visit) {
  const BorderedGrid& grid = records.grid;
  for (int32_t row = 0; row < grid.nrows; ++row) {
    const CellRecord* line = records.records.get() + bordered_index(grid, row, 0);
    for (int32_t col = 0; col < grid.ncols; ++col) {
      const float v = line[col].*field;
      if (strictly_positive ? v > 0.0f : v >= 0.0f) visit(v);
    }
  }
}

// Sum of the n values that come first by `before` among those of for_each_value, added in that
// order. Candidates gather in a buffer of at most 2n values (or of `most`, when fewer), cut
// back to its n first whenever it fills, so the memory follows the solution size rather than the
// grid. Once cut, a value that does not come before the last one kept cannot enter: most of a
// large grid is passed over without a copy.
template <typename Field, typename Before>
double first_values_sum(const CellRecords& records, Field field, bool strictly_positive, size_t n,
                        size_t most, Before before) {
  std::vector<float> values;
  values.reserve(std::min(most, 2 * n));
  bool full = false;  // n values kept: `last` is the one that comes last
  float last = 0.0f;
  const auto cut = [&] {
    if (values.size() <= n) return;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n), values.end(),
                     before);
    values.resize(n);
    last = *std::max_element(values.begin(), values.end(), before);
    full = true;
  };
  if (n > 0) {
    for_each_value(records, field, strictly_positive, [&](float v) {
      // An equal value would replace one of the same float: no sum changes.
      if (full && !before(v, last)) return;
      values.push_back(v);
      if (values.size() == 2 * n) cut();
    });
  }
  cut();
  std::sort(values.begin(), values.end(), before);
  double sum = 0.0;
  for (float v : values) sum += v;
  return sum;
}

// Top and bottom sums are reused by every later full evaluation of the same solution size: the
// sum of the n largest (top) and of the n smallest (bottom) values of each field that pass its
// term's test. The largest are added largest first and the smallest smallest first, as a walk over
// the whole map sorted in descending order would add them; equal values are equal floats, so which
// of them is kept changes no sum.
void ensure_value_bounds(ProcessRun& p, int64_t n) {
  ValueBounds& bounds = p.energy.bounds;
  if (bounds.n == n) return;
  const CellRecords& records = p.inputs->records;
  const size_t keep = static_cast<size_t>(std::max<int64_t>(n, 0));
  // The buffer never holds more values than the grid has cells.
  const size_t most =
      static_cast<size_t>(records.grid.nrows) * static_cast<size_t>(records.grid.ncols);
  // Six passes over every record (the top and the bottom of each field), each on its own, so they
  // run at once on the run's threads.
  struct Field {
    float CellRecord::*value;
    bool strictly_positive;
  };
  const Field fields[3] = {{&CellRecord::potential, false},
                           {&CellRecord::nservices, false},
                           {&CellRecord::distances, true}};
  const auto pass = [&](size_t j) {
    const Field& f = fields[j / 2];
    if (j % 2 == 0) {
      bounds.top[j / 2] = first_values_sum(records, f.value, f.strictly_positive, keep, most,
                                           std::greater<float>());
    } else {
      bounds.bottom[j / 2] =
          first_values_sum(records, f.value, f.strictly_positive, keep, most, std::less<float>());
    }
  };
  constexpr size_t PASSES = 6;
  const size_t threads = static_cast<size_t>(
      std::clamp<int32_t>(run_bands(p.run, records.grid.nrows, records.grid.ncols), 1, PASSES));
  run_at_once(threads, [&](size_t t) {
    for (size_t j = t; j < PASSES; j += threads) pass(j);
  });
  bounds.n = n;
}

// A normaliser of 0, a negative one (n - 1 with no solution cell) or one that is not finite would
// turn the term into NaN or infinity; such a term is left out of the whole run instead.
void check_normaliser(EnergyState& e, int term, double range) {
  if (std::isfinite(range) && range > 0.0) return;
  if (e.term_off[term]) return;
  e.term_off[term] = true;
  // A term of weight 0 adds nothing either way: its normaliser is no news to the user.
  const double weights[ENERGY_TERMS] = {e.f1_weight, e.f2_weight, e.f3_weight, e.f4_weight,
                                        e.f5_weight};
  if (weights[term] == 0.0) return;
  log_message("! term f%d (%s) off: degenerate normaliser %f\n", term + 1, TERM_NAMES[term], range);
}

// Fixes a normaliser at the run's first evaluation (while it is unset, -1.0).
void fix_range(EnergyState& e, int term, double* range, double value) {
  if (*range != -1.0) return;
  *range = value;
  check_normaliser(e, term, value);
}

// A term as its difference over its normaliser, or 0 when the term is off.
inline double term_or_zero(const EnergyState& e, int term, double difference, double range) {
  return e.term_off[term] ? 0.0 : difference / range;
}

// One pass over the grid for the three value sums, the solution size and the perimeter; each sum
// is still accumulated cell by cell in row-major order.
void energy_scan(ProcessRun& p) {
  const int32_t nrows = p.maps.geometry.nrows;
  const int32_t ncols = p.maps.geometry.ncols;
  const float wcv = p.working_cell_value;
  const float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  const CellRecords& records = p.inputs->records;
  double f1_sum = 0.0;
  double f4_sum = 0.0;
  double f5_sum = 0.0;
  double extra_sum = 0.0;
  const PackedMap* extra = p.extra_cost;
  int64_t n = 0;
  int64_t perimeter = 0;
  const size_t stride = static_cast<size_t>(ncols);
  for (int32_t r = 0; r < nrows; ++r) {
    const size_t row = cell_index(ncols, r, 0);
    const CellRecord* line = records.records.get() + bordered_index(records.grid, r, 0);
    for (int32_t c = 0; c < ncols; ++c) {
      const size_t i = row + static_cast<size_t>(c);
      if (solution[i] != wcv) continue;
      ++n;
      f1_sum += line[c].potential;
      f4_sum += line[c].nservices;
      f5_sum += line[c].distances;
      if (extra != nullptr) extra_sum += (*extra)[bordered_index(records.grid, r, c)];
      if (r == 0 || solution[i - stride] != wcv) ++perimeter;
      if (r == nrows - 1 || solution[i + stride] != wcv) ++perimeter;
      if (c == 0 || solution[i - 1] != wcv) ++perimeter;
      if (c == ncols - 1 || solution[i + 1] != wcv) ++perimeter;
    }
  }
  EnergyState& e = p.energy;
  e.solution_size = n;
  e.f1_sum = f1_sum;
  e.f4_sum = f4_sum;
  e.f5_sum = f5_sum;
  e.extra_on = extra != nullptr;
  e.extra_sum = extra_sum;
  e.perimeter = perimeter;
  e.min_perimeter = static_cast<int64_t>(4.0 * std::ceil(std::sqrt(static_cast<double>(n))));
}

// A term that should be at least 0 but came out a hair below it, from rounding, is 0.
inline double rounding_residue_as_zero(double term) {
  return term < 0.0 && term > -ROUNDING_RESIDUE ? 0.0 : term;
}

}  // namespace

double energy_evaluate(ProcessRun& p) {
  EnergyState& e = p.energy;
  const ValueBounds& bounds = e.bounds;
  const int32_t nrows = p.maps.geometry.nrows;
  const int32_t ncols = p.maps.geometry.ncols;
  // The islands are counted beside the sums, on a second thread where the run has one: both read
  // the map alone, and each is one pass over it.
  IslandCount islands;
  const auto count_islands = [&] {
    islands = islands_count(p.islands, p.maps.map(PROCESS_SOLUTION_MAP), nrows, ncols,
                            p.working_cell_value);
  };
  both(
      run_bands(p.run, nrows, ncols) > 1, [&] { energy_scan(p); }, count_islands);
  ensure_value_bounds(p, e.solution_size);
  double terms[ENERGY_TERMS];
  e.f1_top = bounds.top[0];
  fix_range(e, 0, &e.f1_range, e.f1_top - bounds.bottom[0]);
  terms[0] = term_or_zero(e, 0, e.f1_top - e.f1_sum, e.f1_range);
  fix_range(e, 1, &e.f2_range, static_cast<double>(4 * e.solution_size - e.min_perimeter));
  terms[1] = term_or_zero(e, 1, static_cast<double>(e.perimeter - e.min_perimeter), e.f2_range);
  // The islands term counts the islands beyond the first; a first solution of one cell fixes a
  // range of 0 and has no island beyond the first to count.
  if (islands.islands > INT32_MAX) fatal(1, "error: more than %d islands!\n", INT32_MAX);
  e.island_count = static_cast<int32_t>(islands.islands);
  const bool f3_unset = e.f3_range == -1.0;
  if (f3_unset) e.f3_range = static_cast<double>(islands.solution_cells) - 1.0;
  terms[2] = e.f3_range == 0.0 ? 0.0 : (static_cast<double>(e.island_count) - 1.0) / e.f3_range;
  if (f3_unset) check_normaliser(e, 2, e.f3_range);
  if (e.term_off[2]) terms[2] = 0.0;
  e.f4_top = bounds.top[1];
  fix_range(e, 3, &e.f4_range, e.f4_top - bounds.bottom[1]);
  terms[3] = term_or_zero(e, 3, e.f4_top - e.f4_sum, e.f4_range);
  e.f5_bottom = bounds.bottom[2];
  fix_range(e, 4, &e.f5_range, bounds.top[2] - e.f5_bottom);
  terms[4] = term_or_zero(e, 4, e.f5_sum - e.f5_bottom, e.f5_range);
  return energy_combine(e, terms);
}

void energy_terms(const EnergyState& e, double terms[ENERGY_TERMS]) {
  terms[0] = term_or_zero(e, 0, e.f1_top - e.f1_sum, e.f1_range);
  terms[1] = term_or_zero(e, 1, static_cast<double>(e.perimeter - e.min_perimeter), e.f2_range);
  terms[2] = term_or_zero(e, 2, static_cast<double>(e.island_count - 1), e.f3_range);
  terms[3] = term_or_zero(e, 3, e.f4_top - e.f4_sum, e.f4_range);
  terms[4] = term_or_zero(e, 4, e.f5_sum - e.f5_bottom, e.f5_range);
}

double energy_combine(const EnergyState& e, const double terms[ENERGY_TERMS]) {
  // A compact allocation can beat 4 * ceil(sqrt(n)), and cells on the distance masks (distance 0)
  // lie below the bottom sum, so the perimeter and distances terms, like the islands term after a
  // hole opens, dip under 0 for good solutions: the energy counts them as 0. The potential and
  // nservices terms cannot go below 0 but by the rounding of the same values added in another
  // order; that residue is 0 too, so that only a real fault trips the negative-energy guard.
  double energy = e.f1_weight * rounding_residue_as_zero(terms[0]);
  energy += e.f2_weight * std::max(terms[1], 0.0);
  energy += e.f3_weight * std::max(terms[2], 0.0);
  energy += e.f4_weight * rounding_residue_as_zero(terms[3]);
  energy += e.f5_weight * std::max(terms[4], 0.0);
  if (e.extra_on) energy += e.extra_sum;
  return energy;
}

double energy_least_perimeter(int64_t n) {
  return 2.0 * std::ceil(2.0 * std::sqrt(static_cast<double>(n)));
}
