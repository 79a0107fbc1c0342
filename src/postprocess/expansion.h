// The expansion driver of POSTPROCESS: after the selection it clears the worst group, prepares
// the probability map, regrows the best group by every cell taken away (freely or basin by basin,
// as "postprocess.expand.basins-map" says) and writes the final map and its mask.
#pragma once

#include <cstdint>

struct PostprocessParameters;

/// Clears the worst group, regrows the best group by `cells_purged` plus the cells cleared, and
/// writes "postprocess.output" and "postprocess.output-mask" once the growth is complete.
void expand_islands(const PostprocessParameters& p, int32_t cells_purged);
