#include "config/config.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

#define JSMN_HEADER
#include <jsmn.h>
#undef JSMN_HEADER

static_assert(CONFIG_ERROR_NOMEM == JSMN_ERROR_NOMEM && CONFIG_ERROR_INVAL == JSMN_ERROR_INVAL &&
                  CONFIG_ERROR_PART == JSMN_ERROR_PART,
              "the load errors are jsmn's codes");

namespace {

ConfigTokenType token_type(jsmntype_t type) {
  switch (type) {
    case JSMN_OBJECT:
      return CONFIG_OBJECT;
    case JSMN_ARRAY:
      return CONFIG_ARRAY;
    case JSMN_STRING:
      return CONFIG_STRING;
    case JSMN_PRIMITIVE:
      return CONFIG_PRIMITIVE;
    default:
      return CONFIG_UNDEFINED;
  }
}

// Only the tokens the last parse filled are meaningful; anything else counts as absent.
bool token_valid(const ConfigDocument& doc, int32_t i) {
  return i >= 0 && i < doc.token_count;
}

bool key_matches(const ConfigDocument& doc, int32_t key, const char* p) {
  const ConfigToken& token = doc.tokens[static_cast<size_t>(key)];
  if (token.type != CONFIG_STRING || token.size != 1) return false;
  const size_t length = static_cast<size_t>(token.end - token.start);
  if (std::strncmp(doc.text.c_str() + token.start, p, length) != 0) return false;
  if (std::memchr(p, '\0', length) != nullptr) return false;
  return p[length] == '.' || p[length] == '\0';
}

bool token_is_scalar(const ConfigDocument& doc, int32_t i) {
  return config_token_is(doc, i, CONFIG_STRING) || config_token_is(doc, i, CONFIG_PRIMITIVE);
}

// Copies a scalar token's raw text; a text that cannot fit the buffer is refused rather than cut,
// since a cut file name or number would silently name another file or value.
void copy_token_text(const ConfigDocument& doc, const char* path, int32_t i, char* buffer) {
  const ConfigToken& token = doc.tokens[static_cast<size_t>(i)];
  const int length = token.end - token.start;
  if (length >= CONFIG_TEXT_MAX) {
    fatal(2, "error: property '%s' is too long (%d characters, at most %d)!\n", path, length,
          CONFIG_TEXT_MAX - 1);
  }
  std::memcpy(buffer, doc.text.c_str() + token.start, static_cast<size_t>(length));
  buffer[length] = '\0';
}

// The whole text, blanks around it aside, must be a number: atof would read "1o00" as 1 and "abc"
// as 0, and the run would go on with a value nobody wrote.
double parse_number(const char* text, bool* ok) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  while (end != text && std::isspace(static_cast<unsigned char>(*end))) ++end;
  *ok = end != text && *end == '\0';
  return value;
}

}  // namespace

int32_t config_load_text(ConfigDocument& doc, const char* text) {
  doc = ConfigDocument{};
  doc.text = text;
  std::vector<jsmntok_t> tokens(CONFIG_MAX_TOKENS);
  jsmn_parser parser;
  jsmn_init(&parser);
  doc.token_count =
      jsmn_parse(&parser, doc.text.c_str(), doc.text.size(), tokens.data(), CONFIG_MAX_TOKENS);
  for (int32_t i = 0; i < doc.token_count; ++i) {
    const jsmntok_t& t = tokens[static_cast<size_t>(i)];
    doc.tokens.push_back(ConfigToken{token_type(t.type), t.start, t.end, t.size});
  }
  return doc.token_count;
}

bool config_token_is(const ConfigDocument& doc, int32_t i, ConfigTokenType type) {
  return token_valid(doc, i) && doc.tokens[static_cast<size_t>(i)].type == type;
}

int32_t config_skip(const ConfigDocument& doc, int32_t i) {
  if (!token_valid(doc, i)) return -1;
  const ConfigToken& token = doc.tokens[static_cast<size_t>(i)];
  int32_t j = i + 1;
  switch (token.type) {
    case CONFIG_OBJECT:
      for (int32_t m = 0; m < token.size && j >= 0; ++m) j = config_skip(doc, j + 1);
      return j;
    case CONFIG_ARRAY:
      for (int32_t m = 0; m < token.size && j >= 0; ++m) j = config_skip(doc, j);
      return j;
    case CONFIG_STRING:
    case CONFIG_PRIMITIVE:
      return j;
    default:
      return -1;
  }
}

int32_t config_child_count(const ConfigDocument& doc, int32_t i) {
  if (i < 0 || i > doc.token_count) return -1;
  if (i == doc.token_count) return 0;
  return doc.tokens[static_cast<size_t>(i)].size;
}

int32_t config_find(const ConfigDocument& doc, int32_t start, const char* path) {
  const char* p = path;
  int32_t cur = start;
  while (true) {
    if (!config_token_is(doc, cur, CONFIG_OBJECT)) return -1;
    const int32_t members = doc.tokens[static_cast<size_t>(cur)].size;
    int32_t key = cur + 1;
    int32_t found = -1;
    for (int32_t m = 0; m < members; ++m) {
      if (!token_valid(doc, key)) return -1;
      if (key_matches(doc, key, p)) {
        found = key;
        break;
      }
      key = config_skip(doc, key + 1);
      if (key < 0) return -1;
    }
    if (found < 0) return -1;
    const char* dot = std::strchr(p, '.');
    if (dot == nullptr) return found + 1;
    cur = found + 1;
    p = dot + 1;
  }
}

