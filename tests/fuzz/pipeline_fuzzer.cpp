// libFuzzer target: the three stages on a tiny generated scenario (see fuzz_entries.h). The grids
// and outputs go to the folder LANDALLOC_FUZZ_WORK names: scripts/fuzz.sh makes one in memory and
// removes it however the run ends.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_entries.h"

static const char* work_dir = std::getenv("LANDALLOC_FUZZ_WORK");

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  if (work_dir != nullptr) return 0;
  std::fprintf(stderr, "LANDALLOC_FUZZ_WORK must name a folder for the grids\n");
  std::exit(1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_report(fuzz_pipeline_input(data, size, work_dir));
}
