#include "preprocess/demand.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "raster/geotiff.h"

namespace {

const struct {
  const char* word;
  DemandUnit unit;
  double square_metres;
} UNITS[] = {
    {"m2", DemandUnit::m2, 1.0}, {"ha", DemandUnit::ha, 1e4}, {"km2", DemandUnit::km2, 1e6}};

double square_metres(DemandUnit unit) {
  for (const auto& u : UNITS) {
    if (u.unit == unit) return u.square_metres;
  }
  return 0.0;
}

const char* unit_word(DemandUnit unit) {
  for (const auto& u : UNITS) {
    if (u.unit == unit) return u.word;
  }
  return "cells";
}

bool in_metres(const GridGeometry& geometry) {
  return gdal_crs_unit(geometry.crs).metres == 1.0;
}

// Beyond this a count is no longer exact in a double, and no grid holds that many cells.
constexpr double CELLS_MAX = 9007199254740992.0;  // 2^53

}  // namespace

std::optional<Demand> demand_read(const ConfigDocument& config, const std::string& path) {
  const int32_t token = config_find(config, 0, path.c_str());
  if (token < 0) return std::nullopt;
  if (!config_token_is(config, token, CONFIG_OBJECT)) {
    fatal(2, "error: incorrect type for property '%s' (json object expected)!\n", path.c_str());
  }
  const std::string cells = path + ".cells", area = path + ".area", unit = path + ".unit";
  const bool has_cells = config_find(config, 0, cells.c_str()) >= 0;
  const bool has_area = config_find(config, 0, area.c_str()) >= 0;
  if (has_cells == has_area) {
    fatal(2, "error: property '%s' takes one of 'cells' and 'area'!\n", path.c_str());
  }
  Demand demand;
  demand.path = path;
  if (has_cells) {
    if (config_find(config, 0, unit.c_str()) >= 0) {
      fatal(2, "error: property '%s' takes 'unit' only with 'area'!\n", path.c_str());
    }
    demand.amount = config_get_number(config, cells.c_str());
    if (!(demand.amount >= 1.0 && demand.amount <= CELLS_MAX &&
          demand.amount == std::trunc(demand.amount))) {
      config_out_of_range(1, "error: property 'cells' out of range!\n", "property '" + cells + "'",
                          demand.amount, "a whole number from 1");
    }
    return demand;
  }
  demand.amount = config_get_number(config, area.c_str());
  if (!(demand.amount > 0.0 && std::isfinite(demand.amount))) {
    config_out_of_range(1, "error: property 'area' out of range!\n", "property '" + area + "'",
                        demand.amount, "above 0");
  }
  char text[CONFIG_TEXT_MAX];
  config_get_text(config, unit.c_str(), text);
  for (const auto& u : UNITS) {
    if (std::strcmp(text, u.word) == 0) demand.unit = u.unit;
  }
  if (demand.unit == DemandUnit::cells) {
    log_message("error: property 'unit' out of range!\n");
    fatal(1, "  property '%s' is '%s', accepted values are 'm2', 'ha', 'km2'\n", unit.c_str(),
          text);
  }
  return demand;
}

int64_t demand_cells(const Demand& demand, const GridGeometry& geometry, int64_t available,
                     const std::string& use) {
  double cells = demand.amount;
  if (demand.unit != DemandUnit::cells) {
    const CrsUnit units = gdal_crs_unit(geometry.crs);
    if (units.metres != 1.0) {
      const std::string named =
          units.name.empty()
              ? "unknown (no coordinate system read with '" + geometry.source + "')"
              : "'" + units.name + "'" + (units.metres == 0.0 ? " (not projected)" : "");
      log_message(
          "error: an area in '%s' needs a projected map in metres; the map's units are "
          "%s!\n",
          demand.path.c_str(), named.c_str());
      if (units.name.empty()) {
        fatal(1,
              "  to fix it: put a .prj file with the grid's coordinate system (in metres) beside "
              "'%s', or use a GeoTIFF that holds its system, or give the demand in cells "
              "({\"cells\": n})\n",
              geometry.source.c_str());
      }
      fatal(1,
            "  to fix it: reproject the maps to a coordinate system in metres (such as a UTM "
            "zone), or give the demand in cells ({\"cells\": n})\n");
    }
    const double cell_area = geometry.cellsize * geometry.cellsize;
    cells = std::floor(demand.amount * square_metres(demand.unit) / cell_area + 0.5);
    if (cells < 1.0) {
      fatal(1, "error: an area of %g %s in '%s' is less than half a cell of %g m2!\n",
            demand.amount, unit_word(demand.unit), demand.path.c_str(), cell_area);
    }
    if (!(cells <= CELLS_MAX)) cells = CELLS_MAX;
  }
  const int64_t count = static_cast<int64_t>(cells);
  if (count > available) {
    const std::string asked = demand_area_text(count, geometry, demand.unit);
    const std::string free = demand_area_text(available, geometry, demand.unit);
    fatal(1,
          "error: demand of %" PRId64 " cells%s for %s exceeds the %" PRId64
          " free allocatable cells%s!\n",
          count, asked.empty() ? "" : (" (" + asked + ")").c_str(), use.c_str(), available,
          free.empty() ? "" : (" (" + free + ")").c_str());
  }
  return count;
}

std::string demand_area_text(int64_t cells, const GridGeometry& geometry, DemandUnit unit) {
  if (!in_metres(geometry)) return "";
  if (unit == DemandUnit::cells) unit = DemandUnit::ha;
  char text[64];
  std::snprintf(text, sizeof text, "%g %s",
                double(cells) * geometry.cellsize * geometry.cellsize / square_metres(unit),
                unit_word(unit));
  return text;
}

void demand_echo(const Demand& demand, int64_t cells, const GridGeometry& geometry) {
  const std::string area = demand_area_text(cells, geometry, demand.unit);
  const std::string placed = area.empty() ? "" : " (" + area + ")";
  if (demand.unit == DemandUnit::cells) {
    log_message("  demand %" PRId64 " cells%s\n", cells, placed.c_str());
  } else {
    log_message("  demand %g %s: %" PRId64 " cells%s\n", demand.amount, unit_word(demand.unit),
                cells, placed.c_str());
  }
}
