#include "scenario/land_uses.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "raster/geometry.h"
#include "scenario/loaders.h"

namespace {

// The largest adjacency cost, in magnitude.
constexpr double ADJACENCY_MAX = 1e6;

// A use's own properties and the shared ones they stand for.
struct UseProperty {
  const char* key;
  const char* shared;
};
constexpr UseProperty USE_PROPERTIES[] = {
    {"potential-maps", "maps.potential-maps"},
    {"potential-maps-weight", "maps.potential-maps-weight"},
    {"functions-weight", "process.functions-weight"},
    {"demand", "preprocess.demand"},
    {"distribution-masks", "preprocess.distribution-masks"},
    {"distance-masks", "process.distance-masks"},
    {"distance-maps", "process.distance-maps"},
};

[[noreturn]] void use_error(int code, const std::string& what, const std::string& why) {
  fatal(code, "error: %s %s!\n", what.c_str(), why.c_str());
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string element_path(const std::string& path, int32_t i) {
  return path + "[" + std::to_string(i) + "]";
}

// The number at token i (property `what`); a token that is no number is fatal (exit 2).
double token_number(const ConfigDocument& config, int32_t i, const std::string& what) {
  if (!config_token_is(config, i, CONFIG_PRIMITIVE))
    use_error(2, "property '" + what + "'", "must be a number");
  const ConfigToken& t = config.tokens[static_cast<size_t>(i)];
  const std::string text(config.text.data() + t.start, static_cast<size_t>(t.end - t.start));
  bool ok = false;
  const double value = config_parse_number(text.c_str(), &ok);
  if (!ok) use_error(2, "property '" + what + "'", "must be a number");
  return value;
}

// A code of a map cell: a whole number from 1 on that a float holds exactly.
float read_code(const ConfigDocument& config, int32_t i, const std::string& what) {
  const double code = token_number(config, i, what);
  if (!(code >= 1.0 && code <= 16777216.0 && code == std::trunc(code))) {
    config_out_of_range(1, "error: property out of range in config json file!\n",
                        "property '" + what + "'", code, "whole numbers from 1 to 16777216");
  }
  return static_cast<float>(code);
}

std::vector<float> read_codes(const ConfigDocument& config, int32_t array,
                              const std::string& what) {
  if (!config_token_is(config, array, CONFIG_ARRAY))
    use_error(2, "property '" + what + "'", "must be an array");
  std::vector<float> codes;
  for (int32_t i = 0; i < config_child_count(config, array); ++i)
    codes.push_back(
        read_code(config, config_element_token(config, array, i), element_path(what, i)));
  return codes;
}

// The use object at token `object`: its name, code, codes and the configuration it reads.
LandUse read_use(const ConfigDocument& config, int32_t object, int32_t index) {
  const std::string path = element_path("land-uses", index);
  if (!config_token_is(config, object, CONFIG_OBJECT))
    use_error(2, "property '" + path + "'", "must be an object");
  LandUse use;
  const int32_t name = config_find(config, object, "name");
  if (!config_token_is(config, name, CONFIG_STRING))
    use_error(2, "property '" + path + ".name'", "must be a text");
  const ConfigToken& t = config.tokens[static_cast<size_t>(name)];
  use.name.assign(config.text.data() + t.start, static_cast<size_t>(t.end - t.start));
  // The name goes into file names (one frequency grid per use).
  const bool plain = !use.name.empty() && std::all_of(use.name.begin(), use.name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
  });
  if (!plain)
    use_error(1, "land use name '" + use.name + "'", "is not made of letters, digits, '-' and '_'");
  const int32_t code = config_find(config, object, "code");
  if (code < 0) use_error(2, "property '" + path + ".code'", "is missing");
  use.code = read_code(config, code, path + ".code");
  const int32_t existing = config_find(config, object, "existing-codes");
  if (existing >= 0) use.existing_codes = read_codes(config, existing, path + ".existing-codes");
  if (config_find(config, object, "demand") < 0)
    use_error(2, "property '" + path + ".demand'", "is missing");

  std::vector<ConfigChange> changes = {
      {"land-uses", ""}, {"conversions", ""}, {"adjacency", ""}, {"preprocess.convert-area", ""}};
  for (const UseProperty& property : USE_PROPERTIES) {
    const int32_t value = config_find(config, object, property.key);
    if (value >= 0) changes.push_back({property.shared, config_json(config, value)});
  }
  const int32_t count = config_load_text(use.config, config_json_with(config, changes).c_str());
  if (count <= 0) use_error(2, "land use '" + use.name + "'", "does not make a configuration");
  return use;
}

// A conversion takes cells that belong to no other use: a use's new code would let another use
// take its new cells and its demand with them, an existing code another use's land. A use's own
// existing codes stay convertible (its old land rebuilt as new).
void refuse_taken_codes(const LandUses& uses, const LandUse& taker, const std::vector<float>& codes,
                        const std::string& what) {
  for (size_t i = 0; i < codes.size(); ++i) {
    for (const LandUse& owner : uses.uses) {
      const bool existing =
          &owner != &taker && std::find(owner.existing_codes.begin(), owner.existing_codes.end(),
                                        codes[i]) != owner.existing_codes.end();
      if (codes[i] != owner.code && !existing) continue;
      char code[32];
      std::snprintf(code, sizeof code, "%g", static_cast<double>(codes[i]));
      use_error(1, "property '" + element_path(what, static_cast<int32_t>(i)) + "'",
                "is " + std::string(existing ? "an existing code" : "the code") + " of land use '" +
                    owner.name + "' (" + code +
                    "): a conversion takes only codes that belong to no other use");
    }
  }
}

}  // namespace

