#include "fuzz/fuzz_entries.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "config/config.h"
#include "driver/log.h"
#include "raster/grid.h"

namespace {

constexpr int MAX_KEY_LENGTH = 64;

std::string token_text(int32_t i) {
  const jsmntok_t& t = config_document.tokens[i];
  return std::string(config_document.text + t.start, static_cast<size_t>(t.end - t.start));
}

// Real member paths walked from the root, as a stage names them, then near misses made of the
// key texts in document order: the fuzzer shapes both through the keys.
void member_paths(int32_t object, const std::string& prefix, int depth,
                  std::vector<std::string>* paths) {
  if (depth > 8 || object < 0 || config_document.tokens[object].type != JSMN_OBJECT) return;
  int32_t key = object + 1;
  for (int32_t m = 0; m < config_document.tokens[object].size && paths->size() < 64; ++m) {
    if (key < 0 || key + 1 >= config_document.token_count) return;
    const jsmntok_t& k = config_document.tokens[key];
    if (k.type == JSMN_STRING && k.end - k.start <= MAX_KEY_LENGTH) {
      paths->push_back(prefix + token_text(key));
      member_paths(key + 1, paths->back() + ".", depth + 1, paths);
    }
    key = config_skip(key + 1);
  }
}

std::vector<std::string> derived_paths() {
  std::vector<std::string> paths = {"", ".", "..", "maps.potential-maps"};
  member_paths(0, "", 0, &paths);
  std::vector<std::string> keys;
  for (int32_t i = 0; i < config_document.token_count && keys.size() < 24; ++i) {
    const jsmntok_t& t = config_document.tokens[i];
    if (t.type == JSMN_STRING && t.end - t.start <= MAX_KEY_LENGTH) keys.push_back(token_text(i));
  }
  for (size_t k = 0; k + 1 < keys.size() && paths.size() < 96; ++k) {
    paths.push_back(keys[k] + ".");
    paths.push_back("." + keys[k]);
    paths.push_back(keys[k] + "." + keys[k + 1]);
  }
  return paths;
}

// Runs a getter: a fatal error is the documented answer to a missing or mistyped property and must
// carry the configuration's exit code; a text buffer must stay terminated.
std::string getter(const std::string& what, const char* text, const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalExit& e) {
    if (e.code != 2) return what + " ended with code " + std::to_string(e.code);
  }
  return std::memchr(text, '\0', CONFIG_TEXT_MAX) == nullptr ? what + " left no terminator" : "";
}

std::string check_path(const std::string& path, bool with_getters) {
  const int32_t count = config_document.token_count;
  const size_t dot = path.rfind('.');
  const std::string last = dot == std::string::npos ? path : path.substr(dot + 1);
  for (const int32_t start : {0, 1, count - 1, count, count + 1, -1}) {
    const int32_t found = config_find(start, path.c_str());
    if (found == -1) continue;
    // The token before a value is the key that named it, and it names the last component.
    if (found <= start || found >= count || config_document.tokens[found - 1].type != JSMN_STRING ||
        token_text(found - 1) != last) {
      return "config_find(" + std::to_string(start) + ", '" + path +
             "') = " + std::to_string(found);
    }
  }
  if (!with_getters) return "";
  const char* p = path.c_str();
  char text[CONFIG_TEXT_MAX] = "";
  int32_t array = -1;
  const std::function<void()> getters[] = {
      [&] { config_get_string(p, text); }, [&] { config_get_number(p); },
      [&] { config_get_integer(p); }, [&] { config_get_flag(p); },
      [&] { array = config_get_array(p); }};
  for (const auto& body : getters) {
    const std::string failure = getter("a getter of '" + path + "'", text, body);
    if (!failure.empty()) return failure;
  }
  if (array != -1 && (array >= count || config_document.tokens[array].type != JSMN_ARRAY)) {
    return "config_get_array('" + path + "') gave no array";
  }
  return "";
}

