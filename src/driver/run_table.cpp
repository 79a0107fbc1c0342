#include "driver/run_table.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/log.h"
#include "base/output_file.h"
#include "process/min_cut.h"
#include "process/process_uses.h"
#include "raster/shape_measures.h"

namespace {

// A value the row does not have (NaN) is an empty field.
std::string format(const char* pattern, double value) {
  if (std::isnan(value)) return ",";
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string measure_fields(const RunMeasures& m) {
  return format(",%.10g", m.area) + (m.metres ? format(",%.10g", m.area / 10000.0) : ",") +
         format(",%.10g", m.perimeter) + format(",%.0f", static_cast<double>(m.holes)) +
         format(",%.0f", static_cast<double>(m.hole_cells)) + format(",%.10g", m.mean_potential) +
         format(",%.10g", m.mean_distance);
}

std::vector<std::string> use_names(const RunRow& row) {
  std::vector<std::string> names;
  for (const UseColumns& use : row.uses) names.push_back(use.name);
  return names;
}

std::string runs_table_header(bool bounded, const std::vector<std::string>& uses) {
  // The min-cut PROCESS adds its bound, and the gap of each run's final energy to it.
  std::string text = "run,seed,energy,f1,f2,f3,f4,f5,cells,islands,seconds,best";
  if (bounded) text += ",lower_bound,gap_percent";
  text += ",area,hectares,perimeter,holes,hole_cells,mean_potential,mean_distance";
  return text + runs_table_use_header(uses) + "\n";
}

std::string runs_table_row(const RunRow& r, bool bounded, bool best) {
  const MapEnergy& e = r.energy;
  // Energies to the last bit, so that the table orders the runs as they were compared; several
  // uses have no five terms of their own.
  char line[512];
  std::string terms;
  for (const double t : e.terms) {
    std::snprintf(line, sizeof line, ",%.17g", t);
    terms += r.uses.empty() ? line : ",";
  }
  std::snprintf(line, sizeof line, "%d,%llu,%.17g", r.run, static_cast<unsigned long long>(r.seed),
                e.energy);
  std::string text = line + terms;
  std::snprintf(line, sizeof line, ",%" PRId64 ",%d,%.3f,%s", e.cells, e.islands, r.seconds,
                best ? "yes" : "no");
  text += line;
  if (bounded && r.lower_bound) {
    text += format(",%.17g", *r.lower_bound) +
            format(",%.3f", min_cut_gap_percent(e.energy, *r.lower_bound));
  } else if (bounded) {
    text += ",,";
  }
  text += measure_fields(r.measures);
  return text + runs_table_use_fields(r.uses, r.pairs) + "\n";
}

// The rows wait in the scratch file as if some run had a bound and none were best: the bound's
// two fields, empty, follow the best field, which holds "no". Its column is the twelfth, after
// numbers only, so the eleventh comma of a row finds it.
constexpr int BEST_COLUMN = 11;

}  // namespace

std::string runs_table_use_header(const std::vector<std::string>& uses) {
  std::string text;
  for (const std::string& use : uses) {
    for (const char* column :
         {"cells", "islands", "energy", "f1", "f2", "f3", "f4", "f5", "area", "hectares",
          "perimeter", "holes", "hole_cells", "mean_potential", "mean_distance"})
      text += "," + use + "." + column;
  }
  for (size_t a = 0; a < uses.size(); ++a) {
    for (size_t b = a + 1; b < uses.size(); ++b) {
      for (const char* column : {"shared_sides", "shared_length", "adjacency"})
        text += "," + uses[a] + "-" + uses[b] + "." + column;
    }
  }
  return text;
}

std::string runs_table_use_fields(const std::vector<UseColumns>& uses,
                                  const std::vector<PairColumns>& pairs) {
  std::string text;
  for (const UseColumns& u : uses) {
    text += format(",%.0f", static_cast<double>(u.energy.cells)) +
            format(",%.0f", u.energy.islands) + format(",%.17g", u.energy.energy);
    for (const double t : u.energy.terms) text += format(",%.17g", t);
    text += measure_fields(u.measures);
  }
  for (const PairColumns& p : pairs)
    text += format(",%.0f", p.sides) + format(",%.17g", p.length) + format(",%.17g", p.adjacency);
  return text;
}

bool crs_in_metres(const std::string& crs) {
  std::string text(crs.size(), ' ');
  std::transform(crs.begin(), crs.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // A projected system in metres names its unit; a geographic one, in degrees, is not projected.
  const bool projected = text.find("projcs") != std::string::npos ||
                         text.find("projcrs") != std::string::npos ||
                         text.find("projectedcrs") != std::string::npos;
  return projected && (text.find("\"metre\"") != std::string::npos ||
                       text.find("\"meter\"") != std::string::npos);
}

RunMeasures run_measures(const GridGeometry& geometry, const ProcessInputs& inputs,
                         const PackedMap& map, float value) {
  RunMeasures m;
  const std::vector<float> cells = map.unpack();
  if (cells.size() != geometry_cell_count(geometry)) return m;
  const ShapeMeasures shape = shape_measure(cells.data(), geometry.nrows, geometry.ncols, value);
  const double side = geometry.cellsize;
  m.area = static_cast<double>(shape.cells) * side * side;
  m.metres = crs_in_metres(geometry.crs.text);
  m.perimeter = static_cast<double>(shape.edges) * side;
  m.holes = shape.holes;
  m.hole_cells = shape.hole_cells;
  const CellRecords& records = inputs.records;
  if (records.records == nullptr) return m;
  double potential = 0.0, distance = 0.0;
  int64_t counted = 0;
  size_t i = 0;
  for (int32_t row = 0; row < records.grid.nrows; ++row) {
    const CellRecord* line = records.records.get() + bordered_index(records.grid, row, 0);
    for (int32_t col = 0; col < records.grid.ncols; ++col, ++i) {
      if (cells[i] != value || line[col].potential == CELL_NODATA) continue;
      potential += line[col].potential;
      distance += line[col].distances;
      ++counted;
    }
  }
  if (counted > 0) {
    m.mean_potential = potential / static_cast<double>(counted);
    m.mean_distance = distance / static_cast<double>(counted) * inputs.distance_unit;
  }
  return m;
}

RunRow runs_table_uses_row(const Scenario& scenario, const LandUses& uses,
                           const std::vector<const ProcessInputs*>& inputs,
                           const GridGeometry& geometry, const PackedMap& map,
                           const std::vector<Normalisers>& fixed,
                           std::shared_ptr<const PackedMap> base) {
  bool priced = inputs.size() == uses.uses.size();
  for (const ProcessInputs* in : inputs)
    priced = priced && in->fatal_code == 0 && in->records.records != nullptr;
  const std::vector<float> codes = map.unpack();
  UsesEnergy energy;
  if (priced)
    energy =
        process_uses_map_energy(scenario, uses, inputs, geometry, codes, fixed, std::move(base));
  RunRow row;
  row.energy.energy = priced ? energy.energy : std::nan("");
  std::vector<float> all(codes.size());
  const ProcessInputs none;
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    const LandUse& use = uses.uses[k];
    const ProcessInputs& own = k < inputs.size() ? *inputs[k] : none;
    UseColumns columns{use.name, priced ? energy.uses[k] : MapEnergy(),
                       run_measures(geometry, own, map, use.value)};
    if (!priced) {
      columns.energy.energy = std::nan("");
      for (double& t : columns.energy.terms) t = std::nan("");
    }
    for (size_t i = 0; i < codes.size(); ++i) all[i] += codes[i] == use.value ? 1.0f : 0.0f;
    row.energy.cells += priced ? columns.energy.cells : 0;
    row.energy.islands += priced ? columns.energy.islands : 0;
    row.uses.push_back(std::move(columns));
  }
  row.measures = run_measures(geometry, ProcessInputs(), PackedMap(all), 1.0f);
  row.measures.mean_potential = row.measures.mean_distance = std::nan("");
  const size_t K = uses.uses.size();
  row.pairs.assign(K * (K - 1) / 2, PairColumns());
  for (size_t p = 0; priced && p < energy.pairs.size(); ++p) {
    const auto sides = static_cast<double>(energy.pairs[p].sides);
    row.pairs[p] = {sides, sides * geometry.cellsize, energy.pairs[p].adjacency};
  }
  return row;
}

std::string runs_table_text(const std::vector<RunRow>& rows) {
  const bool bounded = std::any_of(rows.begin(), rows.end(),
                                   [](const RunRow& r) { return r.lower_bound.has_value(); });
  std::string text =
      runs_table_header(bounded, rows.empty() ? std::vector<std::string>() : use_names(rows[0]));
  for (const RunRow& r : rows) text += runs_table_row(r, bounded, r.best);
  return text;
}

void write_runs_table(const std::vector<RunRow>& rows, const std::string& path) {
  log_message("* write '%s'\n", path.c_str());
  output_write_text(path, runs_table_text(rows));
}

void runs_table_begin(RunsTableStream& table, const std::string& path) {
  table = RunsTableStream();
  table.path = path;
  table.scratch.reset(output_open_scratch(path.c_str()));
  if (table.scratch == nullptr) fatal(1, "error: unable to open file '%s'!\n", path.c_str());
}

void runs_table_add(RunsTableStream& table, const RunRow& row) {
  if (table.rows++ == 0) table.uses = use_names(row);
  table.bounded = table.bounded || row.lower_bound.has_value();
  const std::string text = runs_table_row(row, true, false);
  std::fwrite(text.data(), 1, text.size(), table.scratch.get());
}

void runs_table_finish(RunsTableStream& table, int64_t best) {
  log_message("* write '%s'\n", table.path.c_str());
  FILE* scratch = table.scratch.get();
  FILE* out = output_open(table.path.c_str());
  if (out == nullptr) fatal(1, "error: unable to open file '%s'!\n", table.path.c_str());
  const std::string header = runs_table_header(table.bounded, table.uses);
  std::fwrite(header.data(), 1, header.size(), out);
  bool read = std::fflush(scratch) == 0 && std::fseek(scratch, 0, SEEK_SET) == 0;
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  for (int64_t row = 0; read && (length = getline(&line, &capacity, scratch)) > 0; ++row) {
    const char* const end = line + length;
    const char* field = line;
    for (int comma = 0; comma < BEST_COLUMN && field != end; ++comma)
      field = std::find(field, end, ',') + (field != end ? 1 : 0);
    std::fwrite(line, 1, static_cast<size_t>(field - line), out);
    std::fputs(row == best ? "yes" : "no", out);
    const char* const rest = std::min(end, field + (table.bounded ? 2 : 4));
    std::fwrite(rest, 1, static_cast<size_t>(end - rest), out);
  }
  std::free(line);
  if (!read || std::ferror(scratch)) {
    output_discard(out);
    fatal(1, "error: unable to write file '%s'!\n", table.path.c_str());
  }
  table.scratch.reset();
  if (!output_close(out)) fatal(1, "error: unable to write file '%s'!\n", table.path.c_str());
}
