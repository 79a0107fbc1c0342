#include "process/process_uses.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "base/bands.h"
#include "base/big_block.h"
#include "base/log.h"
#include "process/energy.h"
#include "process/min_cut.h"
#include "process/process_run.h"
#include "process/process_stage.h"
#include "process/uses_run.h"
#include "raster/packed_map.h"
#include "scenario/loaders.h"

namespace {

// Rounds of blocks at most; the later rounds change little.
constexpr int32_t MAX_ROUNDS = 4;
// A round that lowers the energy by less than this share ends them.
constexpr double ROUND_TOLERANCE = 2e-3;
// The shares of the split's work a block that splits a use's maps takes: after the rounds (a
// tenth found the same maps as the whole on the windows of the example's three uses, and a
// hundredth lost one), and in the price rounds of the bound, which need the parts' maps and
// bounds to steer the prices, not the closest bound (a fiftieth; the bound at the rounds' end
// varies by several per cent with the share, whichever it is).
constexpr double EXACT_WORK_SHARE = 0.1;
constexpr double STEER_WORK_SHARE = 0.02;
// The closer bound, at the price rounds' best prices and in the closer rounds after them, takes
// this many times the split's work: the split of the most crowded use (housing at prices that
// share its best land with green space) had not closed within one, and three reached the bound of
// ten and more on every window of the example's three uses (the 40 x 40 window east of the
// second town: 4.6 % below its optimum with one, 0.65 % with three).
constexpr double CLOSER_WORK = 4.0;
// Passes of the blocks that split each use's maps after the rounds have settled.
constexpr int32_t EXACT_PASSES = 2;
// The largest map the price rounds of the bound run on, and the blocks that split each use's maps
// (beyond it a use's maps are not split: such a block would only solve it again).
constexpr size_t PRICED_CELLS = 20000;
// The searches after the first that a block's min-cut may take, in cells times cuts: a block is
// solved again when its neighbours move, so closing its own gap to the last per mille pays
// little (on the example's three uses at 1000 x 1000 one more search per block took 30 % more
// time for 0.0006 % of energy); maps of up to a few thousand cells still try the whole plan.
constexpr double BLOCK_RECUT_WORK = 1e7;
// About the cuts one price search takes.
constexpr double SEARCH_CUTS = 15.0;

// The uses of `codes`, a map of use codes as a stage leaves it, on the map before allocation
// `u.base`: each new cell's use, each existing cell's use, and the adjacency term's normaliser.
void label_cells(UsesRun& u, const float* codes) {
  const size_t n = u.cells();
  const LandUses& uses = u.uses;
  u.label.assign(n, 0);
  for (size_t i = 0; i < n; ++i)
    u.label[i] = static_cast<UseLabel>(land_use_of_cell(uses, codes[i], u.base[i]) + 1);
  auto existing = std::make_shared<Labels>(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < uses.uses.size(); ++k) {
      const auto& codes_of = uses.uses[k].existing_codes;
      if (std::find(codes_of.begin(), codes_of.end(), u.base[i]) != codes_of.end())
        (*existing)[i] = static_cast<UseLabel>(k + 1);
    }
  }
  u.existing.cells = std::move(existing);
  int64_t new_cells = 0;
  for (size_t i = 0; i < n; ++i) new_cells += u.label[i] > 0 ? 1 : 0;
  u.adjacency_range = land_uses_adjacency_range(new_cells);
}

// The float nearest to `value` from below: a bound's costs rounded so that they stay below what
// they stand for.
float float_at_most(double value) {
  const auto near = static_cast<float>(value);
  return static_cast<double>(near) > value
             ? std::nextafter(near, -std::numeric_limits<float>::infinity())
             : near;
}

// A cost for every cell of the grid, bordered as the records, packed: cost(row, col, i) of the
// cell at plain index i, 0 on the border.
template <typename Cost>
PackedMap cell_costs(const UsesRun& u, const BorderedGrid& grid, Cost cost) {
  std::vector<float> costs(grid.cells, 0.0f);
  for (int32_t r = 0; r < u.geometry.nrows; ++r) {
    for (int32_t c = 0; c < u.geometry.ncols; ++c)
      costs[bordered_index(grid, r, c)] = cost(r, c, cell_index(u.geometry.ncols, r, c));
  }
  return PackedMap(costs);
}

// What the sides a new cell of use k would share cost it, for every cell (bordered, as the
// records).
void adjacency_costs(const UsesRun& u, size_t k, const BorderedGrid& grid, PackedMap& packed) {
  const size_t K = u.uses.uses.size();
  packed = cell_costs(u, grid, [&](int32_t, int32_t, size_t i) {
    double sum = 0.0;
    uses_for_each_side(u.geometry, i, [&](size_t j) {
      const int32_t l = u.use_at(j);
      if (l >= 0 && static_cast<size_t>(l) != k)
        sum += u.uses.adjacency[k * K + static_cast<size_t>(l)];
    });
    return static_cast<float>(sum / u.adjacency_range);
  });
}

// f(a, b) for each side two uses a and b share where at least one of the two cells is new, in
// row-major order of the first cell.
template <typename F>
void for_each_shared_side(const UsesRun& u, F f) {
  const int32_t nrows = u.geometry.nrows;
  const int32_t ncols = u.geometry.ncols;
  for (int32_t r = 0; r < nrows; ++r) {
    for (int32_t c = 0; c < ncols; ++c) {
      const size_t i = cell_index(ncols, r, c);
      const int32_t a = u.use_at(i);
      if (a < 0) continue;
      for (const size_t j : {c + 1 < ncols ? i + 1 : i, r + 1 < nrows ? i + size_t(ncols) : i}) {
        if (j == i) continue;
        const int32_t b = u.use_at(j);
        if (b < 0 || b == a || (u.label[i] == 0 && u.label[j] == 0)) continue;
        f(static_cast<size_t>(a), static_cast<size_t>(b));
      }
    }
  }
}

// The adjacency term pair by pair.
std::vector<UsePair> adjacency_pairs(const UsesRun& u) {
  const size_t K = u.uses.uses.size();
  std::vector<int64_t> sides(K * K, 0);
  for_each_shared_side(u,
                       [&](size_t a, size_t b) { ++sides[std::min(a, b) * K + std::max(a, b)]; });
  std::vector<UsePair> pairs;
  for (size_t a = 0; a < K; ++a) {
    for (size_t b = a + 1; b < K; ++b) {
      const int64_t count = sides[a * K + b];
      // + 0.0: a pair of no side is 0, not -0.
      pairs.push_back(
          {a, b, count, static_cast<double>(count) * u.uses.cost(a, b) / u.adjacency_range + 0.0});
    }
  }
  return pairs;
}

// The log's lines on each pair of uses of the map `u` holds.
void log_pairs(const UsesRun& u) {
  for (const UsePair& pair : adjacency_pairs(u)) {
    const auto sides = static_cast<double>(pair.sides);
    log_use_pair(u.uses, pair.a, pair.b, sides, sides * u.geometry.cellsize, pair.adjacency);
  }
}

// Whether the run's time limit has run out: no block starts then.
bool time_up(const UsesRun& u) {
  return u.deadline && steady_seconds() >= *u.deadline;
}

double total_energy(const UsesRun& u) {
  double e = uses_adjacency_energy(u);
  for (const UseState& s : u.states) e += s.energy;
  return e;
}

// What a block does: solve its use without the polish, find its bound only (or a closer one, for
// longer: see MinCutParameters::branch_met), polish its map, find a map of the use from one
// price search alone (a map that only steers prices), or solve it with its maps split by the
// cells of the cuts' jumps, each part's cuts fixed up (see MinCutParameters::part_maps), with the
// whole work of the split or with a share of it (`steer`: maps and bounds of the price rounds).
enum class Block { solve, bound, closer_bound, polish, sketch, exact, steer };

