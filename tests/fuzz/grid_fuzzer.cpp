// libFuzzer target: a grid file, read, written back and read again (see fuzz_entries.h).
#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  fuzz_work_dir();  // checked before the first input
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_report(fuzz_grid_input(data, size, fuzz_work_dir()));
}
