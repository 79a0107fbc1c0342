// Loaders that combine the grid files named in the configuration into maps of the stage's block:
// weighted groups of potential maps fused by maximum, masks, the top-fifth marking of the
// nservices map and the distance maps. Each loader overwrites the scratch maps it names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The files of "maps.potential-maps", group by group, after the loaders' checks of its shape
/// (and, when `weighted`, of "maps.potential-maps-weight").
std::vector<std::string> maps_potential_files(bool weighted);

/// Map 0 becomes 0.0 where every potential map holds a value >= 0 and -1.0 elsewhere; returns the
/// number of allocatable cells.
int32_t maps_init_solution();

/// Sets to v every cell of map t that has data and is > 0 in a mask file of the list `path`
/// (each read into map t + 1); returns the number of cells set, once per mask.
int32_t maps_apply_masks(const char* path, int32_t t, float v);

/// maps_apply_masks("maps.exclusion-masks", 0, v).
int32_t maps_apply_exclusion_masks(float v);

/// Map k becomes the normalised fusion of the weighted potential groups (scratch k + 1, k + 2).
void maps_load_potential(int32_t k);

/// Map 3 becomes the normalised nservices map (scratch 4, 5, 6).
void maps_load_nservices();

/// Marks map k's cells with data as 1.0 when among the top fifth, else 0.0 (scratch k + 1);
/// returns the number of top positions.
int32_t map_mark_top_cells(int32_t k);

/// Map 4 becomes 1.0 wherever the potential fusion has data, -1.0 elsewhere (scratch 5, 6).
void maps_init_distance_area();

/// Adds the maps of "process.distance-maps" into map 4 and normalises it (scratch 5).
void maps_load_process_distances();

/// Adds the maps of "postprocess.select.method-distance.distance-maps" into map 3 and takes their
/// mean (scratch 4); returns the number of cell additions.
int32_t maps_load_postprocess_distances();

/// Stops (exit code 1) when the working cell value is a code of the initial-values map at a cell
/// of map 0 that still holds it: map 0 then has no allocation of its own (as a PREPROCESS that
/// placed no cell leaves it), and moving those cells would move existing land uses. Reads that map
/// into `scratch`; does nothing when "preprocess.init-values-map" is absent or empty.
void maps_check_working_value(int32_t scratch);

/// Descending order of two 32-bit floats for qsort: 1 when *b > *a, -1 when *a > *b, else 0.
int compare_desc(const void* a, const void* b);
