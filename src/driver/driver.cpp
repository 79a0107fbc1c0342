#include "driver/driver.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "config/config.h"
#include "driver/log.h"
#include "driver/random.h"
#include "postprocess/postprocess_stage.h"
#include "preprocess/preprocess_stage.h"
#include "process/process_stage.h"

namespace {

struct StageFlags {
  bool preprocess = false;
  bool process = false;
  bool postprocess = false;
  bool any() const { return preprocess || process || postprocess; }
};

// A seed is a plain decimal number: no sign, no blanks, no suffix, within 64 bits.
bool parse_seed(const char* text, uint64_t* seed) {
  if (*text < '0' || *text > '9') return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seed = value;
  return true;
}

void report_parse_error(int32_t code) {
  log_message("error: unable to parse json data (code %d)!\n", code);
  switch (code) {
    case JSMN_ERROR_PART:
      log_message("the string is not a full json packet, more bytes expected\n");
      break;
    case JSMN_ERROR_INVAL:
      log_message("invalid character inside json string\n");
      break;
    case JSMN_ERROR_NOMEM:
      log_message("not enough json tokens were reserved\n");
      break;
    default:
      log_message("unknown error\n");
      break;
  }
}

void report_reserve_failure(int64_t bytes) {
  log_message("error: unable to reserve enough memory (%d bytes)!\n",
              static_cast<int>(bytes < INT32_MAX ? bytes : INT32_MAX));
}

// A pipe (such as a shell's process substitution) has no size to seek to: its text is read as it
// comes, into a buffer that doubles, within the same 32-bit limit as a file's size.
char* read_stream(FILE* file) {
  int64_t capacity = 1 << 16;
  int64_t used = 0;
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
  while (text != nullptr) {
    used += static_cast<int64_t>(
        std::fread(text + used, 1, static_cast<size_t>(capacity - 1 - used), file));
    if (used < capacity - 1) {
      text[used] = '\0';
      return text;
    }
    capacity = capacity * 2 < INT32_MAX ? capacity * 2 : INT32_MAX;
    char* grown = used + 1 < capacity
                      ? static_cast<char*>(std::realloc(text, static_cast<size_t>(capacity)))
                      : nullptr;
    if (grown == nullptr) std::free(text);
    text = grown;
  }
  report_reserve_failure(capacity);
  return nullptr;
}

// Reads the whole file; nullptr (after its message) when it cannot be opened or held.
char* read_config_file(const char* path) {
  FILE* file = std::fopen(path, "rb");
  struct stat info;
  // A folder opens for reading on some systems but holds no text.
  if (file != nullptr && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) {
    log_message("error: unable to open filename '%s'!\n", path);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    char* text = read_stream(file);
    std::fclose(file);
    return text;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  // A size the 32-bit count cannot hold cannot be reserved.
  char* text = nullptr;
  if (size >= 0 && size < INT32_MAX) text = static_cast<char*>(std::malloc(size + 1));
  if (text == nullptr) {
    report_reserve_failure(size >= 0 ? static_cast<int64_t>(size) + 1 : INT32_MAX);
    std::fclose(file);
    return nullptr;
  }
  const size_t got = std::fread(text, 1, static_cast<size_t>(size), file);
  text[got] = '\0';
  std::fclose(file);
  return text;
}

void run_stages(const StageFlags& flags) {
  log_message("ALGORITHM\n");
  if (flags.preprocess) run_preprocess_stage();
  if (flags.process) run_process_stage();
  if (flags.postprocess) run_postprocess_stage();
  log_message("ALGORITHM end\n");
}

void run_config_file(const char* path, const StageFlags& flags) {
  config_release();
  char* text = read_config_file(path);
  if (text == nullptr) return;
  const int32_t count = config_load_text(text);
  std::free(text);
  if (count < 0) {
    report_parse_error(count);
    config_release();
    return;
  }
  if (count == 0 || config_document.tokens[0].type != JSMN_OBJECT) {
    log_message("error: incorrect type in file (json object expected)!\n");
    config_release();
    return;
  }
  run_stages(flags);
  config_release();
}

}  // namespace

int driver_main(int argc, char** argv) {
  if (argc < 2) {
    log_message("syntax: program [--preprocess] [--process] [--postprocess] config.json\n");
    return -1;
  }
  StageFlags flags;
  for (int a = 1; a < argc; ++a) {
    const char* arg = argv[a];
    if (std::strcmp(arg, "--preprocess") == 0) {
      flags.preprocess = true;
    } else if (std::strcmp(arg, "--process") == 0) {
      flags.process = true;
    } else if (std::strcmp(arg, "--postprocess") == 0) {
      flags.postprocess = true;
    } else if (std::strncmp(arg, "--seed", 6) == 0 && (arg[6] == '=' || arg[6] == '\0')) {
      const char* value = arg[6] == '=' ? arg + 7 : arg + 6;
      uint64_t seed = 0;
      if (!parse_seed(value, &seed)) {
        log_message("error: invalid seed '%s'!\n", value);
        std::fflush(log_stream());
        return -1;
      }
      rand_set_fixed_seed(seed);
    } else {
      if (!flags.any()) flags.preprocess = flags.process = flags.postprocess = true;
      try {
        run_config_file(arg, flags);
      } catch (const std::bad_alloc&) {
        // Memory that the C++ library could not get (a stage's table or container) ends the run as
        // every other shortage does, with its message and exit code instead of an abort.
        fatal(1, "error: not enough memory!\n");
      } catch (const std::length_error&) {
        fatal(1, "error: not enough memory!\n");
      }
    }
  }
  std::fflush(log_stream());
  return 0;
}
