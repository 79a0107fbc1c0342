// libFuzzer target: a grid file, read, written back and read again (see fuzz_entries.h). Every
// input is a file: they go to the folder LANDALLOC_FUZZ_WORK names (scripts/fuzz.sh makes one in
// memory and removes it however the run ends), else to a private one removed at a normal exit.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "driver/log.h"
#include "fuzz/fuzz_entries.h"

static std::string work_dir;

static void remove_work_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(work_dir, ignored);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fatal_set_throw(true);
  log_set_stream(std::fopen("/dev/null", "w"));
  if (const char* given = std::getenv("LANDALLOC_FUZZ_WORK")) {
    work_dir = given;
    return 0;
  }
  char pattern[] = "/dev/shm/landalloc-fuzz-XXXXXX";
  char fallback[] = "/tmp/landalloc-fuzz-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) made = mkdtemp(fallback);
  if (made == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  work_dir = made;
  std::atexit(remove_work_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = fuzz_grid_input(data, size, work_dir);
  if (!failure.empty()) {
    std::fprintf(stderr, "broken guarantee: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
