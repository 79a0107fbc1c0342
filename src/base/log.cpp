#include "base/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

// Each thread logs to its own stream, with its own progress line, so that runs on several threads
// can each keep their log whole; the fatal mode is one setting of the process, chosen once by a
// test program.
static thread_local FILE* redirected_stream = nullptr;
static thread_local std::string* log_copy = nullptr;
static std::atomic<bool> fatal_throws{false};
static thread_local bool log_failed = false;
static thread_local bool thread_fatal_throws = false;
static std::atomic<void (*)(int)> fatal_exit_handler{nullptr};

// The progress line: on or off, whether standard error is a terminal, whether the log goes to
// that same terminal, whether the line is on screen now and how long its text was.
static thread_local bool progress_on = false;
static thread_local bool progress_terminal = false;
static thread_local bool progress_shares_log = false;
static thread_local bool progress_visible = false;
static thread_local size_t progress_length = 0;
// Characters of the log's current line, to put the cursor back after the last log text when the
// progress line below it is taken away.
static thread_local size_t log_column = 0;

FILE* log_stream() {
  return redirected_stream != nullptr ? redirected_stream : stdout;
}

void log_set_stream(FILE* stream) {
  redirected_stream = stream;
  log_failed = false;
  log_column = 0;
}

// Every message reaches the stream at once, so a run that a signal ends loses nothing it printed
// and the signal handler has no stream to flush (stdio is not safe there). A log that can no longer
// be written (its reader gone, its disk full) ends the run like any other failed write; the
// message goes to standard error, the one place left to say it.
void log_flush() {
  FILE* stream = log_stream();
  if (log_failed || (std::fflush(stream) == 0 && !std::ferror(stream))) return;
  log_failed = true;
  static const char message[] = "error: unable to write the log!\n";
  if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
    // Nothing is left to report to.
  }
  fatal_exit(1);
}

// On a terminal that also shows the log, the progress line sits on the line below the log's
// current one: it is taken away before the log goes on, and comes back at the next update.
static void progress_hide() {
  if (!progress_visible || !progress_shares_log) return;
  std::fprintf(stderr, "\r\033[K\033[A");
  if (log_column > 0) std::fprintf(stderr, "\033[%zuC", log_column);
  std::fflush(stderr);
  progress_visible = false;
}

// An error that ends a run starts on a line of its own, even when it cuts a line of figures short.
static void end_open_line(const char* text) {
  if (log_column == 0 || std::strncmp(text, "error: ", 7) != 0) return;
  std::fputc('\n', log_stream());
  if (log_copy != nullptr) log_copy->push_back('\n');
  log_column = 0;
}

void log_message(const char* format, ...) {
  progress_hide();
  char small[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) return;
  std::string large;
  const char* text = small;
  if (static_cast<size_t>(length) >= sizeof small) {
    large.resize(static_cast<size_t>(length) + 1);
    va_start(args, format);
    std::vsnprintf(&large[0], large.size(), format, args);
    va_end(args);
    text = large.c_str();
  }
  end_open_line(text);
  std::fwrite(text, 1, static_cast<size_t>(length), log_stream());
  if (log_copy != nullptr) log_copy->append(text, static_cast<size_t>(length));
  size_t end = static_cast<size_t>(length);
  while (end > 0 && text[end - 1] != '\n') --end;
  log_column =
      end > 0 ? static_cast<size_t>(length) - end : log_column + static_cast<size_t>(length);
  log_flush();
}

LogCopy::LogCopy(std::string& into) : previous(log_copy) {
  log_copy = &into;
}

LogCopy::~LogCopy() {
  log_copy = previous;
}

void shared_step_run(SharedStep& step, const std::function<void()>& body) {
  step.log.clear();
  try {
    LogCopy copy(step.log);
    body();
  } catch (const FatalExit& e) {
    step.fatal_code = e.code;
    step.done = true;
    throw;
  } catch (...) {
    step.log.clear();
    throw;
  }
}

