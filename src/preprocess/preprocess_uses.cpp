#include "preprocess/preprocess_uses.h"

#include <cinttypes>
#include <vector>

#include "base/log.h"
#include "preprocess/demand.h"
#include "preprocess/distribution.h"
#include "preprocess/initial_state.h"
#include "raster/map_ops.h"
#include "scenario/loaders.h"

void run_preprocess_uses(const Scenario& scenario, const LandUses& uses, Run& run) {
  run.code_labels = land_uses_code_labels(uses);
  run.written_codes = land_uses_written_codes(uses);
  const ConfigDocument& config = scenario.config;
  log_message("PREPROCESS begin\n");
  log_message("init\n");
  maps_init_geometry(config, run.geometry);
  MapBlock maps = maps_allocate(run.geometry, PREPROCESS_MAPS);
  maps.threads = run.threads;
  log_message("init solution map\n");
  land_uses_base_map(config, maps);
  float* solution = maps.map(PREPROCESS_SOLUTION_MAP);
  const size_t n = maps.cell_count();
  // A use's new cells are told apart from what the map held by their code alone (or, where the
  // code is one of its existing codes, by a value of their own no map holds).
  for (size_t i = 0; i < n; ++i) {
    const int32_t k = land_use_of_code(uses, solution[i]);
    if (k >= 0) {
      fatal(1, "error: the code %g of land use '%s' is in the initial-values map already!\n",
            static_cast<double>(solution[i]), uses.uses[static_cast<size_t>(k)].name.c_str());
    }
  }
  stage_seed(scenario, run);
  for (const LandUse& use : uses.uses) {
    log_message("land use '%s' (code %g)\n", use.name.c_str(), static_cast<double>(use.code));
    // The codes it may convert are free while it places its cells; those it leaves get theirs back.
    std::vector<std::pair<size_t, float>> converted;
    for (size_t i = 0; i < n; ++i) {
      if (solution[i] != CELL_AVAILABLE && land_use_may_take(use, solution[i])) {
        converted.emplace_back(i, solution[i]);
        solution[i] = CELL_AVAILABLE;
      }
    }
    const int64_t available = count_equal(solution, n, CELL_AVAILABLE);
    const int64_t demand = demand_cells(*demand_read(use.config, "preprocess.demand"), run.geometry,
                                        available, "land use '" + use.name + "'");
    log_message("  %" PRId64 " cells free\n", available);
    demand_echo(*demand_read(use.config, "preprocess.demand"), demand, run.geometry);
    if (config_get_text_list(use.config, "preprocess.distribution-masks").empty()) {
      map_fill(maps, PREPROCESS_SOLUTION_MAP, PREPROCESS_DISTRIBUTION_MAP, 1.0f);
    } else {
      distribution_map_build(use.config, maps);
    }
    const PlacementCounts counts =
        initial_state_place(maps, use.value, run.rng, demand, SAMPLER_AUTO, nullptr);
    log_message("  %" PRId64 " cells placed\n", counts.accepted);
    for (const auto& [i, code] : converted)
      if (solution[i] == CELL_AVAILABLE) solution[i] = code;
  }
  char output[CONFIG_TEXT_MAX];
  config_get_text(config, "preprocess.output", output);
  stage_write_handover(run, Handover::preprocess_output, output, maps, PREPROCESS_SOLUTION_MAP);
  log_message("PREPROCESS end\n");
}
