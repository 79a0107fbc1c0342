#include "driver/describe.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const ALL = "PREPROCESS PROCESS POSTPROCESS";
const char* const PRE = "PREPROCESS";
const char* const PROC = "PROCESS";
const char* const POST = "POSTPROCESS";
const char* const SWITCH = "yes turns it on; anything else is off (warned unless no)";
const char* const ANNEALING_SWITCH =
    "yes turns it on; anything else is off (warned unless no); the annealing only";
const char* const DISTANCE_SOURCES =
    "may be empty (by min-cut at a distance weight of 0: may be left out)";

const std::vector<PropertyInfo> PROPERTIES = {
    {"maps.potential-maps", "file-groups", "at least one group", nullptr, nullptr, nullptr, nullptr,
     ALL,
     "groups of potential maps: summed with their weights within a group, fused by the cell-wise "
     "maximum, normalised to 0-1; the first file sets the grid"},
    {"maps.potential-maps-weight", "number-groups",
     "finite numbers, the same shape as maps.potential-maps", nullptr, nullptr, nullptr, nullptr,
     "PROCESS POSTPROCESS", "the weight of each potential map"},
    {"maps.exclusion-masks", "files", "may be empty", nullptr, nullptr, nullptr, nullptr, PRE,
     "cells that may never be allocated (water, protected land)"},
    {"preprocess.init-values-map", "file-or-empty", "\"\" for none", nullptr, nullptr, nullptr,
     nullptr, PRE,
     "existing allocations: cells above 0 keep their value; new cells get the largest value + 1"},
    {"preprocess.distribution-masks", "files", "may be empty (uniform placement)", nullptr, nullptr,
     nullptr, nullptr, PRE, "the initial cells are placed preferably near these masks"},
    {"preprocess.convert-area", "number", "0 to 1; absent when preprocess.demand is given", "0",
     "1", nullptr, "null", PRE,
     "the share of the free allocatable cells to allocate (truncated); or give preprocess.demand"},
    {"preprocess.demand.cells", "integer", "1 or more; or give preprocess.demand.area", "1",
     nullptr, nullptr, "null", PRE,
     "the number of new cells to allocate, on top of the initial values' cells"},
    {"preprocess.demand.area", "number", "above 0, with preprocess.demand.unit; a map in metres",
     "0", nullptr, nullptr, "null", PRE,
     "the area of new cells to allocate: the nearest whole number of cells (a half rounds up)"},
    {"preprocess.demand.unit", "word", "m2, ha or km2", nullptr, nullptr, "m2 ha km2", "null", PRE,
     "the unit of preprocess.demand.area"},
    {"land-uses", "land-uses",
     "an array of uses: name, code, demand, and any of potential-maps, "
     "potential-maps-weight, functions-weight, distribution-masks, distance-masks, distance-maps, "
     "existing-codes",
     nullptr, nullptr, nullptr, "null", ALL,
     "several land uses decided together; each use's properties stand in for the shared ones; "
     "--sweep takes a use's demand.cells, demand.area, functions-weight[N] and "
     "potential-maps-weight[N][M] as land-uses[NAME].demand.cells (or land-uses[N]...), also when "
     "the use reads it from the shared property"},
    {"conversions", "code-lists", "an object: use name -> codes of the initial-values map", nullptr,
     nullptr, nullptr, "null", ALL, "the existing codes each land use may take besides free cells"},
    {"adjacency", "number-groups", "a K x K symmetric array, 0 on the diagonal", nullptr, nullptr,
     nullptr, "null", PROC,
     "cost per cell side two land uses share (negative attracts, positive repels), normalised "
     "like the perimeter; --sweep=adjacency[NAME][NAME]=... sets both halves"},
    {"preprocess.debug-maps", "switch", SWITCH, nullptr, nullptr, nullptr, nullptr, PRE,
     "write the PREPROCESS debug map"},
    {"preprocess.output", "output", "a grid file (.asc, .tif, .tiff)", nullptr, nullptr, nullptr,
     nullptr, "PREPROCESS PROCESS", "the initial solution map"},
    {"process.method", "word", "annealing or min-cut", nullptr, nullptr, "annealing min-cut",
     "\"annealing\"", PROC,
     "how PROCESS optimises: simulated annealing, or minimum cuts (which reads no annealing "
     "property)"},
    {"process.portfolio-gap", "number", "0 to 1", "0", "1", nullptr, "0.01", PROC,
     "min-cut with repeats: how far above the best map each run's map may lie (a share of its "
     "energy)"},
    {"process.time-limit", "number", "above 0 (seconds)", nullptr, nullptr, nullptr, "null", PROC,
     "the annealing ends at the end of the stage in which time runs out and writes the best map; "
     "min-cut skips its later searches and polish; --time-limit replaces it"},
    {"process.keep-best", "switch", SWITCH, nullptr, nullptr, nullptr, "\"no\"", PROC,
     "the annealing writes the lowest-energy map of its stage ends instead of the last"},
    {"process.polish", "switch", SWITCH, nullptr, nullptr, nullptr, "\"no\"", PROC,
     "after the annealing, swaps and island and hole tries that lower the full energy"},
    {"process.functions-weight", "numbers", "exactly 5 numbers, each 0 or more", "0", nullptr,
     nullptr, nullptr, PROC,
     "weights of the energy terms: potential, perimeter, islands, nservices, distance"},
    {"process.pinit", "number", "0 to 1; the annealing only", "0", "1", nullptr, nullptr, PROC,
     "autotuning: how often a typical uphill move is accepted at the initial temperature"},
    {"process.tinit", "number", "0 or more; the annealing only", "0", nullptr, nullptr, nullptr,
     PROC, "initial temperature"},
    {"process.tnext", "number", "0 or more, below 1 to cool; the annealing only", "0", nullptr,
     nullptr, nullptr, PROC, "cooling factor applied after every annealing stage"},
    {"process.nmovs", "integer", "0 or more; the annealing only", "0", nullptr, nullptr, nullptr,
     PROC, "moves per annealing stage (manual mode)"},
    {"process.nstages", "integer", "0 or more; the annealing only", "0", nullptr, nullptr, nullptr,
     PROC, "number of annealing stages"},
    {"process.kb", "number", "0 or more; the annealing only", "0", nullptr, nullptr, nullptr, PROC,
     "Boltzmann factor of the manual mode"},
    {"process.random-select", "switch", ANNEALING_SWITCH, nullptr, nullptr, nullptr, nullptr, PROC,
     "yes: a move tries every allocatable cell with equal chance; else cells of high potential "
     "more often"},
    {"process.distance-masks", "files", DISTANCE_SOURCES, nullptr, nullptr, nullptr, nullptr, PROC,
     "the distance term measures the distance to these masks"},
    {"process.distance-maps", "files",
     "not empty when the masks are (but by min-cut at a distance weight of 0: may be left out)",
     nullptr, nullptr, nullptr, nullptr, PROC,
     "read when process.distance-masks is empty: the distance term sums these maps"},
    {"process.debug-maps", "switch", SWITCH, nullptr, nullptr, nullptr, nullptr, PROC,
     "write the four PROCESS debug maps"},
    {"process.debug-evolution", "switch", SWITCH, nullptr, nullptr, nullptr, nullptr, PROC,
     "write the evolution listing of the annealing"},
    {"process.autotunning", "switch", ANNEALING_SWITCH, nullptr, nullptr, nullptr, nullptr, PROC,
     "yes: a dry run derives the Boltzmann factor from pinit and tinit; else kb and nmovs"},
    {"process.output", "output", "a grid file (.asc, .tif, .tiff)", nullptr, nullptr, nullptr,
     nullptr, "PROCESS POSTPROCESS", "the optimised solution map"},
    {"postprocess.select.purge-limit", "integer", "any; 1 or less removes nothing", nullptr,
     nullptr, nullptr, nullptr, POST, "islands with fewer cells are removed"},
    {"postprocess.select.method-distance.distance-masks", "files", "may be empty", nullptr, nullptr,
     nullptr, nullptr, POST,
     "the selection by distance measures the distance, in cells, to these masks"},
    {"postprocess.select.method-distance.distance-maps", "files", "may be empty", nullptr, nullptr,
     nullptr, nullptr, POST, "read when the masks are empty: distances in map units"},
    {"postprocess.select.method-distance.minimum-distance-to-mask", "integer",
     "0 or more; 0 skips the method", "0", nullptr, nullptr, nullptr, POST,
     "an island is chosen when enough of its cells lie within this many cells of a mask"},
    {"postprocess.select.method-distance.minimum-cells-at-distance", "integer",
     "0 or more; 0 skips the method", "0", nullptr, nullptr, nullptr, POST,
     "how many cells within that distance are enough"},
    {"postprocess.select.method-value.accumulated-value", "number", "0 to 1; 0 skips the method",
     "0", "1", nullptr, nullptr, POST,
     "the islands of highest summed potential are chosen until they hold this share"},
    {"postprocess.expand.assign-preference", "word", "random, large or small", nullptr, nullptr,
     "random large small", nullptr, POST, "how the kept islands grow back"},
    {"postprocess.expand.basins-map", "file-or-empty", "\"\" for free growth", nullptr, nullptr,
     nullptr, nullptr, POST, "each island grows only into the basins it occupies"},
    {"postprocess.expand.method", "word", "greedy or min-cut", nullptr, nullptr, "greedy min-cut",
     "null", POST,
     "how the final map is found: the greedy repair of PROCESS's map, or, with PROCESS by "
     "minimum cuts, the lowest map the rules keep, from cuts that keep out what the rules "
     "dropped (absent: min-cut when PROCESS is by minimum cuts, else greedy)"},
    {"postprocess.expand.minimim-cells-in-basin", "integer", "0 or more; 0 closes none", "0",
     nullptr, nullptr, nullptr, POST,
     "basins mode: basins with fewer allocated cells are closed to growth"},
    {"postprocess.debug-maps", "switch", SWITCH, nullptr, nullptr, nullptr, nullptr, POST,
     "write the POSTPROCESS debug maps"},
    {"postprocess.output", "output", "a grid file (.asc, .tif, .tiff)", nullptr, nullptr, nullptr,
     nullptr, POST, "the final solution map"},
    {"postprocess.output-mask", "output", "a grid file (.asc, .tif, .tiff)", nullptr, nullptr,
     nullptr, nullptr, POST, "1 on every allocated cell, no data elsewhere"},
};

