// The configuration document: the JSON file named on the command line, tokenised once, and the
// dotted-path property access that every stage reads its settings through. A document is a value
// that the driver builds per file and hands to the stages; getters copy a token's text (escapes
// decoded, UTF-8) into a CONFIG_TEXT_MAX buffer and the caller converts it. Errors are fatal with
// exit code 2 and name the property path.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

constexpr int CONFIG_MAX_TOKENS = 1024;
constexpr int CONFIG_TEXT_MAX = 1024;

/// Negative results of config_load_text.
constexpr int32_t CONFIG_ERROR_NOMEM = -1;  ///< more than CONFIG_MAX_TOKENS tokens
constexpr int32_t CONFIG_ERROR_INVAL = -2;  ///< an invalid character
constexpr int32_t CONFIG_ERROR_PART = -3;   ///< the text ends inside a value

enum ConfigTokenType {
  CONFIG_UNDEFINED,
  CONFIG_OBJECT,
  CONFIG_ARRAY,
  CONFIG_STRING,
  CONFIG_PRIMITIVE
};

/// One token: its type, the span of its text and its number of children (1 for an object key).
struct ConfigToken {
  ConfigTokenType type = CONFIG_UNDEFINED;
  int32_t start = 0;
  int32_t end = 0;
  int32_t size = 0;
};

/// Switches already warned about: a switch is read several times by a stage and by the check
/// before it, and one warning per document is enough. Runs on several threads may read the same
/// switch, hence the lock; a copy starts with the same switches and a lock of its own.
struct WarnedSwitches {
  WarnedSwitches() = default;
  WarnedSwitches(const WarnedSwitches& other) : paths(other.paths) {}
  WarnedSwitches& operator=(const WarnedSwitches& other) {
    paths = other.paths;
    return *this;
  }
  std::set<std::string> paths;
  std::mutex lock;
};

/// The property paths looked up in a document, when asked for: how a test finds every property the
/// stages read without a second list of them. Off in a run.
struct ReadRecord {
  ReadRecord() = default;
  ReadRecord(const ReadRecord& other) : on(other.on), paths(other.paths) {}
  ReadRecord& operator=(const ReadRecord& other) {
    on = other.on;
    paths = other.paths;
    return *this;
  }
  bool on = false;
  std::set<std::string> paths;
  std::mutex lock;
};

/// A tokenised configuration file. The text of a string token is decoded in place: its span
/// holds the UTF-8 text the escapes stand for.
struct ConfigDocument {
  std::string text;
  std::vector<ConfigToken> tokens;
  int32_t token_count = 0;   ///< tokens in use, or the negative error of the last load
  int32_t error_line = 0;    ///< where the text stops being JSON (from 1), after a load error
  int32_t error_column = 0;  ///< in characters from 1
  std::vector<std::string> warnings;  ///< lines of warnings found while loading (keys given twice)
  mutable WarnedSwitches warned;
  mutable ReadRecord read;  ///< paths looked up from the root, when `read.on`
};

/// Tokenises `text` (copied; it ends at its first NUL; a UTF-8 byte-order mark before it is
/// skipped) into `doc`; returns the token count or one of the negative CONFIG_ERROR codes. The text
/// must be JSON as written: anything after the root value, a misplaced comma, a bare word that is
/// no number, true, false or null, or an escape that names no character (or NUL) is
/// CONFIG_ERROR_INVAL, an unfinished document CONFIG_ERROR_PART.
int32_t config_load_text(ConfigDocument& doc, const char* text);

/// Index of the first token after token i's whole subtree, or -1 for a token of no known type.
int32_t config_skip(const ConfigDocument& doc, int32_t i);

/// Index of the value token named by the dotted path below object token `start`, or -1. A name
/// followed by "[i]" ("land-uses[1].demand") names element i of that array.
int32_t config_find(const ConfigDocument& doc, int32_t start, const char* path);

