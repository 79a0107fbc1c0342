#include "config/config.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "driver/log.h"

ConfigDocument config_document;

// Switches already warned about in the current document: a switch is read several times by a
// stage and by the check before it, and one warning is enough.
static std::set<std::string> warned_switches;

int32_t config_load_text(const char* text) {
  config_release();
  const size_t length = std::strlen(text);
  config_document.text = static_cast<char*>(std::malloc(length + 1));
  if (config_document.text == nullptr) return JSMN_ERROR_NOMEM;
  std::memcpy(config_document.text, text, length + 1);
  jsmn_parser parser;
  jsmn_init(&parser);
  config_document.token_count =
      jsmn_parse(&parser, config_document.text, length, config_document.tokens, CONFIG_MAX_TOKENS);
  return config_document.token_count;
}

void config_release() {
  warned_switches.clear();
  std::free(config_document.text);
  config_document.text = nullptr;
  config_document.token_count = 0;
}

// Only the tokens the last parse filled are meaningful; anything else counts as absent.
static bool token_valid(int32_t i) {
  return i >= 0 && i < config_document.token_count;
}

int32_t config_skip(int32_t i) {
  if (!token_valid(i)) return -1;
  const jsmntok_t& token = config_document.tokens[i];
  int32_t j = i + 1;
  switch (token.type) {
    case JSMN_OBJECT:
      for (int32_t m = 0; m < token.size && j >= 0; ++m) j = config_skip(j + 1);
      return j;
    case JSMN_ARRAY:
      for (int32_t m = 0; m < token.size && j >= 0; ++m) j = config_skip(j);
      return j;
    case JSMN_STRING:
    case JSMN_PRIMITIVE:
      return j;
    default:
      return -1;
  }
}

int32_t config_child_count(int32_t i) {
  if (i < 0 || i > config_document.token_count) return -1;
  if (i == config_document.token_count) return 0;
  return config_document.tokens[i].size;
}

static bool key_matches(int32_t key, const char* p) {
  const jsmntok_t& token = config_document.tokens[key];
  if (token.type != JSMN_STRING || token.size != 1) return false;
  const size_t length = static_cast<size_t>(token.end - token.start);
  if (std::strncmp(config_document.text + token.start, p, length) != 0) return false;
  if (std::memchr(p, '\0', length) != nullptr) return false;
  return p[length] == '.' || p[length] == '\0';
}

int32_t config_find(int32_t start, const char* path) {
  const char* p = path;
  int32_t cur = start;
  while (true) {
    if (!token_valid(cur) || config_document.tokens[cur].type != JSMN_OBJECT) return -1;
    const int32_t members = config_document.tokens[cur].size;
    int32_t key = cur + 1;
    int32_t found = -1;
    for (int32_t m = 0; m < members; ++m) {
      if (!token_valid(key)) return -1;
      if (key_matches(key, p)) {
        found = key;
        break;
      }
      key = config_skip(key + 1);
      if (key < 0) return -1;
    }
    if (found < 0) return -1;
    const char* dot = std::strchr(p, '.');
    if (dot == nullptr) return found + 1;
    cur = found + 1;
    p = dot + 1;
  }
}

static bool token_is_scalar(int32_t i) {
  return token_valid(i) && (config_document.tokens[i].type == JSMN_STRING ||
                            config_document.tokens[i].type == JSMN_PRIMITIVE);
}

// Copies a scalar token's raw text; a text that cannot fit the buffer is refused rather than cut,
// since a cut file name or number would silently name another file or value.
static void copy_token_text(const char* path, int32_t i, char* buffer) {
  const jsmntok_t& token = config_document.tokens[i];
  const int length = token.end - token.start;
  if (length >= CONFIG_TEXT_MAX) {
    fatal(2, "error: property '%s' is too long (%d characters, at most %d)!\n", path, length,
          CONFIG_TEXT_MAX - 1);
  }
  std::memcpy(buffer, config_document.text + token.start, static_cast<size_t>(length));
  buffer[length] = '\0';
}

void config_get_string(const char* path, char* buffer) {
  const int32_t i = config_find(0, path);
  if (i == -1) fatal(2, "error: property '%s' not found in config json file!\n", path);
  if (!token_is_scalar(i)) {
    fatal(2, "error: incorrect type for property '%s' (string or number expected)!\n", path);
  }
  buffer[0] = '\0';
  copy_token_text(path, i, buffer);
}

