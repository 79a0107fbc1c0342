// What the fuzzers do with one input, shared by the libFuzzer targets and by the unit test that
// replays the corpus, so a finding stays a regression test of the normal build. Each entry runs
// the product code on the input, treats fatal errors (FatalExit, so fatal_set_throw(true) must be
// on) as the expected end of a bad input, and checks what must hold for any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// Grids of more cells than this are not read: a header alone could otherwise ask for gigabytes.
constexpr size_t FUZZ_MAX_CELLS = 1 << 18;

/// Loads `data` as a configuration document and queries it along paths taken from its own keys;
/// returns a description of the first broken guarantee, or an empty string.
std::string fuzz_config_input(const uint8_t* data, size_t size);

/// Writes `data` into folder `dir` as a grid file, takes the geometry from it, reads it, writes it
/// back and reads that again; returns a description of the first broken guarantee, or "".
std::string fuzz_grid_input(const uint8_t* data, size_t size, const std::string& dir);
