#include "config/config.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
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
  return p[length] == '.' || p[length] == '[' || p[length] == '\0';
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
// as 0, and the run would go on with a value nobody wrote; strtod would read "0x10" as 16, where
// every number is decimal.
double parse_number(const char* text, bool* ok) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  while (end != text && std::isspace(static_cast<unsigned char>(*end))) ++end;
  *ok = end != text && *end == '\0' && std::strpbrk(text, "xX") == nullptr;
  return value;
}

// Reads four hexadecimal digits at p into *unit; false when they are not all there.
bool read_hex4(const char* p, const char* end, uint32_t* unit) {
  if (end - p < 4) return false;
  *unit = 0;
  for (int k = 0; k < 4; ++k) {
    const char c = p[k];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    *unit = *unit << 4 | static_cast<uint32_t>(digit);
  }
  return true;
}

void append_utf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Decodes the content of a JSON string (the text between its quotes) into UTF-8. On an escape
// that names no character returns false with `*fault` at its backslash: a lone surrogate has no
// UTF-8 form, and a NUL would cut every file name and key it entered.
bool decode_string(const char* p, const char* end, std::string& out, const char** fault) {
  out.clear();
  while (p < end) {
    if (*p != '\\') {
      out += *p++;
      continue;
    }
    *fault = p;
    if (end - p < 2) return false;
    const char e = p[1];
    p += 2;
    const char simple = e == '"' || e == '\\' || e == '/' ? e
                        : e == 'b'                        ? '\b'
                        : e == 'f'                        ? '\f'
                        : e == 'n'                        ? '\n'
                        : e == 'r'                        ? '\r'
                        : e == 't'                        ? '\t'
                                                          : '\0';
    if (simple != '\0') {
      out += simple;
      continue;
    }
    uint32_t code;
    if (e != 'u' || !read_hex4(p, end, &code)) return false;
    p += 4;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low;
      if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !read_hex4(p + 2, end, &low) ||
          low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      p += 6;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code == 0) return false;
    append_utf8(code, out);
  }
  return true;
}

// Line and column (from 1, the column in characters) of byte `offset` of `text`.
void text_position(const std::string& text, size_t offset, int32_t* line, int32_t* column) {
  *line = 1;
  *column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++*line;
      *column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++*column;
    }
  }
}

// A strict reading of the whole text, for what jsmn's non-strict mode lets through: text after
// the root value, misplaced commas and colons, bare words, bad escapes. It also finds keys given
// twice in one object: the getters read the first, which stored files rely on, but the second is
// almost always a mistake worth a warning.
struct StrictReader {
  const std::string& text;
  size_t at = 0;
  std::vector<std::string>& warnings;

