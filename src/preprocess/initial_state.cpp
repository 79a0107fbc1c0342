#include "preprocess/initial_state.h"

#include <cinttypes>
#include <cmath>
#include <vector>

#include "base/log.h"
#include "preprocess/distribution.h"

namespace {

// The double nearest to 18/19, so that p(0) is exactly 0.
constexpr double SIGMOID_OFFSET = 0.9473684210526315;

// Acceptance draws are uniform over 0..DRAW_RANGE-1.
constexpr int64_t DRAW_RANGE = 32768;

// The plain loop is kept while a placement costs it at most this many cell draws on average. A
// draw costs about a tenth of an exact placement (mostly the memory access), and the exact sampler
// adds two passes over the grid to set up, so the switch pays soon after this point.
constexpr int64_t PLAIN_TRIES_LIMIT = 4;

// How many acceptance draws r in 0..32767 pass the test p(w) >= r * 2^-15. A try on the cell
// succeeds with probability acceptance_count / 32768; the exact sampler weights cells by it.
int32_t acceptance_count(float w) {
  double p = placement_probability(w);
  if (!(p >= 0.0)) return 0;
  double passing = std::floor(p * static_cast<double>(DRAW_RANGE)) + 1.0;
  return passing >= static_cast<double>(DRAW_RANGE) ? static_cast<int32_t>(DRAW_RANGE)
                                                    : static_cast<int32_t>(passing);
}

// The number of failures before the first success of independent trials that each succeed with
// probability s: P(k or more) = (1 - s)^k, drawn by inversion from a 53-bit uniform in (0, 1].
int64_t draw_failures(Rng& rng, double s) {
  if (s >= 1.0) return 0;
  uint64_t x = (static_cast<uint64_t>(rand_index(rng, 1 << 30)) << 23) |
               static_cast<uint64_t>(rand_index(rng, 1 << 23));
  double u = static_cast<double>(x + 1) * 0x1p-53;
  return static_cast<int64_t>(std::floor(std::log(u) / std::log1p(-s)));
}

// The state both samplers share: the maps, the cells still available and their summed
// acceptance counts (the plain loop's expected cost per placement follows from them).
struct PlacementRun {
  float* solution;
  const float* weights;
  float value;  // the working cell value
  Rng& rng;
  int32_t ncols;
  int32_t nrows;
  int64_t cells;
  int64_t available;
  int64_t total_count;
  int64_t to_assign;
  PlacementCounts counts;
  Progress progress;
  double placements;  ///< cells to place in all
};

// Counts one placement: the cell of acceptance count c leaves the available cells.
void count_placement(PlacementRun& run, int64_t c) {
  run.total_count -= c;
  --run.available;
  --run.to_assign;
  ++run.counts.accepted;
  if (run.counts.accepted % 4096 == 0) {
    progress_update(run.progress, double(run.counts.accepted), run.placements,
                    "PREPROCESS %" PRId64 " of %.0f cells placed", run.counts.accepted,
                    run.placements);
  }
}

// Rejection sampling as the placement is defined: a column draw, a row draw, and on an available
// cell an acceptance draw. Draws on other cells count as nothing. With `watch`, it stops as soon
// as a placement would cost more than PLAIN_TRIES_LIMIT draws on average.
void place_plain(PlacementRun& run, bool watch) {
  const int32_t ncols = run.ncols;
  const int32_t nrows = run.nrows;
  const int64_t limit = run.cells * DRAW_RANGE;
  while (run.to_assign > 0) {
    if (watch && run.total_count * PLAIN_TRIES_LIMIT < limit) return;
    for (;;) {
      int32_t col = rand_index(run.rng, ncols);
      int32_t row = rand_index(run.rng, nrows);
      int64_t i = static_cast<int64_t>(row) * ncols + col;
      if (run.solution[i] != CELL_AVAILABLE) continue;
      if (placement_probability(run.weights[i]) >= rand_fraction(run.rng)) {
        run.solution[i] = run.value;
        count_placement(run, acceptance_count(run.weights[i]));
        break;
      }
      ++run.counts.rejections;
    }
  }
}

// The exact sampler: each placement picks an available cell with probability proportional to its
// acceptance count, which is the plain loop's chance that the cell is the one accepted next. The
// failed tries on available cells before that acceptance are independent of which cell wins and
// geometric with success probability total / (32768 * available), so they are drawn directly.
// Cells are grouped in buckets by acceptance count (at most 32768 buckets, one per count that
// occurs): a bucket weighs count * cells in it, a Fenwick tree over the buckets picks one, and the
// cells of a bucket are equally likely. The tree stays small enough for the cache whatever the
// grid, and the set-up costs three passes over the cells. A bucket lists its cells as CellIndex:
// 32 bits while the grid's indices fit in them, half the memory of 64.
template <typename CellIndex>
void place_exact(PlacementRun& run) {
  // Counting sort of the available cells by acceptance count: one bucket per count that occurs,
  // in increasing order. Cells of count 0 can never pass the acceptance test and get no bucket.
  std::vector<int64_t> cells_of_count(DRAW_RANGE + 1, 0);
  for (int64_t i = 0; i < run.cells; ++i) {
    if (run.solution[i] == CELL_AVAILABLE) ++cells_of_count[acceptance_count(run.weights[i])];
  }
  std::vector<int32_t> bucket_of(DRAW_RANGE + 1, -1);
  std::vector<int64_t> value;  // acceptance count of the cells of each bucket
  std::vector<size_t> size;
  size_t pickable = 0;
  for (int32_t c = 1; c <= DRAW_RANGE; ++c) {
    if (cells_of_count[c] == 0) continue;
    bucket_of[c] = static_cast<int32_t>(value.size());
    value.push_back(c);
    size.push_back(static_cast<size_t>(cells_of_count[c]));
    pickable += size.back();
  }
  const size_t buckets = value.size();

  // When every cell that can be picked will be, which cell of a bucket a pick takes changes
  // nothing that follows (the chances depend only on how many cells of each count are left), so
  // the picks are only counted and the cells are set at the end, sparing a random memory access
  // per placement.
  const bool every_cell = static_cast<size_t>(run.to_assign) >= pickable;
  std::vector<size_t> start(buckets + 1, 0);
  for (size_t k = 0; k < buckets; ++k) start[k + 1] = start[k] + size[k];
  std::vector<CellIndex> bucket_cells;
  if (!every_cell) {
    bucket_cells.resize(pickable);
    std::vector<size_t> fill(start);
    for (int64_t i = 0; i < run.cells; ++i) {
      if (run.solution[i] != CELL_AVAILABLE) continue;
      int32_t c = acceptance_count(run.weights[i]);
      if (c > 0)
        bucket_cells[fill[static_cast<size_t>(bucket_of[c])]++] = static_cast<CellIndex>(i);
    }
  }
  std::vector<int64_t> tree(buckets + 1, 0);  // Fenwick tree, bucket k at index k + 1
  for (size_t b = 1; b <= buckets; ++b) {
    tree[b] += value[b - 1] * static_cast<int64_t>(size[b - 1]);
    size_t parent = b + (b & (~b + 1));
    if (parent <= buckets) tree[parent] += tree[b];
  }
  size_t top_step = 1;
  while (top_step * 2 <= buckets) top_step *= 2;

  // Only cells of count 0 left would keep the plain loop going for ever: stop instead.
  while (run.to_assign > 0 && run.total_count > 0) {
    double success = static_cast<double>(run.total_count) /
                     (static_cast<double>(DRAW_RANGE) * static_cast<double>(run.available));
    run.counts.rejections += draw_failures(run.rng, success);

    // Descend the tree to the bucket holding the target; within it, each cell spans c targets.
    int64_t target = rand_index64(run.rng, run.total_count);
    size_t b = 0;
    for (size_t step = top_step; step > 0; step /= 2) {
      if (b + step <= buckets && tree[b + step] <= target) {
        b += step;
        target -= tree[b];
      }
    }
    const int64_t c = value[b];
    if (!every_cell) {
      size_t last = start[b] + --size[b];
      size_t pick = start[b] + static_cast<size_t>(target / c);
      run.solution[bucket_cells[pick]] = run.value;
      bucket_cells[pick] = bucket_cells[last];
    }
    for (size_t k = b + 1; k <= buckets; k += k & (~k + 1)) tree[k] -= c;
    count_placement(run, c);
  }

  if (every_cell) {
    for (int64_t i = 0; i < run.cells; ++i) {
      if (run.solution[i] == CELL_AVAILABLE && acceptance_count(run.weights[i]) > 0) {
        run.solution[i] = run.value;
      }
    }
  }
}

}  // namespace

