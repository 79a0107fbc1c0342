// Reads back the grid files the stage writes, for tests that compare whole maps.
#pragma once

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

/// The cell values of a grid file's text, row-major, header pairs skipped.
inline std::vector<float> grid_values(const std::string& text) {
  std::istringstream in(text);
  std::vector<float> values;
  std::string word;
  while (in >> word) {
    if (std::isalpha(static_cast<unsigned char>(word[0]))) {
      in >> word;
    } else {
      values.push_back(std::stof(word));
    }
  }
  return values;
}
