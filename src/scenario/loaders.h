// Loaders that combine the grid files named in the configuration into maps of a stage's block:
// the geometry from the first potential map, weighted groups of potential maps fused by maximum,
// masks, the top-fifth marking of the nservices map and the distance maps. Each loader overwrites
// the scratch maps it names.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "config/config.h"
#include "raster/geometry.h"
#include "raster/maps.h"

/// The files of "maps.potential-maps", group by group, after the loaders' checks of its shape
/// (and, when `weighted`, of "maps.potential-maps-weight").
std::vector<std::string> maps_potential_files(const ConfigDocument& config, bool weighted);

/// Sets `geometry` from the first file of the first group of "maps.potential-maps" (prints
/// "* init geo using" every time unless `quiet`, reads only while the geometry is unset).
void maps_init_geometry(const ConfigDocument& config, GridGeometry& geometry, bool quiet = false);

/// Map 0 becomes 0.0 where every potential map holds a value >= 0 and -1.0 elsewhere; returns the
/// number of allocatable cells.
int64_t maps_init_solution(const ConfigDocument& config, MapBlock& maps);

/// Sets to v every cell of map t that has data and is > 0 in a mask file of the list `path`
/// (each read into map t + 1); returns the number of cells set, once per mask.
int64_t maps_apply_masks(const ConfigDocument& config, MapBlock& maps, const char* path, int32_t t,
                         float v);

/// Map k becomes the normalised fusion of the weighted potential groups (scratch k + 1, k + 2).
void maps_load_potential(const ConfigDocument& config, MapBlock& maps, int32_t k);

/// Map k becomes the normalised nservices map (scratch k + 1, k + 2).
void maps_load_nservices(const ConfigDocument& config, MapBlock& maps, int32_t k);

/// Marks map k's cells with data as 1.0 when among the top fifth, else 0.0; returns the number
/// of top positions.
int64_t map_mark_top_cells(MapBlock& maps, int32_t k);

/// Adds the maps of "process.distance-maps" into map k and normalises it (scratch k + 1); returns
/// the sum that became 1 (1 when no sum is above 0), which turns the normalised map back into map
/// units.
double maps_load_process_distances(const ConfigDocument& config, MapBlock& maps, int32_t k);

/// Adds the maps of "postprocess.select.method-distance.distance-maps" into map k and takes their
/// mean (scratch k + 1); returns the number of cell additions.
int64_t maps_load_postprocess_distances(const ConfigDocument& config, MapBlock& maps, int32_t k);

/// The cells of the initial-values map that hold one value, found once for the runs of a scenario
/// that check the same working cell value (it is the same in every run that PREPROCESS started),
/// so that each run does not read the map again.
struct WorkingValueCells {
  std::mutex lock;  ///< guards the rest
  SharedStep read;  ///< the reading of the map
  float value = 0.0f;
  std::vector<size_t> cells;  ///< ascending
};

/// Stops (exit code 1) when the working cell value `value` is a code of the initial-values map at
/// a cell of map 0 that still holds it: map 0 then has no allocation of its own (as a PREPROCESS
/// that placed no cell leaves it), and moving those cells would move existing land uses. Reads that
/// map into `scratch` (into a map of its own when the block has no map of that number), or takes
/// the cells of `shared` when it knows them for `value` (the first check of that value fills it);
/// does nothing when "preprocess.init-values-map" is absent or empty.
void maps_check_working_value(const ConfigDocument& config, MapBlock& maps, float value,
                              int32_t scratch, WorkingValueCells* shared = nullptr);

/// Copies every cell > 0 of the grid file `path` into the solution map (map 0, read through map
/// 1), except over no-data cells.
void init_values_apply(MapBlock& maps, const char* path);
