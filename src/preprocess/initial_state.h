// The random first allocation of PREPROCESS: a fraction of the available cells of the solution map
// receives the working cell value. Each placement picks an available cell with a chance that rises
// steeply with its weight in the distribution map, so the first solution clusters around the
// distribution masks.
#pragma once

#include <cstdint>

#include "base/random.h"
#include "raster/maps.h"

/// How the placements are drawn. Both samplers pick cells with the same probabilities and report
/// rejection counts with the same distribution; the exact one stays fast when acceptance is rare.
enum PlacementSampler {
  SAMPLER_AUTO,   ///< the plain loop while it accepts at a fair rate, then the exact sampler
  SAMPLER_PLAIN,  ///< rejection sampling: uniform cell draws, then an acceptance draw
  SAMPLER_EXACT,  ///< a weighted draw over the available cells plus a geometric rejection count
};

/// What a placement run did.
struct PlacementCounts {
  int64_t accepted;    ///< cells set to the working cell value
  int64_t rejections;  ///< tries on available cells that failed the acceptance draw
};

/// Acceptance probability of a cell of weight w: a sigmoid centred at 0.9, exactly 0 at w = 0.
double placement_probability(double w);

/// Sets `to_assign` available cells of the solution map (at most the number available) to `value`,
/// the working cell value, with draws from `rng`; the placement weights are `weights`, or the
/// distribution map of `maps` when nullptr.
PlacementCounts initial_state_place(MapBlock& maps, float value, Rng& rng, int64_t to_assign,
                                    PlacementSampler sampler, const float* weights = nullptr);

/// Allocates `cells` of the available cells at random, or trunc(available * fraction) of them when
/// `cells` is negative, and reports the counts; stops with exit code 1 when that places no cell.
void initial_state_create(MapBlock& maps, float value, Rng& rng, float fraction, int64_t cells,
                          const float* weights = nullptr);
