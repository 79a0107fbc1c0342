// What the program accepts, as data: the table of every configuration property the stages read
// and the JSON that `--describe` prints from it and from the command-line options. The check
// before a run warns about properties missing from the same table, and the fronts (the Python
// package, a QGIS provider) build their parameters from the JSON, so there is one list.
#pragma once

#include <string>
#include <vector>

/// One configuration property. Texts are one line; the optional ones are nullptr when absent.
struct PropertyInfo {
  const char* name;      ///< dotted path
  const char* type;      ///< output (a file written), file-or-empty, files, file-groups,
                         ///< number, numbers, number-groups, integer, switch or word
  const char* accepted;  ///< the accepted values in words
  const char* minimum;   ///< a JSON number bounding the value (or each element) from below
  const char* maximum;   ///< and from above
  const char* words;     ///< a word's choices, separated by blanks
  const char* fallback;  ///< the value (as JSON) when the property is absent; nullptr: required
  const char* stages;    ///< the stages that read it, separated by blanks
  const char* help;
};

/// Every property that some stage reads, also those read only in some modes.
const std::vector<PropertyInfo>& property_table();

/// The property named `name`, or nullptr.
const PropertyInfo* find_property(const std::string& name);

/// One command-line option as `--describe` shows it.
struct OptionInfo {
  const char* name;
  const char* argument;  ///< what follows '=', or nullptr
  const char* help;
};

/// The JSON document of `--describe`: the program's version, `options` and every property.
std::string describe_json(const std::vector<OptionInfo>& options, const char* version);
