#include "scenario/scenario.h"

#include <algorithm>

#include "base/log.h"
#include "raster/grid.h"

namespace {

std::vector<float>& handover_slot(Run& run, Handover which) {
  return which == Handover::preprocess_output ? run.preprocess_output : run.process_output;
}

}  // namespace

void stage_seed(const Scenario& scenario, Run& run) {
  rand_seed(run.rng, rand_stage_seed(scenario.seed));
}

void stage_read_handover(Run& run, Handover which, const std::string& path, MapBlock& maps,
                         int32_t k) {
  const std::vector<float>& kept = handover_slot(run, which);
  if (!run.in_memory || kept.size() != maps.cell_count()) {
    grid_read(path.c_str(), maps, k);
    return;
  }
  log_message("* take '%s' from memory\n", path.c_str());
  std::copy(kept.begin(), kept.end(), maps.map(k));
}

void stage_write_handover(Run& run, Handover which, const std::string& path, const MapBlock& maps,
                          int32_t k) {
  if (!run.in_memory) {
    grid_write(path.c_str(), maps, k);
    return;
  }
  log_message("* keep '%s' in memory\n", path.c_str());
  const float* cells = maps.map(k);
  handover_slot(run, which).assign(cells, cells + maps.cell_count());
}
