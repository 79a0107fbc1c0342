#include "fuzz/fuzz_entries.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "driver/log.h"
#include "raster/grid.h"

namespace {

constexpr size_t MAX_PATHS = 64;
// Getters end in a fatal error for most paths, and each costs an exception: fewer paths suffice.
constexpr size_t MAX_GETTER_PATHS = 24;
constexpr size_t MAX_KEY_LENGTH = 64;

std::string token_text(int32_t i) {
  const jsmntok_t& t = config_document.tokens[i];
  return std::string(config_document.text + t.start, static_cast<size_t>(t.end - t.start));
}

// Real paths first (walking the objects from the root as a stage would name their members), then
// near misses built from the key texts in document order: the fuzzer shapes both through the keys.
void collect_member_paths(int32_t object, const std::string& prefix, int depth,
                          std::vector<std::string>* paths) {
  if (depth > 8 || object < 0 || object >= config_document.token_count ||
      config_document.tokens[object].type != JSMN_OBJECT) {
    return;
  }
  int32_t key = object + 1;
  for (int32_t m = 0; m < config_document.tokens[object].size && paths->size() < MAX_PATHS; ++m) {
    if (key < 0 || key + 1 >= config_document.token_count) return;
    if (config_document.tokens[key].type == JSMN_STRING &&
        config_document.tokens[key].end - config_document.tokens[key].start <=
            static_cast<int>(MAX_KEY_LENGTH)) {
      const std::string path = prefix + token_text(key);
      paths->push_back(path);
      collect_member_paths(key + 1, path + ".", depth + 1, paths);
    }
    key = config_skip(key + 1);
  }
}

std::vector<std::string> derived_paths() {
  std::vector<std::string> paths = {"", ".", "..", "maps.potential-maps"};
  collect_member_paths(0, "", 0, &paths);
  std::vector<std::string> keys;
  for (int32_t i = 0; i < config_document.token_count && keys.size() < 24; ++i) {
    const jsmntok_t& t = config_document.tokens[i];
    if (t.type == JSMN_STRING && t.end - t.start <= static_cast<int>(MAX_KEY_LENGTH)) {
      keys.push_back(token_text(i));
    }
  }
  for (size_t k = 0; k < keys.size() && paths.size() < MAX_PATHS; ++k) {
    paths.push_back(keys[k] + ".");
    paths.push_back("." + keys[k]);
    if (k + 1 < keys.size()) paths.push_back(keys[k] + "." + keys[k + 1]);
    if (k + 2 < keys.size()) paths.push_back(keys[k] + "." + keys[k + 1] + "." + keys[k + 2]);
  }
  return paths;
}

// Runs a getter; a fatal error is the documented answer to a missing or mistyped property and must
// carry the configuration's exit code.
template <typename Body>
std::string fatal_or_nothing(const std::string& what, Body body) {
  try {
    body();
  } catch (const FatalExit& e) {
    if (e.code != 2) return what + " ended with code " + std::to_string(e.code);
  }
  return "";
}

std::string check_terminated(const std::string& what, const char* buffer) {
  if (std::memchr(buffer, '\0', CONFIG_TEXT_MAX) == nullptr) return what + " left no terminator";
  return "";
}

std::string check_structure() {
  const int32_t count = config_document.token_count;
  for (int32_t i = -2; i <= count + 1; ++i) {
    const int32_t next = config_skip(i);
    const bool valid = i >= 0 && i < count;
    if (next != -1 && (!valid || next <= i || next > count)) {
      return "config_skip(" + std::to_string(i) + ") = " + std::to_string(next);
    }
    const int32_t children = config_child_count(i);
    if ((i < 0 || i > count) && children != -1) {
      return "config_child_count(" + std::to_string(i) + ") = " + std::to_string(children);
    }
  }
  return "";
}

std::string check_lookup(const std::string& path) {
  const int32_t count = config_document.token_count;
  for (const int32_t start : {0, 1, count - 1, count, count + 1, -1}) {
    const int32_t found = config_find(start, path.c_str());
    if (found == -1) continue;
    if (found <= start || found >= count) {
      return "config_find(" + std::to_string(start) + ", '" + path +
             "') = " + std::to_string(found);
    }
    // The token before a value is the key that named it, and it names the last component.
    const size_t dot = path.rfind('.');
    const std::string last = dot == std::string::npos ? path : path.substr(dot + 1);
    if (config_document.tokens[found - 1].type != JSMN_STRING || token_text(found - 1) != last) {
      return "config_find('" + path + "') found a value not named by its last component";
    }
  }

  return "";
}

std::string check_getters(const std::string& path) {
  const int32_t count = config_document.token_count;
  const char* p = path.c_str();
  char buffer[CONFIG_TEXT_MAX];
  bool filled = false;
  std::string failure = fatal_or_nothing("config_get_string('" + path + "')", [&] {
    config_get_string(p, buffer);
    filled = true;
  });
  if (failure.empty() && filled) failure = check_terminated("config_get_string", buffer);
  if (failure.empty())
    failure = fatal_or_nothing("config_get_number", [&] { config_get_number(p); });
  if (failure.empty()) {
    failure = fatal_or_nothing("config_get_integer", [&] { config_get_integer(p); });
  }
  if (failure.empty()) failure = fatal_or_nothing("config_get_flag", [&] { config_get_flag(p); });
  int32_t array = -1;
  if (failure.empty()) {
    failure = fatal_or_nothing("config_get_array", [&] { array = config_get_array(p); });
  }
  if (failure.empty() && array != -1 &&
      (array >= count || config_document.tokens[array].type != JSMN_ARRAY)) {
    failure = "config_get_array('" + path + "') gave no array";
  }
  return failure;
}

std::string check_elements(int32_t array) {
  const int32_t count = config_document.token_count;
  const int32_t size = config_child_count(array);
  for (int32_t i = -1; i <= size && i < 64; ++i) {
    const int32_t element = config_element_token(array, i);
    if (element != -1 && (element <= array || element >= count)) {
      return "config_element_token(" + std::to_string(array) + ", " + std::to_string(i) +
             ") = " + std::to_string(element);
    }
    // A prefilled buffer: an element that is not copied leaves it as it was, terminated.
    char buffer[CONFIG_TEXT_MAX] = "previous";
    const std::string failure = fatal_or_nothing(
        "config_element_text", [&] { config_element_text("array", array, i, buffer); });
    if (!failure.empty()) return failure;
    const std::string unterminated = check_terminated("config_element_text", buffer);
    if (!unterminated.empty()) return unterminated;
  }
  return "";
}

}  // namespace

