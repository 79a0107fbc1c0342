// Runs the built landalloc program in a folder and collects its standard output and exit code.
#pragma once

#include <string>
#include <vector>

#include "temp_dir.h"

using CliDir = TempDir;

struct RunResult {
  int code;         ///< exit code as the shell sees it (0..255)
  std::string out;  ///< standard output
};

/// Runs landalloc with `args` in folder `cwd`, its address space limited to `address_space_kb`
/// KiB when that is positive.
RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd,
                        long address_space_kb = 0);
