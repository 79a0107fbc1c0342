#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/cli_support.h"

namespace {

// A 6 x 8 grid text whose cell (r, c) is cell(r, c); the south-west corner has no data.
template <typename Cell>
std::string grid(Cell cell) {
  std::string text = "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -999\n";
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 8; ++c) text += (c ? " " : "") + (r == 5 && c == 0 ? "-999" : cell(r, c));
    text += "\n";
  }
  return text;
}

// A potential rising to the east, one mask cell, and seven allocated cells (value 2).
const std::string POTENTIAL = grid([](int, int c) { return std::to_string(c + 1); });
const std::string MASK =
    grid([](int r, int c) { return std::string(r == 5 && c == 1 ? "1" : "0"); });
const std::string PREPROCESSED =
    grid([](int r, int c) { return std::string((r * 8 + c) % 7 == 0 ? "2" : "0"); });

const std::string CONFIG =
    "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]], "
    "\"exclusion-masks\": []}, \"preprocess\": {\"output\": \"pre.asc\"}, \"process\": {"
    "\"functions-weight\": [1, 1, 1, 1, 1], \"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9, "
    "\"nmovs\": 50, \"nstages\": 4, \"kb\": 100, \"random-select\": \"no\", "
    "\"distance-masks\": [\"mask.asc\"], \"distance-maps\": [], \"debug-maps\": \"no\", "
    "\"debug-evolution\": \"yes\", \"autotunning\": \"no\", \"output\": \"proc.asc\"}}";

// Runs PROCESS on the scenario with parts of the configuration text replaced.
RunResult run_process(const CliDir& dir,
                      const std::vector<std::pair<std::string, std::string>>& edits,
                      const std::string& preprocessed = PREPROCESSED) {
  std::string config = CONFIG;
  for (const auto& [from, to] : edits) {
    const size_t at = config.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) config.replace(at, from.size(), to);
  }
  dir.write("pot.asc", POTENTIAL);
  dir.write("mask.asc", MASK);
  dir.write("pre.asc", preprocessed);
  dir.write("config.json", config);
  return run_landalloc({"--process", "--seed=11", "config.json"}, dir.dir());
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void expect_in_order(const std::string& out, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    at = out.find(part, at);
    ASSERT_NE(at, std::string::npos) << "missing, or out of order: " << part << "\n" << out;
    at += part.size();
  }
}

// The rows of a grid text: all after its no-data line.
std::string body(const std::string& grid_text) {
  return grid_text.substr(grid_text.find("-999\n") + 5);
}

// The number of blank-separated words of a text equal to `word`.
int count_words(const std::string& text, const std::string& word) {
  std::istringstream in(text);
  int count = 0;
  for (std::string w; in >> w;) count += w == word;
  return count;
}

}  // namespace

TEST(ProcessCliTest, ParametersArePrintedThenCheckedInOrder) {
  const std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
      {"[1, 1, 1, 1, 1]", "[1, 1, 1, 1]",
       "config parameters\nerror: property out of range in config json file!\n", 4},
      {"[1, 1, 1, 1, 1]", "[1, \"-0.5\", 1, 1, 1]",
       "    f5 1.000000\nerror: property out of range in config json file!\n", 4},
      {"\"pinit\": 0.5", "\"pinit\": 1.5",
       "  pinit 1.500000\nerror: property 'pinit' out of range!\n", 1},
      {"\"nmovs\": 50", "\"nmovs\": \"-1\"", "  nmovs -1\nerror: property 'nmovs' out of range!\n",
       1},
      {"\"kb\": 100, ", "",
       "  nstages 4\nerror: property 'process.kb' not found in config json file!\n", 2},
      {"[\"mask.asc\"]", "[]",
       "init distances map\nerror: empty arrays 'distance-masks' and 'distance-maps'!\n", 255},
      {"\"proc.asc\"", "\"none/proc.asc\"",
       "* write to 'none/proc.asc.debug.evolution.lst'\n"
       "error: unable to open file 'none/proc.asc.debug.evolution.lst'!\n",
       1},
  };
  for (const auto& [from, to, tail, code] : cases) {
    CliDir dir;
    RunResult r = run_process(dir, {{from, to}});
    EXPECT_EQ(r.code, code) << r.out;
    EXPECT_TRUE(ends_with(r.out, tail)) << r.out;
    EXPECT_FALSE(dir.exists("proc.asc"));
  }
  // Bounds and numbers written as strings are accepted; with no stage the map comes back as it was.
  CliDir dir;
  RunResult r = run_process(dir, {{"0.5", "\"1\""},
                                  {"\"tinit\": 1", "\"tinit\": 0"},
                                  {"0.9", "\"0\""},
                                  {"\"nstages\": 4", "\"nstages\": 0"},
                                  {"100", "\"0\""}});
  EXPECT_EQ(r.code, 0) << r.out;
  expect_in_order(r.out, {"  pinit 1.000000\n  tinit 0.000000\n  tnext 0.000000\n  nmovs 50\n"
                          "  nstages 0\n  kb 0.000000\nload solution map\n"});
  EXPECT_EQ(body(dir.read("proc.asc")), body(PREPROCESSED));
}

