// The state of one POSTPROCESS run: the stage's parameters and maps, the working cell value and
// the island labelling that the purge, the selection and the expansion share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "raster/islands.h"
#include "raster/maps.h"
#include "scenario/scenario.h"

/// The maps of the POSTPROCESS stage's block. Each map's memory goes back once no later step reads
/// it: the loaders' scratch after the load, the distance map after the selection, the basins map
/// once the basin of every cell is listed.
constexpr int32_t POSTPROCESS_SOLUTION_MAP = 0;
constexpr int32_t POSTPROCESS_POTENTIAL_MAP = 1;  ///< loaded with scratch 2 and 3
/// The potential map, turned into the growth chances of the cells when the expansion starts: the
/// selection has read the potential for the last time then.
constexpr int32_t POSTPROCESS_PROBABILITY_MAP = 1;
constexpr int32_t POSTPROCESS_DISTANCE_MAP = 3;  ///< in cells; later the selection's debug scratch
constexpr int32_t POSTPROCESS_BASINS_MAP = 4;    ///< also the loaders' scratch before
constexpr int32_t POSTPROCESS_MAPS = 5;

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

  /// A cell of a best-group island, from the selection until the expansion clears the worst group.
  float selected_mark() const { return working_cell_value + 1.0f; }
};

/// Labels the islands of the solution map.
inline int32_t postprocess_label(PostprocessRun& p) {
  return islands_label(p.islands, p.maps, POSTPROCESS_SOLUTION_MAP, p.working_cell_value);
}

/// When the debug maps are on and the run writes files, prints "debug maps" and returns true; they
/// are named after the run's "postprocess.output".
bool postprocess_debug_begin(const PostprocessRun& p);
