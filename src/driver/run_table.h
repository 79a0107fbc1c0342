// The runs table: one row per run of a configuration file (one row for a single run), with the
// energy by which runs compare and the measures a planner reads off the final map in map units
// (area, perimeter, holes, mean potential and distance of the allocated cells). Callers read the
// columns by name; new columns only ever go after the old ones.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process/process_run.h"
#include "process/process_stage.h"
#include "raster/geometry.h"
#include "raster/packed_map.h"
#include "scenario/land_uses.h"
#include "scenario/scenario.h"

/// What a planner reads off a run's final map beyond the energy's cells and islands.
struct RunMeasures {
  double area = 0.0;       ///< of the allocated cells, in map units squared
  bool metres = false;     ///< the map's units are metres, so the area also reads in hectares
  double perimeter = 0.0;  ///< between allocated and other cells, in map units
  int64_t holes = 0;       ///< groups of other cells that the allocated cells enclose
  int64_t hole_cells = 0;
  double mean_potential = 0.0;  ///< of the allocated cells, on the fused potential's 0-1 scale
  double mean_distance = 0.0;   ///< of the allocated cells to the distance masks, in map units
};

/// The measures of `map`, whose allocated cells hold `value`, on `geometry` with the cell values
/// of `inputs` (cells without a potential count in no mean).
RunMeasures run_measures(const GridGeometry& geometry, const ProcessInputs& inputs,
                         const PackedMap& map, float value);

/// Whether a coordinate system is projected in metres.
bool crs_in_metres(const std::string& crs);

/// A land use's columns of a row, when several uses are decided together.
struct UseColumns {
  std::string name;
  MapEnergy energy;  ///< its own five terms, and its new cells and their islands
  RunMeasures measures;
};

/// Two uses' shared sides in a final map, where at least one of the two cells is new, their
/// length in map units and the adjacency term's part from them (NaN: not priced).
struct PairColumns {
  double sides = std::nan("");
  double length = std::nan("");
  double adjacency = std::nan("");
};

/// The columns of the land uses `uses` (each use's group, then each pair's), each after a comma.
std::string runs_table_use_header(const std::vector<std::string>& uses);

/// The fields of those columns for a row's `uses` and `pairs`, each after a comma.
std::string runs_table_use_fields(const std::vector<UseColumns>& uses,
                                  const std::vector<PairColumns>& pairs);

/// One row of the table. With several land uses, `energy` holds E and the cells and islands of all
/// new cells, `measures` the shape of all new cells (no means: each use has its own potential),
/// and each use adds its group of columns.
struct RunRow {
  int32_t run = 0;
  uint64_t seed = 0;
  MapEnergy energy;
  double seconds = 0.0;
  bool best = false;
  std::optional<double> lower_bound;
  RunMeasures measures;
  std::vector<UseColumns> uses;
  std::vector<PairColumns> pairs;  ///< every pair of uses a < b, a first then b
};

/// The table's text: the header, then the rows in the order given (the columns of the first row's
/// land uses, if any, after the others).
std::string runs_table_text(const std::vector<RunRow>& rows);

/// The row of a final map of several land uses (its run, seed and time left unset): E, the cells
/// and islands of all new cells and their shape (no means), then each use's own terms and the
/// measures of its new cells. Each use is priced on its PROCESS records in `inputs` with its
/// normalisers in `fixed` (where `fixed` has none, the map fixes them); energies are NaN when a
/// use has no records.
RunRow runs_table_uses_row(const Scenario& scenario, const LandUses& uses,
                           const std::vector<const ProcessInputs*>& inputs,
                           const GridGeometry& geometry, const PackedMap& map,
                           const std::vector<Normalisers>& fixed,
                           std::shared_ptr<const PackedMap> base = nullptr);

/// Writes the table to `path` (fatal when it cannot be written) after its "* write" line.
void write_runs_table(const std::vector<RunRow>& rows, const std::string& path);

/// The table of many runs, written as they are reported: each row waits in a scratch file, and the
/// table is made from it once the best run is known, so that the memory it takes does not grow
/// with the runs.
struct RunsTableStream {
  std::string path;
  std::unique_ptr<FILE, int (*)(FILE*)> scratch{nullptr, &std::fclose};
  int64_t rows = 0;
  bool bounded = false;           ///< some row has a lower bound: every row has its columns
  std::vector<std::string> uses;  ///< the first row's land uses, which name the last columns
};

/// Starts the table at `path`, with no row; fatal when no scratch file can be made.
void runs_table_begin(RunsTableStream& table, const std::string& path);

/// Adds `row` after the rows added before (its best flag is given at the end).
void runs_table_add(RunsTableStream& table, const RunRow& row);

/// Writes the table, byte for byte what write_runs_table writes of the same rows with row `best`
/// (counted from 0 in the order added) the best, to its path after its "* write" line; fatal when
/// it cannot be written.
void runs_table_finish(RunsTableStream& table, int64_t best);