// The min-cut method of one use on use k's view; returns the map it leaves and its lower bound.
std::vector<float> solve_block(UsesRun& u, size_t k, std::vector<float> view,
                               const PackedMap* extra, Rng& rng, double* bound,
                               Block what = Block::solve) {
  UseState& s = u.states[k];
  Run block;
  block.threads = u.block_threads();
  block.band_min_cells = u.band_min_cells;
  block.geometry = u.geometry;
  block.rng = rng;
  block.in_memory = true;
  block.handover_read_once = true;
  block.write_files = false;
  block.preprocess_output.assign(view.data(), view.data() + view.size());
  std::vector<float>().swap(view);  // packed now: its floats would only add to the block's peak
  if (k < u.keep_out.size()) block.cut.keep_out = u.keep_out[k];
  ProcessRun p(s.scenario, block);
  p.inputs = s.inputs.get();
  p.maps = maps_allocate_quiet(u.geometry, 1);
  p.working_cell_value = u.uses.uses[k].value;
  p.extra_cost = extra;
  p.input = u.uses.uses[k].name;  // the block's map is in memory: the log names its use
  p.deadline = u.deadline;
  uses_prepare_energy(p, s);
  p.parameters = s.params.annealing;
  EvolutionListing none;
  if (what == Block::polish) {
    // No index of moves: the polish loads the cells itself, and a use that fills every cell it
    // may take has no move to make, which is no failure (its blocks say so).
    stage_read_handover(p.run, Handover::preprocess_output, p.input, p.maps, PROCESS_SOLUTION_MAP);
    // The uses share one polish's budget of islands and holes tried: on a large map one use's
    // polish tries its smallest islands for as long as its whole min-cut takes, and seldom keeps
    // one.
    min_cut_polish(p, 1.0 / static_cast<double>(u.uses.uses.size()));
  } else {
    MinCutParameters parameters = s.params.min_cut;
    parameters.bound_only = parameters.branch = what == Block::bound || what == Block::closer_bound;
    parameters.branch_met = what == Block::closer_bound;
    if (what == Block::closer_bound) parameters.branch_work *= CLOSER_WORK;
    if (what == Block::exact || what == Block::steer) {
      parameters.branch = parameters.part_maps = true;
      parameters.branch_work *= what == Block::steer ? STEER_WORK_SHARE : EXACT_WORK_SHARE;
    }
    parameters.polish = false;
    // Where one more search would pass the budget, the block makes none.
    parameters.recut_work =
        SEARCH_CUTS * static_cast<double>(u.cells()) > BLOCK_RECUT_WORK || what == Block::sketch
            ? -1.0
            : BLOCK_RECUT_WORK;
    if (!parameters.bound_only) parameters.price_hint = s.price;
    const MinCutResult result = run_min_cut(p, parameters, 0, none);
    *bound = result.lower_bound;
    s.price = result.price;
  }
  rng = block.rng;
  s.bounds = p.energy.bounds;
  const float* solution = p.maps.map(PROCESS_SOLUTION_MAP);
  return std::vector<float>(solution, solution + u.cells());
}

// The energy of use k's own terms on `map` (its cells at its code).
MapEnergy use_energy(UsesRun& u, size_t k, const std::vector<float>& map) {
  UseState& s = u.states[k];
  return process_map_energy(s.scenario, *s.inputs, PackedMap(map), u.uses.uses[k].value,
                            s.normalisers, &s.bounds, u.block_threads());
}

// Use k's block on the current map of energy `energy`, kept when the energy does not rise (the
// annealing may end above where it started); returns whether it moved a cell.
bool try_block(UsesRun& u, size_t k, Block what, double& energy, PackedMap& extra, Rng& rng) {
  UseState& s = u.states[k];
  adjacency_costs(u, k, s.inputs->records.grid, extra);
  double unused = 0.0;
  const std::vector<float> map =
      solve_block(u, k, uses_block_map(u, k, true), &extra, rng, &unused, what);
  const Labels saved = u.label;
  const double saved_energy = s.energy;
  const auto own = static_cast<int32_t>(k) + 1;
  bool moved = false;
  for (size_t i = 0; i < u.cells(); ++i) {
    const int32_t was = u.label[i];
    const int32_t now = map[i] == u.uses.uses[k].value ? own : was == own ? 0 : was;
    moved = moved || now != was;
    u.label[i] = now;
  }
  s.energy = use_energy(u, k, uses_block_map(u, k, true)).energy;
  const double tried = total_energy(u);
  if (tried > energy) {
    u.label = saved;
    s.energy = saved_energy;
    return false;
  }
  energy = tried;
  return moved;
}

// Use k's `cells` new cells on the cells of highest potential among those it may take that no
// use holds (ties to the first in row-major order); false where too few are free. The candidates
// are indices alone, of 4 bytes where the grid allows, compared through the records.
template <typename Index>
bool place_on_best(UsesRun& u, size_t k, size_t cells) {
  const LandUse& use = u.uses.uses[k];
  const CellRecords& r = u.states[k].inputs->records;
  const auto ncols = static_cast<size_t>(u.geometry.ncols);
  const auto potential = [&](size_t i) {
    return r
        .records[bordered_index(r.grid, static_cast<int32_t>(i / ncols),
                                static_cast<int32_t>(i % ncols))]
        .potential;
  };
  std::vector<Index> free;
  for (size_t i = 0; i < u.cells(); ++i) {
    if (u.label[i] == 0 && land_use_may_take(use, u.base[i]) && potential(i) != CELL_NODATA)
      free.push_back(static_cast<Index>(i));
  }
  if (free.size() < cells) return false;
  // The order is total (ties to the index): the cells kept are the same in any order, and a
  // selection is linear where a partial sort of a large map's demand was not.
  std::nth_element(free.begin(), free.begin() + static_cast<std::ptrdiff_t>(cells), free.end(),
                   [&](Index a, Index b) {
                     const float pa = potential(a);
                     const float pb = potential(b);
                     return pa != pb ? pa > pb : a < b;
                   });
  for (size_t c = 0; c < cells; ++c) u.label[free[c]] = static_cast<UseLabel>(k + 1);
  return true;
}

// A start that owes nothing to PREPROCESS's draw, so that the plan does not depend on the seed:
// the uses placed in turn from `first`, each on its cells of highest potential among those it may
// take that no use placed before it holds; with `solve`, each is then solved by a block against
// the uses placed before it (the later ones are not placed yet). Returns the energy of the map, or
// nothing where the uses before one leave it too few cells for its demand.
//
// On maps of up to PRICED_CELLS cells each such block splits its use's maps and fixes up each
// part: a plain block missed industry's best land alone on the example's 60 x 60 window at rows
// 20 to 79, columns 200 to 259 (0.030347 against 0.029083), and the plan built around it settled
// 2.9 % above the optimum, which the start from industry's best land reaches.
std::optional<double> placed_start(UsesRun& u, size_t first, bool solve, PackedMap& extra,
                                   Rng& rng) {
  const size_t K = u.uses.uses.size();
  const size_t n = u.cells();
  std::fill(u.label.begin(), u.label.end(), 0);
  for (size_t turn = 0; turn < K; ++turn) {
    const size_t k = (first + turn) % K;
    const auto cells = static_cast<size_t>(u.states[k].cells);
    const bool placed = n <= std::numeric_limits<uint32_t>::max()
                            ? place_on_best<uint32_t>(u, k, cells)
                            : place_on_best<size_t>(u, k, cells);
    if (!placed) return std::nullopt;
    // Once the time is up no block starts: the uses stay on their best cells.
    if (!solve || time_up(u)) continue;
    adjacency_costs(u, k, u.states[k].inputs->records.grid, extra);
    double unused = 0.0;
    const std::vector<float> map =
        solve_block(u, k, uses_block_map(u, k, true), &extra, rng, &unused,
                    u.cells() <= PRICED_CELLS ? Block::exact : Block::solve);
    const auto own = static_cast<UseLabel>(k + 1);
    const float value = u.uses.uses[k].value;
    for (size_t i = 0; i < n; ++i)
      u.label[i] = map[i] == value ? own : u.label[i] == own ? 0 : u.label[i];
  }
  for (size_t k = 0; k < K; ++k)
    u.states[k].energy = use_energy(u, k, uses_block_map(u, k, true)).energy;
  return total_energy(u);
}

