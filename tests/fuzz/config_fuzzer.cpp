// libFuzzer target: a configuration document, loaded and queried (see fuzz_entries.h).
#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_report(fuzz_config_input(data, size));
}
