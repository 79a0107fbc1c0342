#include "driver/sweep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/describe.h"
#include "driver/run_table.h"
#include "scenario/land_uses.h"
#include "scenario/scenario.h"

namespace {

const char* const EXPECTED =
    "expected PROPERTY=VALUES: a number property of --describe or an element of one, such as "
    "process.functions-weight[1], a land use's (land-uses[NAME].demand.cells) or an adjacency "
    "cost (adjacency[NAME][NAME]), and a list 0,0.5,2 or a range FIRST:LAST:STEPS or "
    "FIRST:LAST:STEPSlog";

// The largest adjacency cost in magnitude, as the reader of the uses accepts it.
constexpr double ADJACENCY_LIMIT = 1e6;

// A use's keys that hold numbers a sweep may take, as --describe and the messages list them.
const char* const USE_NUMBERS =
    "demand.cells, demand.area, functions-weight[N] or potential-maps-weight[N][M]";

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

namespace {

// Reads "[A]" at `at` of `text` into `selector` (a use's name or index) and returns the position
// after it, or npos when there is none.
size_t read_selector(const std::string& text, size_t at, std::string& selector) {
  if (at >= text.size() || text[at] != '[') return std::string::npos;
  const size_t close = text.find(']', at);
  if (close == std::string::npos) return std::string::npos;
  selector = text.substr(at + 1, close - at - 1);
  const bool plain = !selector.empty() && std::all_of(selector.begin(), selector.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
  return plain ? close + 1 : std::string::npos;
}

}  // namespace

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
  // A use's property reads as the shared one it stands for; an adjacency cost names its two uses
  // in its brackets. Names and indices are resolved once the configuration is read.
  std::string path = axis.property;
  const bool adjacency = path.rfind("adjacency[", 0) == 0;
  if (adjacency) {
    size_t at = std::strlen("adjacency");
    for (int u = 0; u < 2; ++u) {
      std::string selector;
      at = read_selector(path, at, selector);
      if (at == std::string::npos)
        return fail("'" + axis.property + "' is not adjacency[NAME][NAME] or adjacency[N][N]");
      axis.uses.push_back(selector);
    }
    if (at != path.size()) return fail("'" + axis.property + "' has text after its index");
    axis.name = "adjacency";
  } else if (path.rfind("land-uses[", 0) == 0) {
    std::string selector;
    const size_t at = read_selector(path, std::strlen("land-uses"), selector);
    if (at == std::string::npos)
      return fail("'" + axis.property + "' names a land use as land-uses[NAME] or land-uses[N]");
    axis.uses.push_back(selector);
    path = at < path.size() && path[at] == '.' ? path.substr(at + 1) : "";
    axis.key = path.substr(0, path.find('['));
    const std::string top = axis.key.substr(0, axis.key.find('.'));
    const std::string shared = land_use_shared_property(top);
    const PropertyInfo* info =
        shared.empty() ? nullptr : find_property(shared + axis.key.substr(top.size()));
    const std::string type = info != nullptr ? info->type : "";
    if (type != "number" && type != "integer" && type != "numbers" && type != "number-groups")
      return fail("'" + axis.property + "' is not a number of a land use: " + USE_NUMBERS);
    path = shared + path.substr(top.size());
  }
  // PROPERTY is a dotted name and an index in brackets for each level of list.
  const size_t bracket = adjacency ? std::string::npos : path.find('[');
  if (!adjacency) axis.name = path.substr(0, bracket);
  for (size_t at = bracket; at != std::string::npos;) {
    const size_t close = path.find(']', at);
    double index = 0.0;
    if (close == std::string::npos || !parse_number(path.substr(at + 1, close - at - 1), index) ||
        index < 0 || index != std::floor(index) || index > 1e6 ||
        path.find_first_not_of("0123456789", at + 1) != close) {
      return fail("'" + axis.property + "' has an index that is not [N]");
    }
    axis.indices.push_back(static_cast<int32_t>(index));
    at = close + 1 == path.size() ? std::string::npos : close + 1;
    if (at != std::string::npos && path[at] != '[')
      return fail("'" + axis.property + "' has text after its index");
  }
  const PropertyInfo* info = find_property(axis.name);
  if (info == nullptr) return fail("unknown property '" + axis.name + "'");
  const std::string type = info->type;
  const size_t wanted = adjacency ? 0 : type == "numbers" ? 1 : type == "number-groups" ? 2 : 0;
  if (type != "number" && type != "integer" && wanted == 0 && !adjacency)
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
    if (adjacency && std::fabs(value) > ADJACENCY_LIMIT)
      return fail("value " + label + " is not -1e6 to 1e6");
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

namespace {

// The names of the land uses of `config` in order (a use without a text name has none).
std::vector<std::string> use_names(const ConfigDocument& config) {
  std::vector<std::string> names;
  const int32_t array = config_find(config, 0, "land-uses");
  for (int32_t i = 0; i < config_child_count(config, array); ++i) {
    const int32_t name = config_find(config, config_element_token(config, array, i), "name");
    std::string text;
    if (config_token_is(config, name, CONFIG_STRING)) {
      const ConfigToken& t = config.tokens[static_cast<size_t>(name)];
      text.assign(config.text.data() + t.start, static_cast<size_t>(t.end - t.start));
    }
    names.push_back(text);
  }
  return names;
}

// The use `selector` names among `names`: its name, else its index; -1 with `error` when none.
int32_t resolve_use(const std::string& property, const std::string& selector,
                    const std::vector<std::string>& names, std::string& error) {
  const auto named = std::find(names.begin(), names.end(), selector);
  if (named != names.end()) return static_cast<int32_t>(named - names.begin());
  const bool digits = selector.find_first_not_of("0123456789") == std::string::npos;
  if (digits && selector.size() < 10 && std::stol(selector) < static_cast<long>(names.size()))
    return static_cast<int32_t>(std::stol(selector));
  std::string known;
  for (const std::string& name : names) known += (known.empty() ? "'" : ", '") + name + "'";
  error = "error: sweep property '" + property + "': " +
          (digits ? "there are " + std::to_string(names.size()) + " land uses, indexed from 0"
                  : "no land use is named '" + selector + "'") +
          " (the uses: " + known + ")!\n";
  return -1;
}

// A shared property that every use gives itself is read by none of them: the message, or "".
std::string unread_by_uses(const ConfigDocument& config, const SweepAxis& axis) {
  if (axis.name == "preprocess.convert-area" || axis.name.rfind("preprocess.demand.", 0) == 0) {
    return "error: sweep property '" + axis.property +
           "' is read by no land use: each gives its own demand (sweep "
           "land-uses[NAME].demand.cells or .area)!\n";
  }
  const int32_t array = config_find(config, 0, "land-uses");
  for (const std::string& key : land_use_keys()) {
    const std::string shared = land_use_shared_property(key);
    if (shared.empty() || (axis.name != shared && axis.name.rfind(shared + ".", 0) != 0)) continue;
    bool read = false;
    for (int32_t i = 0; i < config_child_count(config, array); ++i)
      read = read || config_find(config, config_element_token(config, array, i), key.c_str()) < 0;
    if (read) return "";
    std::string element;
    for (const int32_t index : axis.indices) element += "[" + std::to_string(index) + "]";
    return "error: sweep property '" + axis.property +
           "' is read by no land use: each gives its own '" + key + "' (sweep land-uses[NAME]." +
           key + element + ")!\n";
  }
  return "";
}

// One axis as a text that two spellings of the same property share.
std::string resolved_property(const SweepAxis& axis) {
  std::string text = axis.key.empty() ? axis.name : axis.key;
  std::vector<int32_t> uses = axis.use_indices;
  if (axis.adjacency()) std::sort(uses.begin(), uses.end());
  for (const int32_t use : uses) text += "@" + std::to_string(use);
  for (const int32_t index : axis.indices) text += "[" + std::to_string(index) + "]";
  return text;
}

}  // namespace

bool sweep_resolve(const ConfigDocument& config, std::vector<SweepAxis>& axes, std::string& error) {
  const bool several = land_uses_present(config);
  const std::vector<std::string> names = use_names(config);
  for (SweepAxis& axis : axes) {
    axis.use_indices.clear();
    if (axis.uses.empty()) {
      error = several ? unread_by_uses(config, axis) : "";
      if (!error.empty()) return false;
      continue;
    }
    if (!several) {
      error = "error: sweep property '" + axis.property +
              "' names a land use, and the configuration has no \"land-uses\"!\n";
      return false;
    }
    for (const std::string& selector : axis.uses) {
      const int32_t use = resolve_use(axis.property, selector, names, error);
      if (use < 0) return false;
      axis.use_indices.push_back(use);
    }
    if (axis.adjacency() && axis.use_indices[0] == axis.use_indices[1]) {
      error = "error: sweep property '" + axis.property +
              "' is on the diagonal: a use does not border itself, its cost stays 0!\n";
      return false;
    }
  }
  if (axes.size() == 2 && resolved_property(axes[0]) == resolved_property(axes[1])) {
    error =
        "error: invalid sweep '" + axes[1].text + "': '" + axes[1].property + "' is swept twice!\n";
    return false;
  }
  return true;
}

namespace {

// `text` (which `doc` was loaded from) with the values of tokens replaced.
std::string with_tokens(const std::string& text, const ConfigDocument& doc,
                        std::vector<std::pair<int32_t, std::string>> changes) {
  std::sort(changes.begin(), changes.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  std::string out = text;
  for (const auto& change : changes) {
    const std::pair<size_t, size_t> span = original_span(text, doc, change.first);
    out.replace(span.first, span.second - span.first, change.second);
  }
  return out;
}

// `text` with member `key`: `json` put first into the object at token `object` of `doc`, which
// holds members already.
std::string with_member(const std::string& text, const ConfigDocument& doc, int32_t object,
                        const std::string& key, const std::string& json) {
  const size_t brace = static_cast<size_t>(doc.tokens[static_cast<size_t>(object)].start);
  return text.substr(0, brace + 1) + json_string(key) + ": " + json + ", " + text.substr(brace + 1);
}

// The token of the element `indices` of the value at `token`, or -1.
int32_t element_of(const ConfigDocument& doc, int32_t token, const std::vector<int32_t>& indices) {
  for (const int32_t index : indices)
    token =
        config_token_is(doc, token, CONFIG_ARRAY) ? config_element_token(doc, token, index) : -1;
  return token;
}

bool is_value(const ConfigDocument& doc, int32_t token) {
  return config_token_is(doc, token, CONFIG_PRIMITIVE) ||
         config_token_is(doc, token, CONFIG_STRING);
}

// Puts `label` into `text` (which `doc` was loaded from) at the property of `axis`: first the
// shared value a use reads (or an adjacency of zeros) into the configuration where it is missing,
// then the value in place. False when the property is not a value of the configuration.
bool put_value(std::string& text, ConfigDocument& doc, const SweepAxis& axis,
               const std::string& label) {
  const auto reload = [&](const std::string& next) {
    text = next;
    return config_load_text(doc, text.c_str()) > 0;
  };
  if (axis.adjacency()) {
    if (config_find(doc, 0, "adjacency") < 0) {
      const int32_t k = config_child_count(doc, config_find(doc, 0, "land-uses"));
      std::string zeros = "[";
      for (int32_t a = 0; a < k; ++a) {
        zeros += a > 0 ? ", [" : "[";
        for (int32_t b = 0; b < k; ++b) zeros += b > 0 ? ", 0" : "0";
        zeros += "]";
      }
      if (!reload(with_member(text, doc, 0, "adjacency", zeros + "]"))) return false;
    }
    // The matrix is symmetric: both halves take the value.
    const int32_t matrix = config_find(doc, 0, "adjacency");
    const int32_t a = axis.use_indices[0], b = axis.use_indices[1];
    const int32_t ab = element_of(doc, matrix, {a, b}), ba = element_of(doc, matrix, {b, a});
    if (!is_value(doc, ab) || !is_value(doc, ba)) return false;
    return reload(with_tokens(text, doc, {{ab, label}, {ba, label}}));
  }
  int32_t object = 0;
  std::string path = axis.name;
  if (!axis.use_indices.empty()) {
    object = element_of(doc, config_find(doc, 0, "land-uses"), {axis.use_indices[0]});
    if (!config_token_is(doc, object, CONFIG_OBJECT)) return false;
    const std::string top = axis.key.substr(0, axis.key.find('.'));
    const int32_t shared = config_find(doc, 0, land_use_shared_property(top).c_str());
    // What the use reads from the shared properties becomes its own, then the value changes.
    if (config_find(doc, object, top.c_str()) < 0 && shared >= 0 &&
        !reload(with_member(text, doc, object, top, config_json(doc, shared))))
      return false;
    object = element_of(doc, config_find(doc, 0, "land-uses"), {axis.use_indices[0]});
    path = axis.key;
  }
  const int32_t token = element_of(doc, config_find(doc, object, path.c_str()), axis.indices);
  return is_value(doc, token) && reload(with_tokens(text, doc, {{token, label}}));
}

}  // namespace

bool sweep_point_text(const std::string& original, const ConfigDocument& doc,
                      const std::vector<SweepAxis>& axes, const SweepPoint& point, int32_t count,
                      const StageFlags& stages, std::string& text, std::string& error) {
  // Each axis goes into the text of the one before, read again: a value put in moves the others.
  text = original;
  ConfigDocument current = doc;
  for (size_t a = 0; a < axes.size(); ++a) {
    if (!put_value(text, current, axes[a], axes[a].labels[point.at[a]])) {
      error =
          "error: sweep property '" + axes[a].property + "' is not a value of the configuration!\n";
      return false;
    }
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
  std::vector<std::pair<int32_t, std::string>> changes;
  for (const char* path : outputs) {
    const int32_t token = config_find(current, 0, path);
    if (!config_token_is(current, token, CONFIG_STRING)) continue;  // the stage reports it
    const ConfigToken& t = current.tokens[static_cast<size_t>(token)];
    const std::string name =
        current.text.substr(static_cast<size_t>(t.start), static_cast<size_t>(t.end - t.start));
    changes.push_back({token, json_string(run_file_path(tagged, name))});
  }
  text = with_tokens(text, current, changes);
  return true;
}

TradeOff sweep_trade_off(const SweepAxis& axis, int32_t uses) {
  TradeOff trade{MEASURE_PERIMETER, MEASURE_POTENTIAL};
  if (axis.name == "process.functions-weight" && axis.indices.size() == 1) {
    switch (axis.indices[0]) {
      case 2:
        trade.x = MEASURE_ISLANDS;
        break;
      case 3:
        trade.x = MEASURE_F4;
        break;
      case 4:
        trade.x = MEASURE_DISTANCE;
        break;
      default:
        break;
    }
  }
  // The area grows with the share converted; the cells that come with it are poorer.
  if (axis.name == "preprocess.convert-area" || axis.name.find("demand") != std::string::npos)
    trade.x = MEASURE_AREA;
  if (uses <= 0) return trade;
  trade.uses = uses;
  if (axis.adjacency()) {
    // A cost buys shared sides (or fewer of them) with the uses' own terms.
    const int32_t a = std::min(axis.use_indices[0], axis.use_indices[1]);
    const int32_t b = std::max(axis.use_indices[0], axis.use_indices[1]);
    trade.pair = a * uses - a * (a + 1) / 2 + (b - a - 1);
    trade.x = MEASURE_SHARED_SIDES;
    trade.y = MEASURE_OWN_ENERGY;
  } else if (!axis.use_indices.empty()) {
    trade.use = axis.use_indices[0];
  }
  return trade;
}

namespace {

// A measure of one use's plan, or of a use's columns in a plan of several.
double measure_of(const MapEnergy& energy, const RunMeasures& measures, int32_t measure) {
  switch (measure) {
    case MEASURE_PERIMETER:
      return measures.perimeter;
    case MEASURE_POTENTIAL:
      return measures.mean_potential;
    case MEASURE_ISLANDS:
      return energy.islands;
    case MEASURE_DISTANCE:
      return measures.mean_distance;
    case MEASURE_AREA:
      return measures.area;
    case MEASURE_F4:
      return energy.terms[3];
    default:
      return energy.energy;
  }
}

}  // namespace

double sweep_measure(const RepeatSummary& summary, int32_t measure, const TradeOff& trade) {
  const RepeatRunResult& best = summary.best;
  const bool mean = measure == MEASURE_POTENTIAL || measure == MEASURE_DISTANCE;
  const bool summed = measure == MEASURE_F4 || measure == MEASURE_OWN_ENERGY;
  if (best.uses.empty() || (trade.use < 0 && !mean && !summed && measure != MEASURE_SHARED_SIDES))
    return measure_of(best.energy, best.measures, measure);
  if (measure == MEASURE_SHARED_SIDES)
    return trade.pair >= 0 && static_cast<size_t>(trade.pair) < best.pairs.size()
               ? best.pairs[static_cast<size_t>(trade.pair)].sides
               : std::nan("");
  if (trade.use >= 0 && static_cast<size_t>(trade.use) < best.uses.size()) {
    const UseColumns& use = best.uses[static_cast<size_t>(trade.use)];
    return measure_of(use.energy, use.measures, measure);
  }
  // Over every use: a mean weighed by each use's cells, each cell on its own use's potential and
  // distance; the energies and nservices terms summed.
  double sum = 0.0, cells = 0.0;
  for (const UseColumns& use : best.uses) {
    const double n = mean ? static_cast<double>(use.energy.cells) : 1.0;
    sum += n * measure_of(use.energy, use.measures, measure);
    cells += n;
  }
  return mean ? sum / cells : sum;
}

namespace {

const char* const MEASURE_COLUMNS[] = {"perimeter",     "mean_potential", "islands",
                                       "mean_distance", "area",           "f4",
                                       "shared_sides",  "energy"};

const char* const MEASURE_TITLES[] = {"perimeter of the allocated cells (map units)",
                                      "mean potential of the allocated cells (0-1)",
                                      "islands",
                                      "mean distance to the distance masks (map units)",
                                      "allocated area (map units squared)",
                                      "f4 (nservices term)",
                                      "sides the two uses share",
                                      "the uses' own energy (E without the adjacency term)"};

}  // namespace

std::string sweep_measure_name(int32_t measure, const TradeOff& trade,
                               const std::vector<std::string>& uses) {
  const std::string column = MEASURE_COLUMNS[measure];
  if (trade.uses <= 0 || uses.size() != static_cast<size_t>(trade.uses)) return column;
  if (measure == MEASURE_OWN_ENERGY) return "the sum of the uses' energy";
  if (measure == MEASURE_SHARED_SIDES) {
    int32_t p = 0;
    for (size_t a = 0; a < uses.size(); ++a)
      for (size_t b = a + 1; b < uses.size(); ++b, ++p)
        if (p == trade.pair) return uses[a] + "-" + uses[b] + "." + column;
  }
  if (trade.use >= 0) return uses[static_cast<size_t>(trade.use)] + "." + column;
  const bool mean = measure == MEASURE_POTENTIAL || measure == MEASURE_DISTANCE;
  return column + (mean ? " of every use's new cells" : measure == MEASURE_F4 ? " summed" : "");
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
      "hole_cells,mean_potential,mean_distance,common_share,cells_in_every_run,recommended";
  std::vector<std::string> uses;
  if (!results.empty())
    for (const UseColumns& use : results[0].summary.best.uses) uses.push_back(use.name);
  text += runs_table_use_header(uses) + "\n";
  for (const SweepPointResult& r : results) {
    const RepeatSummary& s = r.summary;
    const RepeatRunResult& b = s.best;
    const MapEnergy& e = b.energy;
    const RunMeasures& m = b.measures;
    // Several uses have no five terms and no means of their own, as in the runs table: each use's
    // columns give them.
    const bool several = !b.uses.empty();
    char line[1024];
    std::snprintf(line, sizeof line, "%d", r.point.index);
    text += line;
    for (size_t a = 0; a < axes.size(); ++a) text += "," + axes[a].labels[r.point.at[a]];
    std::snprintf(line, sizeof line, ",%d,%.17g", b.run, e.energy);
    text += line;
    for (const double t : e.terms) {
      std::snprintf(line, sizeof line, ",%.17g", t);
      text += several ? "," : line;
    }
    char hectares[32] = "";
    if (m.metres) std::snprintf(hectares, sizeof hectares, "%.10g", m.area / 10000.0);
    std::snprintf(line, sizeof line, ",%.17g,%lld,%.10g,%s,%.10g,%d,%lld,%lld", s.median_energy,
                  static_cast<long long>(e.cells), m.area, hectares, m.perimeter, e.islands,
                  static_cast<long long>(m.holes), static_cast<long long>(m.hole_cells));
    text += line;
    std::snprintf(line, sizeof line, ",%.10g,%.10g", m.mean_potential, m.mean_distance);
    text += several ? ",," : line;
    std::snprintf(line, sizeof line, ",%.6f,%lld,%s", s.common_share,
                  static_cast<long long>(s.cells_in_every_run),
                  static_cast<size_t>(r.point.index) == recommended ? "yes" : "no");
    text += line + runs_table_use_fields(b.uses, b.pairs) + "\n";
  }
  return text;
}

std::vector<int32_t> sweep_moved_terms(const std::vector<SweepPointResult>& results, int32_t use) {
  std::vector<int32_t> moved;
  for (int32_t k = 0; k < ENERGY_TERMS; ++k) {
    const auto term = [k, use](const SweepPointResult& r) {
      const RepeatRunResult& best = r.summary.best;
      return use >= 0 && static_cast<size_t>(use) < best.uses.size()
                 ? best.uses[static_cast<size_t>(use)].energy.terms[k]
                 : best.energy.terms[k];
    };
    const auto [low, high] = std::minmax_element(
        results.begin(), results.end(),
        [&](const SweepPointResult& a, const SweepPointResult& b) { return term(a) < term(b); });
    // Below this, a term that moved is the rounding of the same plan's sums.
    if (low != results.end() && term(*high) - term(*low) > 1e-9) moved.push_back(k);
  }
  return moved;
}

namespace {

// The columns of a sweep table, from 1: point, the values, then from `first` best_run, energy,
// f1-f5, median, cells, area, hectares, perimeter, islands, holes, hole_cells, mean_potential,
// mean_distance, common_share, cells_in_every_run, recommended; with several uses, each use's
// group of 15 columns (cells, islands, energy, f1-f5, area, hectares, perimeter, holes,
// hole_cells, mean_potential, mean_distance) and each pair's 3 (shared_sides first).
struct SweepColumns {
  int first = 0;
  const TradeOff& trade;
  int use(int32_t u, int offset) const { return first + 20 + 15 * u + offset; }
  int pair(int32_t p) const { return first + 20 + 15 * trade.uses + 3 * p; }
  // Over every use: the sum of a column, or its mean weighed by each use's cells.
  std::string over_uses(int offset, bool mean) const {
    std::string sum, cells;
    for (int32_t u = 0; u < trade.uses; ++u) {
      const std::string value = "column(" + std::to_string(use(u, offset)) + ")";
      const std::string count = "column(" + std::to_string(use(u, 0)) + ")";
      sum += (u > 0 ? " + " : "") + (mean ? count + " * " + value : value);
      cells += (u > 0 ? " + " : "") + count;
    }
    return mean ? "((" + sum + ") / (" + cells + "))" : "(" + sum + ")";
  }
  // How gnuplot's `using` reads `measure`: a column number, or an expression of columns.
  std::string of(int32_t measure) const {
    static const int ONE[] = {11, 15, 12, 16, 9, 5};     // one use, from `first`
    static const int OWN[] = {10, 13, 1, 14, 8, 6, -1};  // in a use's group
    if (trade.uses <= 0) return std::to_string(first + ONE[measure]);
    if (measure == MEASURE_SHARED_SIDES) return std::to_string(pair(trade.pair));
    if (measure == MEASURE_OWN_ENERGY) return over_uses(2, false);
    if (trade.use >= 0) return std::to_string(use(trade.use, OWN[measure]));
    if (measure == MEASURE_POTENTIAL || measure == MEASURE_DISTANCE)
      return over_uses(OWN[measure], true);
    if (measure == MEASURE_F4) return over_uses(OWN[measure], false);
    return std::to_string(first + ONE[measure]);
  }
  // The axis label: of the measured use (ARG4) or pair (ARG4 and ARG5), or of every use.
  std::string label(int32_t measure) const {
    // A quote doubled is one quote inside gnuplot's single quotes.
    std::string title;
    for (const char* c = MEASURE_TITLES[measure]; *c != '\0'; ++c)
      title += *c == '\'' ? std::string("''") : std::string(1, *c);
    if (trade.uses <= 0 || measure == MEASURE_OWN_ENERGY) return "'" + title + "'";
    if (measure == MEASURE_SHARED_SIDES) return "sprintf('%s and %s: " + title + "', ARG4, ARG5)";
    if (trade.use >= 0) return "sprintf('%s: " + title + "', ARG4)";
    if (measure == MEASURE_POTENTIAL)
      return "'mean potential of the new cells, each on its use''s potential (0-1)'";
    if (measure == MEASURE_DISTANCE)
      return "'mean distance of the new cells to their use''s distance masks (map units)'";
    return "'" + title + ", every use'";
  }
};

}  // namespace

std::string sweep_plot_script(const std::vector<SweepAxis>& axes, const TradeOff& trade,
                              size_t recommended, const std::vector<int32_t>& moved) {
  const SweepColumns columns{2 + static_cast<int>(axes.size()), trade};
  const std::string x = columns.of(trade.x), y = columns.of(trade.y);
  std::string label = axes.size() > 1 ? "sprintf('%s/%s', strcol(2), strcol(3))" : "strcol(2)";
  // Every name (the table, the picture, the swept property, the uses) arrives as a value, ARG1 on
  // of `gnuplot -c`: no character of a name can end a string and become code.
  std::string s;
  s += "# The trade-off of a sweep: one point per value, the recommended one marked.\n";
  s += std::string("# gnuplot -c THIS_SCRIPT TABLE PICTURE TITLE") +
       (trade.pair >= 0  ? " USE OTHER"
        : trade.use >= 0 ? " USE"
                         : "") +
       "\n";
  s += "set terminal pngcairo size 900," + std::string(moved.empty() ? "650" : "1000") +
       " font 'Sans,10' noenhanced\n";
  s += "set output ARG2\n";
  s += "set datafile separator ','\n";
  if (!moved.empty()) s += "set multiplot layout 2,1\n";
  s += "set title ARG3\n";
  s += "set xlabel " + columns.label(trade.x) + "\n";
  s += "set ylabel " + columns.label(trade.y) + "\n";
  s += "set grid\nset key top right\n";
  s += "plot ARG1 skip 1 using " + x + ":" + y +
       " with linespoints lw 2 pt 7 lc rgb '#1f77b4' title 'best run of each value', \\\n";
  s += "     '' skip 1 using " + x + ":" + y + ":(" + label +
       ") with labels offset 0,1 notitle, \\\n";
  s += "     '' skip 1 using " + x + ":(column(1) == " + std::to_string(recommended) + " ? " +
       (y[0] == '(' ? y : "column(" + y + ")") +
       " : NaN) with points pt 6 ps 3 lw 2 lc rgb '#d62728' title 'recommended'\n";
  if (moved.empty()) return s;
  // Below, every energy term that moved, drawn or not: a point worse than its neighbour on both
  // measures above is explained by a term they do not show.
  const std::string terms =
      "energy terms that moved (unweighted; the energy counts f2 and f5 below 0 as 0)";
  s += "set title " + (trade.use >= 0 ? "sprintf('%s: " + terms + "', ARG4)" : "'" + terms + "'") +
       "\n";
  s += "set xlabel 'swept value'\nset ylabel 'term'\n";
  for (size_t i = 0; i < moved.size(); ++i) {
    const int term =
        trade.use >= 0 ? columns.use(trade.use, 3 + moved[i]) : columns.first + 2 + moved[i];
    s += std::string(i == 0 ? "plot" : "    ") + " ARG1 skip 1 using 1:" + std::to_string(term) +
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
