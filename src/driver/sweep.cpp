#include "driver/sweep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/describe.h"
#include "scenario/scenario.h"

namespace {

const char* const EXPECTED =
    "expected PROPERTY=VALUES: a number property of --describe or an element of one, such as "
    "process.functions-weight[1], and a list 0,0.5,2 or a range FIRST:LAST:STEPS or "
    "FIRST:LAST:STEPSlog";

// A plain decimal number, finite, with no blanks.
bool parse_number(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
      std::isspace(static_cast<unsigned char>(text.back())))
    return false;
  bool ok = false;
  errno = 0;
  value = config_parse_number(text.c_str(), &ok);
  return ok && errno != ERANGE && std::isfinite(value);
}

std::vector<std::string> split(const std::string& text, char at) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t to; (to = text.find(at, from)) != std::string::npos; from = to + 1)
    parts.push_back(text.substr(from, to - from));
  parts.push_back(text.substr(from));
  return parts;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The span of token i in the text it was loaded from, quotes included: string tokens were decoded
// in place, so their end is found again past the escapes.
std::pair<size_t, size_t> original_span(const std::string& original, const ConfigDocument& doc,
                                        int32_t i) {
  const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
  size_t start = static_cast<size_t>(t.start);
  if (t.type != CONFIG_STRING) return {start, static_cast<size_t>(t.end)};
  size_t end = start;
  while (end < original.size() && original[end] != '"') end += original[end] == '\\' ? 2 : 1;
  return {start - 1, std::min(end + 1, original.size())};
}

// What each energy term measures, as the picture names it.
const char* const TERM_WORDS[ENERGY_TERMS] = {"potential", "perimeter", "islands", "nservices",
                                              "distance"};

// A step of a range at 15 significant digits: the rounding of the steps' arithmetic
// (1.9999999999999993 for 2 in 1:16:5log) is below them, so the step reads as a planner would
// write it, in the log, the table and the picture alike.
double decimal(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  return std::strtod(text, nullptr);
}

}  // namespace

std::string sweep_label(double value) {
  // Fewer digits may still be a longer text: 40 is "4e+01" at one digit.
  std::string shortest;
  for (int digits = 1; digits <= 17; ++digits) {
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    const bool exact = std::strtod(text, nullptr) == value;
    if (exact && (shortest.empty() || std::strlen(text) < shortest.size())) shortest = text;
  }
  return shortest;
}

bool sweep_values(const std::string& text, std::vector<double>& values, std::string& error) {
  values.clear();
  const std::vector<std::string> range = split(text, ':');
  if (range.size() == 1) {
    for (const std::string& item : split(text, ',')) {
      double value = 0.0;
      if (!parse_number(item, value)) {
        error = "'" + item + "' is not a number";
        return false;
      }
      values.push_back(value);
    }
  } else {
    double first = 0.0, last = 0.0;
    std::string steps_text = range.size() == 3 ? range[2] : std::string();
    const bool log =
        steps_text.size() > 3 && steps_text.compare(steps_text.size() - 3, 3, "log") == 0;
    if (log) steps_text.resize(steps_text.size() - 3);
    double steps = 0.0;
    if (range.size() != 3 || !parse_number(range[0], first) || !parse_number(range[1], last) ||
        !parse_number(steps_text, steps) || steps != std::floor(steps)) {
      error = "a range is FIRST:LAST:STEPS or FIRST:LAST:STEPSlog";
      return false;
    }
    if (steps < 2 || steps > SWEEP_MAX_VALUES) {
      error = "a range takes 2 to " + std::to_string(SWEEP_MAX_VALUES) + " steps";
      return false;
    }
    if (log && !(first > 0.0 && last > 0.0)) {
      error = "log steps need both ends above 0";
      return false;
    }
    const int32_t n = static_cast<int32_t>(steps);
    // Steps of log10 land exactly on the powers of ten between ends that are powers of ten.
    const double a = log ? std::log10(first) : first;
    const double b = log ? std::log10(last) : last;
    for (int32_t k = 0; k < n; ++k) {
      const double t = a + (b - a) * k / (n - 1);
      values.push_back(k == 0 ? first : k == n - 1 ? last : decimal(log ? std::pow(10.0, t) : t));
    }
  }
  if (values.size() > static_cast<size_t>(SWEEP_MAX_VALUES)) {
    error = "more than " + std::to_string(SWEEP_MAX_VALUES) + " values";
    return false;
  }
  return true;
}

