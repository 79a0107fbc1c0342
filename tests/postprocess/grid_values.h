// Small readers shared by the stage tests: grid file values and log tails.
#pragma once

#include <sstream>
#include <string>
#include <vector>

/// The cell values of a grid file's text, row-major, after its "nodata_value" header line.
inline std::vector<float> grid_values(const std::string& text) {
  const size_t at = text.find("nodata_value");
  std::istringstream in(at == std::string::npos ? "" : text.substr(at + 12));
  std::vector<float> values;
  for (float v; in >> v;) values.push_back(v);
  return values.empty() ? values : std::vector<float>(values.begin() + 1, values.end());
}

/// Whether `text` ends with `tail`.
inline bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}