TEST(ProcessCliTest, ManualRunAnnealsAndWritesMapDebugMapsAndListing) {
  CliDir dir;
  RunResult r = run_process(dir, {{"\"debug-maps\": \"no\"", "\"debug-maps\": \"yes\""}});
  ASSERT_EQ(r.code, 0) << r.out;
  expect_in_order(
      r.out, {"ALGORITHM\nPROCESS begin\ninit\n", "* allocate 8 memory maps\n",
              "  kb 100.000000\nload solution map\n", "  working cell value is 2.000000\n",
              "init potential map\n", "init selection map\n", "init nservices map\n",
              "init distances map\n", "* calc distances to masks\n", "debug maps\n",
              "debug lst\n* write to 'proc.asc.debug.evolution.lst'\n",
              "MANUAL MODE selected\nnew try\nreload\n", "execution\n  stage: 0 1 2 3\n  initial ",
              "  stats\n", " rejections\n* write 'proc.asc'\nALGORITHM end\n"});
  for (int k = 1; k <= 4; ++k)
    EXPECT_TRUE(dir.exists("proc.asc.debug.map-" + std::to_string(k) + ".asc"));
  EXPECT_EQ(count_words(body(dir.read("proc.asc")), "2"), count_words(body(PREPROCESSED), "2"));
  // The header and one line of ten fields per stage.
  const std::string listing = dir.read("proc.asc.debug.evolution.lst");
  expect_in_order(listing, {"# stage T E accpt boltz f1 f2 f3 f4 f5\n0 1.000000 ", "\n1 0.900000 ",
                            "\n2 0.810000 ", "\n3 0.729000 "});
  std::istringstream lines(listing.substr(listing.find('\n') + 1));
  int stages = 0;
  for (std::string line; std::getline(lines, line); ++stages) {
    std::istringstream words(line);
    int fields = 0;
    for (std::string w; words >> w;) ++fields;
    EXPECT_EQ(fields, 10) << line;
  }
  EXPECT_EQ(stages, 4);
  // The same seed gives the same map.
  const std::string first = dir.read("proc.asc");
  run_process(dir, {});
  EXPECT_EQ(dir.read("proc.asc"), first);
}

TEST(ProcessCliTest, AutotuningRunsTheDryRunFirst) {
  CliDir dir;
  RunResult r = run_process(dir, {{"\"autotunning\": \"no\"", "\"autotunning\": \"yes\""}});
  ASSERT_EQ(r.code, 0) << r.out;
  expect_in_order(r.out, {"AUTOTUNNING MODE selected\nreload\n", "dryrun execution\n",
                          "  stage: 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19\n"
                          "changes\n  nmovs 96\n  kb ",
                          "new try\nreload\n", "ALGORITHM end\n"});
}

TEST(ProcessCliTest, MapsWithoutAMoveAreRefused) {
  CliDir dir;
  RunResult r = run_process(dir, {}, grid([](int, int) { return std::string("0"); }));
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(
      ends_with(r.out, "  working cell value is 0.000000\nerror: no allocatable cells in map!\n"))
      << r.out;
  r = run_process(dir, {}, grid([](int, int) { return std::string("2"); }));
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(ends_with(r.out, "error: no free cell can receive a move!\n")) << r.out;
  EXPECT_FALSE(dir.exists("proc.asc"));
}