  bool end() const { return at >= text.size(); }
  char peek() const { return end() ? '\0' : text[at]; }
  void skip_blanks() {
    while (!end() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
      ++at;
  }
  std::vector<size_t> newlines;  // offsets of the line ends, found at the first key given twice

  int32_t line_at(size_t offset) {
    if (newlines.empty()) {
      for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n') newlines.push_back(i);
      newlines.push_back(text.size());
    }
    return static_cast<int32_t>(std::lower_bound(newlines.begin(), newlines.end(), offset) -
                                newlines.begin()) +
           1;
  }

  bool string(std::string& decoded) {
    const size_t open = ++at;
    while (!end() && text[at] != '"') at += text[at] == '\\' ? 2 : 1;
    if (end()) return false;
    const char* fault = nullptr;
    if (!decode_string(text.data() + open, text.data() + at, decoded, &fault)) {
      at = static_cast<size_t>(fault - text.data());
      return false;
    }
    ++at;
    return true;
  }

  bool digits() {
    const size_t first = at;
    while (!end() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > first;
  }

  bool number() {
    if (peek() == '-') ++at;
    if (peek() == '0') {
      ++at;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.' && (++at, !digits())) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++at;
      if (peek() == '+' || peek() == '-') ++at;
      if (!digits()) return false;
    }
    return true;
  }

  bool word() {
    for (const char* literal : {"true", "false", "null"}) {
      const size_t length = std::strlen(literal);
      if (text.compare(at, length, literal) == 0) {
        at += length;
        return true;
      }
    }
    return number();
  }

  bool object(const std::string& path) {
    ++at;
    skip_blanks();
    if (peek() == '}') return ++at, true;
    std::vector<std::pair<std::string, size_t>> keys;
    for (;;) {
      skip_blanks();
      const size_t key_at = at;
      std::string key;
      if (peek() != '"' || !string(key)) return false;
      for (const auto& [earlier, earlier_at] : keys) {
        if (earlier != key) continue;
        warnings.push_back("! key '" + path + key + "' given twice (lines " +
                           std::to_string(line_at(earlier_at)) + " and " +
                           std::to_string(line_at(key_at)) + "): the first is read\n");
        break;
      }
      keys.emplace_back(key, key_at);
      skip_blanks();
      if (peek() != ':') return false;
      ++at;
      if (!value(path + key + ".")) return false;
      skip_blanks();
      if (peek() == '}') return ++at, true;
      if (peek() != ',') return false;
      ++at;
    }
  }

  bool array(const std::string& path) {
    ++at;
    skip_blanks();
    if (peek() == ']') return ++at, true;
    for (;;) {
      if (!value(path)) return false;
      skip_blanks();
      if (peek() == ']') return ++at, true;
      if (peek() != ',') return false;
      ++at;
    }
  }

  bool value(const std::string& path) {
    skip_blanks();
    std::string ignored;
    switch (peek()) {
      case '{':
        return object(path);
      case '[':
        return array(path);
      case '"':
        return string(ignored);
      default:
        return word();
    }
  }

  // The whole text is one value and blanks.
  bool document() {
    if (!value("")) return false;
    skip_blanks();
    return end();
  }
};

}  // namespace

int32_t config_load_text(ConfigDocument& doc, const char* text) {
  doc = ConfigDocument{};
  // Editors on Windows start a UTF-8 file with a byte-order mark; it is no part of the JSON.
  doc.text = std::strncmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text;
  std::vector<jsmntok_t> tokens(CONFIG_MAX_TOKENS);
  jsmn_parser parser;
  jsmn_init(&parser);
  int32_t count =
      jsmn_parse(&parser, doc.text.c_str(), doc.text.size(), tokens.data(), CONFIG_MAX_TOKENS);
  size_t fault = parser.pos;
  if (count > 0) {
    StrictReader strict{doc.text, 0, doc.warnings, {}};
    if (!strict.document()) {
      count = strict.end() ? CONFIG_ERROR_PART : CONFIG_ERROR_INVAL;
      fault = strict.at;
      doc.warnings.clear();
    }
  }
  doc.token_count = count;
  if (count < 0) {
    text_position(doc.text, fault, &doc.error_line, &doc.error_column);
    return count;
  }
  std::string decoded;
  const char* unused = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    const jsmntok_t& t = tokens[static_cast<size_t>(i)];
    ConfigToken token{token_type(t.type), t.start, t.end, t.size};
    // Decoded text is never longer than its escapes, so it fits the token's own span.
    if (token.type == CONFIG_STRING) {
      decode_string(doc.text.data() + t.start, doc.text.data() + t.end, decoded, &unused);
      doc.text.replace(static_cast<size_t>(t.start), decoded.size(), decoded);
      token.end = t.start + static_cast<int32_t>(decoded.size());
    }
    doc.tokens.push_back(token);
  }
  return count;
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
  if (doc.read.on && start == 0) {
    std::lock_guard<std::mutex> hold(doc.read.lock);
    doc.read.paths.insert(path);
  }
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
    const ConfigToken& name = doc.tokens[static_cast<size_t>(found)];
    p += name.end - name.start;
    int32_t value = found + 1;
    // "uses[2]" is element 2 of the array "uses"; indices may follow one another.
    while (*p == '[') {
      char* end = nullptr;
      const long index = std::strtol(p + 1, &end, 10);
      if (end == p + 1 || *end != ']' || index < 0 || index > INT32_MAX) return -1;
      if (!config_token_is(doc, value, CONFIG_ARRAY)) return -1;
      value = config_element_token(doc, value, static_cast<int32_t>(index));
      if (value < 0) return -1;
      p = end + 1;
    }
    if (*p == '\0') return value;
    if (*p != '.') return -1;
    cur = value;
    ++p;
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

void config_get_text(const ConfigDocument& doc, const char* path, char* buffer) {
  const int32_t i = config_find(doc, 0, path);
  if (i == -1) fatal(2, "error: property '%s' not found in config json file!\n", path);
  if (!config_token_is(doc, i, CONFIG_STRING)) {
    fatal(2, "error: incorrect type for property '%s' (json string expected)!\n", path);
  }
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
    log_message("error: property '%s' out of range!\n", name != nullptr ? name + 1 : path);
    fatal(1, "  property '%s' is '%s', accepted a whole number of 32 bits\n", path, buffer);
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

// Copies element i of the array at token `array`: a JSON string when `text_only`, else a string or
// a number.
static void copy_element(const ConfigDocument& doc, const char* path, int32_t array, int32_t i,
                         bool text_only, char* buffer) {
  const int32_t j = config_element_token(doc, array, i);
  if (text_only ? !config_token_is(doc, j, CONFIG_STRING) : !token_is_scalar(doc, j)) {
    fatal(2, "error: incorrect type for element %d of property '%s' (%s expected)!\n", i, path,
          text_only ? "json string" : "string or number");
  }
  copy_token_text(doc, path, j, buffer);
}

void config_element_text(const ConfigDocument& doc, const char* path, int32_t array, int32_t i,
                         char* buffer) {
  copy_element(doc, path, array, i, true, buffer);
}

double config_element_number(const ConfigDocument& doc, const char* path, int32_t array,
                             int32_t i) {
  char buffer[CONFIG_TEXT_MAX];
  copy_element(doc, path, array, i, false, buffer);
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

namespace {

bool has_control_character(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Finds the first key or text below token i (named `path`) that holds a control character: its
// path (the key's own, for a key, with `in_key` set) in `where`. Returns the token after the
// subtree, or -1 at the end of the tokens.
int32_t find_control_character(const ConfigDocument& doc, int32_t i, const std::string& path,
                               std::string& where, bool& in_key) {
  if (!token_valid(doc, i)) return -1;
  const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
  const auto text = [&](const ConfigToken& token) {
    return doc.text.substr(static_cast<size_t>(token.start),
                           static_cast<size_t>(token.end - token.start));
  };
  if (t.type == CONFIG_STRING) {
    if (has_control_character(text(t))) where = path;
    return i + 1;
  }
  int32_t next = i + 1;
  for (int32_t m = 0; m < t.size && where.empty() && next >= 0; ++m) {
    if (t.type == CONFIG_OBJECT) {
      if (!token_valid(doc, next)) return -1;
      const std::string key = text(doc.tokens[static_cast<size_t>(next)]);
      const std::string member = path.empty() ? key : path + "." + key;
      if (has_control_character(key)) {
        where = member;
        in_key = true;
        return -1;
      }
      next = find_control_character(doc, next + 1, member, where, in_key);
    } else if (t.type == CONFIG_ARRAY) {
      next = find_control_character(doc, next, path + "[" + std::to_string(m) + "]", where, in_key);
    }
  }
  return t.type == CONFIG_PRIMITIVE ? i + 1 : next;
}

}  // namespace

double config_parse_number(const char* text, bool* ok) {
  return parse_number(text, ok);
}

std::string config_escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

void config_refuse_control_characters(const ConfigDocument& doc) {
  std::string where;
  bool in_key = false;
  if (config_token_is(doc, 0, CONFIG_OBJECT)) find_control_character(doc, 0, "", where, in_key);
  if (where.empty()) return;
  const int32_t token = in_key ? -1 : config_find(doc, 0, where.c_str());
  std::string value = in_key ? " in its name" : "";
  if (config_token_is(doc, token, CONFIG_STRING)) {
    const ConfigToken& t = doc.tokens[static_cast<size_t>(token)];
    value = " ('" +
            config_escaped(doc.text.substr(static_cast<size_t>(t.start),
                                           static_cast<size_t>(t.end - t.start))) +
            "')";
  }
  fatal(2, "error: property '%s' holds a control character%s!\n", config_escaped(where).c_str(),
        value.c_str());
}

void config_out_of_range(int code, const char* message, const std::string& what, double value,
                         const char* accepted) {
  log_message("%s", message);
  // Whole numbers without decimals, so that counts read as they were written.
  const bool whole = std::fabs(value) < 1e15 && value == std::trunc(value);
  fatal(code, whole ? "  %s is %.0f, accepted %s\n" : "  %s is %g, accepted %s\n", what.c_str(),
        value, accepted);
}

namespace {

void append_json_string(std::string& out, const char* p, const char* end) {
  out += '"';
  for (; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Writes the subtree at token i, the object members under `path` replaced, dropped or added as
// `changes` say (each change used once, marked in `used`); returns the token after the subtree.
int32_t write_json(const ConfigDocument& doc, int32_t i, const std::string& path,
                   const std::vector<ConfigChange>& changes, std::vector<bool>& used,
                   std::string& out);

// The members that `changes` add to the object at `path` (those it does not hold), as text.
void write_added_members(const std::string& path, const std::vector<ConfigChange>& changes,
                         std::vector<bool>& used, bool& first, std::string& out) {
  const std::string prefix = path.empty() ? "" : path + ".";
  for (size_t c = 0; c < changes.size(); ++c) {
    // A change that leaves out what the document lacks has nothing to add.
    if (used[c] || changes[c].json.empty()) continue;
    if (changes[c].path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = changes[c].path.substr(prefix.size());
    const std::string key = rest.substr(0, rest.find('.'));
    if (!first) out += ',';
    first = false;
    append_json_string(out, key.data(), key.data() + key.size());
    out += ':';
    if (rest.find('.') == std::string::npos) {
      used[c] = true;
      out += changes[c].json;
    } else {
      out += '{';
      bool inner_first = true;
      write_added_members(prefix + key, changes, used, inner_first, out);
      out += '}';
    }
  }
}

int32_t write_json(const ConfigDocument& doc, int32_t i, const std::string& path,
                   const std::vector<ConfigChange>& changes, std::vector<bool>& used,
                   std::string& out) {
  const ConfigToken& t = doc.tokens[static_cast<size_t>(i)];
  const char* text = doc.text.data();
  if (t.type == CONFIG_STRING) {
    append_json_string(out, text + t.start, text + t.end);
    return i + 1;
  }
  if (t.type == CONFIG_PRIMITIVE) {
    out.append(text + t.start, static_cast<size_t>(t.end - t.start));
    return i + 1;
  }
  const bool object = t.type == CONFIG_OBJECT;
  out += object ? '{' : '[';
  int32_t next = i + 1;
  bool first = true;
  for (int32_t child = 0; child < t.size; ++child) {
    if (!object) {
      if (!first) out += ',';
      first = false;
      next = write_json(doc, next, path, changes, used, out);
      continue;
    }
    const ConfigToken& key = doc.tokens[static_cast<size_t>(next)];
    const std::string name(text + key.start, static_cast<size_t>(key.end - key.start));
    const std::string member = path.empty() ? name : path + "." + name;
    const auto change = std::find_if(changes.begin(), changes.end(),
                                     [&](const ConfigChange& c) { return c.path == member; });
    if (change != changes.end() && change->json.empty()) {
      used[static_cast<size_t>(change - changes.begin())] = true;
      next = config_skip(doc, next + 1);
      continue;
    }
    if (!first) out += ',';
    first = false;
    append_json_string(out, text + key.start, text + key.end);
    out += ':';
    if (change != changes.end()) {
      used[static_cast<size_t>(change - changes.begin())] = true;
      out += change->json;
      next = config_skip(doc, next + 1);
    } else {
      next = write_json(doc, next + 1, member, changes, used, out);
    }
  }
  if (object) write_added_members(path, changes, used, first, out);
  out += object ? '}' : ']';
  return next;
}

}  // namespace

std::string config_json(const ConfigDocument& doc, int32_t i) {
  std::string out;
  std::vector<bool> used;
  write_json(doc, i, "", {}, used, out);
  return out;
}

std::string config_json_with(const ConfigDocument& doc, const std::vector<ConfigChange>& changes) {
  std::string out;
  std::vector<bool> used(changes.size(), false);
  write_json(doc, 0, "", changes, used, out);
  return out;
}