bool sweep_parse(const std::string& text, SweepAxis& axis, std::string& error) {
  const auto fail = [&](const std::string& what) {
    error = "error: invalid sweep '" + text + "': " + what + " (" + EXPECTED + ")!\n";
    return false;
  };
  axis = SweepAxis();
  axis.text = text;
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return fail("no PROPERTY=");
  axis.property = text.substr(0, equals);
  // PROPERTY is a dotted name and an index in brackets for each level of list.
  const size_t bracket = axis.property.find('[');
  axis.name = axis.property.substr(0, bracket);
  for (size_t at = bracket; at != std::string::npos;) {
    const size_t close = axis.property.find(']', at);
    double index = 0.0;
    if (close == std::string::npos ||
        !parse_number(axis.property.substr(at + 1, close - at - 1), index) || index < 0 ||
        index != std::floor(index) || index > 1e6 ||
        axis.property.find_first_not_of("0123456789", at + 1) != close) {
      return fail("'" + axis.property + "' has an index that is not [N]");
    }
    axis.indices.push_back(static_cast<int32_t>(index));
    at = close + 1 == axis.property.size() ? std::string::npos : close + 1;
    if (at != std::string::npos && axis.property[at] != '[')
      return fail("'" + axis.property + "' has text after its index");
  }
  const PropertyInfo* info = find_property(axis.name);
  if (info == nullptr) return fail("unknown property '" + axis.name + "'");
  const std::string type = info->type;
  const size_t wanted = type == "numbers" ? 1 : type == "number-groups" ? 2 : 0;
  if (type != "number" && type != "integer" && wanted == 0)
    return fail("'" + axis.name + "' is not a number");
  if (axis.indices.size() != wanted) {
    return fail(wanted == 0 ? "'" + axis.name + "' is a number, not a list"
                            : "'" + axis.name + "' takes " + std::to_string(wanted) + " index" +
                                  (wanted > 1 ? "es" : "") + " ([N])");
  }
  std::string why;
  if (!sweep_values(text.substr(equals + 1), axis.values, why)) return fail(why);
  for (const double value : axis.values) {
    const std::string label = sweep_label(value);
    if (type == "integer" && (value != std::floor(value) || std::fabs(value) > 2147483647.0))
      return fail("value " + label + " is not a whole number");
    const bool low = info->minimum != nullptr && value < std::strtod(info->minimum, nullptr);
    const bool high = info->maximum != nullptr && value > std::strtod(info->maximum, nullptr);
    if (low || high) return fail("value " + label + " is not " + info->accepted);
    axis.labels.push_back(label);
  }
  return true;
}

std::vector<SweepPoint> sweep_points(const std::vector<SweepAxis>& axes) {
  std::vector<SweepPoint> points(1);
  for (const SweepAxis& axis : axes) {
    std::vector<SweepPoint> next;
    for (const SweepPoint& p : points) {
      for (size_t v = 0; v < axis.values.size(); ++v) {
        SweepPoint q = p;
        q.at.push_back(v);
        next.push_back(q);
      }
    }
    points = next;
  }
  for (size_t i = 0; i < points.size(); ++i) points[i].index = static_cast<int32_t>(i);
  return points;
}

std::string sweep_tag(int32_t index, int32_t count) {
  const int width = std::max<int>(2, static_cast<int>(std::to_string(count - 1).size()));
  char tag[32];
  std::snprintf(tag, sizeof tag, ".sweep%0*d", width, index);
  return tag;
}