std::string quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += *p;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += *p;
    }
  }
  return out + "\"";
}

// The blank-separated words of `text` as a JSON array.
std::string word_array(const char* text) {
  std::string out = "[";
  const char* p = text;
  while (*p != '\0') {
    const size_t length = std::strcspn(p, " ");
    out += (out.size() > 1 ? ", " : "") + quoted(std::string(p, length).c_str());
    p += length;
    while (*p == ' ') ++p;
  }
  return out + "]";
}

}  // namespace

const std::vector<PropertyInfo>& property_table() {
  return PROPERTIES;
}

const PropertyInfo* find_property(const std::string& name) {
  for (const PropertyInfo& p : PROPERTIES) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

std::string describe_json(const std::vector<OptionInfo>& options, const char* version) {
  std::string out =
      "{\n  \"program\": \"landalloc\",\n  \"version\": " + quoted(version) + ",\n  \"options\": [";
  for (size_t i = 0; i < options.size(); ++i) {
    const OptionInfo& o = options[i];
    out += std::string(i == 0 ? "\n" : ",\n") + "    {\"name\": " + quoted(o.name) +
           ", \"argument\": " + (o.argument != nullptr ? quoted(o.argument) : "null") +
           ", \"help\": " + quoted(o.help) + "}";
  }
  out += "\n  ],\n  \"properties\": [";
  for (size_t i = 0; i < PROPERTIES.size(); ++i) {
    const PropertyInfo& p = PROPERTIES[i];
    out += std::string(i == 0 ? "\n" : ",\n") + "    {\"name\": " + quoted(p.name) +
           ", \"type\": " + quoted(p.type) + ", \"accepted\": " + quoted(p.accepted);
    if (p.minimum != nullptr) out += std::string(", \"minimum\": ") + p.minimum;
    if (p.maximum != nullptr) out += std::string(", \"maximum\": ") + p.maximum;
    if (p.words != nullptr) out += ", \"words\": " + word_array(p.words);
    if (p.fallback != nullptr) out += std::string(", \"default\": ") + p.fallback;
    out += ", \"stages\": " + word_array(p.stages) + ", \"help\": " + quoted(p.help) + "}";
  }
  return out + "\n  ]\n}\n";
}
