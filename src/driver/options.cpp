#include "driver/options.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "config/config.h"
#include "driver/describe.h"
#include "driver/template.h"

namespace {

constexpr const char* USAGE =
    "syntax: program [--preprocess] [--process] [--postprocess] config.json\n";

enum class OptionAction {
  preprocess,
  process,
  postprocess,
  seed,
  repeats,
  threads,
  keep_runs,
  time_limit,
  sweep,
  check,
  progress,
  help,
  describe,
  version,
  template_config
};

// Bounds of --repeats and --threads: a frequency count stays exact in a grid's 32-bit float, and
// no machine runs more threads than this at once to any benefit.
constexpr int32_t MAX_REPEATS = 1000000;
constexpr int32_t MAX_THREADS = 4096;

/// An option of the command line. Options `per_file` apply to the configuration files after them
/// (they are sticky), the others to the whole run.
struct Option {
  const char* name;
  const char* value;  ///< what follows '=', or nullptr for an option without a value
  bool per_file;
  OptionAction action;
  const char* help;
};

const Option OPTIONS[] = {
    {"--preprocess", nullptr, true, OptionAction::preprocess,
     "run PREPROCESS on the configuration files after it"},
    {"--process", nullptr, true, OptionAction::process,
     "run PROCESS on the configuration files after it"},
    {"--postprocess", nullptr, true, OptionAction::postprocess,
     "run POSTPROCESS on the configuration files after it (no stage option: all three run)"},
    {"--seed", "N", true, OptionAction::seed,
     "seed the configuration files after it with N (0 to 2^64-1) to repeat a run"},
    {"--repeats", "N", true, OptionAction::repeats,
     "run the stages N times, run r with the seed + r - 1; keep the best run, the frequency of "
     "each cell and a table of the runs (default 1)"},
    {"--threads", "T", true, OptionAction::threads,
     "run up to T repeats at once, each run's passes, cuts and raster reading on up to T threads "
     "(default: every core); the results do not depend on T"},
    {"--keep-runs", nullptr, true, OptionAction::keep_runs,
     "with --repeats, also write each run's files, named with .runNNN before the extension"},
    {"--time-limit", "S", true, OptionAction::time_limit,
     "end PROCESS of the configuration files after it after about S seconds (above 0) with the "
     "best map found; in place of \"process.time-limit\""},
    {"--sweep", "PROPERTY=VALUES", true, OptionAction::sweep,
     "run the configuration files after it once per value of a number property or element "
     "(process.functions-weight[1]=0,1,4 or =0.01:100:9log), of a land use's own "
     "(land-uses[NAME].demand.cells, land-uses[NAME].functions-weight[1]; or land-uses[N]) or of "
     "an adjacency cost (adjacency[NAME][NAME], both halves), each as --repeats; given twice, a "
     "grid of both; writes .sweepNN outputs, a .sweep.csv table and its trade-off picture, and "
     "recommends a value"},
    {"--check", nullptr, false, OptionAction::check,
     "check the configuration files and their grids for the selected stages; write nothing"},
    {"--progress", nullptr, false, OptionAction::progress,
     "show a progress line on standard error even when it is not a terminal"},
    {"--help", nullptr, false, OptionAction::help, "print this help and exit"},
    {"--describe", nullptr, false, OptionAction::describe,
     "print every option and configuration property as JSON and exit"},
    {"--version", nullptr, false, OptionAction::version, "print the program version and exit"},
    {"--template", "uses", false, OptionAction::template_config,
     "write a minimal configuration (PROCESS by minimum cuts, on the bundled example's maps) to "
     "standard output and what to change in it to standard error, then exit; =uses: for several "
     "land uses"},
};

// The option `arg` names, with its value in `value`; nullptr for no option.
const Option* find_option(const char* arg, const char** value) {
  for (const Option& option : OPTIONS) {
    const size_t length = std::strlen(option.name);
    if (std::strncmp(arg, option.name, length) != 0) continue;
    if (arg[length] == '\0') {
      *value = arg + length;
      return &option;
    }
    if (option.value != nullptr && arg[length] == '=') {
      *value = arg + length + 1;
      return &option;
    }
  }
  return nullptr;
}

// A seed is a plain decimal number: no sign, no blanks, no suffix, within 64 bits.
bool parse_seed(const char* text, uint64_t* seed) {
  if (*text < '0' || *text > '9') return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seed = value;
  return true;
}

// A count is a plain decimal number from 1 to `max`.
bool parse_count(const char* text, int32_t max, int32_t* count) {
  uint64_t value = 0;
  if (!parse_seed(text, &value) || value < 1 || value > static_cast<uint64_t>(max)) return false;
  *count = static_cast<int32_t>(value);
  return true;
}

// A time limit is a plain decimal number of seconds above 0: no sign, no blanks, no suffix.
bool parse_time_limit(const char* text, double* seconds) {
  if ((*text < '0' || *text > '9') && *text != '.') return false;
  bool ok = false;
  const double value = config_parse_number(text, &ok);
  if (!ok || std::isspace(static_cast<unsigned char>(text[std::strlen(text) - 1])) ||
      !(value > 0.0) || std::isinf(value))
    return false;
  *seconds = value;
  return true;
}

int32_t every_core() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int32_t>(std::min<unsigned>(cores, MAX_THREADS));
}

}  // namespace