double placement_probability(double w) {
  double x = 20.0 * w - 18.0;
  return 0.5 * (x / (std::fabs(x) + 1.0) + SIGMOID_OFFSET);
}

PlacementCounts initial_state_place(MapBlock& maps, float value, Rng& rng, int64_t to_assign,
                                    PlacementSampler sampler, const float* weights) {
  // The line shows only when the placement takes more than a second.
  PlacementRun run{maps.map(PREPROCESS_SOLUTION_MAP),
                   weights != nullptr ? weights : maps.map(PREPROCESS_DISTRIBUTION_MAP),
                   value,
                   rng,
                   maps.geometry.ncols,
                   maps.geometry.nrows,
                   static_cast<int64_t>(maps.cell_count()),
                   0,
                   0,
                   0,
                   PlacementCounts{0, 0},
                   progress_begin(1.0),
                   0.0};
  for (int64_t i = 0; i < run.cells; ++i) {
    if (run.solution[i] != CELL_AVAILABLE) continue;
    ++run.available;
    run.total_count += acceptance_count(run.weights[i]);
  }
  run.to_assign = to_assign < run.available ? to_assign : run.available;
  run.placements = static_cast<double>(run.to_assign);

  if (sampler != SAMPLER_EXACT) place_plain(run, sampler == SAMPLER_AUTO);
  if (run.to_assign > 0) {
    if (run.cells <= int64_t{UINT32_MAX}) {
      place_exact<uint32_t>(run);
    } else {
      place_exact<uint64_t>(run);
    }
  }
  progress_end(run.progress);
  return run.counts;
}