// Rounds of blocks, use `first` first and the others in turn after it, from the current map of
// energy `energy` until a round no longer lowers it; returns the energy they end at.
double settle(UsesRun& u, size_t first, double energy, PackedMap& extra, Rng& rng) {
  const size_t K = u.uses.uses.size();
  // Steps (blocks tried) at which each use's cells last changed and at which it was last solved:
  // a min-cut block whose neighbours have not moved since its last solve would give the same map.
  std::vector<int64_t> changed(K, 0), solved(K, 0);
  int64_t step = 0;
  // Each block's cuts show their own line; between blocks the round's line says where it is.
  Progress progress = progress_begin(0.0);
  for (int32_t round = 1; round <= MAX_ROUNDS; ++round) {
    const double before = energy;
    for (size_t turn = 0; turn < K; ++turn) {
      const size_t k = (first + turn) % K;
      progress_update(progress, static_cast<double>(turn), static_cast<double>(K),
                      "land uses' round %d of at most %d, '%s'", round, MAX_ROUNDS,
                      u.uses.uses[k].name.c_str());
      ++step;
      int64_t moved = 0;
      for (size_t l = 0; l < K; ++l) moved = l == k ? moved : std::max(moved, changed[l]);
      if (solved[k] > 0 && moved < solved[k]) continue;
      if (time_up(u)) {
        progress_end(progress);
        log_message("  time limit reached\n");
        return energy;
      }
      solved[k] = step;
      if (try_block(u, k, Block::solve, energy, extra, rng)) changed[k] = step;
    }
    log_message("  round %d energy %f\n", round, energy);
    if (energy >= before - ROUND_TOLERANCE * std::fabs(before)) break;
  }
  progress_end(progress);
  return energy;
}

// The rounds settle where no use's block moves the map, but a block finds its use's map by cuts
// fixed up near where they jump: a use of a few cells whose best land lies away from there stays
// where it is (industry on the example's 40 x 40 window east of the second town, 1.4 % above the
// optimum, its best land on the window's far side). Each use's block is then tried once more with
// its maps split by the cells of the jumps, each part's cuts fixed up; where one moves, the
// rounds go on from it. At most EXACT_PASSES passes over the uses.
double settle_exact(UsesRun& u, double energy, PackedMap& extra, Rng& rng) {
  const size_t K = u.uses.uses.size();
  if (u.cells() > PRICED_CELLS) return energy;
  for (int32_t pass = 0; pass < EXACT_PASSES && !time_up(u); ++pass) {
    log_message("  each use's maps split by its cuts' jumps\n");
    bool moved = false;
    for (size_t k = 0; k < K && !time_up(u); ++k) {
      if (!try_block(u, k, Block::exact, energy, extra, rng)) continue;
      moved = true;
      energy = settle(u, (k + 1) % K, energy, extra, rng);
    }
    if (!moved) break;
  }
  return energy;
}

// Labels kept aside while blocks run: the new cells alone where they are few (5 bytes each
// against 1 for every cell), so that a copy held beside the blocks costs little on a large grid.
class KeptLabels {
 public:
  KeptLabels() = default;
  explicit KeptLabels(const Labels& labels) : size_(labels.size()) {
    const auto zeros = static_cast<size_t>(std::count(labels.begin(), labels.end(), 0));
    sparse_ = (size_ - zeros) * (sizeof(uint32_t) + sizeof(UseLabel)) < size_ &&
              size_ <= std::numeric_limits<uint32_t>::max();
    if (!sparse_) {
      dense_ = labels;
      return;
    }
    for (size_t i = 0; i < size_; ++i) {
      if (labels[i] == 0) continue;
      cells_.push_back(static_cast<uint32_t>(i));
      labels_.push_back(labels[i]);
    }
  }
  void restore(Labels& labels) const {
    if (!sparse_) {
      labels = dense_;
      return;
    }
    labels.assign(size_, 0);
    for (size_t j = 0; j < cells_.size(); ++j) labels[cells_[j]] = labels_[j];
  }

 private:
  size_t size_ = 0;
  bool sparse_ = false;
  Labels dense_;
  std::vector<uint32_t> cells_;
  Labels labels_;
};

// What one order of the blocks settled at.
struct UseOrder {
  double energy = 0.0;
  KeptLabels label;
  std::vector<double> energies;
  std::vector<double> prices;  // where each use's last price search ended, the next one's hint
};

