// The one output routine of the system and its one fatal path. Every progress line, warning and
// error goes through log_message to standard output; every fatal error ends in fatal_exit, which
// flushes the log and ends the process with the documented code (or, in the unit tests, throws
// FatalExit so that the test can check the code and the printed lines). Long work may also show
// a progress line on standard error, which never changes what the log holds.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

/// Prints a printf-style message to the log stream (standard output by default).
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// While it lives, what log_message prints on this thread is also appended to `into`: a step
/// whose work is done once can so print its lines again where it would have been repeated.
struct LogCopy {
  explicit LogCopy(std::string& into);
  ~LogCopy();
  LogCopy(const LogCopy&) = delete;
  LogCopy& operator=(const LogCopy&) = delete;
  std::string* previous;
};

/// A step that several runs would each do the same, done by the first of them: what it printed and
/// how it ended, so that the others print the same lines and end the same way instead.
struct SharedStep {
  bool done = false;   ///< the first run finished it (its owner sets this) or it failed
  std::string log;     ///< what it printed, the error last when it failed
  int fatal_code = 0;  ///< the exit code it failed with, 0 when it completed
};

/// Does the step: runs `body`, printing as usual, with a copy in step.log. A fatal error marks
/// the step done with its code and goes on; any other failure (memory ran short) forgets the copy
/// and goes on, so that a later run may try again.
void shared_step_run(SharedStep& step, const std::function<void()>& body);

/// Does the step without printing: what `body` prints goes into step.log alone, and a fatal
/// error marks the step done with its code and ends `body` only.
void shared_step_capture(SharedStep& step, const std::function<void()>& body);

/// Prints the lines of a done step and, when it failed, ends the run with its code.
void shared_step_replay(const SharedStep& step);

/// Flushes the log; a log that cannot be written is a fatal error (exit code 1, message on
/// standard error). log_message flushes after every message.
void log_flush();

/// Sends this thread's log to `stream` instead of standard output; nullptr restores standard
/// output. A run on its own thread can so collect its log in a buffer.
void log_set_stream(FILE* stream);

/// The stream log_message writes to on this thread.
FILE* log_stream();

/// Raised by fatal_exit instead of ending the process once fatal_set_throw(true) was called.
struct FatalExit {
  int code;
};

/// Test builds call this so that fatal errors become FatalExit exceptions.
void fatal_set_throw(bool enabled);

/// Makes fatal errors on this thread alone FatalExit exceptions: a run on a worker thread must
/// hand its failure to the thread that owns the process instead of ending it under the others.
void fatal_set_throw_on_thread(bool enabled);

/// Makes fatal_exit end the process through `handler` (which must not return) in place of
/// std::exit, as the processes of an MPI job must all end when one fails; nullptr restores exit.
void fatal_set_exit_handler(void (*handler)(int code));

/// Flushes the log and ends the process with `code`.
[[noreturn]] void fatal_exit(int code);

/// Prints a printf-style message, then fatal_exit(code).
[[noreturn]] void fatal(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Shows this thread's progress lines on standard error from now on (the driver: when standard
/// error is a terminal, or with --progress); off by default.
void progress_enable(bool on);

/// Whether this thread draws a progress line: a thread that works for the main one takes its
/// setting over.
bool progress_enabled();

/// The progress line of one long operation.
struct Progress {
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point next_draw;
};

/// Starts the line of an operation; it first appears `delay_seconds` after this call, so that
/// short work shows nothing.
Progress progress_begin(double delay_seconds);

/// Redraws the line, when due (at most a few times a second), with a printf-style description
/// followed by the elapsed time and, from `done` of `total` units, an estimate of the time left.
/// Costs a clock reading when the line is on, nothing when it is off.
void progress_update(Progress& progress, double done, double total, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

/// Removes the line at the end of the operation.
void progress_end(Progress& progress);
