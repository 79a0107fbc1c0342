// QGIS style sidecars for the maps a run writes: beside every solution map, mask and frequency
// grid, a `.qml` with the same name stem, which QGIS applies whichever way the map is opened. A
// solution map gets one category per code it holds (excluded, free, each existing use, the new
// allocation: the map's largest code), a mask its one category, a frequency grid a graduated ramp
// from 0 to the number of runs. Written atomically, like the maps, and left out of the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// The style file QGIS looks for beside the grid `path`: its extension replaced by ".qml".
std::string style_sidecar_path(const std::string& path);

/// What a code of a solution map stands for when several land uses are decided: a use's new
/// cells, or land of that use already there.
struct CodeLabel {
  float code = 0.0f;
  std::string label;     ///< the use's name, or "existing <name>"
  bool planned = false;  ///< new cells of the use
};

/// Writes the category style of the solution map `cells` (n cells) beside `path`. Without
/// `labels`, the largest code is the new allocation and the others existing uses; with them,
/// each code they name is labelled so.
void style_write_solution(const std::string& path, const float* cells, size_t n,
                          const std::vector<CodeLabel>* labels = nullptr);

/// Writes the style of a mask (1 on the allocated cells) beside `path`.
void style_write_mask(const std::string& path);

/// Writes the graduated style of a frequency grid of `runs` runs beside `path`.
void style_write_frequency(const std::string& path, int32_t runs);
