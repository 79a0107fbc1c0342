#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
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

}  // namespace