bool sweep_point_text(const std::string& original, const ConfigDocument& doc,
                      const std::vector<SweepAxis>& axes, const SweepPoint& point, int32_t count,
                      const StageFlags& stages, std::string& text, std::string& error) {
  std::vector<std::pair<int32_t, std::string>> changes;  // token, new JSON value
  for (size_t a = 0; a < axes.size(); ++a) {
    const SweepAxis& axis = axes[a];
    int32_t token = config_find(doc, 0, axis.name.c_str());
    for (const int32_t index : axis.indices) {
      token =
          config_token_is(doc, token, CONFIG_ARRAY) ? config_element_token(doc, token, index) : -1;
    }
    if (token < 0 || !(config_token_is(doc, token, CONFIG_PRIMITIVE) ||
                       config_token_is(doc, token, CONFIG_STRING))) {
      error =
          "error: sweep property '" + axis.property + "' is not a value of the configuration!\n";
      return false;
    }
    changes.push_back({token, axis.labels[point.at[a]]});
  }
  // Each point writes its own outputs; the maps a stage reads from an earlier run stay as named.
  Run tagged;
  tagged.file_tag = sweep_tag(point.index, count);
  std::vector<const char*> outputs;
  if (stages.preprocess) outputs.push_back("preprocess.output");
  if (stages.process) outputs.push_back("process.output");
  if (stages.postprocess) {
    outputs.push_back("postprocess.output");
    outputs.push_back("postprocess.output-mask");
  }
  for (const char* path : outputs) {
    const int32_t token = config_find(doc, 0, path);
    if (!config_token_is(doc, token, CONFIG_STRING)) continue;  // the stage reports it
    const ConfigToken& t = doc.tokens[static_cast<size_t>(token)];
    const std::string name =
        doc.text.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
    changes.push_back({token, json_string(run_file_path(tagged, name))});
  }
  std::sort(changes.begin(), changes.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  text = original;
  for (const auto& change : changes) {
    const std::pair<size_t, size_t> span = original_span(original, doc, change.first);
    text.replace(span.first, span.second - span.first, change.second);
  }
  return true;
}

TradeOff sweep_trade_off(const SweepAxis& axis) {
  if (axis.name == "process.functions-weight" && axis.indices.size() == 1) {
    switch (axis.indices[0]) {
      case 0:
        return {MEASURE_PERIMETER, MEASURE_POTENTIAL};
      case 2:
        return {MEASURE_ISLANDS, MEASURE_POTENTIAL};
      case 3:
        return {MEASURE_F4, MEASURE_POTENTIAL};
      case 4:
        return {MEASURE_DISTANCE, MEASURE_POTENTIAL};
      default:
        break;
    }
  }
  // The area grows with the share converted; the cells that come with it are poorer.
  if (axis.name == "preprocess.convert-area" || axis.name.find("demand") != std::string::npos)
    return {MEASURE_AREA, MEASURE_POTENTIAL};
  return {MEASURE_PERIMETER, MEASURE_POTENTIAL};
}

double sweep_measure(const RepeatSummary& summary, int32_t measure) {
  const RepeatRunResult& best = summary.best;
  switch (measure) {
    case MEASURE_PERIMETER:
      return best.measures.perimeter;
    case MEASURE_POTENTIAL:
      return best.measures.mean_potential;
    case MEASURE_ISLANDS:
      return best.energy.islands;
    case MEASURE_DISTANCE:
      return best.measures.mean_distance;
    case MEASURE_AREA:
      return best.measures.area;
    default:
      return best.energy.terms[3];
  }
}

const char* sweep_measure_name(int32_t measure) {
  static const char* const NAMES[] = {"perimeter",     "mean_potential", "islands",
                                      "mean_distance", "area",           "f4"};
  return NAMES[measure];
}

const char* sweep_measure_title(int32_t measure) {
  static const char* const TITLES[] = {"perimeter of the allocated cells (map units)",
                                       "mean potential of the allocated cells (0-1)",
                                       "islands",
                                       "mean distance to the distance masks (map units)",
                                       "allocated area (map units squared)",
                                       "f4 (nservices term)"};
  return TITLES[measure];
}

size_t sweep_elbow(const std::vector<double>& x, const std::vector<double>& y) {
  const size_t n = std::min(x.size(), y.size());
  if (n < 3) return 0;
  const auto scaled = [n](const std::vector<double>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.begin() + static_cast<long>(n));
    std::vector<double> s(n, 0.0);
    for (size_t i = 0; i<n&& * hi> * lo; ++i) s[i] = (v[i] - *lo) / (*hi - *lo);
    return s;
  };
  const std::vector<double> sx = scaled(x), sy = scaled(y);
  const double dx = sx[n - 1] - sx[0], dy = sy[n - 1] - sy[0];
  const double chord = std::hypot(dx, dy);
  size_t best = 0;
  double furthest = -1.0;
  for (size_t i = 0; i < n; ++i) {
    // The distance to the chord's line, or to its one point when both ends meet.
    const double d = chord > 0.0 ? std::fabs(dx * (sy[i] - sy[0]) - dy * (sx[i] - sx[0])) / chord
                                 : std::hypot(sx[i] - sx[0], sy[i] - sy[0]);
    if (d > furthest) {
      furthest = d;
      best = i;
    }
  }
  return best;
}

