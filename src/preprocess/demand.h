// The amount of land a use asks for: a number of new cells, or an area that becomes cells on a
// projected map in metres. It is read from any object of the configuration (the single use's
// "preprocess.demand", or one use's among several), and resolved against the grid and the free
// allocatable cells before anything is placed, so that a demand that cannot be met stops the run
// before any file is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/config.h"
#include "raster/geometry.h"

/// What a demand is given in.
enum class DemandUnit { cells, m2, ha, km2 };

/// A demand as the configuration gives it.
struct Demand {
  std::string path;  ///< the property it was read from, named by its messages
  DemandUnit unit = DemandUnit::cells;
  double amount = 0.0;  ///< cells, or the area in `unit`
};

/// Reads the object at `path`, {"cells": n} or {"area": a, "unit": "m2" | "ha" | "km2"}; nullopt
/// when the property is absent. A wrong shape ends the run with exit code 2, a value out of range
/// (cells not a whole number from 1, an area not above 0, another unit) with exit code 1.
std::optional<Demand> demand_read(const ConfigDocument& config, const std::string& path);

/// The number of new cells `demand` stands for, checked against the `available` free allocatable
/// cells of `use` (a phrase: "the allocation", "land use 'housing'"). An area becomes the nearest
/// whole number of cells (a half rounds up). Exit code 1 when an area is given on a map whose
/// units are not metres or unknown, when it rounds to no cell, or when the cells do not fit.
int64_t demand_cells(const Demand& demand, const GridGeometry& geometry, int64_t available,
                     const std::string& use);

/// `cells` as an area in `unit` on `geometry` ("350.01 ha"), in hectares for a demand in cells;
/// empty when the map is not in metres.
std::string demand_area_text(int64_t cells, const GridGeometry& geometry, DemandUnit unit);

/// The line PREPROCESS prints for the demand: "  demand 350 ha: 3889 cells (350.01 ha)\n", or for
/// cells "  demand 2000 cells (180 ha)\n" (the area only on a map in metres).
void demand_echo(const Demand& demand, int64_t cells, const GridGeometry& geometry);
