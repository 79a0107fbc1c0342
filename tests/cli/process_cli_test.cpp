#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_support.h"

namespace {

// A 6 x 8 scenario: a potential map rising to the east, one mask cell in the south-west corner,
// and a PREPROCESS output with seven allocated cells (value 2) scattered over the free ones.
const char* const POTENTIAL =
    "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
    "1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n"
    "1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n-9999 2 3 4 5 6 7 8\n";
const char* const MASK =
    "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -9999\n"
    "0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0\n"
    "0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0\n0 1 0 0 0 0 0 0\n";
const char* const PREPROCESSED =
    "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -999\n"
    "2 0 0 0 0 0 0 2\n0 0 2 0 0 0 0 0\n0 0 0 0 2 0 0 0\n"
    "0 2 0 0 0 0 2 0\n0 0 0 0 0 0 0 0\n-999 0 2 0 0 0 0 0\n";

using Properties = std::vector<std::pair<std::string, std::string>>;

// The "process" object of the configuration: every property with a sound value, then the
// overrides (a value replaces the property's; an empty value removes it).
std::string config(const Properties& overrides) {
  Properties process = {{"functions-weight", "[1, 1, 1, 1, 1]"},
                        {"pinit", "0.5"},
                        {"tinit", "1"},
                        {"tnext", "0.9"},
                        {"nmovs", "50"},
                        {"nstages", "4"},
                        {"kb", "100"},
                        {"random-select", "\"no\""},
                        {"distance-masks", "[\"mask.asc\"]"},
                        {"distance-maps", "[]"},
                        {"debug-maps", "\"no\""},
                        {"debug-evolution", "\"yes\""},
                        {"autotunning", "\"no\""},
                        {"output", "\"proc.asc\""}};
  for (const auto& [name, value] : overrides) {
    bool found = false;
    for (auto& property : process) {
      if (property.first == name) {
        property.second = value;
        found = true;
      }
    }
    if (!found) process.emplace_back(name, value);
  }
  std::ostringstream out;
  out << "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]], "
         "\"exclusion-masks\": []}, \"preprocess\": {\"output\": \"pre.asc\"}, \"process\": {";
  bool first = true;
  for (const auto& [name, value] : process) {
    if (value.empty()) continue;
    out << (first ? "" : ", ") << "\"" << name << "\": " << value;
    first = false;
  }
  out << "}}";
  return out.str();
}

RunResult run_process(const CliDir& dir, const Properties& overrides,
                      const char* preprocessed = PREPROCESSED) {
  dir.write("pot.asc", POTENTIAL);
  dir.write("mask.asc", MASK);
  dir.write("pre.asc", preprocessed);
  dir.write("config.json", config(overrides));
  return run_landalloc({"--process", "--seed=11", "config.json"}, dir.dir());
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The parts must appear in the output in this order.
void expect_in_order(const std::string& out, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    const size_t found = out.find(part, at);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << part << "\n" << out;
    at = found + part.size();
  }
}

// The rows of a grid text, without its header lines (which start with a key).
std::string grid_body(const std::string& grid) {
  std::istringstream in(grid);
  std::string body;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && !std::isalpha(static_cast<unsigned char>(line[0]))) body += line + "\n";
  }
  return body;
}

// Cells of a grid text that hold the working cell value 2.
int allocated_cells(const std::string& grid) {
  std::istringstream in(grid_body(grid));
  int count = 0;
  for (std::string word; in >> word;) count += word == "2";
  return count;
}

}  // namespace

TEST(ProcessCliTest, ParametersArePrintedThenCheckedInOrder) {
  struct Case {
    Properties overrides;
    std::string tail;
    int code;
  };
  const std::string weights =
      "  heuristic function weights\n    f1 1.000000\n    f2 1.000000\n    f3 1.000000\n"
      "    f4 1.000000\n    f5 1.000000\n";
  const std::vector<Case> cases = {
      {{{"functions-weight", "[1, 1, 1, 1]"}},
       "config parameters\nerror: property out of range in config json file!\n",
       4},
      {{{"functions-weight", "[1, 1, 1, 1, 1, 1]"}},
       "config parameters\nerror: property out of range in config json file!\n",
       4},
      {{{"functions-weight", "[1, \"-0.5\", 1, 1, 1]"}},
       "    f2 -0.500000\n    f3 1.000000\n    f4 1.000000\n    f5 1.000000\n"
       "error: property out of range in config json file!\n",
       4},
      {{{"functions-weight", ""}},
       "config parameters\nerror: property 'process.functions-weight' not found in config json "
       "file!\n",
       2},
      {{{"pinit", "1.5"}},
       weights + "  pinit 1.500000\nerror: property 'pinit' out of range!\n",
       1},
      {{{"tinit", "\"-1\""}}, "  tinit -1.000000\nerror: property 'tinit' out of range!\n", 1},
      {{{"tnext", "-0.1"}}, "  tnext -0.100000\nerror: property 'tnext' out of range!\n", 1},
      {{{"nmovs", "-1"}}, "  nmovs -1\nerror: property 'nmovs' out of range!\n", 1},
      {{{"nstages", "-2"}}, "  nstages -2\nerror: property 'nstages' out of range!\n", 1},
      {{{"kb", "-0.5"}}, "  kb -0.500000\nerror: property 'kb' out of range!\n", 1},
      {{{"kb", ""}},
       "  nstages 4\nerror: property 'process.kb' not found in config json file!\n",
       2},
      {{{"distance-masks", "[]"}},
       "init distances map\nerror: empty arrays 'distance-masks' and "
       "'distance-maps'!\n",
       255},
      {{{"output", "\"no/such/folder/proc.asc\""}},
       "debug lst\n* write to 'no/such/folder/proc.asc.debug.evolution.lst'\n"
       "error: unable to open file 'no/such/folder/proc.asc.debug.evolution.lst'!\n",
       1},
  };
  for (const Case& c : cases) {
    CliDir dir;
    RunResult r = run_process(dir, c.overrides);
    EXPECT_EQ(r.code, c.code) << r.out;
    EXPECT_TRUE(ends_with(r.out, c.tail)) << r.out;
    EXPECT_FALSE(dir.exists("proc.asc"));
  }
}

