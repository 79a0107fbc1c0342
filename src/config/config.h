// The configuration document: the JSON file named on the command line, tokenised once by jsmn, and
// the dotted-path property access that every stage reads its settings through. Getters copy a
// token's raw text into a CONFIG_TEXT_MAX buffer; the caller converts it. Errors are fatal with
// exit code 2 and name the property path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define JSMN_HEADER
#include <jsmn.h>
#undef JSMN_HEADER

constexpr int CONFIG_MAX_TOKENS = 1024;
constexpr int CONFIG_TEXT_MAX = 1024;

/// The tokenised configuration file; one instance per process, replaced for every file.
struct ConfigDocument {
  char* text = nullptr;
  jsmntok_t tokens[CONFIG_MAX_TOKENS];
  int32_t token_count = 0;
};

/// The document the stages read.
extern ConfigDocument config_document;

/// Tokenises `text` (copied; it ends at its first NUL) into the document; returns the token count
/// or the negative jsmn error code.
int32_t config_load_text(const char* text);

/// Releases the document text and forgets its tokens.
void config_release();

/// Index of the first token after token i's whole subtree, or -1 for a token of no known type.
int32_t config_skip(int32_t i);

/// Index of the value token named by the dotted path below object token `start`, or -1.
int32_t config_find(int32_t start, const char* path);

/// Number of children of token i, or -1 when i is past the tokens.
int32_t config_child_count(int32_t i);

/// Copies the text of the required scalar property `path` into `buffer` (CONFIG_TEXT_MAX bytes).
void config_get_string(const char* path, char* buffer);

/// The required scalar property `path` as a number; a text that is not a number is fatal (exit 2).
double config_get_number(const char* path);

/// The required scalar property `path` converted with atoi; a text that is not a number is fatal
/// (exit 2).
int32_t config_get_integer(const char* path);

/// True exactly when the required scalar property `path` reads "yes"; a text other than "yes" or
/// "no" is off but warned about, once per document.
bool config_get_flag(const char* path);

/// Token index of the required array property `path`.
int32_t config_get_array(const char* path);

/// Token index of element i of the array at token `array`, walking past nested elements.
int32_t config_element_token(int32_t array, int32_t i);

/// Copies the text of element i of the array at token `array` (property `path`, named in errors)
/// into `buffer`. An element that is not a single string or primitive is a fatal error (exit 2).
void config_element_text(const char* path, int32_t array, int32_t i, char* buffer);

/// Element i of the array at token `array` (property `path`) as a number; an element that is not
/// a number is fatal (exit 2).
double config_element_number(const char* path, int32_t array, int32_t i);

/// The texts of the required array of scalars `path` (a list of file names), with the getters'
/// errors.
std::vector<std::string> config_get_text_list(const char* path);

/// The dotted paths of every value of the document that is not an object, in document order.
std::vector<std::string> config_leaf_paths();

/// Ends the run with a range error: the fixed `message`, then a line naming `what` (a property or
/// an element of one), the value read and the accepted values.
[[noreturn]] void config_out_of_range(int code, const char* message, const std::string& what,
                                      double value, const char* accepted);
