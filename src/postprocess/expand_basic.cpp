#include "postprocess/expand_basic.h"

#include <cinttypes>

#include "base/log.h"

int64_t expand_basic(PostprocessRun& p, int64_t cells_to_assign, AssignPreference preference,
                     bool narrowing) {
  IslandSizes sizes = growth_begin(p);
  log_message("  calculating (to assign %" PRId64 " cells)...\n", cells_to_assign);
  int64_t remaining = cells_to_assign;
  int64_t sweeps = 0;
  GrowthFrontier frontier;
  frontier.narrowing = narrowing;
  Progress progress = progress_begin(1.0);
  while (remaining > 0) {
    growth_progress(progress, cells_to_assign, remaining, sweeps);
    ++sweeps;
    const SweepResult sweep = growth_sweep(p, sizes, preference, nullptr, remaining, frontier);
    // Without a growth and without any draw that could accept, the next sweep would find the
    // same map and do the same: the islands cannot reach the count.
    if (sweep.added == 0 && !sweep.could_grow) {
      log_message("error: no free cells around the islands to hold the number of cells needed!\n");
      fatal(-1, "  %" PRId64 " cells still unassigned\n", remaining);
    }
  }
  progress_end(progress);
  log_message("    expansion finished after %" PRId64 " steps\n", sweeps);
  return sweeps;
}

void expand_basic_branch(PostprocessRun& p, int64_t cells_to_assign) {
  log_message("BASIC MODE selected\n");
  log_message("config parameters\n");
  echo_assign_preference("preference", p.params.preference);
  expand_basic(p, cells_to_assign, p.params.preference);
}
