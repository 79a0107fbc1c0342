// libFuzzer target: a grid file, read, written back and read again (see fuzz_entries.h). Every
// input is a file in the folder LANDALLOC_FUZZ_WORK names: scripts/fuzz.sh makes one in memory
// and removes it however the run ends.
#include <cstdio>
#include <cstdlib>

#include "driver/log.h"
#include "fuzz/fuzz_entries.h"

static const char* work_dir = nullptr;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fatal_set_throw(true);
  log_set_stream(std::fopen("/dev/null", "w"));
  work_dir = std::getenv("LANDALLOC_FUZZ_WORK");
  if (work_dir == nullptr) {
    std::fprintf(stderr, "LANDALLOC_FUZZ_WORK must name a folder for the inputs\n");
    std::exit(1);
  }
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
