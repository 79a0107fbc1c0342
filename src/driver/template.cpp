#include "driver/template.h"

namespace {

// The example's maps as seen from the project's folder, so that the template runs as written
// there; outputs go to the current folder, which always exists.
const char* const USES = R"(  "land-uses": [
    {"name": "housing", "code": 10, "demand": {"cells": 900},
     "potential-maps": [["examples/demo/maps/terrain_suitability.asc",
                         "examples/demo/maps/soil_quality.asc"]],
     "potential-maps-weight": [[0.6, 0.4]],
     "distance-masks": ["examples/demo/maps/settlements.asc"],
     "existing-codes": [1]},
    {"name": "industry", "code": 20, "demand": {"cells": 500},
     "potential-maps": [["examples/demo/maps/road_access.asc",
                         "examples/demo/maps/terrain_suitability.asc"]],
     "potential-maps-weight": [[0.8, 0.2]],
     "distance-masks": ["examples/demo/maps/roads.asc"]}
  ],
  "adjacency": [[0, 1], [1, 0]],
  "conversions": {"industry": [3]},
)";

const char* const MAPS = R"(  "maps": {
    "potential-maps": [["examples/demo/maps/terrain_suitability.asc",
                        "examples/demo/maps/soil_quality.asc"]],
    "potential-maps-weight": [[0.6, 0.4]],
    "exclusion-masks": ["examples/demo/maps/water.asc"]
  },
  "preprocess": {
)";

// Several uses give their demands in "land-uses".
const char* const DEMAND = R"(    "demand": {"cells": 1500},
)";

const char* const STAGES = R"(    "init-values-map": "examples/demo/maps/settlements.asc",
    "distribution-masks": [],
    "output": "plan_initial.asc",
    "debug-maps": "no"
  },
  "process": {
    "distance-masks": ["examples/demo/maps/settlements.asc"],
    "distance-maps": [],
    "output": "plan_optimised.asc",
    "method": "min-cut",
    "functions-weight": [1, 1, 1, 0.5, 1],
    "debug-maps": "no",
    "debug-evolution": "no"
  },
  "postprocess": {
    "output": "plan.asc",
    "output-mask": "plan_mask.asc",
    "select": {
      "method-distance": {
        "distance-masks": ["examples/demo/maps/settlements.asc"],
        "distance-maps": [],
        "minimum-distance-to-mask": 15,
        "minimum-cells-at-distance": 5
      },
      "purge-limit": 12,
      "method-value": {"accumulated-value": 0.95}
    },
    "expand": {
      "basins-map": "",
      "assign-preference": "large",
      "minimim-cells-in-basin": 0
    },
    "debug-maps": "no"
  }
}
)";

const char* const CHANGE_INPUTS =
    "  maps.potential-maps and -weight  your suitability grids (all of one grid) and their "
    "weights\n"
    "  maps.exclusion-masks             cells never to allocate (water, protected land)\n"
    "  preprocess.init-values-map       existing allocations, or \"\" for none\n";

const char* const CHANGE_OUTPUTS =
    "  process.distance-masks           the new cells keep close to these (or set the 5th\n"
    "                                   functions-weight to 0 and leave both arrays empty)\n"
    "  postprocess...distance-masks     islands near these are kept\n"
    "  */output, postprocess.output-mask  where the maps are written\n";

}  // namespace

bool template_known(const std::string& kind) {
  return kind.empty() || kind == "uses";
}

std::string template_json(const std::string& kind) {
  const bool uses = kind == "uses";
  return std::string("{\n") + (uses ? USES : "") + MAPS + (uses ? "" : DEMAND) + STAGES;
}

std::string template_guide(const std::string& kind) {
  const bool uses = kind == "uses";
  std::string guide = uses ? "a configuration for several land uses by minimum cuts, on the "
                             "bundled example's maps; change first:\n"
                           : "a configuration for one land use by minimum cuts, on the bundled "
                             "example's maps; change first:\n";
  if (uses) {
    guide +=
        "  land-uses                        one object per use: name, code of its new cells,\n"
        "                                   demand, its own potential maps and distance masks\n"
        "  adjacency, conversions           how uses attract or repel; which codes they take\n";
  }
  guide += CHANGE_INPUTS;
  if (!uses) {
    guide +=
        "  preprocess.demand                {\"cells\": n}, or {\"area\": a, \"unit\": \"ha\"} on "
        "grids in metres\n";
  }
  guide += CHANGE_OUTPUTS;
  guide +=
      "then: landalloc --check FILE (checks every grid, writes nothing), "
      "landalloc --seed=1 FILE\n";
  return guide;
}