// body(w, i, rng) for each i below `count`. The minimum cuts draw nothing from the generator, so
// their steps may run at once, on up to run.threads threads, each on its own copy `w` of the
// run, and print in the order of i afterwards; a failure ends the run as it would have one after
// the other.
// With `kept`, the logs are handed back there, in the order of i, rather than printed.
template <typename Body>
void each_step(UsesRun& u, size_t count, Run& run, Body body,
               std::vector<SharedStep>* kept = nullptr) {
  const size_t workers = std::min(count, static_cast<size_t>(std::max(run.threads, 1)));
  if (workers <= 1) {
    for (size_t i = 0; i < count; ++i) body(u, i, run.rng);
    return;
  }
  std::vector<SharedStep> logs(count);
  std::vector<std::exception_ptr> failures(count);
  std::vector<std::thread> threads;
  // The first worker draws the progress line the main thread would, while it waits.
  const bool progress = progress_enabled();
  // Each worker takes the next step as it ends one: steps differ in length (an order may settle
  // in one round or in four), and each step's result owes nothing to which worker ran it.
  std::atomic<size_t> next{0};
  // A worker left without a step lends its thread to the blocks of those still running (three
  // uses' orders on two threads would otherwise leave one idle for a third of the time): the
  // passes of a block give the same map on any number of threads.
  auto spare = std::make_shared<UsesRun::SpareThreads>();
  spare->running = static_cast<int32_t>(workers);
  for (size_t t = 0; t < workers; ++t) {
    threads.emplace_back([&, t] {
      fatal_set_throw_on_thread(true);
      for (size_t i = next++; i < count; i = next++) {
        try {
          UsesRun w = u;
          w.threads = 1;
          w.spare = spare;
          Rng rng = run.rng;
          shared_step_capture(logs[i], [&] {
            if (t == 0) progress_enable(progress);
            body(w, i, rng);
          });
        } catch (...) {
          failures[i] = std::current_exception();
        }
      }
      --spare->running;
      ++spare->idle;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < count; ++i) {
    if (failures[i]) std::rethrow_exception(failures[i]);
    if (kept == nullptr) shared_step_replay(logs[i]);
  }
  if (kept != nullptr) *kept = std::move(logs);
}

// Each use's islands and holes tried away once, in the uses' order, each against the others as
// they stand, each block on every thread. A polish seldom keeps a try, and one on two threads
// took 0.7 of its time on one: on several threads the next uses' polishes start at once against
// the map as it stands, each on its own copy of the run, and are kept in order up to the first
// that moves a cell; those after it, tried against a map that has changed since, are tried again.
// The map and the log are those of one use after the other.
void polish_uses(UsesRun& u, Run& run, double& energy) {
  const size_t K = u.uses.uses.size();
  const auto threads = static_cast<size_t>(std::max(run.threads, 1));
  u.threads = run.threads;
  PackedMap extra;
  struct Polished {
    bool moved = false;
    double energy = 0.0;  // the run's, and the use's own, after the block
    double own = 0.0;
    KeptLabels label;
  };
  for (size_t k = 0; k < K;) {
    const size_t count = std::min(threads, K - k);
    if (count == 1) {
      try_block(u, k++, Block::polish, energy, extra, run.rng);
      continue;
    }
    std::vector<Polished> tried(count);
    std::vector<SharedStep> logs;
    each_step(
        u, count, run,
        [&](UsesRun& w, size_t i, Rng& rng) {
          Polished& t = tried[i];
          t.energy = energy;
          PackedMap scratch;
          t.moved = try_block(w, k + i, Block::polish, t.energy, scratch, rng);
          t.own = w.states[k + i].energy;
          if (t.moved) t.label = KeptLabels(w.label);
        },
        &logs);
    for (size_t i = 0; i < count; ++i) {
      shared_step_replay(logs[i]);
      const Polished& t = tried[i];
      energy = t.energy;
      u.states[k++].energy = t.own;
      if (t.moved) {
        t.label.restore(u.label);
        break;
      }
    }
  }
}

// How each use's bound pays for the drawing costs of its sides. A side two attracting uses share
// lies on the perimeter of each use whose new cell it borders: a new cell's side to the other
// use's existing land on its own use's only, a side between two new cells on both. Each side of a
// use's perimeter is charged at most a, the strongest attraction the plan gives it, and a lighter
// perimeter weight pays for it: the use's bound with the weight w2 - a r2 / R, less a / R times
// its least perimeter, bounds its own terms and its sides' drawing costs together. A use beside
// the other's existing land pays the whole attraction on every side, its sides to the other's new
// cells too; where neither has existing land, each pays half. Costs that keep uses apart are at
// least 0.
//
// Where one use of an attracting pair has no existing land (or neither has), a share s of the
// attraction may be paid otherwise. The sides new cells of k and l share number (P(k) + P(l) -
// P(k and l together)) / 2, P a perimeter, and the two uses' n_k + n_l new cells together have a
// perimeter of at least 2 ceil(2 sqrt(n_k + n_l)), the least of that many cells. So each use's
// sides are charged s a / 2 more, and the plan gives back that least perimeter times s a / 2: a
// constant. The rest, (1 - s) a, is charged as above, and only that is given back on the sides
// towards cells no use can take (they lie on the pair's perimeter too); a new cell's side towards
// the other's existing land then counts s a below 0, its attraction beyond what is given back.
// Where the uses' maps alone lie apart (the example's green space away from housing), charging
// both halves and the least perimeter of their cells together leaves less out than charging
// every side of one.
//
// A pair in `halved` is charged half its attraction on each use's sides whatever land they have,
// which lets the fields of attraction below move the charge side by side; the sides towards the
// other's existing land are then counted exactly (they face cells no use can take).
struct BoundPlan {
  std::vector<double> per_side;    ///< the attraction each use's sides are charged
  std::vector<double> given_back;  ///< of it, what a side towards cells no use can take gets back
  std::vector<bool> paid;          ///< its lighter perimeter weight pays for it
  double pairs = 0.0;  ///< what the least perimeters of the attracting pairs' cells give back
  double share = 0.0;  ///< of the attraction of the pairs not halved, what `pairs` pays
  bool attracts = false;
  bool weak = false;  ///< some use's weight cannot pay: its new cells' every side is counted
};

BoundPlan bound_plan(const UsesRun& u, double share,
                     const std::vector<std::pair<size_t, size_t>>& halved = {}) {
  const size_t K = u.uses.uses.size();
  BoundPlan plan;
  plan.share = share;
  plan.per_side.resize(K);
  plan.given_back.resize(K);
  plan.paid.resize(K);
  std::vector<bool> has_existing(K, false);
  for (size_t i = 0; i < u.cells(); ++i)
    if (u.existing[i] > 0) has_existing[u.existing[i] - 1u] = true;
  // Each side lies between two cells, so it is shared with one use at most: the strongest
  // attraction charged covers it. Each pair's share is charged on every side of both uses.
  std::vector<double> charged(K, 0.0), shared(K, 0.0);
  for (size_t k = 0; k < K; ++k) {
    for (size_t l = k + 1; l < K; ++l) {
      const double a = -u.uses.cost(k, l);
      if (!(a > 0.0)) continue;
      plan.attracts = true;
      if (std::find(halved.begin(), halved.end(), std::pair{k, l}) != halved.end()) {
        charged[k] = std::max(charged[k], 0.5 * a);
        charged[l] = std::max(charged[l], 0.5 * a);
        continue;
      }
      if (has_existing[k] && has_existing[l]) {
        charged[k] = std::max(charged[k], a);
        charged[l] = std::max(charged[l], a);
        continue;
      }
      const double rest = (1.0 - share) * a;
      if (has_existing[l]) charged[k] = std::max(charged[k], rest);
      if (has_existing[k]) charged[l] = std::max(charged[l], rest);
      if (!has_existing[k] && !has_existing[l]) {
        charged[k] = std::max(charged[k], 0.5 * rest);
        charged[l] = std::max(charged[l], 0.5 * rest);
      }
      shared[k] += 0.5 * share * a;
      shared[l] += 0.5 * share * a;
      plan.pairs += 0.5 * share * a *
                    energy_least_perimeter(u.states[k].cells + u.states[l].cells) /
                    u.adjacency_range;
    }
  }
  for (size_t k = 0; k < K; ++k) {
    const double attraction = charged[k] + shared[k];
    const UseState& s = u.states[k];
    const double lighter =
        s.params.weights[1] - attraction / u.adjacency_range * s.normalisers.range[1];
    plan.paid[k] = attraction == 0.0 || (!s.normalisers.off[1] && lighter >= 0.0);
    plan.per_side[k] = attraction / u.adjacency_range;
    plan.given_back[k] = charged[k] / u.adjacency_range;
    plan.weak = plan.weak || !plan.paid[k];
  }
  return plan;
}

// The cells no use may take, which every use's exact sides look at.
std::vector<bool> untakable_cells(const UsesRun& u) {
  std::vector<bool> untakable(u.cells(), true);
  for (size_t j = 0; j < untakable.size(); ++j) {
    for (const LandUse& use : u.uses.uses)
      if (land_use_may_take(use, u.base[j])) untakable[j] = false;
  }
  return untakable;
}

// The joint bound from each use's own: less, for each use whose sides are charged an attraction,
// that charge on its least perimeter (or, where its weight cannot pay, on every side of its cells).
double sum_of_bounds(const UsesRun& u, const BoundPlan& plan, const std::vector<double>& bounds) {
  double bound = plan.pairs;
  for (size_t k = 0; k < bounds.size(); ++k) {
    const double cells = static_cast<double>(u.states[k].cells);
    // Where the weight cannot pay, the most sides a use's new cells have: 4 each.
    bound +=
        bounds[k] - plan.per_side[k] * 4.0 * (plan.paid[k] ? std::ceil(std::sqrt(cells)) : cells);
  }
  return bound;
}

// What use k's bound counts exactly on the sides of its new cells towards cells no use can take
// (`costs`, bordered as the records; false where none): the grid's edge, water, land no use may
// convert. Such a side lies on the use's perimeter whenever the cell is the use's, and the cell
// across stays as it is: what the plan gives back of the charge the lighter weight made on the
// side is given back, and its drawing cost towards another use's existing land counted as it is.
// A value is below 0 only where a side towards attracting existing land gets back less than it
// is charged (`negative` says whether one is). Only where the use's weight pays for its
// attraction.
bool exact_sides(const UsesRun& u, size_t k, const BoundPlan& plan, const BorderedGrid& grid,
                 const std::vector<bool>& untakable, PackedMap& costs, bool& negative) {
  negative = false;
  if (!plan.paid[k]) return false;
  const LandUse& use = u.uses.uses[k];
  const double charge = plan.given_back[k];
  const int32_t nrows = u.geometry.nrows;
  const int32_t ncols = u.geometry.ncols;
  bool any = false;
  costs = cell_costs(u, grid, [&](int32_t r, int32_t c, size_t i) {
    if (!land_use_may_take(use, u.base[i])) return 0.0f;
    // The sides beyond the grid's edge, then those towards cells no use can take.
    double sum = charge * ((r == 0) + (r + 1 == nrows) + (c == 0) + (c + 1 == ncols));
    uses_for_each_side(u.geometry, i, [&](size_t j) {
      if (!untakable[j]) return;
      const int32_t m = static_cast<int32_t>(u.existing[j]) - 1;
      sum += charge + (m >= 0 && static_cast<size_t>(m) != k
                           ? u.uses.cost(k, static_cast<size_t>(m)) / u.adjacency_range
                           : 0.0);
    });
    any = any || sum != 0.0;
    negative = negative || sum < 0.0;
    // Rounded down: the bound stays below what the sides cost.
    return float_at_most(sum);
  });
  if (!any) costs = PackedMap();
  return any;
}

// Each use alone on every cell it may take, with its sides as `plan` says: its perimeter weight
// lightened for the attraction it is charged, its sides to the cells no use can take (`untakable`)
// counted exactly, and where given its own `price` on every cell (rounded down with the exact
// sides, so that the use's cost of a cell stays below them), by blocks of kind `what`. Returns
// each use's bound; the map each use's block leaves goes to `maps` where given (each block
// starting at `hints`, on any number of threads), and the price per cell each use's search ended
// at to `ended` where given.
std::vector<double> use_bounds(UsesRun& u, Run& run, const BoundPlan& plan,
                               const std::vector<bool>& untakable,
                               const std::vector<std::vector<float>>* price,
                               const std::vector<double>* hints,
                               std::vector<std::vector<float>>* maps, std::vector<double>* ended,
                               Block what = Block::bound) {
  const size_t K = u.uses.uses.size();
  std::vector<double> bounds(K);
  each_step(u, K, run, [&](UsesRun& w, size_t k, Rng& rng) {
    UseState& s = w.states[k];
    if (hints != nullptr) s.price = (*hints)[k];
    const double weight = s.params.weights[1];
    if (plan.paid[k]) s.params.weights[1] = weight - plan.per_side[k] * s.normalisers.range[1];
    const BorderedGrid& grid = s.inputs->records.grid;
    PackedMap costs;
    bool negative = false;
    const bool any = exact_sides(w, k, plan, grid, untakable, costs, negative);
    if (price != nullptr) {
      const std::vector<float>& own = (*price)[k];
      costs = cell_costs(w, grid, [&](int32_t r, int32_t c, size_t i) {
        return float_at_most((any ? static_cast<double>(costs[bordered_index(grid, r, c)]) : 0.0) +
                             static_cast<double>(own[i]));
      });
      negative = negative || std::any_of(own.begin(), own.end(), [](float p) { return p < 0.0f; });
    }
    std::vector<float> map = solve_block(w, k, uses_block_map(w, k, false),
                                         any || price ? &costs : nullptr, rng, &bounds[k], what);
    if (maps != nullptr) (*maps)[k] = std::move(map);
    // Its own terms at least 0 once clamped, the exact sides and prices too unless one costs
    // less than 0: no map of the use is below 0 then.
    if (!negative) bounds[k] = std::max(bounds[k], 0.0);
    s.params.weights[1] = weight;
    if (ended != nullptr) (*ended)[k] = s.price;
  });
  return bounds;
}

// Rounds of prices on the cells several uses want at most (each round solves every use once; so
// do the plans the joint bound tries).
constexpr int32_t PRICE_ROUNDS = 24;
// The rounds end once PRICE_STALL_ROUNDS rounds have raised the bound by less than this share of
// the final energy: on the example's 70 x 70 window of three uses the last twelve of 24 rounds
// raised it by 0.03 %, for a third of the run's time.
constexpr size_t PRICE_STALL_ROUNDS = 4;
constexpr double PRICE_STALL_SHARE = 1e-3;
// Where the closer bound at the rounds' best prices still lies more than this share of the final
// energy below it, up to CLOSER_ROUNDS closer rounds go on from those prices (see priced_bound).
// Where housing, industry and green space crowd each other (the example's 50 x 50 window at rows
// and columns 150 to 199) the cheap rounds stalled at a bound 19 % below the optimum; 12 closer
// rounds took it to 3.5 %, for 7 s more. Windows already that close keep their time.
constexpr double CLOSER_GAP_SHARE = 0.02;
constexpr int32_t CLOSER_ROUNDS = 12;
// Each closer round takes as long as several cheap ones: they end once two have raised the bound
// by less than this share of the final energy.
constexpr size_t CLOSER_STALL_ROUNDS = 2;
constexpr double CLOSER_STALL_SHARE = 5e-3;

// The shares of an attracting pair's attraction that its cells' least perimeter pays (see
// BoundPlan) which the joint bound tries, on maps of up to PRICED_CELLS cells; larger maps keep
// to the first.
constexpr double SHARES[] = {0.0, 1.0};

// The bound of several uses: each use alone on every cell it may take bounds its own terms (and
// its sides' drawing costs, as `plan` says, the plan of the first of SHARES). Where uses attract,
// the other plans of SHARES are tried and the one of the largest bound goes to `plan`. `ended`
// receives the price per cell each use's search ended at under the first.
double joint_bound(UsesRun& u, Run& run, BoundPlan& plan, std::vector<double>& ended) {
  const std::vector<bool> untakable = untakable_cells(u);
  double best = sum_of_bounds(
      u, plan, use_bounds(u, run, plan, untakable, nullptr, nullptr, nullptr, &ended));
  if (!plan.attracts || u.cells() > PRICED_CELLS) return best;
  for (size_t s = 1; s < std::size(SHARES) && !time_up(u); ++s) {
    const BoundPlan tried = bound_plan(u, SHARES[s]);
    const double bound = sum_of_bounds(
        u, tried, use_bounds(u, run, tried, untakable, nullptr, nullptr, nullptr, nullptr));
    if (bound > best) best = bound, plan = tried;
  }
  return best;
}

// A field of attraction of a pair k, l whose new cells earn a on each side they share (in energy
// units): a value b on each side between two cells i and j that some use may take (i left of j or
// above it), |b| <= a / 2, which both uses' costs take as b less on cell i and b more on cell j.
// Where the pair is halved (see BoundPlan), each use's sides are charged a / 2; with the field, a
// side that k on i and l on j share is charged a / 2 + b on k's perimeter and a / 2 - b on l's,
// a in all, and one that l on i and k on j share a / 2 - b and a / 2 + b: any field keeps the sum
// a bound, and the charge may go to the side of the pair's perimeter the other use does not
// take. Where the two lie apart, the charge on each one's own perimeter falls to 0, which no
// share fixed for the whole grid can do.
struct AttractionField {
  size_t k = 0;
  size_t l = 0;
  float limit = 0.0f;              ///< a / 2
  std::vector<float> right, down;  ///< per cell, b on its side to the right and below
};

// The attracting pairs that may take a field: each of the two in no other attracting pair (a side
// is charged the strongest attraction of its use once: two pairs' fields would share that
// charge), their existing land where no use may take it (its sides are then counted exactly),
// and their perimeter weights able to pay for half the pair's attraction.
std::vector<AttractionField> attraction_fields(const UsesRun& u, const std::vector<bool>& untakable,
                                               double share) {
  const size_t K = u.uses.uses.size();
  std::vector<int32_t> attracting(K, 0);
  std::vector<bool> takable_existing(K, false);
  for (size_t i = 0; i < u.cells(); ++i)
    if (u.existing[i] > 0 && !untakable[i]) takable_existing[u.existing[i] - 1u] = true;
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t k = 0; k < K; ++k)
    for (size_t l = k + 1; l < K; ++l)
      if (-u.uses.cost(k, l) > 0.0) ++attracting[k], ++attracting[l], pairs.emplace_back(k, l);
  std::vector<std::pair<size_t, size_t>> halved;
  for (const auto& [k, l] : pairs)
    if (attracting[k] == 1 && attracting[l] == 1 && !takable_existing[k] && !takable_existing[l])
      halved.emplace_back(k, l);
  const BoundPlan plan = bound_plan(u, share, halved);
  std::vector<AttractionField> fields;
  for (const auto& [k, l] : halved) {
    if (!plan.paid[k] || !plan.paid[l]) continue;
    AttractionField field;
    field.k = k;
    field.l = l;
    field.limit = float_at_most(-0.5 * u.uses.cost(k, l) / u.adjacency_range);
    field.right.assign(u.cells(), 0.0f);
    field.down.assign(u.cells(), 0.0f);
    fields.push_back(std::move(field));
  }
  return fields;
}

// The prices of the sides of a repelling pair k, l, whose new cells pay c > 0 on each side they
// share (in energy units): on each side between two cells i and j that some use may take (i left
// of j or above it), a price q in [0, c] for k on i and l on j, and one for l on i and k on j.
// k pays q on i, l pays it on j, and the bound takes q back once: q (x_ki + x_lj - 1) is at most
// c where both hold their cell and at most 0 otherwise, so any prices keep the sum a bound. The
// bound of the uses alone counts no repelling cost: where the uses' maps lie side by side
// (housing and industry on a 50 x 50 window of the example, rows and columns 150 to 199: 7 sides
// at the rounds' end, the bound 45 % below the optimum; 19 % with the prices), the prices rise on
// the sides they share and part them.
struct RepellingSides {
  size_t k = 0;
  size_t l = 0;
  float limit = 0.0f;  ///< c
  /// Per cell, the prices of its sides to the right and below (`cells_across`) with k on it and l
  /// across, then with l on it and k across.
  std::array<std::vector<float>, 4> prices;
};

// The cells across a cell's side to the right and its side below, each the cell itself where the
// grid ends: the order of the fields' and the repelling prices' values.
std::array<size_t, 2> cells_across(size_t i, size_t ncols, size_t n) {
  return {i % ncols + 1 < ncols ? i + 1 : i, i + ncols < n ? i + ncols : i};
}

std::vector<RepellingSides> repelling_sides(const UsesRun& u) {
  const size_t K = u.uses.uses.size();
  std::vector<RepellingSides> sides;
  for (size_t k = 0; k < K; ++k) {
    for (size_t l = k + 1; l < K; ++l) {
      const double c = u.uses.cost(k, l) / u.adjacency_range;
      if (!(c > 0.0)) continue;
      RepellingSides r;
      r.k = k;
      r.l = l;
      r.limit = float_at_most(c);
      for (std::vector<float>& v : r.prices) v.assign(u.cells(), 0.0f);
      sides.push_back(std::move(r));
    }
  }
  return sides;
}

// What prices take back: their sum.
double paid(const std::vector<float>& prices) {
  return std::accumulate(prices.begin(), prices.end(), 0.0);
}

// What the prices of the repelling pairs' sides take back: the sum of every price.
double repelling_paid(const std::vector<RepellingSides>& sides) {
  double sum = 0.0;
  for (const RepellingSides& r : sides)
    for (const std::vector<float>& v : r.prices) sum += paid(v);
  return sum;
}

// Each use's price of each cell: the price every use pays (`price`), what the fields of its
// pairs add and what the sides of its repelling pairs cost it, rounded down.
std::vector<std::vector<float>> use_prices(const UsesRun& u, const std::vector<float>& price,
                                           const std::vector<AttractionField>& fields,
                                           const std::vector<RepellingSides>& repelling) {
  std::vector<std::vector<float>> prices(u.uses.uses.size(), price);
  const auto ncols = static_cast<size_t>(u.geometry.ncols);
  for (const RepellingSides& r : repelling) {
    for (size_t i = 0; i < u.cells(); ++i) {
      // As the first cell of its sides to the right and below, then as the second of those from
      // the left and above.
      const auto& q = r.prices;
      double k_pays = static_cast<double>(q[0][i]) + q[1][i];
      double l_pays = static_cast<double>(q[2][i]) + q[3][i];
      if (i % ncols > 0) k_pays += q[2][i - 1], l_pays += q[0][i - 1];
      if (i >= ncols) k_pays += q[3][i - ncols], l_pays += q[1][i - ncols];
      prices[r.k][i] = float_at_most(static_cast<double>(prices[r.k][i]) + k_pays);
      prices[r.l][i] = float_at_most(static_cast<double>(prices[r.l][i]) + l_pays);
    }
  }
  for (const AttractionField& f : fields) {
    for (size_t i = 0; i < u.cells(); ++i) {
      double moved = -static_cast<double>(f.right[i]) - f.down[i];
      if (i % ncols > 0) moved += f.right[i - 1];
      if (i >= ncols) moved += f.down[i - ncols];
      for (const size_t k : {f.k, f.l})
        prices[k][i] = float_at_most(static_cast<double>(prices[k][i]) + moved);
    }
  }
  return prices;
}

// A cell holds one use at most. With a price p_i >= 0 on each cell, added to every use's cost of
// it and taken back once (the sum of the prices subtracted), each use solved alone still bounds
// the joint optimum: a map of the uses pays p_i at most once on each cell. Where the uses alone
// want the same cells (green space inside housing's best land on the example's 100 x 100
// window), the prices make them share: a subgradient search on the prices (a cell's price rises
// while more than one use takes it, falls while none does), the step sized on the gap to
// `upper`, the energy of a map of the uses, and halved after two rounds that raise nothing. Its
// rounds find each use's map by one price search and its fix-up (no re-cut, no split of the maps
// by the cells of the jump); each search starts at `hints`, where the use's bound search ended.
// The best prices are then bounded with the split, the closer bound. Where that still lies well
// below `upper` (CLOSER_GAP_SHARE), closer rounds go on from them, each use's map the best its
// closer bound evaluated: the cheap rounds' maps lie far from each use's best at the same prices
// and still take the same cells and sides in turn, where the closer bound's no longer do. They
// end where those maps share nothing a price could move. No round starts once the time is up.
// Returns the largest bound found, at least `bound`.
//
// The sides of each repelling pair take prices the same way (see RepellingSides): a side's price
// rises while both uses hold their cells of it, falls while not.
//
// Where a pair may take a field, its pair is halved and the same search moves the field: a side's
// value moves towards the cell of the two the pair's uses hold fewer of, so that the charge goes
// to the direction the other use does not take. Each use's map then comes from a whole block
// (re-cuts, no polish) whose maps are split with a share of the split's work, each part's cuts
// fixed up: the maps of one price search lie too far from the use's best to steer the field, and
// the bound of such rounds picks the best field badly (on the example's 30 x 30 window the bound
// then stayed at 0.4376 of an optimum at 0.4763, against 0.4638); without the split the rounds'
// own bounds lay far below the split's and picked the prices at random (on the 40 x 40 window
// east of the second town, 0.1675 of an optimum at 0.2001, against 0.1909).
double priced_bound(UsesRun& u, Run& run, const BoundPlan& given, const std::vector<double>& hints,
                    double bound, double upper) {
  const size_t K = u.uses.uses.size();
  const size_t n = u.cells();
  if (n > PRICED_CELLS || time_up(u)) return bound;
  const std::vector<bool> untakable = untakable_cells(u);
  std::vector<AttractionField> fields = attraction_fields(u, untakable, given.share);
  std::vector<std::pair<size_t, size_t>> halved;
  for (const AttractionField& f : fields) halved.emplace_back(f.k, f.l);
  const BoundPlan plan = fields.empty() ? given : bound_plan(u, given.share, halved);
  std::vector<RepellingSides> repelling = repelling_sides(u);
  const auto ncols = static_cast<size_t>(u.geometry.ncols);
  std::vector<float> price(n, 0.0f);
  std::vector<float> best_price;
  std::vector<AttractionField> best_fields;
  std::vector<RepellingSides> best_repelling;
  double best = -std::numeric_limits<double>::infinity();
  double step = 1.0;
  int32_t stalled = 0;
  // The best bound of each round: the search ends once the last few rounds raised it by little.
  std::vector<double> bests;
  const Block cheap = fields.empty() ? Block::sketch : Block::steer;
  Block what = cheap;
  double cheap_best = best;
  int32_t left = PRICE_ROUNDS;
  int32_t closer_rounds = 0;
  // The cheap rounds end; the closer rounds start from their best prices where there are any
  // (at no price and no field the joint bound has been found already).
  const auto closer = [&] {
    if (what != cheap || best_price.empty() ||
        (paid(best_price) == 0.0 && fields.empty() && repelling_paid(best_repelling) == 0.0))
      return false;
    what = Block::closer_bound;
    cheap_best = best;
    best = -std::numeric_limits<double>::infinity();
    price = best_price, fields = best_fields, repelling = best_repelling;
    step = 1.0, stalled = 0, left = CLOSER_ROUNDS;
    bests.clear();
    return true;
  };
  for (;;) {
    const size_t stall_rounds = what == cheap ? PRICE_STALL_ROUNDS : CLOSER_STALL_ROUNDS;
    const bool stall =
        bests.size() > stall_rounds &&
        bests.back() - bests[bests.size() - 1 - stall_rounds] <
            (what == cheap ? PRICE_STALL_SHARE : CLOSER_STALL_SHARE) * std::fabs(upper);
    if (time_up(u) || ((stall || left == 0) && !closer())) break;
    --left;
    std::vector<std::vector<float>> maps(K);
    if (what != cheap) ++closer_rounds;
    const std::vector<std::vector<float>> prices = use_prices(u, price, fields, repelling);
    const double priced =
        sum_of_bounds(u, plan,
                      use_bounds(u, run, plan, untakable, &prices, &hints, &maps, nullptr, what)) -
        paid(price) - repelling_paid(repelling);
    // The closer bound at the cheap rounds' best prices: close enough, the rounds end there.
    if (what == Block::closer_bound && bests.empty() &&
        !(upper - priced > CLOSER_GAP_SHARE * std::fabs(upper))) {
      best = priced;
      break;
    }
    if (priced > best) {
      best = priced;
      best_price = price;
      best_fields = fields;
      best_repelling = repelling;
      stalled = 0;
    } else if (++stalled >= 2) {
      step /= 2.0;
      stalled = 0;
    }
    bests.push_back(best);
    const auto holds = [&](size_t k, size_t i) { return maps[k][i] == u.uses.uses[k].value; };
    // How many uses take each cell, less one, where that moves its price.
    std::vector<int32_t> excess(n, 0);
    double norm = 0.0;
    for (size_t i = 0; i < n; ++i) {
      int32_t taken = -1;
      for (size_t k = 0; k < K; ++k) taken += holds(k, i) ? 1 : 0;
      if (taken < 0 && price[i] == 0.0f) continue;
      excess[i] = taken;
      norm += static_cast<double>(taken) * taken;
    }
    // Each field's side: how many of the pair's uses hold its second cell less its first, where
    // the limit does not stop that move.
    std::vector<std::vector<int8_t>> moves;
    for (const AttractionField& f : fields) {
      const auto pair_on = [&](size_t i) { return int32_t{holds(f.k, i)} + holds(f.l, i); };
      std::vector<int8_t> move(2 * n, 0);
      for (size_t i = 0; i < n; ++i) {
        if (untakable[i]) continue;
        const std::array<size_t, 2> across = cells_across(i, ncols, n);
        const float values[2] = {f.right[i], f.down[i]};
        for (size_t d = 0; d < 2; ++d) {
          const size_t j = across[d];
          if (j == i || untakable[j]) continue;
          const int32_t g = pair_on(j) - pair_on(i);
          if ((g > 0 && values[d] >= f.limit) || (g < 0 && values[d] <= -f.limit)) continue;
          move[2 * i + d] = static_cast<int8_t>(g);
          norm += static_cast<double>(g) * g;
        }
      }
      moves.push_back(std::move(move));
    }
    // Each repelling side's price: whether both uses hold their cell of it, less one, where the
    // price's range does not stop that move.
    std::vector<std::vector<int8_t>> repels;
    for (const RepellingSides& r : repelling) {
      std::vector<int8_t> move(4 * n, 0);
      for (size_t i = 0; i < n; ++i) {
        if (untakable[i]) continue;
        const std::array<size_t, 2> across = cells_across(i, ncols, n);
        for (size_t d = 0; d < 4; ++d) {
          const size_t j = across[d % 2];
          if (j == i || untakable[j]) continue;
          const auto [first, second] = d < 2 ? std::pair{r.k, r.l} : std::pair{r.l, r.k};
          const int32_t g = int32_t{holds(first, i)} + holds(second, j) - 1;
          const float q = r.prices[d][i];
          if ((g > 0 && q >= r.limit) || (g < 0 && q <= 0.0f)) continue;
          move[4 * i + d] = static_cast<int8_t>(g);
          norm += static_cast<double>(g) * g;
        }
      }
      repels.push_back(std::move(move));
    }
    if (norm == 0.0 || !(upper > priced)) {
      if (closer()) continue;
      break;
    }
    const double move = step * (upper - priced) / norm;
    for (size_t f = 0; f < repelling.size(); ++f) {
      RepellingSides& r = repelling[f];
      for (size_t i = 0; i < n; ++i) {
        for (size_t d = 0; d < 4; ++d) {
          const int8_t g = repels[f][4 * i + d];
          float& q = r.prices[d][i];
          if (g != 0) q = std::clamp(static_cast<float>(q + move * g), 0.0f, r.limit);
        }
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (excess[i] != 0)
        price[i] = std::max(0.0f, static_cast<float>(price[i] + move * excess[i]));
    }
    for (size_t f = 0; f < fields.size(); ++f) {
      AttractionField& field = fields[f];
      const auto moved = [&](float value, int8_t g) {
        return std::clamp(static_cast<float>(value + move * g), -field.limit, field.limit);
      };
      for (size_t i = 0; i < n; ++i) {
        field.right[i] = moved(field.right[i], moves[f][2 * i]);
        field.down[i] = moved(field.down[i], moves[f][2 * i + 1]);
      }
    }
  }
  if (closer_rounds > 0) log_message("  the bound's closer rounds %d\n", closer_rounds);
  return std::max({bound, best, cheap_best});
}

}  // namespace

std::vector<float> uses_block_map(const UsesRun& u, size_t k, bool others) {
  const LandUses& uses = u.uses;
  std::vector<float> map(u.cells());
  for (size_t i = 0; i < u.cells(); ++i) {
    const int32_t l = u.label[i];
    if (l == static_cast<int32_t>(k) + 1) {
      map[i] = uses.uses[k].value;
    } else if (l > 0 && others) {
      map[i] = uses.uses[static_cast<size_t>(l - 1)].value;
    } else {
      map[i] = land_use_may_take(uses.uses[k], u.base[i]) ? CELL_AVAILABLE : u.base[i];
    }
  }
  return map;
}

double uses_adjacency_energy(const UsesRun& u) {
  double sum = 0.0;
  for_each_shared_side(u, [&](size_t a, size_t b) { sum += u.uses.cost(a, b); });
  return sum / u.adjacency_range;
}

void uses_prepare_energy(ProcessRun& p, const UseState& s) {
  process_set_energy(p.energy, s.params.weights, s.normalisers);
  p.energy.bounds = s.bounds;
}

void run_process_uses(const Scenario& scenario, const LandUses& uses, Run& run) {
  // The blocks allocate and free a flow and maps of the whole grid, over and over.
  block_fix_heap_threshold();
  run.code_labels = land_uses_code_labels(uses);
  run.written_codes = land_uses_written_codes(uses);
  const ConfigDocument& config = scenario.config;
  log_message("PROCESS begin\n");
  log_message("init\n");
  maps_init_geometry(config, run.geometry);
  UsesRun u{uses, run.geometry, {}, {}, {}, {}, 1.0, {}, run.cut.use_keep_out};
  u.band_min_cells = run.band_min_cells;
  // A pass of the rules' rounds starts from the repair of the pass before.
  const bool from_start = !run.cut.start.empty();
  const size_t n =
      static_cast<size_t>(run.geometry.nrows) * static_cast<size_t>(run.geometry.ncols);
  {
    MapBlock maps = maps_allocate(run.geometry, 3);
    land_uses_base_map(config, maps);
    u.base.assign(maps.map(0), maps.map(0) + n);
    char input[CONFIG_TEXT_MAX];
    config_get_text(config, "preprocess.output", input);
    log_message("load solution map\n");
    stage_read_handover(run, Handover::preprocess_output, input, maps, 0);  // or the start
    label_cells(u, maps.map(0));
  }
  u.states.resize(uses.uses.size());
  {
    // The uses' records are built at once: a build reads and scales its own maps on one thread
    // for the most part, and each logs to its own text, printed below in the uses' order.
    std::atomic<size_t> next{0};
    run_at_once(
        std::min(uses.uses.size(), static_cast<size_t>(std::max(run.threads, 1))), [&](size_t) {
          for (size_t k = next++; k < uses.uses.size(); k = next++)
            process_build_inputs(uses.uses[k].config, u.geometry, *u.states[k].inputs, run.threads);
        });
  }
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    UseState& s = u.states[k];
    const LandUse& use = uses.uses[k];
    log_message("land use '%s'\n", use.name.c_str());
    s.scenario.config = use.config;
    s.scenario.seed = scenario.seed;
    s.params = process_read_parameters(use.config);
    log_message("%s", s.inputs->log.c_str());
    if (s.inputs->fatal_code != 0) fatal_exit(s.inputs->fatal_code);
    // The first evaluation fixes the use's normalisers, as it does for one use.
    const MapEnergy first = use_energy(u, k, uses_block_map(u, k, true));
    s.normalisers = first.normalisers;
    s.energy = first.energy;
    s.cells = first.cells;
  }
  stage_seed(scenario, run);
  const bool min_cut = u.states[0].params.method == ProcessMethod::min_cut;
  log_message(min_cut ? "MIN-CUT MODE selected\n" : "ANNEALING selected\n");
  const std::optional<double> time_limit =
      scenario.time_limit ? scenario.time_limit : u.states[0].params.time_limit;
  if (time_limit) {
    log_message("  time limit %f\n", *time_limit);
    u.deadline = steady_seconds() + *time_limit;
  }
  const double initial = total_energy(u);

  const size_t K = uses.uses.size();
  double bound = -std::numeric_limits<double>::infinity();
  BoundPlan plan = bound_plan(u, SHARES[0]);
  // Where each use's bound search ended: near where its first block's search will.
  std::vector<double> first_prices(K, std::numeric_limits<double>::quiet_NaN());
  // A pass of the rules' rounds bounds another problem: its cells kept out.
  if (min_cut && !from_start) bound = joint_bound(u, run, plan, first_prices);

  double energy = initial;
  if (!min_cut) {
    uses_anneal(u, run);
    for (size_t k = 0; k < K; ++k)
      u.states[k].energy = use_energy(u, k, uses_block_map(u, k, true)).energy;
    energy = total_energy(u);
  } else if (from_start) {
    // The repair the pass starts from holds every demand: the blocks settle from it, one after
    // the other, each on every thread.
    u.threads = run.threads;
    PackedMap scratch;
    for (size_t k = 0; k < K; ++k) {
      u.states[k].price = first_prices[k];
      if (k < u.keep_out.size() && u.keep_out[k] != nullptr) {
        const auto out = std::count(u.keep_out[k]->begin(), u.keep_out[k]->end(), uint8_t{1});
        log_message("  land use '%s': %zu cells the rules dropped kept out of the cuts\n",
                    uses.uses[k].name.c_str(), static_cast<size_t>(out));
      }
    }
    energy = settle(u, 0, initial, scratch, run.rng);
    polish_uses(u, run, energy);
    log_message("  polish energy %f\n", energy);
  } else {
    // Which use is solved first decides much: it takes the land it likes best before the others
    // are solved against it, and the rounds settle where no single use can do better alone, the
    // nearest such point. Each rotation of the order is tried from two starts of its own (each use
    // solved against those before it, which suits uses that crowd each other least, and every use
    // on its best cells at once; large maps only the first); only the lowest is kept (ties to the
    // one tried first), whichever thread ends first.
    UseOrder best;
    const bool large = static_cast<int64_t>(n) > run.uses_all_starts_cells;
    const size_t tries = large ? K : 2 * K;
    size_t best_try = tries;
    std::mutex best_mutex;
    const KeptLabels handed(u.label);
    std::vector<double> handed_energies;
    for (const UseState& s : u.states) handed_energies.push_back(s.energy);
    each_step(u, tries, run, [&](UsesRun& w, size_t tried, Rng& rng) {
      const size_t first = tried % K;
      const bool solved = tried < K;
      for (size_t k = 0; k < K; ++k) w.states[k].price = first_prices[k];
      log_message("  '%s' first, %s\n", uses.uses[first].name.c_str(),
                  solved ? "each solved in turn" : "each on its best cells");
      PackedMap scratch;
      std::optional<double> start = placed_start(w, first, solved, scratch, rng);
      if (!start) {
        // Where land is scarce, PREPROCESS's map, which holds every demand, is the start.
        log_message("  (too few cells for each use in turn: from PREPROCESS's map)\n");
        handed.restore(w.label);
        for (size_t k = 0; k < K; ++k) w.states[k].energy = handed_energies[k];
        start = initial;
      }
      const double settled = large ? *start : settle(w, first, *start, scratch, rng);
      const std::lock_guard<std::mutex> lock(best_mutex);
      if (best_try < tries &&
          !(settled < best.energy || (settled == best.energy && tried < best_try)))
        return;
      best_try = tried;
      best.energy = settled;
      best.label = KeptLabels(w.label);
      best.energies.clear();
      best.prices.clear();
      for (const UseState& s : w.states) {
        best.energies.push_back(s.energy);
        best.prices.push_back(s.price);
      }
    });
    energy = best.energy;
    best.label.restore(u.label);
    for (size_t k = 0; k < K; ++k) {
      u.states[k].energy = best.energies[k];
      u.states[k].price = best.prices[k];
    }
    u.threads = run.threads;
    if (large) {
      // A large map settles its lowest start alone, each block on every thread: there the rounds
      // lowered each start by 0.2 % at most, less than the starts lie apart, and kept their
      // ranks (three uses at 1000 x 1000 and at 2000 x 2000, attracting and repelling costs),
      // for half the blocks of the run.
      log_message("  rounds from '%s' first, the lowest start\n",
                  uses.uses[best_try % K].name.c_str());
      PackedMap scratch;
      energy = settle(u, best_try % K, energy, scratch, run.rng);
    } else {
      PackedMap scratch;
      energy = settle_exact(u, energy, scratch, run.rng);
    }
    // The blocks leave the islands and holes to here: each use's are tried away once, on the
    // settled map.
    polish_uses(u, run, energy);
    log_message("  polish energy %f\n", energy);
  }
  log_message("  initial %f\n", initial);
  log_message("  final %f\n", energy);
  if (min_cut && !from_start) {
    const double found = priced_bound(u, run, plan, first_prices, bound, energy);
    // No map lies below the bound: one above the final map is a fault in the bound, said rather
    // than hidden by the final energy it is capped at.
    if (found > energy + 1e-6 * std::max(1.0, std::fabs(energy)))
      log_message("! the lower bound found, %f, lies above the final map's energy\n", found);
    bound = std::min(found, energy);
    log_message("  lower bound %f\n", bound);
    log_message("  gap %.3f%%\n", min_cut_gap_percent(energy, bound));
    if (plan.weak) {
      log_message("  (weak: a use's perimeter weight is too light to pay for its drawing costs)\n");
    } else if (plan.attracts) {
      log_message(
          "  (weak: the sides attracting uses could share are paid for by lighter "
          "perimeter weights)\n");
    }
    run.process_lower_bound = bound;
  }
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    log_message("  land use '%s' energy %f cells %" PRId64 "\n", uses.uses[k].name.c_str(),
                u.states[k].energy, u.states[k].cells);
  }
  log_pairs(u);
  run.use_normalisers.clear();
  run.kept_use_inputs.clear();
  for (UseState& s : u.states) {
    run.use_normalisers.push_back(s.normalisers);
    // The driver prices the final map with each use's records, rather than build them again.
    if (run.also_in_memory) run.kept_use_inputs.push_back(s.inputs);
  }
  run.kept_uses_base = run.also_in_memory ? u.base.cells : nullptr;
  MapBlock out = maps_allocate_quiet(run.geometry, 1);
  float* cells = out.map(0);
  for (size_t i = 0; i < n; ++i)
    cells[i] = u.label[i] > 0 ? uses.uses[static_cast<size_t>(u.label[i] - 1)].value : u.base[i];
  char output[CONFIG_TEXT_MAX];
  config_get_text(config, "process.output", output);
  stage_write_handover(run, Handover::process_output, output, out, 0);
}

