// The two maps the random placement starts from: existing allocations copied from an
// initial-values grid into the solution map (map 0), and the distribution map (map 1) of
// placement weights, 1.0 on the cells the distribution masks mark and falling linearly with the
// chessboard distance to 0.0 on the data cells farthest from every mask.
#pragma once

/// Copies every cell > 0 of the grid file `path` into the solution map, except over no-data cells.
void init_values_apply(const char* path);

/// Builds the distribution map in map 1 from "preprocess.distribution-masks" (map 2 is scratch).
void distribution_map_build();
