// What the fuzzers do with one input, shared by the libFuzzer targets and the corpus replay test.
// Each entry takes a fatal error (FatalExit) with the right exit code as the end of a bad input,
// and returns the first broken guarantee, or "".
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"

/// Quiets the log and turns fatal errors into FatalExit, as every fuzz target needs.
inline void fuzz_init() {
  fatal_set_throw(true);
  log_set_stream(std::fopen("/dev/null", "w"));
}

/// The folder LANDALLOC_FUZZ_WORK names for the files of each input (scripts/fuzz.sh makes one in
/// memory and removes it however the run ends); ends the process when it names none.
inline const char* fuzz_work_dir() {
  static const char* dir = std::getenv("LANDALLOC_FUZZ_WORK");
  if (dir != nullptr) return dir;
  std::fprintf(stderr, "LANDALLOC_FUZZ_WORK must name a folder for the files of each input\n");
  std::exit(1);
}

/// Ends the process with the broken guarantee `failure` unless it is empty; returns 0.
inline int fuzz_report(const std::string& failure) {
  if (failure.empty()) return 0;
  std::fprintf(stderr, "broken guarantee: %s\n", failure.c_str());
  std::abort();
}

/// Loads `data` as a configuration and runs every getter on paths made of its own keys.
std::string fuzz_config_input(const uint8_t* data, size_t size);

/// Writes `data` into folder `dir` as a grid file (beside a small ASCII grid "source.asc" that a
/// VRT may name), takes the geometry from it, reads it, writes it back and reads that again.
std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir);

/// Builds a scenario of up to 12 x 12 cells from `data` in `dir` (grids and properties drawn from
/// sensible and hostile values), runs the three stages and checks what must hold whatever they did:
/// the allocated count kept, initial values untouched, no output half written, bounded draws.
std::string fuzz_pipeline_input(const uint8_t* data, size_t size, const std::string& dir);
