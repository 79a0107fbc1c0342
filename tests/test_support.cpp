#include "test_support.h"

#include "raster/grid.h"

FatalResult run_capturing(const std::function<void()>& body) {
  LogCapture capture;
  try {
    body();
  } catch (const FatalExit& e) {
    return {true, e.code, capture.text()};
  }
  return {false, 0, capture.text()};
}

std::string outcome(const std::function<void()>& body) {
  const FatalResult r = run_capturing(body);
  return std::to_string(r.fatal ? r.code : 0) + r.log;
}

std::string naming(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("%s")) != std::string::npos;) text.replace(at, 2, path);
  return text;
}

std::string grid_text(int nrows, int ncols, const std::vector<float>& values, double cellsize) {
  std::ostringstream out;
  out << "ncols " << ncols << "\nnrows " << nrows << "\nxllcorner 0\nyllcorner 0\ncellsize "
      << cellsize << "\nNODATA_value -9999";
  for (int i = 0; i < nrows * ncols; ++i)
    out << (i % ncols == 0 ? '\n' : ' ') << values.at(static_cast<size_t>(i));
  return out.str() + "\n";
}

std::string json(std::string text) {
  std::replace(text.begin(), text.end(), '\'', '"');
  return text;
}

ConfigDocument config_of(const std::string& json) {
  ConfigDocument config;
  EXPECT_GT(config_load_text(config, json.c_str()), 0)
      << "configuration does not tokenise: " << json;
  return config;
}

Scenario scenario_of(const std::string& json) {
  Scenario scenario;
  scenario.config = config_of(json);
  scenario.seed = 1;
  return scenario;
}

MapBlock make_maps(int nrows, int ncols, int maps) {
  GridGeometry geometry;
  geometry.nrows = nrows, geometry.ncols = ncols, geometry.cellsize = 1.0;
  LogCapture quiet;
  return maps_allocate(geometry, maps);
}

MapBlock maps_for(const std::string& file) {
  LogCapture quiet;
  return maps_allocate(grid_read_geometry(file.c_str()), 2);
}

void set_map(MapBlock& maps, int k, const std::vector<float>& values) {
  ASSERT_EQ(values.size(), maps.cell_count());
  std::memcpy(maps.map(k), values.data(), values.size() * sizeof(float));
}

std::vector<float> get_map(const MapBlock& maps, int k) {
  const float* cells = maps.map(k);
  return std::vector<float>(cells, cells + maps.cell_count());
}