std::string fuzz_config_input(const uint8_t* data, size_t size) {
  // The document ends at its first NUL, as a file read by the driver does.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t count = config_load_text(text.c_str());
  std::string failure;
  if (count != config_document.token_count) {
    failure = "token count not kept";
  } else if (count > 0) {
    failure = check_structure();
    const std::vector<std::string> paths = derived_paths();
    for (size_t k = 0; k < paths.size() && failure.empty(); ++k) {
      failure = check_lookup(paths[k]);
      if (failure.empty() && k < MAX_GETTER_PATHS) failure = check_getters(paths[k]);
    }
    for (int32_t i = 0, arrays = 0; i < count && arrays < 16 && failure.empty(); ++i) {
      if (config_document.tokens[i].type != JSMN_ARRAY) continue;
      ++arrays;
      failure = check_elements(i);
    }
  }
  config_release();
  return failure;
}

namespace {

// What a value becomes once written with "%g" and read back.
float written_and_read(float value) {
  if (value == CELL_NODATA) return CELL_NODATA;
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return std::strtof(text, nullptr);
}

// Reads the file the geometry came from into map 0. Its values may be damaged (the fatal error is
// passed on), but its header must match the geometry taken from it.
std::string read_own_file(const std::string& input, int32_t* valid) {
  FILE* const previous = log_stream();
  char* text = nullptr;
  size_t length = 0;
  FILE* captured = open_memstream(&text, &length);
  if (captured == nullptr) return "open_memstream failed";
  log_set_stream(captured);
  bool ended = false;
  try {
    *valid = grid_read(input.c_str(), 0);
  } catch (const FatalExit&) {
    ended = true;
  }
  log_set_stream(previous == stdout ? nullptr : previous);
  std::fclose(captured);
  const bool incompatible = std::strstr(text, "error: incompatible (header) file") != nullptr;
  std::free(text);
  if (incompatible) return "a file is incompatible with the geometry taken from it";
  if (ended) throw FatalExit{1};
  return "";
}

std::string round_trip(const std::string& input, const std::string& output) {
  maps_allocate(2);
  const size_t cells = grid_cell_count();
  int32_t valid = 0;
  const std::string own = read_own_file(input, &valid);
  if (!own.empty()) return own;
  int32_t counted = 0;
  for (size_t i = 0; i < cells; ++i) {
    if (std::isnan(map_cells(0)[i])) return "a NaN cell was stored";
    if (map_cells(0)[i] >= 0.0f) ++counted;
  }
  if (valid != counted)
    return "grid_read counted " + std::to_string(valid) + " valid cells of " +
           std::to_string(counted);
  const int32_t written = grid_write(output.c_str(), 0);
  if (written != valid) return "grid_write counted " + std::to_string(written) + " valid cells";
  try {
    if (grid_read(output.c_str(), 1) != valid) return "written grid reads back another count";
  } catch (const FatalExit&) {
    return "written grid does not read back";
  }
  for (size_t i = 0; i < cells; ++i) {
    if (map_cells(1)[i] != written_and_read(map_cells(0)[i])) {
      return "cell " + std::to_string(i) + " reads back changed";
    }
  }
  return "";
}

bool write_bytes(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir) {
  const std::string input = dir + "/input.asc";
  const std::string output = dir + "/output.asc";
  if (!write_bytes(input, data, size)) return "cannot write " + input;
  maps_release();
  grid_reset_geometry();
  const std::string json = "{\"maps\": {\"potential-maps\": [[\"" + input + "\"]]}}";
  if (config_load_text(json.c_str()) <= 0) return "the harness configuration does not tokenise";
  std::string failure;
  try {
    grid_init_geometry();
    if (grid_geometry.nrows <= 0 || grid_geometry.ncols <= 0) {
      failure = "geometry initialised without cells";
    } else if (grid_cell_count() <= FUZZ_MAX_CELLS) {
      failure = round_trip(input, output);
    }
  } catch (const FatalExit& e) {
    if (e.code != 1) failure = "grid reading ended with code " + std::to_string(e.code);
  }
  maps_release();
  grid_reset_geometry();
  config_release();
  return failure;
}
