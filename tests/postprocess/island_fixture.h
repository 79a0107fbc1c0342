// A fixture for the island work of POSTPROCESS: a fresh process state, a block of five maps and
// the labelling arrays, with the solution map given row-major and working cell value 1.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "driver/random.h"
#include "raster/grid.h"
#include "raster/islands.h"
#include "test_support.h"

class IslandMapTest : public testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  /// Map 0 becomes `solution`, map 2 (the probability map) 1.0 everywhere.
  void prepare(int nrows, int ncols, const std::vector<float>& solution) {
    setup_grid(nrows, ncols, 5);
    set_map(0, solution);
    set_map(2, std::vector<float>(solution.size(), 1.0f));
    working_cell_value = 1.0f;
    ASSERT_TRUE(islands_allocate(static_cast<size_t>(nrows * ncols)));
    rand_seed(7);
  }
};