bool sweep_cohon(double w_low, double term_low, double rest_low, double w_high, double term_high,
                 double rest_high, double& weight) {
  // The plan of the larger weight must hold less of the weighted term and pay for it in the rest.
  if (!(w_high > w_low) || !(term_low > term_high) || !(rest_high >= rest_low)) return false;
  // rest_low + w term_low = rest_high + w term_high.
  weight = (rest_high - rest_low) / (term_low - term_high);
  return std::isfinite(weight);
}

std::string sweep_table_text(const std::vector<SweepAxis>& axes,
                             const std::vector<SweepPointResult>& results, size_t recommended) {
  std::string text = "point,value";
  if (axes.size() > 1) text += ",value2";
  text +=
      ",best_run,energy,f1,f2,f3,f4,f5,median_energy,cells,area,hectares,perimeter,islands,holes,"
      "hole_cells,mean_potential,mean_distance,common_share,cells_in_every_run,recommended\n";
  for (const SweepPointResult& r : results) {
    const RepeatSummary& s = r.summary;
    const RepeatRunResult& b = s.best;
    const MapEnergy& e = b.energy;
    const RunMeasures& m = b.measures;
    char line[1024];
    std::snprintf(line, sizeof line, "%d", r.point.index);
    text += line;
    for (size_t a = 0; a < axes.size(); ++a) text += "," + axes[a].labels[r.point.at[a]];
    char hectares[32] = "";
    if (m.metres) std::snprintf(hectares, sizeof hectares, "%.10g", m.area / 10000.0);
    std::snprintf(line, sizeof line,
                  ",%d,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%lld,%.10g,%s,%.10g,%d,%lld,%lld,"
                  "%.10g,%.10g,%.6f,%lld,%s\n",
                  b.run, e.energy, e.terms[0], e.terms[1], e.terms[2], e.terms[3], e.terms[4],
                  s.median_energy, static_cast<long long>(e.cells), m.area, hectares, m.perimeter,
                  e.islands, static_cast<long long>(m.holes), static_cast<long long>(m.hole_cells),
                  m.mean_potential, m.mean_distance, s.common_share,
                  static_cast<long long>(s.cells_in_every_run),
                  static_cast<size_t>(r.point.index) == recommended ? "yes" : "no");
    text += line;
  }
  return text;
}

std::vector<int32_t> sweep_moved_terms(const std::vector<SweepPointResult>& results) {
  std::vector<int32_t> moved;
  for (int32_t k = 0; k < ENERGY_TERMS; ++k) {
    const auto term = [k](const SweepPointResult& r) { return r.summary.best.energy.terms[k]; };
    const auto [low, high] = std::minmax_element(
        results.begin(), results.end(),
        [&](const SweepPointResult& a, const SweepPointResult& b) { return term(a) < term(b); });
    // Below this, a term that moved is the rounding of the same plan's sums.
    if (low != results.end() && term(*high) - term(*low) > 1e-9) moved.push_back(k);
  }
  return moved;
}

