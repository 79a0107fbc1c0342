// libFuzzer target: a configuration document, loaded and queried (see fuzz_entries.h).
#include <cstdio>
#include <cstdlib>

#include "driver/log.h"
#include "fuzz/fuzz_entries.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fatal_set_throw(true);
  log_set_stream(std::fopen("/dev/null", "w"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string failure = fuzz_config_input(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "broken guarantee: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
