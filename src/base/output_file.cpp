#include "base/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>

#include "base/log.h"

namespace {

// The outputs being written. A run that ends before an output is complete, by a fatal error
// (exit() runs no destructors) or by an interrupt, removes their temporary files on the way out,
// so it leaves the previous outputs and nothing else. The signal handler reads this table, hence
// the flag set only once a slot's paths are in place.
struct PendingOutput {
  volatile sig_atomic_t active;
  FILE* stream;  ///< the stream of output_open; nullptr for a bare descriptor
  /// Written to a file without a name (O_TMPFILE): nothing to remove, whatever ends the process;
  /// the file takes its name only once complete.
  bool anonymous;
  char temp_path[OUTPUT_PATH_MAX];  ///< empty for an anonymous file
  char path[OUTPUT_PATH_MAX];
};
constexpr int MAX_PENDING_OUTPUTS = 256;  // room for one output per thread of many cores
PendingOutput pending_outputs[MAX_PENDING_OUTPUTS];
// Runs on several threads take and give back slots; the signal handler only reads the flags.
std::mutex pending_lock;

void remove_pending_and_reraise(int signal_number) {
  output_remove_pending();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Once per process: clean-up at exit, and on the interrupts that end a process by default (a
// signal that is ignored or already handled is left alone).
void install_handlers() {
  std::atexit(output_remove_pending);
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

// A slot of the table not in use, or nullptr when all are; the caller holds pending_lock.
PendingOutput* free_slot() {
  PendingOutput* const end = pending_outputs + MAX_PENDING_OUTPUTS;
  PendingOutput* const slot = std::find_if(
      pending_outputs, end, [](const PendingOutput& output) { return !output.active; });
  return slot == end ? nullptr : slot;
}

// The permissions a new output gets: those of the file it replaces, else what a new file gets.
void give_permissions(int fd, const char* path) {
  struct stat target;
  if (stat(path, &target) == 0 && S_ISREG(target.st_mode)) {
    fchmod(fd, target.st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
}

// The folder that holds `path`.
std::string folder_of(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? "."
         : slash == path  ? "/"
                          : std::string(path, static_cast<size_t>(slash - path));
}

// A stream to a file without a name in the folder of `path`, where the system and the file system
// allow one (Linux's O_TMPFILE, and /proc to name it later); nullptr otherwise.
FILE* open_anonymous(const char* path) {
#ifdef O_TMPFILE
  static const bool nameable = access("/proc/self/fd", X_OK) == 0;
  if (!nameable) return nullptr;
  const int fd = open(folder_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  give_permissions(fd, path);
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    ::close(fd);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* const slot = free_slot();
  if (slot == nullptr) {
    std::fclose(stream);
    return nullptr;
  }
  std::strcpy(slot->path, path);
  slot->temp_path[0] = '\0';
  slot->anonymous = true;
  slot->stream = stream;
  slot->active = 1;
  return stream;
#else
  (void)path;
  return nullptr;
#endif
}

// Gives the complete anonymous file `fd` the name `path`: directly when nothing lies there, else
// by a name beside it renamed over the old file at once. False when neither works.
bool name_anonymous(int fd, const char* path) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != EEXIST) return false;
  static std::atomic<unsigned> counter{0};
  char beside[OUTPUT_PATH_MAX];
  for (int attempt = 0; attempt < 100; ++attempt) {
    const unsigned mark = (static_cast<unsigned>(getpid()) * 2654435761u + counter++) & 0xffffffu;
    // A name as long as the named temporary files', which the check before a run allows for.
    const int n = std::snprintf(beside, sizeof beside, "%s.%06x", path, mark);
    if (n < 0 || n >= OUTPUT_PATH_MAX) return false;
    if (linkat(AT_FDCWD, self, AT_FDCWD, beside, AT_SYMLINK_FOLLOW) == 0) {
      if (std::rename(beside, path) == 0) return true;
      unlink(beside);
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
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

bool output_resolve_target(const char* path, char* target) {
  std::string current = path;
  for (int links = 0; links <= 40; ++links) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      if (current.size() >= static_cast<size_t>(OUTPUT_PATH_MAX)) {
        errno = ENAMETOOLONG;
        return false;
      }
      std::strcpy(target, current.c_str());
      return true;
    }
    char link[OUTPUT_PATH_MAX];
    const ssize_t length = readlink(current.c_str(), link, sizeof link - 1);
    if (length < 0) return false;
    link[length] = '\0';
    const size_t slash = current.rfind('/');
    // A relative link is relative to the folder that holds it.
    current = link[0] == '/' || slash == std::string::npos ? std::string(link)
                                                           : current.substr(0, slash + 1) + link;
  }
  errno = ELOOP;
  return false;
}

void output_prepare_process() {
  // A standard descriptor closed at start would be handed to the first file the run opens, and
  // the log would land inside an output grid. Without /dev/null no output can be trusted.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) std::_Exit(1);
  }
  // By default a reader that goes away (the log piped into head) or a file size limit (ulimit -f)
  // kills the process inside a write, leaving its temporary file and losing the log. Ignored,
  // they make the write fail, and the ordinary error path reports it and cleans up.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void output_remove_pending() {
  for (PendingOutput& output : pending_outputs) {
    if (output.active && !output.anonymous) unlink(output.temp_path);
  }
}

int output_create_temp(const char* path, char* temp_path) {
  install_cleanup();
  char resolved[OUTPUT_PATH_MAX];
  if (!output_resolve_target(path, resolved)) return -1;
  path = resolved;
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* const slot = free_slot();
  if (slot == nullptr) {
    errno = EMFILE;
    return -1;
  }
  const int n = std::snprintf(slot->temp_path, OUTPUT_PATH_MAX, "%s%s", path, OUTPUT_TEMP_SUFFIX);
  if (n < 0 || n >= OUTPUT_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::strcpy(slot->path, path);
  const int fd = mkstemp(slot->temp_path);
  if (fd < 0) return -1;
  slot->stream = nullptr;
  slot->anonymous = false;
  slot->active = 1;
  // mkstemp makes the file private; give it what rewriting the target in place would have left.
  give_permissions(fd, path);
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
  // A device or a FIFO is written in place: renaming a file over it would replace it (as root,
  // an output of /dev/null would replace /dev/null).
  char target[OUTPUT_PATH_MAX];
  struct stat info;
  if (!output_resolve_target(path, target)) return nullptr;
  if (stat(target, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    return std::fopen(target, "w");
  }
  if (FILE* stream = open_anonymous(target)) return stream;
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
  if (output == nullptr) {
    if (stream == nullptr) return false;
    const bool written = std::fflush(stream) == 0 && !std::ferror(stream);
    return std::fclose(stream) == 0 && written;
  }
  bool complete = std::fflush(stream) == 0 && !std::ferror(stream);
  if (complete && fsync(fileno(stream)) != 0) complete = false;
  if (output->anonymous) {
    complete = complete && name_anonymous(fileno(stream), output->path);
    std::fclose(stream);
    output->active = 0;
    output->stream = nullptr;
    return complete;
  }
  if (std::fclose(stream) != 0) complete = false;
  return rename_or_remove(output, complete);
}

void output_discard(FILE* stream) {
  std::lock_guard<std::mutex> hold(pending_lock);
  PendingOutput* output = find_stream(stream);
  if (stream != nullptr) std::fclose(stream);
  if (output == nullptr) return;
  if (output->anonymous) {
    output->active = 0;
    output->stream = nullptr;
    return;
  }
  rename_or_remove(output, false);
}

FILE* output_open_scratch(const char* path) {
#ifdef O_TMPFILE
  char target[OUTPUT_PATH_MAX];
  if (output_resolve_target(path, target)) {
    const int fd = open(folder_of(target).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      if (FILE* stream = fdopen(fd, "w+")) return stream;
      ::close(fd);
    }
  }
#else
  (void)path;
#endif
  // The system's temporary folder: its file has no name either once opened.
  return std::tmpfile();
}

void output_write_text(const std::string& path, const std::string& text) {
  FILE* stream = output_open(path.c_str());
  if (stream == nullptr) fatal(1, "error: unable to open file '%s'!\n", path.c_str());
  std::fwrite(text.data(), 1, text.size(), stream);
  if (!output_close(stream)) fatal(1, "error: unable to write file '%s'!\n", path.c_str());
}