void print_help() {
  log_message("%s", USAGE);
  log_message("options:\n");
  for (const Option& option : OPTIONS) {
    std::string name = option.name;
    // The template's word is optional: without it, the template of one use.
    if (option.action == OptionAction::template_config) {
      name += std::string("[=") + option.value + "]";
    } else if (option.value != nullptr) {
      name += std::string("=") + option.value;
    }
    log_message("  %-15s %s\n", name.c_str(), option.help);
  }
}

void print_description() {
  std::vector<OptionInfo> options;
  for (const Option& option : OPTIONS) options.push_back({option.name, option.value, option.help});
  log_message("%s", describe_json(options, LANDALLOC_VERSION).c_str());
}

bool parse_command_line(int argc, char** argv, CommandLine* line) {
  StageFlags stages;
  std::optional<uint64_t> seed;
  int32_t repeats = 1;
  int32_t threads = every_core();
  bool keep_runs = false;
  std::optional<double> time_limit;
  std::vector<SweepAxis> sweeps;
  const char* pending = nullptr;  // a per-file option not yet followed by a file
  bool warned_keep_runs = false;
  for (int a = 1; a < argc; ++a) {
    const char* arg = argv[a];
    // "-x" is a mistyped option far more often than a file name ("./-x" still names one).
    if (arg[0] != '-' || arg[1] == '\0') {
      // Run r takes the seed + r - 1: past 2^64 - 1 it would wrap, and the hint to repeat a run
      // with its seed would name another run.
      if (seed && *seed > UINT64_MAX - static_cast<uint64_t>(repeats - 1)) {
        log_message("error: invalid seed '%llu' for %d repeats (the seed + %d passes 2^64 - 1)!\n",
                    static_cast<unsigned long long>(*seed), repeats, repeats - 1);
        return false;
      }
      if (keep_runs && repeats == 1 && !warned_keep_runs) {
        log_message("! option '--keep-runs' has no effect without '--repeats'\n");
        warned_keep_runs = true;
      }
      Job job{arg, stages, seed, repeats, threads, keep_runs, time_limit, sweeps};
      if (!job.stages.any())
        job.stages.preprocess = job.stages.process = job.stages.postprocess = true;
      line->jobs.push_back(job);
      pending = nullptr;
      continue;
    }
    const char* value = nullptr;
    const Option* option = find_option(arg, &value);
    if (option == nullptr) {
      log_message("error: unknown option '%s'!\n", arg);
      log_message("%s", USAGE);
      return false;
    }
    if (option->per_file) pending = arg;
    switch (option->action) {
      case OptionAction::preprocess:
        stages.preprocess = true;
        break;
      case OptionAction::process:
        stages.process = true;
        break;
      case OptionAction::postprocess:
        stages.postprocess = true;
        break;
      case OptionAction::seed: {
        uint64_t given = 0;
        if (!parse_seed(value, &given)) {
          log_message("error: invalid seed '%s'!\n", value);
          return false;
        }
        seed = given;
        break;
      }
      case OptionAction::repeats:
        if (!parse_count(value, MAX_REPEATS, &repeats)) {
          log_message("error: invalid repeats '%s' (1 to %d)!\n", value, MAX_REPEATS);
          return false;
        }
        break;
      case OptionAction::threads:
        if (!parse_count(value, MAX_THREADS, &threads)) {
          log_message("error: invalid threads '%s' (1 to %d)!\n", value, MAX_THREADS);
          return false;
        }
        break;
      case OptionAction::keep_runs:
        keep_runs = true;
        break;
      case OptionAction::time_limit: {
        double seconds = 0.0;
        if (!parse_time_limit(value, &seconds)) {
          log_message("error: invalid time limit '%s' (seconds above 0)!\n", value);
          return false;
        }
        time_limit = seconds;
        break;
      }
      case OptionAction::sweep: {
        SweepAxis axis;
        std::string error;
        if (!sweep_parse(value, axis, error)) {
          log_message("%s", error.c_str());
          return false;
        }
        for (const SweepAxis& other : sweeps) {
          if (other.property == axis.property) {
            log_message("error: invalid sweep '%s': '%s' is swept twice!\n", value,
                        axis.property.c_str());
            return false;
          }
        }
        if (sweeps.size() == 2) {
          log_message("error: invalid sweep '%s': at most two properties are swept at once!\n",
                      value);
          return false;
        }
        sweeps.push_back(axis);
        break;
      }
      case OptionAction::check:
        line->check = true;
        break;
      case OptionAction::progress:
        line->progress = true;
        break;
      case OptionAction::help:
        line->help = true;
        break;
      case OptionAction::describe:
        line->describe = true;
        break;
      case OptionAction::version:
        line->version = true;
        break;
      case OptionAction::template_config:
        if (!template_known(value)) {
          log_message("error: invalid template '%s' (nothing or 'uses')!\n", value);
          log_message("%s", USAGE);
          return false;
        }
        line->template_kind = value;
        break;
    }
  }
  if (line->help || line->describe || line->version || line->template_kind) return true;
  if (pending != nullptr) {
    log_message("error: option '%s' applies to no configuration file!\n", pending);
    log_message("%s", USAGE);
    return false;
  }
  if (line->jobs.empty()) {
    log_message("%s", USAGE);
    return false;
  }
  return true;
}