std::vector<std::string> land_use_keys() {
  std::vector<std::string> keys = {"name", "code", "existing-codes"};
  for (const UseProperty& property : USE_PROPERTIES) keys.push_back(property.key);
  return keys;
}

std::string land_use_shared_property(const std::string& key) {
  for (const UseProperty& property : USE_PROPERTIES) {
    if (key == property.key) return property.shared;
  }
  return "";
}

bool land_uses_present(const ConfigDocument& config) {
  return config_find(config, 0, "land-uses") >= 0;
}

LandUses land_uses_read(const ConfigDocument& config) {
  LandUses result;
  const int32_t array = config_find(config, 0, "land-uses");
  if (!config_token_is(config, array, CONFIG_ARRAY) || config_child_count(config, array) == 0)
    use_error(2, "property 'land-uses'", "must be an array of one use or more");
  const int32_t k = config_child_count(config, array);
  for (int32_t i = 0; i < k; ++i)
    result.uses.push_back(read_use(config, config_element_token(config, array, i), i));
  for (int32_t a = 0; a < k; ++a) {
    for (int32_t b = 0; b < a; ++b) {
      const LandUse& x = result.uses[static_cast<size_t>(a)];
      const LandUse& y = result.uses[static_cast<size_t>(b)];
      if (x.name == y.name) use_error(1, "land use name '" + x.name + "'", "is given twice");
      // Each use names files of its own: names apart only by case collide where the folder
      // ignores case.
      if (lower_case(x.name) == lower_case(y.name))
        use_error(1, "land use names '" + y.name + "' and '" + x.name + "'",
                  "differ only by case (their files would collide on some folders)");
      if (x.code == y.code)
        use_error(1, "land uses '" + y.name + "' and '" + x.name + "'", "have the same code");
    }
  }
  // Above 2^24 floats step by 2: the values stay whole and apart from every code.
  constexpr float FIRST_VALUE = 16777218.0f;
  for (size_t u = 0; u < result.uses.size(); ++u) {
    LandUse& use = result.uses[u];
    const bool old_code = std::find(use.existing_codes.begin(), use.existing_codes.end(),
                                    use.code) != use.existing_codes.end();
    use.value = old_code ? FIRST_VALUE + 2.0f * static_cast<float>(u) : use.code;
  }

  const int32_t conversions = config_find(config, 0, "conversions");
  if (conversions >= 0) {
    if (!config_token_is(config, conversions, CONFIG_OBJECT))
      use_error(2, "property 'conversions'", "must be an object of use names");
    int32_t key = conversions + 1;
    for (int32_t m = 0; m < config_child_count(config, conversions); ++m) {
      const ConfigToken& t = config.tokens[static_cast<size_t>(key)];
      const std::string name(config.text.data() + t.start, static_cast<size_t>(t.end - t.start));
      const auto use = std::find_if(result.uses.begin(), result.uses.end(),
                                    [&](const LandUse& u) { return u.name == name; });
      if (use == result.uses.end())
        use_error(1, "property 'conversions." + name + "'", "names no land use");
      use->conversions = read_codes(config, key + 1, "conversions." + name);
      refuse_taken_codes(result, *use, use->conversions, "conversions." + name);
      key = config_skip(config, key + 1);
    }
  }

  result.adjacency.assign(static_cast<size_t>(k) * static_cast<size_t>(k), 0.0);
  const int32_t adjacency = config_find(config, 0, "adjacency");
  if (adjacency >= 0) {
    const std::string shape = "a " + std::to_string(k) + " x " + std::to_string(k) + " array";
    if (!config_token_is(config, adjacency, CONFIG_ARRAY) ||
        config_child_count(config, adjacency) != k)
      use_error(1, "property 'adjacency'", "must be " + shape);
    for (int32_t a = 0; a < k; ++a) {
      const int32_t row = config_element_token(config, adjacency, a);
      if (!config_token_is(config, row, CONFIG_ARRAY) || config_child_count(config, row) != k)
        use_error(1, "property 'adjacency'", "must be " + shape);
      for (int32_t b = 0; b < k; ++b) {
        const std::string what = "adjacency[" + std::to_string(a) + "][" + std::to_string(b) + "]";
        const double cost = token_number(config, config_element_token(config, row, b), what);
        // Each of a use's terms is about 0 to 1 a weight: a cost far past that says nothing more,
        // and one near the float range drives the energy to infinity.
        if (!(std::fabs(cost) <= ADJACENCY_MAX)) {
          char text[64];
          std::snprintf(text, sizeof text, "is %g, accepted -1e6 to 1e6", cost);
          use_error(1, "property '" + what + "'", text);
        }
        if (a == b && cost != 0.0)
          use_error(1, "property '" + what + "'", "must be 0 (a use does not border itself)");
        result.adjacency[static_cast<size_t>(a * k + b)] = cost;
      }
    }
    for (int32_t a = 0; a < k; ++a)
      for (int32_t b = 0; b < a; ++b)
        if (result.cost(static_cast<size_t>(a), static_cast<size_t>(b)) !=
            result.cost(static_cast<size_t>(b), static_cast<size_t>(a)))
          use_error(1, "property 'adjacency'", "is not symmetric");
  }
  return result;
}

