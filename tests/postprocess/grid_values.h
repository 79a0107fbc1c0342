// Reads back the grid files the stages write, for tests that compare whole maps.
#pragma once

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

/// The cell values of a grid file's text, row-major, header pairs skipped.
inline std::vector<float> grid_values(const std::string& text) {
  std::istringstream in(text);
  std::vector<float> values;
  for (std::string word; in >> word;) {
    const bool key = std::isalpha(static_cast<unsigned char>(word[0])) != 0;
    if (!key) values.push_back(std::stof(word));
    if (key) in >> word;  // its value
  }
  return values;
}
