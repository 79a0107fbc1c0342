#include "driver/log.h"

#include <cstdarg>
#include <cstdlib>

static FILE* redirected_stream = nullptr;
static bool fatal_throws = false;

FILE* log_stream() {
  return redirected_stream != nullptr ? redirected_stream : stdout;
}

void log_set_stream(FILE* stream) {
  redirected_stream = stream;
}

void log_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(log_stream(), format, args);
  va_end(args);
}

void fatal_set_throw(bool enabled) {
  fatal_throws = enabled;
}

void fatal_exit(int code) {
  std::fflush(log_stream());
  if (fatal_throws) throw FatalExit{code};
  std::exit(code);
}

void fatal(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(log_stream(), format, args);
  va_end(args);
  fatal_exit(code);
}
