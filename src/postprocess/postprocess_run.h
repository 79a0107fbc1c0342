// The state of one POSTPROCESS run: the stage's parameters and maps, the working cell value and
// the island labelling that the purge, the selection and the expansion share.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "raster/islands.h"
#include "raster/maps.h"
#include "scenario/scenario.h"

/// The maps of the POSTPROCESS stage's block. Each map's memory goes back once no later step reads
/// it: the loaders' scratch after the load, the distance map after the selection, the basins map
/// once the basin of every cell is listed. A run that shares the potential and distance maps never
/// writes maps 1 and 3, which then cost no memory.
constexpr int32_t POSTPROCESS_SOLUTION_MAP = 0;
constexpr int32_t POSTPROCESS_POTENTIAL_MAP = 1;  ///< loaded with scratch 2 and 3
/// The potential map as the expansion reads it: the growth chance of a cell grown in the expansion
/// (a cell allocated when it began has the chance 1.0).
constexpr int32_t POSTPROCESS_PROBABILITY_MAP = 1;
constexpr int32_t POSTPROCESS_SCRATCH_MAP = 2;   ///< the debug maps' working space
constexpr int32_t POSTPROCESS_DISTANCE_MAP = 3;  ///< in cells
constexpr int32_t POSTPROCESS_BASINS_MAP = 4;    ///< also the loaders' scratch before
constexpr int32_t POSTPROCESS_MAPS = 5;
// The debug maps are written through the scratch map while the others are still read.
static_assert(POSTPROCESS_SCRATCH_MAP != POSTPROCESS_SOLUTION_MAP &&
                  POSTPROCESS_SCRATCH_MAP != POSTPROCESS_POTENTIAL_MAP &&
                  POSTPROCESS_SCRATCH_MAP != POSTPROCESS_DISTANCE_MAP &&
                  POSTPROCESS_SCRATCH_MAP != POSTPROCESS_BASINS_MAP,
              "the scratch map must be a map of its own");

/// The debug maps: the output's name with these suffixes, listed in the order they are written
/// (the basins map only in the basins mode).
constexpr const char* POSTPROCESS_DEBUG_POTENTIAL = ".debug.map-1.asc";
constexpr const char* POSTPROCESS_DEBUG_DISTANCE = ".debug.map-3.asc";
constexpr const char* POSTPROCESS_DEBUG_PURGED = ".debug.purged.asc";
constexpr const char* POSTPROCESS_DEBUG_SELECTED = ".debug.selected.asc";
constexpr const char* POSTPROCESS_DEBUG_SELECTION = ".debug.selection.asc";
constexpr const char* POSTPROCESS_DEBUG_SELECTION_MASK = ".debug.selection-mask.asc";
constexpr const char* POSTPROCESS_DEBUG_PROBABILITY = ".debug.map-2.asc";
constexpr const char* POSTPROCESS_DEBUG_BASINS = ".debug.map-4.asc";

/// The basin of every cell, -1 for a cell that never takes part: 2 bytes a cell while the basins
/// (their columns in the graph, the error basin's among them) are fewer than 65535, as those of a
/// region's map are, 4 beyond; it is held beside every map of the stage.
class CellBasins {
 public:
  /// Empties the list and makes room for n cells of basins below `columns`.
  void reset(size_t n, int32_t columns) {
    std::vector<uint16_t>().swap(narrow_);
    std::vector<int32_t>().swap(wide_);
    wide_list_ = columns >= NONE;
    if (wide_list_) {
      wide_.reserve(n);
    } else {
      narrow_.reserve(n);
    }
  }
  void push_back(int32_t basin) {
    if (wide_list_) {
      wide_.push_back(basin);
    } else {
      narrow_.push_back(basin < 0 ? NONE : static_cast<uint16_t>(basin));
    }
  }
  int32_t operator[](size_t i) const {
    if (wide_list_) return wide_[i];
    return narrow_[i] == NONE ? -1 : narrow_[i];
  }

 private:
  static constexpr uint16_t NONE = 0xffff;
  bool wide_list_ = false;
  std::vector<uint16_t> narrow_;
  std::vector<int32_t> wide_;
};

/// Whether a cell at distance d counts for the selection by distance: within `limit`, above 0.
inline bool within_distance(float d, float limit) {
  return d > 0.0f && d <= limit;
}

/// The read-only maps that the POSTPROCESS runs of a scenario share instead of loading each.
/// The potential is read in place from larger per-cell records with a border round the grid. The
/// distance map depends on the configuration and on which cells of the solution map have no data:
/// the first run that needs it builds it for its layout, a later run with the same layout takes it
/// and one with another layout builds its own.
struct PostprocessInputs {
  const unsigned char* potential = nullptr;  ///< the potential of cell (0, 0), a float
  size_t potential_step = 0;                 ///< bytes from a cell to the next along a row
  size_t potential_row_step = 0;             ///< bytes from a row to the next
  std::string potential_log;                 ///< what loading the potential printed

