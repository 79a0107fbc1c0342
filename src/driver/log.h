// The one output routine of the system and its one fatal path. Every progress line, warning and
// error goes through log_message to standard output; every fatal error ends in fatal_exit, which
// flushes the log and ends the process with the documented code (or, in the unit tests, throws
// FatalExit so that the test can check the code and the printed lines).
#pragma once

#include <cstdio>

/// Prints a printf-style message to the log stream (standard output by default).
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Sends the log to `stream` instead of standard output; nullptr restores standard output.
void log_set_stream(FILE* stream);

/// The stream log_message writes to.
FILE* log_stream();

/// Raised by fatal_exit instead of ending the process once fatal_set_throw(true) was called.
struct FatalExit {
  int code;
};

/// Test builds call this so that fatal errors become FatalExit exceptions.
void fatal_set_throw(bool enabled);

/// Flushes the log and ends the process with `code`.
[[noreturn]] void fatal_exit(int code);

/// Prints a printf-style message, then fatal_exit(code).
[[noreturn]] void fatal(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
