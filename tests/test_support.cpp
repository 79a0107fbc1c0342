#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "config/config.h"
#include "driver/random.h"
#include "raster/grid.h"
#include "raster/islands.h"

FatalResult run_capturing(const std::function<void()>& body) {
  LogCapture capture;
  try {
    body();
  } catch (const FatalExit& e) {
    return {true, e.code, capture.text()};
  }
  return {false, 0, capture.text()};
}

std::string grid_text(int nrows, int ncols, const std::vector<float>& values, double cellsize) {
  std::ostringstream out;
  out << "ncols " << ncols << "\nnrows " << nrows << "\nxllcorner 0\nyllcorner 0\ncellsize "
      << cellsize << "\nNODATA_value -9999";
  for (int i = 0; i < nrows * ncols; ++i)
    out << (i % ncols == 0 ? '\n' : ' ') << values.at(static_cast<size_t>(i));
  return out.str() + "\n";
}

void reset_process_state() {
  config_release();
  maps_release();
  islands_release();
  island_state = IslandState{};
  grid_reset_geometry();
  working_cell_value = 0.0f;
  rand_clear_fixed_seed();
  rand_seed(1);
}

void load_config(const std::string& json) {
  ASSERT_GT(config_load_text(json.c_str()), 0) << "configuration does not tokenise: " << json;
}

void setup_grid(int nrows, int ncols, int maps) {
  maps_release();
  grid_reset_geometry();
  grid_geometry.nrows = nrows;
  grid_geometry.ncols = ncols;
  grid_geometry.cellsize = 1.0;
  LogCapture quiet;
  maps_allocate(maps);
}

void set_map(int k, const std::vector<float>& values) {
  ASSERT_EQ(values.size(), grid_cell_count());
  std::memcpy(map_cells(k), values.data(), values.size() * sizeof(float));
}

std::vector<float> get_map(int k) {
  const float* cells = map_cells(k);
  return std::vector<float>(cells, cells + grid_cell_count());
}
