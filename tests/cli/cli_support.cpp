#include "cli/cli_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>

static std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

RunResult run_shell(const std::string& command, const std::string& cwd) {
  char err_path[] = "/tmp/landalloc-stderr-XXXXXX";
  const int err_fd = mkstemp(err_path);
  if (err_fd < 0) throw std::runtime_error("mkstemp failed");
  close(err_fd);
  const std::string line = "cd " + shell_quote(cwd) +
                           " && export LANDALLOC=" + shell_quote(LANDALLOC_BIN) + " && (" +
                           command + ") 2>" + shell_quote(err_path);
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  RunResult result{0, "", ""};
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.out.append(buffer, got);
  const int status = pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.err = read_file(err_path);
  std::remove(err_path);
  return result;
}

RunResult run_landalloc(const std::vector<std::string>& args, const std::string& cwd,
                        long address_space_kb) {
  // The limit is set in the shell that then becomes the program, so that it applies to it.
  std::string command;
  if (address_space_kb > 0) command += "ulimit -v " + std::to_string(address_space_kb) + " && ";
  command += "exec \"$LANDALLOC\"";
  for (const auto& a : args) command += " " + shell_quote(a);
  return run_shell(command, cwd);
}

#ifdef LANDALLOC_MPIEXEC
RunResult run_landalloc_job(const std::vector<std::vector<std::string>>& process_args,
                            const std::string& cwd) {
  // OpenMPI starts no process as root (as CI runs) unless both variables say so.
  std::string command = "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 exec " +
                        shell_quote(LANDALLOC_MPIEXEC) + " --oversubscribe";
  for (size_t p = 0; p < process_args.size(); ++p) {
    command += std::string(p == 0 ? "" : " :") + " -n 1 \"$LANDALLOC\"";
    for (const auto& a : process_args[p]) command += " " + shell_quote(a);
  }
  return run_shell(command, cwd);
}
#endif

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "'" << from << "' is no longer in the text";
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string without_seconds(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line); out += line + "\n") {
    // A runs table's row ends with its seconds and whether it is the best run.
    const size_t last = line.rfind(',');
    const std::string best = last == std::string::npos ? "" : line.substr(last);
    if (best != ",yes" && best != ",no") continue;
    const size_t seconds = line.rfind(',', last - 1);
    if (seconds != std::string::npos) line.erase(seconds, last - seconds);
  }
  return out;
}

void write_short_example(const CliDir& dir, bool link_maps) {
  const std::string example = std::string(LANDALLOC_SOURCE_DIR) + "/examples/demo";
  if (link_maps) std::filesystem::create_directory_symlink(example + "/maps", dir.path("maps"));
  std::filesystem::create_directory(dir.path("out"));
  std::string config = read_file(example + "/config.json");
  config = replaced(config, "\"autotunning\": \"yes\"", "\"autotunning\": \"no\"");
  config = replaced(config, "\"nstages\": 40", "\"nstages\": 4");
  config = replaced(config, "\"nmovs\": 60000", "\"nmovs\": 4000");
  // So short an annealing leaves the cells scattered: keep every island of two cells or more.
  config = replaced(config, "\"purge-limit\": 12", "\"purge-limit\": 2");
  dir.write("config.json", config);
}

// A 5 x 8 grid: one no-data cell, two excluded cells, an existing allocation of code 2, a road as
// distribution mask, a short manual annealing and a basic-mode expansion.
void write_small_configuration(const CliDir& dir) {
  const auto grid = [](std::initializer_list<const char*> rows) {
    std::string text =
        "ncols 8\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
        "NODATA_value -9999\n";
    for (const char* row : rows) text += std::string(row) + "\n";
    return text;
  };
  const char* zeros = "0 0 0 0 0 0 0 0";
  dir.write("a.asc", grid({"1 2 3 4 5 6 7 8", "2 3 4 5 6 7 8 9", "3 4 5 -9999 7 8 9 10",
                           "2 3 4 5 6 7 8 9", "1 2 3 4 5 6 7 8"}));
  dir.write("water.asc", grid({zeros, zeros, zeros, zeros, "0 0 0 0 0 0 1 1"}));
  dir.write("town.asc", grid({zeros, "0 2 2 0 0 0 0 0", "0 2 2 0 0 0 0 0", zeros, zeros}));
  dir.write("road.asc", grid({zeros, zeros, "1 1 1 1 1 1 1 1", zeros, zeros}));
  dir.write("small.json", R"({
  "maps": {"potential-maps": [["a.asc"]], "potential-maps-weight": [[1]],
           "exclusion-masks": ["water.asc"]},
  "preprocess": {"init-values-map": "town.asc", "distribution-masks": ["road.asc"],
                 "convert-area": 0.3, "debug-maps": "no", "output": "pre.asc"},
  "process": {"functions-weight": [1, 1, 1, 1, 1], "pinit": 0.5, "tinit": 1, "tnext": 0.9,
              "nmovs": 25, "nstages": 3, "kb": 20, "random-select": "no",
              "distance-masks": ["town.asc"], "distance-maps": [],
              "debug-maps": "no", "debug-evolution": "yes", "autotunning": "no",
              "output": "proc.asc"},
  "postprocess": {
    "select": {"purge-limit": 5,
               "method-distance": {"distance-masks": ["town.asc"], "distance-maps": [],
                                   "minimum-distance-to-mask": 2,
                                   "minimum-cells-at-distance": 1},
               "method-value": {"accumulated-value": 0.5}},
    "expand": {"assign-preference": "large", "basins-map": "", "minimim-cells-in-basin": 0},
    "debug-maps": "no", "output": "post.asc", "output-mask": "mask.asc"}
})");
}
