#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"

namespace {

std::vector<std::string> files_in(const CliDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.dir())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string preprocess_config(const std::string& init, const std::string& output) {
  return "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]],"
         " \"exclusion-masks\": []},"
         " \"preprocess\": {\"init-values-map\": \"" +
         init +
         "\", \"distribution-masks\": [], \"convert-area\": 0.5,"
         " \"debug-maps\": \"no\", \"output\": \"" +
         output + "\"}}";
}

TEST(OutputsCliTest, OutputMayReplaceAnInputOfTheSameRun) {
  CliDir dir;
  const std::string header = "ncols 4\nnrows 3\ncellsize 5\nNODATA_value -9999\n";
  dir.write("pot.asc", header + "1 1 1 1\n1 -9999 1 1\n1 1 1 1\n");
  const std::string initial = header + "0 0 3 0\n0 0 0 0\n0 2 0 0\n";
  dir.write("init.asc", initial);
  dir.write("same.asc", initial);
  dir.write("apart.json", preprocess_config("init.asc", "out.asc"));
  dir.write("same.json", preprocess_config("same.asc", "same.asc"));

  // The same seed places the same cells whether the initial values come from the output's path
  // or from another file.
  EXPECT_EQ(run_landalloc({"--seed=7", "--preprocess", "apart.json"}, dir.dir()).code, 0);
  EXPECT_EQ(run_landalloc({"--seed=7", "--preprocess", "same.json"}, dir.dir()).code, 0);
  EXPECT_NE(dir.read("out.asc"), "");
  EXPECT_EQ(dir.read("same.asc"), dir.read("out.asc"));
  EXPECT_EQ(files_in(dir), (std::vector<std::string>{"apart.json", "init.asc", "out.asc", "pot.asc",
                                                     "same.asc", "same.json"}));
}

// A 4 x 4 grid text with the cells given row by row.
std::string small_grid(const std::string& cells) {
  return "ncols 4\nnrows 4\ncellsize 1\nNODATA_value -999\n" + cells;
}

TEST(OutputsCliTest, InterruptedRunLeavesThePreviousOutputs) {
  CliDir dir;
  dir.write("pot.asc", small_grid("1 2 3 4\n1 2 3 4\n1 2 3 4\n1 2 3 4\n"));
  dir.write("mask.asc", small_grid("1 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n"));
  dir.write("pre.asc", small_grid("0 2 0 0\n0 0 2 0\n2 0 0 0\n0 0 0 2\n"));
  // Far more moves than the test waits for: the run is still annealing when it is interrupted.
  dir.write("config.json",
            "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]], "
            "\"exclusion-masks\": []}, \"preprocess\": {\"output\": \"pre.asc\"}, \"process\": {"
            "\"functions-weight\": [1, 1, 1, 1, 1], \"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9, "
            "\"nmovs\": 2000000000, \"nstages\": 1000, \"kb\": 100, \"random-select\": \"no\", "
            "\"distance-masks\": [\"mask.asc\"], \"distance-maps\": [], \"debug-maps\": \"no\", "
            "\"debug-evolution\": \"yes\", \"autotunning\": \"no\", \"output\": \"proc.asc\"}}");
  dir.write("proc.asc", "previous grid\n");
  dir.write("proc.asc.debug.evolution.lst", "previous listing\n");
  const std::vector<std::string> before = files_in(dir);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || chdir(dir.dir().c_str()) != 0) _exit(127);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(LANDALLOC_BIN, "landalloc", "--process", "--seed=3", "config.json", nullptr);
    _exit(127);
  }
  // Interrupted once the new listing is being written beside the old one.
  bool listing_started = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!listing_started && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    listing_started = files_in(dir).size() > before.size();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(listing_started);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(files_in(dir), before);
  EXPECT_EQ(dir.read("proc.asc"), "previous grid\n");
  EXPECT_EQ(dir.read("proc.asc.debug.evolution.lst"), "previous listing\n");
}

}  // namespace