// The whole text, blanks around it aside, must be a number: atof would read "1o00" as 1 and "abc"
// as 0, and the run would go on with a value nobody wrote.
static double parse_number(const char* text, bool* ok) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  while (end != text && std::isspace(static_cast<unsigned char>(*end))) ++end;
  *ok = end != text && *end == '\0';
  return value;
}

double config_get_number(const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(path, buffer);
  bool ok;
  const double value = parse_number(buffer, &ok);
  if (!ok) fatal(2, "error: property '%s' is not a number ('%s')!\n", path, buffer);
  return value;
}

int32_t config_get_integer(const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(path, buffer);
  bool ok;
  parse_number(buffer, &ok);
  if (!ok) fatal(2, "error: property '%s' is not a number ('%s')!\n", path, buffer);
  return std::atoi(buffer);
}

double config_element_number(const char* path, int32_t array, int32_t i) {
  char buffer[CONFIG_TEXT_MAX];
  config_element_text(path, array, i, buffer);
  bool ok;
  const double value = parse_number(buffer, &ok);
  if (!ok) {
    fatal(2, "error: element %d of property '%s' is not a number ('%s')!\n", i, path, buffer);
  }
  return value;
}

bool config_get_flag(const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(path, buffer);
  const bool on = std::strcmp(buffer, "yes") == 0;
  // "true", "Yes" or 1 mean off, which is rarely what was meant: say so once.
  if (!on && std::strcmp(buffer, "no") != 0 && warned_switches.insert(path).second) {
    log_message("! property '%s' is '%s': only 'yes' turns it on\n", path, buffer);
  }
  return on;
}

int32_t config_get_array(const char* path) {
  const int32_t i = config_find(0, path);
  if (i == -1) fatal(2, "error: property '%s' not found in config json file!\n", path);
  if (!token_valid(i) || config_document.tokens[i].type != JSMN_ARRAY) {
    fatal(2, "error: incorrect type for property '%s' (json array expected)!\n", path);
  }
  return i;
}

int32_t config_element_token(int32_t array, int32_t i) {
  if (!token_valid(array) || i < 0 || i >= config_document.tokens[array].size) return -1;
  int32_t j = array + 1;
  for (int32_t m = 0; m < i && j >= 0; ++m) j = config_skip(j);
  return token_valid(j) ? j : -1;
}

void config_element_text(const char* path, int32_t array, int32_t i, char* buffer) {
  const int32_t j = config_element_token(array, i);
  if (!token_is_scalar(j)) {
    fatal(2, "error: incorrect type for element %d of property '%s' (string or number expected)!\n",
          i, path);
  }
  copy_token_text(path, j, buffer);
}

std::vector<std::string> config_get_text_list(const char* path) {
  const int32_t array = config_get_array(path);
  std::vector<std::string> texts;
  char text[CONFIG_TEXT_MAX];
  for (int32_t i = 0; i < config_child_count(array); ++i) {
    config_element_text(path, array, i, text);
    texts.push_back(text);
  }
  return texts;
}

// Adds the paths of the values below object token `object` (prefixed by `prefix`) to `paths`;
// returns the token after the object.
static int32_t collect_leaf_paths(int32_t object, const std::string& prefix,
                                  std::vector<std::string>& paths) {
  int32_t key = object + 1;
  for (int32_t m = 0; m < config_document.tokens[object].size && token_valid(key); ++m) {
    const jsmntok_t& k = config_document.tokens[key];
    const std::string path =
        prefix + std::string(config_document.text + k.start, static_cast<size_t>(k.end - k.start));
    const int32_t value = key + 1;
    if (!token_valid(value)) break;
    if (config_document.tokens[value].type == JSMN_OBJECT) {
      key = collect_leaf_paths(value, path + ".", paths);
    } else {
      paths.push_back(path);
      key = config_skip(value);
    }
    if (key < 0) break;
  }
  return config_skip(object);
}

std::vector<std::string> config_leaf_paths() {
  std::vector<std::string> paths;
  if (token_valid(0) && config_document.tokens[0].type == JSMN_OBJECT) {
    collect_leaf_paths(0, "", paths);
  }
  return paths;
}

void config_out_of_range(int code, const char* message, const std::string& what, double value,
                         const char* accepted) {
  log_message("%s", message);
  // Whole numbers without decimals, so that counts read as they were written.
  const bool whole = std::fabs(value) < 1e15 && value == std::trunc(value);
  fatal(code, whole ? "  %s is %.0f, accepted %s\n" : "  %s is %g, accepted %s\n", what.c_str(),
        value, accepted);
}
