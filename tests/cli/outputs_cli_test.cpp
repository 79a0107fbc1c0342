#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "cli/cli_support.h"

namespace {

std::string preprocess_config(const std::string& init, const std::string& output) {
  return R"({"maps": {"potential-maps": [["pot.asc"]], "potential-maps-weight": [[1]], )"
         R"("exclusion-masks": []}, "preprocess": {"distribution-masks": [], "convert-area": 0.5, )"
         R"("debug-maps": "no", "init-values-map": ")" +
         init + R"(", "output": ")" + output + "\"}}";
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
  // or from another file, and no temporary file is left beside them.
  EXPECT_EQ(run_landalloc({"--seed=7", "--preprocess", "apart.json"}, dir.dir()).code, 0);
  EXPECT_EQ(run_landalloc({"--seed=7", "--preprocess", "same.json"}, dir.dir()).code, 0);
  EXPECT_NE(dir.read("out.asc"), "");
  EXPECT_EQ(dir.read("same.asc"), dir.read("out.asc"));
  using std::filesystem::directory_iterator;
  EXPECT_EQ(std::distance(directory_iterator(dir.dir()), directory_iterator()), 6);
}

}  // namespace
