#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "cli/cli_support.h"

namespace {

// A 3 x 4 potential map with one no-data cell, one excluded cell and an initial value of 3 over
// an available cell: 9 cells stay available and 4 of them (trunc(9 * 0.5)) are placed.
class PreprocessCliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir.write("pot.asc",
              "ncols 4\nnrows 3\nxllcorner 10\nyllcorner 20\ncellsize 5\nNODATA_value -9999\n"
              "1 1 1 1\n1 -9999 1 1\n1 1 1 1\n");
    dir.write("excl.asc",
              "ncols 4\nnrows 3\nxllcorner 10\nyllcorner 20\ncellsize 5\nNODATA_value -9999\n"
              "0 0 0 0\n0 0 0 0\n0 0 0 1\n");
    dir.write("init.asc",
              "ncols 4\nnrows 3\nxllcorner 10\nyllcorner 20\ncellsize 5\nNODATA_value -9999\n"
              "0 0 3 0\n0 0 0 0\n0 0 0 0\n");
    dir.write("config.json",
              "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]],"
              " \"exclusion-masks\": [\"excl.asc\"]},"
              " \"preprocess\": {\"init-values-map\": \"init.asc\", \"distribution-masks\": [],"
              " \"convert-area\": 0.5, \"debug-maps\": \"no\", \"output\": \"out.asc\"}}");
  }

  CliDir dir;
};

TEST_F(PreprocessCliTest, PlainRunTranscriptAndOutput) {
  RunResult run = run_landalloc({"--seed=7", "--preprocess", "config.json"}, dir.dir());
  EXPECT_EQ(run.code, 0);
  // The rejection count is random; every other line is fixed.
  size_t at = run.out.find(" rejections\n");
  ASSERT_NE(at, std::string::npos) << run.out;
  size_t digits = run.out.find_last_not_of("0123456789", at - 1) + 1;
  std::string rejections = run.out.substr(digits, at - digits);
  ASSERT_FALSE(rejections.empty()) << run.out;
  EXPECT_EQ(run.out,
            "ALGORITHM\n"
            "PREPROCESS begin\n"
            "init\n"
            "* init geo using 'pot.asc'\n"
            "* allocate 3 memory maps\n"
            "init solution map\n"
            "* load group maps\n"
            "* read 'pot.asc'\n"
            "! 1 nodata cells removed\n"
            "apply exclusion masks\n"
            "* loading masks\n"
            "* read 'excl.asc'\n"
            "apply initial values map\n"
            "* read 'init.asc'\n"
            "apply distribution masks\n"
            "config parameters\n"
            "  working cell value is 4.000000\n"
            "  convert-area 0.500000\n"
            "create initial state\n"
            "  9 cells available\n"
            "  4 cells to be assigned\n"
            "  processing...\n"
            "    4 accepted cells\n"
            "    " +
                rejections +
                " rejections\n"
                "* write 'out.asc'\n"
                "PREPROCESS end\n"
                "ALGORITHM end\n");

  // Fixed cells as they were; exactly four of the available ones now hold 4.
  std::string out = dir.read("out.asc");
  std::string header =
      "ncols        4\nnrows        3\nxllcorner    10.000000\nyllcorner    20.000000\n"
      "cellsize     5.000000\nnodata_value -999\n";
  ASSERT_EQ(out.substr(0, header.size()), header);
  std::string cells = out.substr(header.size());
  std::string layout = "? ? 3 ?\n? -999 ? ?\n? ? ? -2\n";
  ASSERT_EQ(cells.size(), layout.size()) << cells;
  for (size_t i = 0; i < layout.size(); ++i) {
    if (layout[i] == '?') {
      EXPECT_TRUE(cells[i] == '0' || cells[i] == '4') << cells;
    } else {
      EXPECT_EQ(cells[i], layout[i]) << cells;
    }
  }
  EXPECT_EQ(std::count(cells.begin(), cells.end(), '4'), 4) << cells;
}

}  // namespace
