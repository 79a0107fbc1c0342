// What the fuzzers do with one input, shared by the libFuzzer targets and by the unit test that
// replays the corpus. Each entry runs the product code on the input, takes fatal errors (FatalExit:
// fatal_set_throw(true) must be on) with the right exit code as the end of a bad input, and
// returns a description of the first broken guarantee, or "".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Quiets the log and turns fatal errors into FatalExit, as every fuzz target needs.
void fuzz_init();

/// Ends the process with the broken guarantee `failure` unless it is empty; returns 0.
int fuzz_report(const std::string& failure);

/// Loads `data` as a configuration and runs every getter on paths made of its own keys.
std::string fuzz_config_input(const uint8_t* data, size_t size);

/// Writes `data` into folder `dir` as a grid file, takes the geometry from it, reads it, writes it
/// back and reads that again.
std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir);