void log_use_pair(const LandUses& uses, size_t a, size_t b, double sides, double length,
                  double adjacency) {
  log_message("  land uses '%s' and '%s' share %.0f sides (%g map units), adjacency %f\n",
              uses.uses[a].name.c_str(), uses.uses[b].name.c_str(), sides, length, adjacency);
}

UsesEnergy process_uses_map_energy(const Scenario& scenario, const LandUses& uses,
                                   const std::vector<const ProcessInputs*>& inputs,
                                   const GridGeometry& geometry, const std::vector<float>& codes,
                                   const std::vector<Normalisers>& fixed,
                                   std::shared_ptr<const PackedMap> base) {
  UsesRun u{uses, geometry, {}, {}, {}, {}, 1.0, {}, {}};
  if (base != nullptr) {
    // Shared, not copied: the three maps that read it again would be held beside every use's
    // records, the run's peak on a large grid.
    u.base.cells = std::move(base);
  } else {
    MapBlock maps = maps_allocate_quiet(geometry, 3);
    land_uses_base_map(scenario.config, maps);
    u.base.assign(maps.map(0), maps.map(0) + geometry_cell_count(geometry));
  }
  label_cells(u, codes.data());
  UsesEnergy result;
  result.energy = uses_adjacency_energy(u);
  result.pairs = adjacency_pairs(u);
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    Scenario own;
    own.config = uses.uses[k].config;
    own.seed = scenario.seed;
    result.uses.push_back(process_map_energy(own, *inputs[k], PackedMap(uses_block_map(u, k, true)),
                                             uses.uses[k].value,
                                             k < fixed.size() ? fixed[k] : Normalisers()));
    result.energy += result.uses.back().energy;
  }
  return result;
}
