// The expansion driver of POSTPROCESS: after the selection it clears the worst group, prepares
// the probability map and regrows the best group by every cell taken away (freely or basin by
// basin, as "postprocess.expand.basins-map" says); then the final map and its mask are written.
#pragma once

#include <cstdint>

#include "postprocess/postprocess_run.h"

/// Clears the worst group and regrows the best group by `cells_purged` plus the cells cleared.
void expand_islands(PostprocessRun& p, int64_t cells_purged);

/// Writes "postprocess.output" and, from it, the mask "postprocess.output-mask".
void write_final_maps(PostprocessRun& p);