void shared_step_capture(SharedStep& step, const std::function<void()>& body) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  if (stream == nullptr) throw std::bad_alloc();
  FILE* previous = redirected_stream;
  std::string* copy = log_copy;
  const size_t column = log_column;
  const bool throws = thread_fatal_throws;
  log_set_stream(stream);
  log_copy = nullptr;
  // A fatal error inside must come back here, in every build: ending the process from inside
  // would leave its message in the capture buffer, unprinted.
  thread_fatal_throws = true;
  const auto restore = [&] {
    thread_fatal_throws = throws;
    log_set_stream(previous);
    log_copy = copy;
    log_column = column;
  };
  try {
    body();
  } catch (const FatalExit& e) {
    step.fatal_code = e.code;
    step.done = true;
  } catch (...) {
    restore();
    std::fclose(stream);
    std::free(buffer);
    throw;
  }
  restore();
  std::fclose(stream);
  step.log.assign(buffer, size);
  std::free(buffer);
}

void shared_step_replay(const SharedStep& step) {
  log_message("%s", step.log.c_str());
  if (step.fatal_code != 0) fatal_exit(step.fatal_code);
}

void progress_enable(bool on) {
  progress_on = on;
  progress_terminal = isatty(STDERR_FILENO) != 0;
  struct stat out, err;
  progress_shares_log = progress_terminal && redirected_stream == nullptr &&
                        isatty(STDOUT_FILENO) != 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                        fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

bool progress_enabled() {
  return progress_on;
}

Progress progress_begin(double delay_seconds) {
  const auto now = std::chrono::steady_clock::now();
  return Progress{now, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(delay_seconds))};
}

// Minutes and seconds, or hours, minutes and seconds.
static std::string clock_text(double seconds) {
  const long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

void progress_update(Progress& progress, double done, double total, const char* format, ...) {
  if (!progress_on) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < progress.next_draw) return;
  progress.next_draw = now + std::chrono::milliseconds(250);

  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const double elapsed = std::chrono::duration<double>(now - progress.start).count();
  std::string line = std::string(text) + ", " + clock_text(elapsed) + " elapsed";
  if (done > 0 && total > done) {
    line += ", about " + clock_text(elapsed * (total - done) / done) + " left";
  }

  std::fflush(log_stream());
  if (progress_terminal) {
    // Below the log's current line when the log shares the terminal; in place otherwise.
    const char* start = progress_shares_log && !progress_visible ? "\n" : "\r";
    std::fprintf(stderr, "%s%s\033[K", start, line.c_str());
  } else {
    // A file or a pipe: each update on its own carriage-return line, padded over the last one.
    const size_t pad = progress_length > line.size() ? progress_length - line.size() : 0;
    std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
  }
  std::fflush(stderr);
  progress_visible = true;
  progress_length = line.size();
}

// Takes the line away for good: at the end of an operation, or before a fatal error.
static void progress_clear() {
  if (!progress_visible) return;
  if (progress_shares_log) {
    progress_hide();
  } else {
    std::fprintf(stderr, progress_terminal ? "\r\033[K" : "\n");
    std::fflush(stderr);
    progress_visible = false;
  }
  progress_length = 0;
}

void progress_end(Progress&) {
  progress_clear();
}

void fatal_set_throw(bool enabled) {
  fatal_throws = enabled;
}

void fatal_set_throw_on_thread(bool enabled) {
  thread_fatal_throws = enabled;
}

void fatal_set_exit_handler(void (*handler)(int code)) {
  fatal_exit_handler = handler;
}

void fatal_exit(int code) {
  std::fflush(log_stream());
  if (fatal_throws || thread_fatal_throws) throw FatalExit{code};
  if (void (*handler)(int) = fatal_exit_handler.load()) handler(code);
  std::exit(code);
}

// A copy of the log (LogCopy) also takes the message that ends it, so that a step replayed from
// its copy fails with the same words.
void fatal(int code, const char* format, ...) {
  progress_clear();
  end_open_line(format);
  va_list args;
  va_start(args, format);
  if (log_copy != nullptr) {
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length > 0) {
      std::string text(static_cast<size_t>(length) + 1, '\0');
      va_copy(again, args);
      std::vsnprintf(&text[0], text.size(), format, again);
      va_end(again);
      log_copy->append(text.c_str(), static_cast<size_t>(length));
    }
  }
  std::vfprintf(log_stream(), format, args);
  va_end(args);
  log_column = 0;
  fatal_exit(code);
}