void config_get_string(const ConfigDocument& doc, const char* path, char* buffer) {
  const int32_t i = config_find(doc, 0, path);
  if (i == -1) fatal(2, "error: property '%s' not found in config json file!\n", path);
  if (!token_is_scalar(doc, i)) {
    fatal(2, "error: incorrect type for property '%s' (string or number expected)!\n", path);
  }
  buffer[0] = '\0';
  copy_token_text(doc, path, i, buffer);
}

double config_get_number(const ConfigDocument& doc, const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(doc, path, buffer);
  bool ok;
  const double value = parse_number(buffer, &ok);
  if (!ok) fatal(2, "error: property '%s' is not a number ('%s')!\n", path, buffer);
  return value;
}

int32_t config_get_integer(const ConfigDocument& doc, const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(doc, path, buffer);
  bool ok;
  const double value = parse_number(buffer, &ok);
  if (!ok) fatal(2, "error: property '%s' is not a number ('%s')!\n", path, buffer);
  // atoi would read 1e5 as 1 and wrap 2147483648 to -2147483648, silently: a count is a whole
  // number that 32 bits hold, whatever its spelling, or it is out of range.
  if (!(value == std::trunc(value) && value >= INT32_MIN && value <= INT32_MAX)) {
    const char* name = std::strrchr(path, '.');
    fatal(1, "error: property '%s' out of range ('%s')!\n", name != nullptr ? name + 1 : path,
          buffer);
  }
  return static_cast<int32_t>(value);
}

bool config_get_flag(const ConfigDocument& doc, const char* path) {
  char buffer[CONFIG_TEXT_MAX];
  config_get_string(doc, path, buffer);
  const bool on = std::strcmp(buffer, "yes") == 0;
  // "true", "Yes" or 1 mean off, which is rarely what was meant: say so once.
  if (!on && std::strcmp(buffer, "no") != 0) {
    std::lock_guard<std::mutex> hold(doc.warned.lock);
    if (doc.warned.paths.insert(path).second) {
      log_message("! property '%s' is '%s': only 'yes' turns it on\n", path, buffer);
    }
  }
  return on;
}

int32_t config_get_array(const ConfigDocument& doc, const char* path) {
  const int32_t i = config_find(doc, 0, path);
  if (i == -1) fatal(2, "error: property '%s' not found in config json file!\n", path);
  if (!config_token_is(doc, i, CONFIG_ARRAY)) {
    fatal(2, "error: incorrect type for property '%s' (json array expected)!\n", path);
  }
  return i;
}

int32_t config_element_token(const ConfigDocument& doc, int32_t array, int32_t i) {
  if (!token_valid(doc, array) || i < 0 || i >= doc.tokens[static_cast<size_t>(array)].size) {
    return -1;
  }
  int32_t j = array + 1;
  for (int32_t m = 0; m < i && j >= 0; ++m) j = config_skip(doc, j);
  return token_valid(doc, j) ? j : -1;
}

void config_element_text(const ConfigDocument& doc, const char* path, int32_t array, int32_t i,
                         char* buffer) {
  const int32_t j = config_element_token(doc, array, i);
  if (!token_is_scalar(doc, j)) {
    fatal(2, "error: incorrect type for element %d of property '%s' (string or number expected)!\n",
          i, path);
  }
  copy_token_text(doc, path, j, buffer);
}

double config_element_number(const ConfigDocument& doc, const char* path, int32_t array,
                             int32_t i) {
  char buffer[CONFIG_TEXT_MAX];
  config_element_text(doc, path, array, i, buffer);
  bool ok;
  const double value = parse_number(buffer, &ok);
  if (!ok) {
    fatal(2, "error: element %d of property '%s' is not a number ('%s')!\n", i, path, buffer);
  }
  return value;
}

std::vector<std::string> config_get_text_list(const ConfigDocument& doc, const char* path) {
  const int32_t array = config_get_array(doc, path);
  std::vector<std::string> texts;
  char text[CONFIG_TEXT_MAX];
  for (int32_t i = 0; i < config_child_count(doc, array); ++i) {
    config_element_text(doc, path, array, i, text);
    texts.push_back(text);
  }
  return texts;
}

// Adds the paths of the values below object token `object` (prefixed by `prefix`) to `paths`;
// returns the token after the object.
static int32_t collect_leaf_paths(const ConfigDocument& doc, int32_t object,
                                  const std::string& prefix, std::vector<std::string>& paths) {
  int32_t key = object + 1;
  for (int32_t m = 0; m < doc.tokens[static_cast<size_t>(object)].size && token_valid(doc, key);
       ++m) {
    const ConfigToken& k = doc.tokens[static_cast<size_t>(key)];
    const std::string path = prefix + doc.text.substr(static_cast<size_t>(k.start),
                                                      static_cast<size_t>(k.end - k.start));
    const int32_t value = key + 1;
    if (!token_valid(doc, value)) break;
    if (config_token_is(doc, value, CONFIG_OBJECT)) {
      key = collect_leaf_paths(doc, value, path + ".", paths);
    } else {
      paths.push_back(path);
      key = config_skip(doc, value);
    }
    if (key < 0) break;
  }
  return config_skip(doc, object);
}

std::vector<std::string> config_leaf_paths(const ConfigDocument& doc) {
  std::vector<std::string> paths;
  if (config_token_is(doc, 0, CONFIG_OBJECT)) collect_leaf_paths(doc, 0, "", paths);
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