TEST(ProcessCliTest, BoundaryParametersAndStringNumbersAreAccepted) {
  // 0 and 1 for pinit, 0 for every other parameter, numbers written as strings: all accepted. With
  // no stage the map is written back unchanged.
  CliDir dir;
  RunResult r = run_process(dir, {{"pinit", "\"1\""},
                                  {"tinit", "0"},
                                  {"tnext", "\"0\""},
                                  {"nmovs", "0"},
                                  {"nstages", "0"},
                                  {"kb", "\"0\""}});
  EXPECT_EQ(r.code, 0) << r.out;
  expect_in_order(r.out, {"  pinit 1.000000\n  tinit 0.000000\n  tnext 0.000000\n  nmovs 0\n"
                          "  nstages 0\n  kb 0.000000\nload solution map\n"});
  EXPECT_EQ(grid_body(dir.read("proc.asc")), grid_body(PREPROCESSED));
}

TEST(ProcessCliTest, ManualRunAnnealsAndWritesMapAndListing) {
  CliDir dir;
  RunResult r = run_process(dir, {{"debug-maps", "\"yes\""}});
  ASSERT_EQ(r.code, 0) << r.out;
  expect_in_order(r.out, {"ALGORITHM\nPROCESS begin\ninit\n",
                          "* allocate 8 memory maps\n",
                          "config parameters\n  heuristic function weights\n    f1 1.000000\n",
                          "  pinit 0.500000\n  tinit 1.000000\n  tnext 0.900000\n  nmovs 50\n"
                          "  nstages 4\n  kb 100.000000\nload solution map\n",
                          "  working cell value is 2.000000\n",
                          "init potential map\n",
                          "init selection map\n",
                          "init nservices map\n",
                          "init distances map\n",
                          "* calc distances to masks\n",
                          "debug maps\n",
                          "debug lst\n* write to 'proc.asc.debug.evolution.lst'\n",
                          "MANUAL MODE selected\nnew try\nreload\n",
                          "execution\n  stage: 0 1 2 3\n  initial ",
                          "  final ",
                          "  minimal ",
                          "  stats\n",
                          " accepts (",
                          " by boltz prob)\n",
                          " rejections\n",
                          "* write 'proc.asc'\n",
                          "ALGORITHM end\n"});
  for (int k = 1; k <= 4; ++k) {
    EXPECT_TRUE(dir.exists("proc.asc.debug.map-" + std::to_string(k) + ".asc")) << k;
  }
  // The moves keep the number of allocated cells.
  EXPECT_EQ(allocated_cells(dir.read("proc.asc")), allocated_cells(PREPROCESSED));

  // One line per stage after the header, ten fields each.
  std::istringstream listing(dir.read("proc.asc.debug.evolution.lst"));
  std::string line;
  std::getline(listing, line);
  EXPECT_EQ(line, "# stage T E accpt boltz f1 f2 f3 f4 f5");
  int stage = 0;
  while (std::getline(listing, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    ASSERT_EQ(words.size(), 10u) << line;
    EXPECT_EQ(words[0], std::to_string(stage)) << line;
    ++stage;
  }
  EXPECT_EQ(stage, 4);

  // The same seed gives the same map.
  const std::string first = dir.read("proc.asc");
  r = run_process(dir, {{"debug-maps", "\"yes\""}});
  EXPECT_EQ(dir.read("proc.asc"), first);
}

TEST(ProcessCliTest, AutotuningRunsTheDryRunFirst) {
  CliDir dir;
  RunResult r = run_process(dir, {{"autotunning", "\"yes\""}, {"debug-evolution", "\"no\""}});
  ASSERT_EQ(r.code, 0) << r.out;
  expect_in_order(r.out, {"AUTOTUNNING MODE selected\nreload\n", "dryrun execution\n",
                          "  stage: 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19\n"
                          "changes\n  nmovs 96\n  kb ",
                          "new try\nreload\n", "ALGORITHM end\n"});
  EXPECT_FALSE(dir.exists("proc.asc.debug.evolution.lst"));
}

TEST(ProcessCliTest, MapsWithoutAMoveAreRefused) {
  // No allocated cell at all, and no free cell left to receive one.
  const std::string header =
      "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -999\n";
  std::string empty = header;
  std::string full = header;
  for (int r = 0; r < 6; ++r) {
    empty += r < 5 ? "0 0 0 0 0 0 0 0\n" : "-999 0 0 0 0 0 0 0\n";
    full += r < 5 ? "2 2 2 2 2 2 2 2\n" : "-999 2 2 2 2 2 2 2\n";
  }
  CliDir dir;
  RunResult r = run_process(dir, {}, empty.c_str());
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(ends_with(r.out,
                        "  working cell value is 0.000000\nerror: no allocatable cells in "
                        "map!\n"))
      << r.out;
  r = run_process(dir, {}, full.c_str());
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(ends_with(r.out, "error: no free cell can receive a move!\n")) << r.out;
  EXPECT_FALSE(dir.exists("proc.asc"));
}
