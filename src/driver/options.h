// The command line: its options, each option's help and description, and the jobs it gives,
// read whole before anything runs. Stage flags, --seed and the other per-file options are sticky:
// they apply to every configuration file after them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/preflight.h"
#include "driver/sweep.h"

/// One configuration file with the options given before it.
struct Job {
  const char* path;
  StageFlags stages;
  std::optional<uint64_t> seed;      ///< the --seed that came before the file, if one did
  int32_t repeats;                   ///< --repeats: how many times the stages run
  int32_t threads;                   ///< --threads: runs at once, and threads of one run
  bool keep_runs;                    ///< --keep-runs: every repeat also writes its own files
  std::optional<double> time_limit;  ///< --time-limit, in seconds
  std::vector<SweepAxis> sweeps;     ///< --sweep: none, one, or two for a grid
};

/// The whole command line, read before anything runs.
struct CommandLine {
  std::vector<Job> jobs;
  bool check = false;
  bool progress = false;
  bool help = false;
  bool describe = false;
  bool version = false;
  std::optional<std::string> template_kind;  ///< --template: "" for one use, "uses"
};

/// Reads the whole command line into `line`; false (after the message) on a usage error.
bool parse_command_line(int argc, char** argv, CommandLine* line);

/// Prints the usage and every option with its help.
void print_help();

/// Prints the options and the configuration's properties as JSON (--describe).
void print_description();
