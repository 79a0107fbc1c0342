// Runs the built landalloc program in a folder and collects its standard output and error and its
// exit code; writes the configurations that several command-line tests share.
#pragma once

#include <gtest/gtest.h>

#include "grid_checks.h"
#include "temp_dir.h"

using CliDir = TempDir;

struct RunResult {
  int code;         ///< exit code as the shell sees it (0..255)
  std::string out;  ///< standard output
  std::string err;  ///< standard error
};

/// Runs the shell `command` in folder `cwd`, with $LANDALLOC naming the program.
RunResult run_shell(const std::string& command, const std::string& cwd);

/// Runs landalloc with `args` in folder `cwd`, its address space limited to `address_space_kb` KiB.
RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd,
                        long address_space_kb = 0);

#ifdef LANDALLOC_MPIEXEC
/// Runs landalloc as an MPI job in folder `cwd`: process p with the arguments `process_args[p]`.
RunResult run_landalloc_job(const std::vector<std::vector<std::string>>& process_args,
                            const std::string& cwd);
#endif

/// Runs landalloc in `dir` with the blank-separated arguments `words`.
RunResult run_words(const std::string& words, const CliDir& dir);

/// `text` with the first `from` replaced by `to`; a test failure when `from` is not in it.
std::string replaced(std::string text, const std::string& from, const std::string& to);

/// The rows of a CSV file, header first, each split at its commas.
std::vector<std::vector<std::string>> read_csv(const std::string& path, char separator = ',');

/// A file's text without a runs table's seconds, the one value measured rather than computed.
std::string without_seconds(const std::string& text);

/// Every file under `dir`, by its path relative to it, with its content (a runs table without its
/// seconds), in path order.
std::vector<std::pair<std::string, std::string>> files_under(const CliDir& dir);

/// Writes into `dir` the bundled example's "config.json" with its maps linked (unless the caller
/// lays out "maps/"), outputs to "out/" and an annealing of a fraction of a second.
void write_short_example(const CliDir& dir, bool link_maps = true);

/// Writes into `dir` "small.json" and its 5 x 8 grids (one no-data cell, two excluded, an existing
/// use of code 2, a road as distribution mask), a short annealing with its evolution listing and a
/// basic-mode expansion. Outputs: pre.asc, proc.asc, post.asc, mask.asc. The first `from` of
/// "small.json" is changed into `to` ('|' between pairs).
void write_small_configuration(const CliDir& dir, const std::string& from = "",
                               const std::string& to = "");
