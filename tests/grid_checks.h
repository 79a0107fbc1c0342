// Readers of the grids the stages write and the invariants the three stages keep whatever their
// draws, shared by the unit tests, the command-line tests and the pipeline fuzzer.
#pragma once

#include "temp_dir.h"

/// The cell values of a grid file's text, row-major: header words and their values skipped.
inline std::vector<float> grid_values(const std::string& text) {
  std::istringstream in(text);
  std::vector<float> cells;
  for (std::string word; in >> word;) {
    if (std::isalpha(static_cast<unsigned char>(word[0])) != 0)
      in >> word;
    else
      cells.push_back(std::strtof(word.c_str(), nullptr));
  }
  return cells;
}

/// The cell values of the grid file `path`; empty when it cannot be read.
inline std::vector<float> read_cells(const std::string& path) {
  return grid_values(read_file(path));
}

/// Whether `text` ends with `tail`.
inline bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

/// Names in `folder` shaped like the temporary files of outputs ("<output>.XXXXXX").
inline std::vector<std::string> temporaries(const std::string& folder) {
  std::vector<std::string> names = file_names(folder);
  names.erase(
      std::remove_if(names.begin(), names.end(),
                     [](const std::string& n) { return n.size() <= 7 || n[n.size() - 7] != '.'; }),
      names.end());
  return names;
}

/// The first broken invariant of the outputs (empty when not written), "" when they hold: the
/// allocated count kept, no other cell than free or allocated changed, the mask the allocation.
inline std::string pipeline_failure(const std::vector<float>& pre, const std::vector<float>& proc,
                                    const std::vector<float>& post,
                                    const std::vector<float>& mask) {
  if (pre.empty()) return "no PREPROCESS output";
  const float allocated = *std::max_element(pre.begin(), pre.end());
  const auto count = std::count(pre.begin(), pre.end(), allocated);
  if (!(allocated > 0.0f)) return "PREPROCESS wrote no allocation";
  for (const std::vector<float>* map : {&proc, &post}) {
    if (map->empty()) continue;
    if (map->size() != pre.size()) return "an output is not whole";
    if (std::count(map->begin(), map->end(), allocated) != count) return "allocated count changed";
    for (size_t i = 0; i < pre.size(); ++i) {
      const bool open = pre[i] == 0.0f || pre[i] == allocated;
      const float v = (*map)[i];
      if (open ? v != 0.0f && v != allocated : v != pre[i])
        return "cell " + std::to_string(i) + " changed from " + std::to_string(pre[i]);
    }
  }
  if (mask.size() != post.size()) return "the final map and its mask differ in size";
  for (size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] != (post[i] == allocated ? 1.0f : -999.0f)) return "the mask differs";
  }
  return "";
}