std::string check_tokens() {
  const int32_t count = config_document.token_count;
  for (int32_t i = -2, arrays = 0; i <= count + 1; ++i) {
    const int32_t next = config_skip(i), children = config_child_count(i);
    const bool valid = i >= 0 && i < count;
    if ((next != -1 && (!valid || next <= i || next > count)) ||
        ((i < 0 || i > count) && children != -1)) {
      return "config_skip or config_child_count(" + std::to_string(i) + ")";
    }
    if (!valid || config_document.tokens[i].type != JSMN_ARRAY || ++arrays > 16) continue;
    for (int32_t e = -1; e <= children && e < 64; ++e) {
      const int32_t element = config_element_token(i, e);
      if (element != -1 && (element <= i || element >= count)) {
        return "config_element_token(" + std::to_string(i) + ", " + std::to_string(e) + ")";
      }
      // A prefilled buffer: an element that is not copied leaves it as it was, terminated.
      char text[CONFIG_TEXT_MAX] = "previous";
      const std::string failure =
          getter("config_element_text", text, [&] { config_element_text("array", i, e, text); });
      if (!failure.empty()) return failure;
    }
  }
  return "";
}

}  // namespace

void fuzz_init() {
  fatal_set_throw(true);
  log_set_stream(std::fopen("/dev/null", "w"));
}

int fuzz_report(const std::string& failure) {
  if (failure.empty()) return 0;
  std::fprintf(stderr, "broken guarantee: %s\n", failure.c_str());
  std::abort();
}

std::string fuzz_config_input(const uint8_t* data, size_t size) {
  // The document ends at its first NUL, as a file read by the driver does.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int32_t count = config_load_text(text.c_str());
  std::string failure = count == config_document.token_count ? "" : "token count not kept";
  if (failure.empty() && count > 0) {
    failure = check_tokens();
    // Getters end in a fatal error for most paths, and each costs an exception: fewer suffice.
    const std::vector<std::string> paths = derived_paths();
    for (size_t k = 0; k < paths.size() && failure.empty(); ++k)
      failure = check_path(paths[k], k < 24);
  }
  config_release();
  return failure;
}

namespace {

// Reads the grid, writes it and reads it back. The input's values may be damaged (the fatal
// error is passed on), but its header must match the geometry taken from it.
std::string round_trip(const std::string& input, const std::string& output) {
  maps_allocate(2);
  int32_t valid = 0;
  FILE* const previous = log_stream();
  char* log = nullptr;
  size_t length = 0;
  FILE* captured = open_memstream(&log, &length);
  if (captured == nullptr) return "open_memstream failed";
  log_set_stream(captured);
  bool ended = false;
  try {
    valid = grid_read(input.c_str(), 0);
  } catch (const FatalExit&) {
    ended = true;
  }
  log_set_stream(previous == stdout ? nullptr : previous);
  std::fclose(captured);
  const bool incompatible = std::strstr(log, "error: incompatible (header) file") != nullptr;
  std::free(log);
  if (incompatible) return "a file is incompatible with the geometry taken from it";
  if (ended) throw FatalExit{1};
  int32_t counted = 0;
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    if (std::isnan(map_cells(0)[i])) return "a NaN cell was stored";
    counted += map_cells(0)[i] >= 0.0f;
  }
  if (valid != counted)
    return "grid_read counted " + std::to_string(valid) + " of " + std::to_string(counted);
  if (grid_write(output.c_str(), 0) != valid) return "grid_write counted another number";
  try {
    if (grid_read(output.c_str(), 1) != valid) return "written grid reads back another count";
  } catch (const FatalExit&) {
    return "written grid does not read back";
  }
  for (size_t i = 0; i < grid_cell_count(); ++i) {
    // What a value becomes once written with "%g" and read back.
    const float value = map_cells(0)[i];
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    if (map_cells(1)[i] != (value == CELL_NODATA ? value : std::strtof(text, nullptr))) {
      return "cell " + std::to_string(i) + " reads back changed";
    }
  }
  return "";
}

}  // namespace

std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir) {
  const std::string input = dir + "/input.asc";
  FILE* file = std::fopen(input.c_str(), "wb");
  if (file == nullptr) return "cannot write " + input;
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return "cannot write " + input;
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
      failure = round_trip(input, dir + "/output.asc");
    }
  } catch (const FatalExit& e) {
    if (e.code != 1) failure = "grid reading ended with code " + std::to_string(e.code);
  }
  maps_release();
  grid_reset_geometry();
  config_release();
  return failure;
}
