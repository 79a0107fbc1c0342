#include "scenario/scenario.h"

#include <algorithm>

#include "base/log.h"
#include "raster/grid.h"
#include "scenario/map_style.h"

namespace {

PackedMap& handover_slot(Run& run, Handover which) {
  return which == Handover::preprocess_output ? run.preprocess_output : run.process_output;
}

}  // namespace

std::string run_file_path(const Run& run, const std::string& path) {
  // A run that keeps its maps in memory writes only files of its own, under its tag.
  if (!run.write_files || (run.in_memory && run.file_tag.empty())) return std::string();
  if (run.file_tag.empty()) return path;
  const size_t name = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  const bool has_extension =
      dot != std::string::npos && (name == std::string::npos || dot > name + 1);
  if (!has_extension) return path + run.file_tag;
  return path.substr(0, dot) + run.file_tag + path.substr(dot);
}

std::string run_debug_prefix(const Run& run, const std::string& path) {
  return run.debug_files_only ? path : run_file_path(run, path);
}

void stage_seed(const Scenario& scenario, Run& run) {
  rand_seed(run.rng, rand_stage_seed(run.seed ? run.seed : scenario.seed));
}

void stage_read_handover(Run& run, Handover which, const std::string& path, MapBlock& maps,
                         int32_t k) {
  if (which == Handover::preprocess_output && !run.cut.start.empty() &&
      run.cut.start.size() == maps.cell_count()) {
    log_message("* start from the repair of an earlier cut, in memory\n");
    run.cut.start.unpack(maps.map(k));
    return;
  }
  PackedMap& kept = handover_slot(run, which);
  if (!run.in_memory || kept.size() != maps.cell_count()) {
    grid_read(path.c_str(), maps, k);
    return;
  }
  log_message("* take '%s' from memory\n", path.c_str());
  kept.unpack(maps.map(k));
  if (run.handover_read_once) kept = PackedMap();
}

float written_value(const std::vector<std::pair<float, float>>& written, float value) {
  for (const auto& [memory, file] : written)
    if (value == memory) return file;
  return value;
}

void stage_write_solution(const Run& run, const std::string& path, const MapBlock& maps,
                          int32_t k) {
  const std::vector<CodeLabel>* labels = run.code_labels.empty() ? nullptr : &run.code_labels;
  if (run.written_codes.empty()) {
    grid_write(path.c_str(), maps, k);
    style_write_solution(path, maps.map(k), maps.cell_count(), labels);
    return;
  }
  MapBlock written = maps_allocate_quiet(maps.geometry, 1);
  float* cells = written.map(0);
  std::copy(maps.map(k), maps.map(k) + maps.cell_count(), cells);
  for (size_t i = 0; i < written.cell_count(); ++i)
    cells[i] = written_value(run.written_codes, cells[i]);
  grid_write(path.c_str(), written, 0);
  style_write_solution(path, cells, written.cell_count(), labels);
}

void stage_write_handover(Run& run, Handover which, const std::string& path, const MapBlock& maps,
                          int32_t k) {
  const float* cells = maps.map(k);
  if (!run.in_memory) {
    stage_write_solution(run, path, maps, k);
    if (run.also_in_memory) handover_slot(run, which).assign(cells, cells + maps.cell_count());
    return;
  }
  log_message("* keep '%s' in memory\n", path.c_str());
  handover_slot(run, which).assign(cells, cells + maps.cell_count());
  const std::string kept = run_file_path(run, path);
  if (kept.empty()) return;
  stage_write_solution(run, kept, maps, k);
}
