#include "base/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

namespace {

// The outputs being written. A run that ends before an output is complete, by a fatal error
// (exit() runs no destructors) or by an interrupt, removes their temporary files on the way out,
// so it leaves the previous outputs and nothing else. The signal handler reads this table, hence
// the flag set only once a slot's paths are in place.
struct PendingOutput {
  volatile sig_atomic_t active;
  FILE* stream;  ///< the stream of output_open; nullptr for a bare descriptor
  char temp_path[OUTPUT_PATH_MAX];
  char path[OUTPUT_PATH_MAX];
};
constexpr int MAX_PENDING_OUTPUTS = 16;
PendingOutput pending_outputs[MAX_PENDING_OUTPUTS];
// Runs on several threads take and give back slots; the signal handler only reads the flags.
std::mutex pending_lock;

void remove_pending_outputs() {
  for (PendingOutput& output : pending_outputs) {
    if (output.active) unlink(output.temp_path);
  }
}

void remove_pending_and_reraise(int signal_number) {
  remove_pending_outputs();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Once per process: clean-up at exit, and on the interrupts that end a process by default (a
// signal that is ignored or already handled is left alone).
void install_handlers() {
  std::atexit(remove_pending_outputs);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current;
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction handler = {};
    handler.sa_handler = remove_pending_and_reraise;
    sigemptyset(&handler.sa_mask);
    sigaction(signal_number, &handler, nullptr);
  }
}

void install_cleanup() {
  static std::once_flag installed;
  std::call_once(installed, install_handlers);
}

PendingOutput* find_temp(const char* temp_path) {
  for (PendingOutput& output : pending_outputs) {
    if (output.active && std::strcmp(output.temp_path, temp_path) == 0) return &output;
  }
  return nullptr;
}

PendingOutput* find_stream(FILE* stream) {
  for (PendingOutput& output : pending_outputs) {
    if (output.active && stream != nullptr && output.stream == stream) return &output;
  }
  return nullptr;
}

// The last step of every output: the complete file takes the target's name, any other is removed.
bool rename_or_remove(PendingOutput* output, bool complete) {
  const bool renamed = complete && std::rename(output->temp_path, output->path) == 0;
  if (!renamed) std::remove(output->temp_path);
  output->active = 0;
  output->stream = nullptr;
  return renamed;
}

}  // namespace

int output_create_temp(const char* path, char* temp_path) {
  install_cleanup();
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* slot = nullptr;
  for (PendingOutput& output : pending_outputs) {
    if (!output.active) {
      slot = &output;
      break;
    }
  }
  if (slot == nullptr) {
    errno = EMFILE;
    return -1;
  }
  const int n = std::snprintf(slot->temp_path, OUTPUT_PATH_MAX, "%s.XXXXXX", path);
  if (n < 0 || n >= OUTPUT_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(slot->path, path);
  const int fd = mkstemp(slot->temp_path);
  if (fd < 0) return -1;
  slot->stream = nullptr;
  slot->active = 1;
  // mkstemp makes the file private; give it what rewriting the target in place would have left.
  struct stat target;
  if (stat(path, &target) == 0 && S_ISREG(target.st_mode)) {
    fchmod(fd, target.st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  std::strcpy(temp_path, slot->temp_path);
  return fd;
}

bool output_replace(int fd, const char* temp_path, bool complete) {
  // Synced before the rename, so that after a crash the name never points at missing data.
  if (complete && fsync(fd) != 0) complete = false;
  if (::close(fd) != 0) complete = false;
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* output = find_temp(temp_path);
  if (output == nullptr) return false;
  return rename_or_remove(output, complete);
}

FILE* output_open(const char* path) {
  char temp_path[OUTPUT_PATH_MAX];
  const int fd = output_create_temp(path, temp_path);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    output_replace(fd, temp_path, false);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(pending_lock);
  find_temp(temp_path)->stream = stream;
  return stream;
}

bool output_close(FILE* stream) {
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* output = find_stream(stream);
  if (output == nullptr) return stream != nullptr && std::fclose(stream) == 0;
  bool complete = std::fflush(stream) == 0 && !std::ferror(stream);
  if (complete && fsync(fileno(stream)) != 0) complete = false;
  if (std::fclose(stream) != 0) complete = false;
  return rename_or_remove(output, complete);
}

void output_discard(FILE* stream) {
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* output = find_stream(stream);
  if (stream != nullptr) std::fclose(stream);
  if (output == nullptr) return;
  rename_or_remove(output, false);
}
