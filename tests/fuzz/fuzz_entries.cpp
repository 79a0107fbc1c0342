#include "fuzz/fuzz_entries.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <vector>

#include "config/config.h"
#include "raster/grid.h"
#include "scenario/loaders.h"

// A fatal error is the answer to a bad input only with an exit code of its part of the system.
static std::string expect_code(const std::vector<int>& codes, const std::string& what,
                               const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalExit& e) {
    if (std::find(codes.begin(), codes.end(), e.code) == codes.end())
      return what + " ended with code " + std::to_string(e.code);
  }
  return "";
}

std::string fuzz_config_input(const uint8_t* data, size_t size) {
  // The document ends at its first NUL, as a file read by the driver does.
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string failure;
  // Paths from the key texts, alone and joined in document order, so the fuzzer shapes them.
  std::vector<std::string> paths = {"", ".", "maps.potential-maps"};
  std::string previous;
  ConfigDocument doc;
  const bool loaded = config_load_text(doc, text.c_str()) > 0;
  for (int32_t i = 0; loaded && i < doc.token_count && paths.size() < 51; ++i) {
    const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
    if (t.type != CONFIG_STRING || t.end - t.start > 64) continue;
    const std::string key(doc.text, static_cast<size_t>(t.start),
                          static_cast<size_t>(t.end - t.start));
    paths.push_back(key);
    paths.push_back(previous + "." + key);
    previous = key;
  }
  for (size_t k = 0; loaded && k < paths.size(); ++k) {
    const std::string& path = paths[k];
    const char* p = path.c_str();
    char buffer[CONFIG_TEXT_MAX] = "previous";  // must stay terminated whatever happens
    const std::function<void()> getters[] = {
        [&] { config_get_string(doc, p, buffer); }, [&] { config_get_number(doc, p); },
        [&] { config_get_integer(doc, p); }, [&] { config_get_flag(doc, p); },
        [&] { config_element_text(doc, p, config_get_array(doc, p), 0, buffer); }};
    for (const auto& body : getters) {
      // A number that is no whole 32-bit count is out of range (1) for the integer getter.
      const std::vector<int> codes =
          &body == &getters[2] ? std::vector<int>{1, 2} : std::vector<int>{2};
      if (failure.empty()) failure = expect_code(codes, "a getter of '" + path + "'", body);
      if (std::memchr(buffer, '\0', sizeof buffer) == nullptr)
        failure = "'" + path + "' unterminated";
    }
  }
  return failure;
}

std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir) {
  const std::string input = dir + "/input.asc", output = dir + "/output.asc";
  if (!std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(data), size))
    return "cannot write " + input;
  ConfigDocument config;
  config_load_text(config, ("{\"maps\": {\"potential-maps\": [[\"" + input + "\"]]}}").c_str());
  int32_t valid = -1;
  bool nan = false;
  MapBlock maps;
  std::string failure = expect_code({1}, "grid reading", [&] {
    GridGeometry g;
    maps_init_geometry(config, g);
    // A NaN geometry value never equals itself: every file, its own too, would not match it.
    nan = std::isnan(g.cellsize) || std::isnan(g.xllcorner) || std::isnan(g.yllcorner);
    // A header alone could ask for gigabytes: large grids are not read.
    if (nan || geometry_cell_count(g) > (1u << 18)) return;
    maps = maps_allocate(g, 2);
    valid = grid_read(input.c_str(), maps, 0);
  });
  if (nan) failure = "the geometry holds NaN";
  try {
    if (valid >= 0 && (grid_write(output.c_str(), maps, 0) != valid ||
                       grid_read(output.c_str(), maps, 1) != valid))
      failure = "the written grid reads back another count";
  } catch (const FatalExit&) {
    failure = "the written grid does not read back";
  }
  // Every value written reads back as the same float.
  for (size_t i = 0; valid >= 0 && i < maps.cell_count() && failure.empty(); ++i) {
    if (maps.map(1)[i] != maps.map(0)[i])
      failure = "cell " + std::to_string(i) + " reads back changed";
  }
  return failure;
}
