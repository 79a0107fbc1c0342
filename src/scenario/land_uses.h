// Several land uses decided together. A configuration with "land-uses" lists them; each use sees
// the whole configuration with its own properties in place of the shared ones (its potential maps
// and weights, its energy weights, its demand, its distribution and distance masks), so that
// every stage reads a use through the same getters as a run of one use. "conversions" says which
// codes of the initial-values map a use may take, and "adjacency" what a side shared by two uses
// costs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "raster/maps.h"
#include "scenario/map_style.h"

struct LandUse {
  std::string name;
  float code = 0.0f;  ///< the value of its new cells in the output maps
  /// The value of its new cells in the maps the stages hand each other in memory: its code, or,
  /// where the code is one of its existing codes (new and old land written alike), a value above
  /// every code, so that new cells stay told apart from old ones until a map is written.
  float value = 0.0f;
  std::vector<float> existing_codes;  ///< initial-values codes that are this use already
  std::vector<float> conversions;     ///< initial-values codes it may take besides free cells
  ConfigDocument config;              ///< the configuration as this use reads it
};

/// The uses of a configuration and their adjacency costs.
struct LandUses {
  std::vector<LandUse> uses;
  /// Cost of one cell side shared by uses a and b, at [a * K + b]: negative draws them together,
  /// positive keeps them apart; symmetric, 0 on the diagonal.
  std::vector<double> adjacency;
  double cost(size_t a, size_t b) const { return adjacency[a * uses.size() + b]; }
};

/// The keys a use's object may hold.
std::vector<std::string> land_use_keys();

/// The shared property that a use's key stands for ("demand": "preprocess.demand"), or "".
std::string land_use_shared_property(const std::string& key);

/// Whether the configuration lists land uses.
bool land_uses_present(const ConfigDocument& config);

/// Reads and checks "land-uses", "conversions" and "adjacency"; a fault ends the run (exit 2 for a
/// value of the wrong type, 1 for a value out of range), naming the property.
LandUses land_uses_read(const ConfigDocument& config);

/// The use whose new cells carry `value` in memory, or -1.
int32_t land_use_of_code(const LandUses& uses, float value);

/// The use whose new cell `value` is, on a map handed over in memory or read from a file, where
/// the map before any allocation holds `base`: a use's code read from a file is a new cell only
/// where that map does not hold it already. -1 for any other cell.
int32_t land_use_of_cell(const LandUses& uses, float value, float base);

/// The values of the maps in memory that files hold as another (Run::written_codes).
std::vector<std::pair<float, float>> land_uses_written_codes(const LandUses& uses);

/// The map before any allocation into map 0 of `maps` (maps 1 and 2 are scratch): no data,
/// excluded cells, the codes of the initial-values map and free cells (0), as PREPROCESS starts.
void land_uses_base_map(const ConfigDocument& config, MapBlock& maps);

/// Whether cell value `v` of the base map is one that `use` may take.
bool land_use_may_take(const LandUse& use, float v);

/// The adjacency term's normaliser: the perimeter range of all new cells together, 4 N - 4
/// ceil(sqrt N) (1 when that is not above 0).
double land_uses_adjacency_range(int64_t new_cells);

/// The labels of the codes of the uses' maps: each use's new code by its name, each of its
/// existing codes as existing land of that use.
std::vector<CodeLabel> land_uses_code_labels(const LandUses& uses);