int32_t land_use_of_code(const LandUses& uses, float value) {
  for (size_t k = 0; k < uses.uses.size(); ++k)
    if (uses.uses[k].value == value) return static_cast<int32_t>(k);
  return -1;
}

int32_t land_use_of_cell(const LandUses& uses, float value, float base) {
  for (size_t k = 0; k < uses.uses.size(); ++k) {
    const LandUse& use = uses.uses[k];
    if (use.value == value || (use.code == value && base != value)) return static_cast<int32_t>(k);
  }
  return -1;
}

std::vector<std::pair<float, float>> land_uses_written_codes(const LandUses& uses) {
  std::vector<std::pair<float, float>> codes;
  for (const LandUse& use : uses.uses)
    if (use.value != use.code) codes.emplace_back(use.value, use.code);
  return codes;
}

void land_uses_base_map(const ConfigDocument& config, MapBlock& maps) {
  maps_init_solution(config, maps);
  maps_apply_masks(config, maps, "maps.exclusion-masks", 0, CELL_MASKED);
  char path[CONFIG_TEXT_MAX];
  config_get_text(config, "preprocess.init-values-map", path);
  if (path[0] != '\0') init_values_apply(maps, path);
}

bool land_use_may_take(const LandUse& use, float v) {
  return v == CELL_AVAILABLE ||
         std::find(use.conversions.begin(), use.conversions.end(), v) != use.conversions.end();
}

double land_uses_adjacency_range(int64_t new_cells) {
  const double n = static_cast<double>(new_cells);
  const double range = 4.0 * n - 4.0 * std::ceil(std::sqrt(n));
  return range > 0.0 ? range : 1.0;
}

std::vector<CodeLabel> land_uses_code_labels(const LandUses& uses) {
  std::vector<CodeLabel> labels;
  for (const LandUse& use : uses.uses) labels.push_back({use.code, use.name, true});
  for (const LandUse& use : uses.uses) {
    // Where its new land is written as its old, the one code is the use's.
    for (const float code : use.existing_codes)
      if (code != use.code) labels.push_back({code, "existing " + use.name});
  }
  return labels;
}
