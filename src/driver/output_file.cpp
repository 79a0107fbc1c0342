#include "driver/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The streams of output_open not yet closed. A fatal error ends the process through exit(), which
// runs no destructors: the exit handler removes their temporary files, so an ended run leaves the
// previous outputs and nothing else.
struct OpenOutput {
  FILE* stream;
  char temp_path[OUTPUT_PATH_MAX];
  char path[OUTPUT_PATH_MAX];
};
constexpr int MAX_OPEN_OUTPUTS = 8;
OpenOutput open_outputs[MAX_OPEN_OUTPUTS];

void remove_unfinished_outputs() {
  for (OpenOutput& output : open_outputs) {
    if (output.stream != nullptr) std::remove(output.temp_path);
  }
}

// The last step of every output: the complete file takes the target's name, any other is removed.
bool rename_or_remove(const char* temp_path, const char* path, bool complete) {
  if (complete && std::rename(temp_path, path) == 0) return true;
  std::remove(temp_path);
  return false;
}

OpenOutput* find_output(FILE* stream) {
  for (OpenOutput& output : open_outputs) {
    if (stream != nullptr && output.stream == stream) return &output;
  }
  return nullptr;
}

}  // namespace

int output_create_temp(const char* path, char* temp_path) {
  const int n = std::snprintf(temp_path, OUTPUT_PATH_MAX, "%s.XXXXXX", path);
  if (n < 0 || n >= OUTPUT_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = mkstemp(temp_path);
  if (fd < 0) return -1;
  // mkstemp makes the file private; give it what rewriting the target in place would have left.
  struct stat target;
  if (stat(path, &target) == 0 && S_ISREG(target.st_mode)) {
    fchmod(fd, target.st_mode & 07777);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  return fd;
}

bool output_replace(int fd, const char* temp_path, const char* path, bool complete) {
  // Synced before the rename, so that after a crash the name never points at missing data.
  if (complete && fsync(fd) != 0) complete = false;
  if (::close(fd) != 0) complete = false;
  return rename_or_remove(temp_path, path, complete);
}

FILE* output_open(const char* path) {
  static bool handler_registered = false;
  OpenOutput* slot = nullptr;
  for (OpenOutput& output : open_outputs) {
    if (output.stream == nullptr) {
      slot = &output;
      break;
    }
  }
  if (slot == nullptr || std::strlen(path) >= sizeof slot->path) return nullptr;
  if (!handler_registered) {
    if (std::atexit(remove_unfinished_outputs) != 0) return nullptr;
    handler_registered = true;
  }
  const int fd = output_create_temp(path, slot->temp_path);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    ::close(fd);
    std::remove(slot->temp_path);
    return nullptr;
  }
  std::strcpy(slot->path, path);
  slot->stream = stream;
  return stream;
}

bool output_close(FILE* stream) {
  OpenOutput* output = find_output(stream);
  if (output == nullptr) return false;
  bool complete = std::fflush(stream) == 0 && !std::ferror(stream);
  if (complete && fsync(fileno(stream)) != 0) complete = false;
  if (std::fclose(stream) != 0) complete = false;
  output->stream = nullptr;
  return rename_or_remove(output->temp_path, output->path, complete);
}

void output_discard(FILE* stream) {
  OpenOutput* output = find_output(stream);
  if (output == nullptr) return;
  std::fclose(stream);
  output->stream = nullptr;
  std::remove(output->temp_path);
}
