// The state one PROCESS of several land uses works on, shared by its two methods: the min-cut
// blocks, each use solved by the single-use method against the others (process_uses.cpp), and the
// annealing of every use at once (uses_annealing.cpp). Each use keeps its own records and energy;
// the run holds one label per cell.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "config/config.h"
#include "process/process_run.h"
#include "process/process_stage.h"
#include "raster/packed_map.h"
#include "scenario/land_uses.h"

struct UseState {
  Scenario scenario;  ///< the configuration as the use reads it
  ProcessStageParameters params;
  /// Shared by the copies of the run that try the orders of the blocks on other threads.
  std::shared_ptr<ProcessInputs> inputs = std::make_shared<ProcessInputs>();
  Normalisers normalisers;
  double energy = 0.0;  ///< its own five terms
  int64_t cells = 0;
  // Sorted out once: they depend only on the use's maps and its demand, and every block and
  // evaluation of the use would otherwise sort its maps again.
  ValueBounds bounds;
  /// The price per cell its last min-cut block ended at, where its next one starts.
  double price = std::numeric_limits<double>::quiet_NaN();
};

// Cells that copies of a run share (a vector, or a packed map): filled once, read-only from the
// first copy on.
template <typename Cells>
struct SharedCells {
  std::shared_ptr<const Cells> cells = std::make_shared<Cells>();
  decltype(auto) operator[](size_t i) const { return (*cells)[i]; }
  size_t size() const { return cells->size(); }
  template <typename... Args>
  void assign(Args... args) {
    auto filled = std::make_shared<Cells>();
    filled->assign(args...);
    cells = std::move(filled);
  }
};

// A cell's use: its index + 1, 0 for none. A use takes at least seven tokens of its
// configuration (its object, and its name, code and demand, each a key and a value), so a byte
// holds every use a configuration can name.
using UseLabel = uint8_t;
static_assert(CONFIG_MAX_TOKENS / 7 < std::numeric_limits<UseLabel>::max());
using Labels = std::vector<UseLabel>;

struct UsesRun {
  const LandUses& uses;
  GridGeometry geometry;
  SharedCells<PackedMap> base;   ///< the map before any allocation, packed: a few codes
  Labels label;                  ///< use index + 1 of a new cell, 0 elsewhere
  SharedCells<Labels> existing;  ///< use index + 1 of an existing cell of a use, 0 elsewhere
  std::vector<UseState> states;
  double adjacency_range = 1.0;
  /// When the time limit runs out, on the steady clock of the runs (none without one).
  std::optional<double> deadline;
  /// The cells each use's cuts keep out (RulesCut::use_keep_out).
  std::vector<std::shared_ptr<const std::vector<uint8_t>>> keep_out;
  /// The threads a block's passes over the grid may use: the run's where blocks run one after
  /// the other, 1 where the orders of blocks already run on the threads.
  int32_t threads = 1;
  /// Where steps run at once: the threads their workers left idle once no step was left, and the
  /// workers still running. A block that starts then takes its share of the idle ones.
  struct SpareThreads {
    std::atomic<int32_t> idle{0};
    std::atomic<int32_t> running{0};
  };
  std::shared_ptr<SpareThreads> spare = nullptr;
  /// The run's least grid for bands (tests set it lower, so that small maps' passes run in bands).
  int64_t band_min_cells = BAND_MIN_CELLS;

  size_t cells() const { return base.size(); }
  int32_t block_threads() const {
    if (!spare) return threads;
    return threads + spare->idle.load() / std::max(spare->running.load(), 1);
  }
  // The use a cell belongs to, new or existing, or -1.
  int32_t use_at(size_t i) const { return (label[i] > 0 ? label[i] : existing[i]) - 1; }
};

/// The use-k view of the map: its new cells at its code, the cells it may take free, the rest as
/// they are (other uses' new cells at their codes), so that the single-use method sees only its
/// own cells and the cells they may move to.
std::vector<float> uses_block_map(const UsesRun& u, size_t k, bool others);

/// f(j) for each cell j that shares a side with cell i (plain indices), within the grid.
template <typename F>
inline void uses_for_each_side(const GridGeometry& g, size_t i, F f) {
  const auto ncols = static_cast<size_t>(g.ncols);
  const size_t row = i / ncols;
  const size_t col = i % ncols;
  if (row > 0) f(i - ncols);
  if (row + 1 < static_cast<size_t>(g.nrows)) f(i + ncols);
  if (col > 0) f(i - 1);
  if (col + 1 < ncols) f(i + 1);
}

/// The adjacency term of the whole map: the sides two uses share, at least one of the two cells
/// new, each at its cost.
double uses_adjacency_energy(const UsesRun& u);

/// The weights, normalisers and value bounds of use s, in the energy state of its run p.
void uses_prepare_energy(ProcessRun& p, const UseState& s);

/// The annealing of every use at once from the map the run holds: leaves the labels and the
/// uses' energies at its last stage (or at its best map, with "process.keep-best").
void uses_anneal(UsesRun& u, Run& run);
