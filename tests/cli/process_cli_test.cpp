#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_support.h"

namespace {

// A 6 x 8 grid text whose cell (r, c) is cell(r, c); the south-west corner has no data.
std::string grid(int (*cell)(int, int)) {
  std::string text = "ncols 8\nnrows 6\nxllcorner 0\nyllcorner 0\ncellsize 1\nNODATA_value -999\n";
  for (int i = 0; i < 48; ++i)
    text += std::to_string(i == 40 ? -999 : cell(i / 8, i % 8)) + (i % 8 == 7 ? "\n" : " ");
  return text;
}

// The parameters are checked before anything runs (a value out of range echoed above its error)
// and echoed again by the stage; nothing is written on failure. One case per kind of message and
// exit code of the stage itself: a bound, an output folder that does not exist, no free cell for
// a move. Bounds and numbers written as strings are accepted. The run: a potential rising to the
// east, one mask cell and seven allocated cells (value 2).
TEST(ProcessCliTest, ParametersArePrintedThenCheckedInOrder) {
  const std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
      {"\"pinit\": 0.5", "\"pinit\": 1.5",
       "  pinit 1.500000\nerror: property 'pinit' out of range!\n"
       "  property 'process.pinit' is 1.5, accepted 0 to 1\n",
       1},
      {"\"proc.asc\"", "\"none/proc.asc\"",
       "error: unable to open file 'none/proc.asc'!\n  folder 'none' does not exist\n", 1},
      {"\"pre.asc\"", "\"full.asc\"", "error: no free cell can receive a move!\n", 1},
      {"\"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9",
       "\"pinit\": \"1\", \"tinit\": 0, \"tnext\": \"0\"",
       "  pinit 1.000000\n  tinit 0.000000\n  tnext 0.000000\n  nmovs 50\n  nstages 4\n", 0},
  };
  for (const auto& [from, to, part, code] : cases) {
    CliDir dir;
    std::string config =
        "{\"maps\": {\"potential-maps\": [[\"pot.asc\"]], \"potential-maps-weight\": [[1]], "
        "\"exclusion-masks\": []}, \"preprocess\": {\"output\": \"pre.asc\"}, \"process\": {"
        "\"functions-weight\": [1, 1, 1, 1, 1], \"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9, "
        "\"nmovs\": 50, \"nstages\": 4, \"kb\": 100, \"random-select\": \"no\", "
        "\"distance-masks\": [\"mask.asc\"], \"distance-maps\": [], \"debug-maps\": \"no\", "
        "\"debug-evolution\": \"yes\", \"autotunning\": \"no\", \"output\": \"proc.asc\"}}";
    dir.write("config.json", config.replace(config.find(from), from.size(), to));
    dir.write("pot.asc", grid([](int, int c) { return c + 1; }));
    dir.write("mask.asc", grid([](int r, int c) { return r == 5 && c == 1 ? 1 : 0; }));
    dir.write("pre.asc", grid([](int r, int c) { return (r * 8 + c) % 7 ? 0 : 2; }));
    dir.write("full.asc", grid([](int, int) { return 2; }));
    RunResult r = run_landalloc({"--process", "--seed=11", "config.json"}, dir.dir());
    EXPECT_EQ(r.code, code) << r.out;
    const size_t at = r.out.rfind(part);
    EXPECT_TRUE(at != std::string::npos && (code == 0 || at + part.size() == r.out.size()))
        << r.out;
    EXPECT_EQ(dir.exists("proc.asc"), code == 0);
  }
}

}  // namespace