/// Number of children of token i, or -1 when i is past the tokens.
int32_t config_child_count(const ConfigDocument& doc, int32_t i);

/// Whether token i exists and is of `type`.
bool config_token_is(const ConfigDocument& doc, int32_t i, ConfigTokenType type);

/// Copies the text of the required scalar property `path` into `buffer` (CONFIG_TEXT_MAX bytes).
void config_get_string(const ConfigDocument& doc, const char* path, char* buffer);

/// As config_get_string, for a property that is a text (a file name, a choice): a JSON value of
/// another type is fatal (exit 2) rather than read as its spelling.
void config_get_text(const ConfigDocument& doc, const char* path, char* buffer);

/// The required scalar property `path` as a number; a text that is not a number is fatal (exit 2).
double config_get_number(const ConfigDocument& doc, const char* path);

/// The required scalar property `path` as a whole number: a text that is not a number is fatal
/// (exit 2); a number that is not whole, or that 32 bits cannot hold, is out of range (exit 1,
/// naming the property's last key, then the property and its text on a line of their own). 1e5 is
/// 100000.
int32_t config_get_integer(const ConfigDocument& doc, const char* path);

/// True exactly when the required scalar property `path` reads "yes"; a text other than "yes" or
/// "no" is off but warned about, once per document.
bool config_get_flag(const ConfigDocument& doc, const char* path);

/// Token index of the required array property `path`.
int32_t config_get_array(const ConfigDocument& doc, const char* path);

/// Token index of element i of the array at token `array`, walking past nested elements.
int32_t config_element_token(const ConfigDocument& doc, int32_t array, int32_t i);

/// Copies the text of element i of the array at token `array` (property `path`, named in errors)
/// into `buffer`. An element that is not a JSON string is a fatal error (exit 2).
void config_element_text(const ConfigDocument& doc, const char* path, int32_t array, int32_t i,
                         char* buffer);

/// Element i of the array at token `array` (property `path`) as a number; an element that is not
/// a number is fatal (exit 2).
double config_element_number(const ConfigDocument& doc, const char* path, int32_t array, int32_t i);

/// The texts of the required array of scalars `path` (a list of file names), with the getters'
/// errors.
std::vector<std::string> config_get_text_list(const ConfigDocument& doc, const char* path);

/// The dotted paths of every value of the document that is not an object, in document order.
std::vector<std::string> config_leaf_paths(const ConfigDocument& doc);

/// The decimal number that `text` is, blanks around it aside; `ok` false when it is anything
/// else (a word, a number with more after it, a hexadecimal number).
double config_parse_number(const char* text, bool* ok);

/// `text` with its control characters written as escapes ("\\n", "\\x01"): how a message shows a
/// name, so that no name starts a line of the log.
std::string config_escaped(const std::string& text);

/// Refuses (fatal, exit 2) a document with a control character (0x00-0x1F, 0x7F) in any key or
/// text: every text names a file, a land use or a choice, and none may hold one. The message
/// names the property and shows its text escaped.
void config_refuse_control_characters(const ConfigDocument& doc);

/// Ends the run with a range error: the fixed `message`, then a line naming `what` (a property or
/// an element of one), the value read and the accepted values.
[[noreturn]] void config_out_of_range(int code, const char* message, const std::string& what,
                                      double value, const char* accepted);

/// The JSON text of the subtree at token i (strings escaped again, numbers and words as written).
std::string config_json(const ConfigDocument& doc, int32_t i);

/// One change of a document: the property `path` (dotted) takes the JSON text `json`, or is left
/// out when `json` is empty. A path the document lacks is added, its missing objects with it.
struct ConfigChange {
  std::string path;
  std::string json;
};

/// The JSON text of the document with `changes` made: how one configuration derives another
/// (a land use's view of the whole, a value of a sweep) without a second reader of the file.
std::string config_json_with(const ConfigDocument& doc, const std::vector<ConfigChange>& changes);