std::string sweep_plot_script(const std::vector<SweepAxis>& axes, const TradeOff& trade,
                              size_t recommended, const std::vector<int32_t>& moved) {
  // Columns of the table, from 1: point, the values, best_run, energy, f1-f5, median, cells,
  // area, hectares, perimeter, islands, holes, hole_cells, mean_potential, mean_distance.
  const int first = 2 + static_cast<int>(axes.size());
  const auto column = [first](int32_t measure) {
    switch (measure) {
      case MEASURE_PERIMETER:
        return first + 11;
      case MEASURE_POTENTIAL:
        return first + 15;
      case MEASURE_ISLANDS:
        return first + 12;
      case MEASURE_DISTANCE:
        return first + 16;
      case MEASURE_AREA:
        return first + 9;
      default:
        return first + 5;  // f4: point, values, best_run, energy, f1 to f3 before it
    }
  };
  const int x = column(trade.x), y = column(trade.y);
  std::string label = axes.size() > 1 ? "sprintf('%s/%s', strcol(2), strcol(3))" : "strcol(2)";
  // Every name (the table, the picture, the swept property) arrives as a value, ARG1 to ARG3 of
  // `gnuplot -c`: no character of a name can end a string and become code.
  std::string s;
  s += "# The trade-off of a sweep: one point per value, the recommended one marked.\n";
  s += "# gnuplot -c THIS_SCRIPT TABLE PICTURE TITLE\n";
  s += "set terminal pngcairo size 900," + std::string(moved.empty() ? "650" : "1000") +
       " font 'Sans,10' noenhanced\n";
  s += "set output ARG2\n";
  s += "set datafile separator ','\n";
  if (!moved.empty()) s += "set multiplot layout 2,1\n";
  s += "set title ARG3\n";
  s += std::string("set xlabel '") + sweep_measure_title(trade.x) + "'\n";
  s += std::string("set ylabel '") + sweep_measure_title(trade.y) + "'\n";
  s += "set grid\nset key top right\n";
  s += "plot ARG1 skip 1 using " + std::to_string(x) + ":" + std::to_string(y) +
       " with linespoints lw 2 pt 7 lc rgb '#1f77b4' title 'best run of each value', \\\n";
  s += "     '' skip 1 using " + std::to_string(x) + ":" + std::to_string(y) + ":(" + label +
       ") with labels offset 0,1 notitle, \\\n";
  s += "     '' skip 1 using " + std::to_string(x) +
       ":(column(1) == " + std::to_string(recommended) + " ? column(" + std::to_string(y) +
       ") : NaN) with points pt 6 ps 3 lw 2 lc rgb '#d62728' title 'recommended'\n";
  if (moved.empty()) return s;
  // Below, every energy term that moved, drawn or not: a point worse than its neighbour on both
  // measures above is explained by a term they do not show.
  s += "set title 'energy terms that moved (unweighted; the energy counts f2 and f5 below 0 as "
       "0)'\n";
  s += "set xlabel 'swept value'\nset ylabel 'term'\n";
  for (size_t i = 0; i < moved.size(); ++i) {
    s += std::string(i == 0 ? "plot" : "    ") +
         " ARG1 skip 1 using 1:" + std::to_string(first + 2 + moved[i]) +
         (i == 0 ? ":xtic(" + label + ")" : "") + " with linespoints lw 2 title 'f" +
         std::to_string(moved[i] + 1) + " " + TERM_WORDS[moved[i]] + "'" +
         (i + 1 < moved.size() ? ", \\\n" : "\n");
  }
  return s + "unset multiplot\n";
}

std::string sweep_axis_title(const SweepAxis& axis) {
  if (axis.name != "process.functions-weight" || axis.indices.size() != 1 || axis.indices[0] >= 5)
    return axis.property;
  return std::string("the ") + TERM_WORDS[axis.indices[0]] + " weight f" +
         std::to_string(axis.indices[0] + 1) + " (" + axis.property + ")";
}

std::string sweep_plot_title(const std::vector<SweepAxis>& axes) {
  return "sweep of " + sweep_axis_title(axes[0]) +
         (axes.size() > 1 ? " and " + sweep_axis_title(axes[1]) : std::string());
}