void initial_state_create(MapBlock& maps, float value, Rng& rng, float fraction, int64_t cells,
                          const float* weights) {
  log_message("create initial state\n");
  const int64_t available =
      count_equal(maps.map(PREPROCESS_SOLUTION_MAP), maps.cell_count(), CELL_AVAILABLE);
  // A single-precision product, truncated. Above 2^24 cells the float can round above the count,
  // and no placement could fill the excess.
  int64_t to_assign =
      cells >= 0 ? cells : static_cast<int64_t>(static_cast<float>(available) * fraction);
  if (to_assign > available) to_assign = available;
  log_message("  %" PRId64 " cells available\n", available);
  log_message("  %" PRId64 " cells to be assigned\n", to_assign);
  log_message("  processing...\n");

  PlacementCounts counts{0, 0};
  if (to_assign > 0) {
    counts = initial_state_place(maps, value, rng, to_assign, SAMPLER_AUTO, weights);
  }
  log_message("    %" PRId64 " accepted cells\n", counts.accepted);
  log_message("    %lld rejections\n", static_cast<long long>(counts.rejections));
  // A map without an allocated cell would leave the later stages to take the highest initial
  // value for the allocation and move existing land uses.
  if (counts.accepted == 0) fatal(1, "error: no cell allocated!\n");
}