  std::mutex lock;  ///< guards the rest
  SharedStep distance_build;
  std::vector<bool> distance_nodata;  ///< the no-data layout it was built for
  std::vector<float> distance;        ///< in cells, when the runs write debug maps
  /// Otherwise, per cell, whether it counts for the selection by distance (within its distance,
  /// above 0): a bit where the map takes 4 bytes beside every map of the stage.
  std::vector<bool> near;

  /// The basin of every cell, listed once from the basins map for the cells that are free or
  /// allocated in the first run's solution map (a run with other such cells lists its own).
  SharedStep basins_read;           ///< the reading of the basins map
  SharedStep basins_list;           ///< the listing, printed where a run lists its basins
  std::vector<bool> basins_layout;  ///< per cell: free or allocated
  CellBasins cell_basin;
  int32_t basin_columns = 0;

  float potential_at(size_t row, size_t col) const {
    float value;
    std::memcpy(&value, potential + row * potential_row_step + col * potential_step, sizeof value);
    return value;
  }
};

/// How a growing cell's acceptance value is formed.
enum class AssignPreference {
  random,  ///< the probability-map value of the growing cell
  large,   ///< its island's size over the largest size
  small,   ///< one minus that quotient
};

/// Everything the stage reads from the configuration, checked.
struct PostprocessParameters {
  std::string input;  ///< "process.output", the map to purge, select and regrow
  std::vector<std::string> distance_masks;
  std::vector<std::string> distance_maps;  ///< read only when there is no distance mask
  bool debug_maps = false;
  int32_t purge_limit = 0;
  int32_t min_distance = 0;  ///< "minimum-distance-to-mask"
  int32_t min_cells = 0;     ///< "minimum-cells-at-distance"
  float accumulated_value = 0.0f;
  std::string basins_map;          ///< empty: basic mode
  int32_t min_cells_in_basin = 0;  ///< read in the basins filling mode only
  AssignPreference preference = AssignPreference::random;
  /// "postprocess.expand.method" is "min-cut" (by default when PROCESS is by minimum cuts): the
  /// run cuts again, keeping out what the rules dropped, and keeps the lowest map the rules keep,
  /// rather than the greedy repair of the plain cut's map alone.
  bool expand_min_cut = false;
  std::string output;
  std::string output_mask;
};

struct PostprocessRun {
  PostprocessRun(const Scenario& s, Run& r) : scenario(s), run(r) {}
  PostprocessRun(const PostprocessRun&) = delete;
  PostprocessRun& operator=(const PostprocessRun&) = delete;

  const Scenario& scenario;
  Run& run;  ///< its generator draws the growth
  PostprocessParameters params;
  std::string debug_prefix;  ///< the output name this run's debug maps are named after; empty: none
  MapBlock maps;
  float working_cell_value = 0.0f;
  IslandState islands;
  /// The maps shared with the other runs of the scenario; nullptr: the run loads its own.
  PostprocessInputs* shared = nullptr;
  /// The shared distance map when the run takes it (until the selection ends); nullptr: map 3.
  const float* distance = nullptr;
  /// Whether the expansion takes the basin list of `shared` instead of listing its own.
  bool shared_basins = false;
  /// Per cell, whether it was not free when the expansion began (empty before): such a cell grows
  /// with the chance 1.0.
  std::vector<bool> taken;

  /// A cell of a best-group island, from the selection until the expansion clears the worst group.
  float selected_mark() const {
    // Past 2^24 a float has no room for value + 1: the next float above keeps the mark apart.
    const float mark = working_cell_value + 1.0f;
    return mark > working_cell_value ? mark : std::nextafter(working_cell_value, INFINITY);
  }

  /// The shared bits of `PostprocessInputs::near` when the run takes them; nullptr: the map.
  const std::vector<bool>* near = nullptr;

  const float* distance_map() const {
    return distance != nullptr ? distance : maps.map(POSTPROCESS_DISTANCE_MAP);
  }

  /// Whether cell i counts for the selection by distance: within `limit` cells, above 0.
  bool near_mask(size_t i, float limit) const {
    if (near != nullptr) return (*near)[i];
    return within_distance(distance_map()[i], limit);
  }

  /// The potential of cell i.
  float potential(size_t i) const {
    if (shared == nullptr) return maps.map(POSTPROCESS_POTENTIAL_MAP)[i];
    const size_t ncols = static_cast<size_t>(maps.geometry.ncols);
    return shared->potential_at(i / ncols, i % ncols);
  }

  /// The growth chance of cell i: its potential, 1.0 for a cell with data that was taken when the
  /// expansion began.
  float growth_chance(size_t i) const {
    const float value = potential(i);
    return value != CELL_NODATA && i < taken.size() && taken[i] ? 1.0f : value;
  }
};

/// Labels the islands of the solution map.
inline int32_t postprocess_label(PostprocessRun& p) {
  return islands_label(p.islands, p.maps, POSTPROCESS_SOLUTION_MAP, p.working_cell_value);
}

/// When the debug maps are on and the run writes files, prints "debug maps" and returns true; they
/// are named after the run's "postprocess.output".
bool postprocess_debug_begin(const PostprocessRun& p);
