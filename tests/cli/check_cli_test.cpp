// The check before a run, on the small configuration (cli_support.h) with one mistake at a time:
// whatever stage the mistake concerns, the run stops before PREPROCESS writes anything, with the
// message and exit code the stage would end with.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_support.h"

namespace {

const std::string RANGE = "error: property out of range in config json file!\n";

TEST(CheckCliTest, AMistakeInAnyStageStopsTheRunBeforeAnythingIsWritten) {
  const std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
      {"\"assign-preference\": \"large\"", "\"assign-preference\": \"Large\"",
       "error: property 'assign-preference' out of range!\n"
       "  accepted values are 'random', 'large', 'small'\n",
       1},
      {"\"output-mask\"", "\"output-mask-file\"",
       "! unknown property 'postprocess.output-mask-file' (did you mean "
       "'postprocess.output-mask'?)\n"
       "error: property 'postprocess.output-mask' not found in config json file!\n",
       2},
      {"\"nmovs\": 25", "\"nmovs\": \"1o00\"",
       "error: property 'process.nmovs' is not a number ('1o00')!\n", 2},
      {"[1, 1, 1, 1, 1]", "[1, 1, 1, 1]",
       RANGE + "  the element count of property 'process.functions-weight' is 4, accepted "
               "exactly 5\n",
       4},
      {"[1, 1, 1, 1, 1]", "[1, 1, -0.5, 1, 1]",
       "  heuristic function weights\n    f1 1.000000\n    f2 1.000000\n    f3 -0.500000\n"
       "    f4 1.000000\n    f5 1.000000\n" +
           RANGE +
           "  element 2 of property 'process.functions-weight' is -0.5, accepted 0 or more\n",
       4},
      {"\"minimum-distance-to-mask\": 2", "\"minimum-distance-to-mask\": -2",
       "  minimum distance -2\nerror: property 'minimum-distance-to-mask' out of range!\n"
       "  property 'postprocess.select.method-distance.minimum-distance-to-mask' is -2, "
       "accepted 0 or more\n",
       1},
      {"\"road.asc\"]", "\"town.asc\", \"wide.asc\"]",
       "error: incompatible (header) file 'wide.asc'!\n  ncols is 9 in 'wide.asc' but 8 in "
       "'a.asc'\n",
       1},
      {"\"output\": \"post.asc\"", "\"output\": \"none/post.asc\"",
       "error: unable to open file 'none/post.asc'!\n  folder 'none' does not exist\n", 1},
      {"\"distance-masks\": [\"town.asc\"], \"distance-maps\": [],\n              \"debug-maps\"",
       "\"distance-masks\": [], \"distance-maps\": [],\n              \"debug-maps\"",
       "error: empty arrays 'distance-masks' and 'distance-maps'!\n", 255},
  };
  for (const auto& [from, to, tail, code] : cases) {
    CliDir dir;
    write_small_configuration(dir);
    dir.write("small.json", replaced(dir.read("small.json"), from, to));
    dir.write("wide.asc", "ncols 9\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n");
    const RunResult r = run_landalloc({"--seed=1", "small.json"}, dir.dir());
    EXPECT_EQ(r.code, code) << r.out;
    EXPECT_EQ(r.out, "seed 1 (repeat this run with --seed=1)\n" + tail);
    EXPECT_FALSE(dir.exists("pre.asc")) << to;
    // The check alone ends the same way, and goes on with the next file.
    const RunResult check = run_landalloc({"--check", "small.json", "small.json"}, dir.dir());
    EXPECT_EQ(check.code, code);
    EXPECT_EQ(check.out, "check 'small.json'\n" + tail + "check 'small.json'\n" + tail);
  }
}

// The check names what a run would read and write, warns as a run does, and writes nothing. A
// switch that is neither yes nor no keeps its meaning (off) but is pointed out, once.
TEST(CheckCliTest, CheckPrintsWhatWouldRunAndWritesNothing) {
  CliDir dir;
  write_small_configuration(dir);
  dir.write("small.json",
            replaced(dir.read("small.json"), "\"debug-maps\": \"no\", \"output\": \"post.asc\"",
                     "\"debug-maps\": \"true\", \"output\": \"post.asc\", \"comment\": 1"));
  const std::string warnings =
      "! unknown property 'postprocess.comment'\n"
      "! property 'postprocess.debug-maps' is 'true': only 'yes' turns it on\n";
  RunResult r = run_landalloc({"--seed=2", "small.json"}, dir.dir());
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.find(warnings), r.out.find('\n') + 1) << r.out;
  EXPECT_EQ(r.out.find("turns it on", r.out.find("ALGORITHM")), std::string::npos);
  EXPECT_FALSE(dir.exists("post.asc.debug.map-1.asc"));

  const std::string before = dir.read("proc.asc") + dir.read("post.asc");
  r = run_landalloc({"--check", "--process", "--postprocess", "small.json"}, dir.dir());
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "check 'small.json'\n" + warnings +
                       "  stages PROCESS POSTPROCESS\n  reads 'a.asc'\n  reads 'pre.asc'\n"
                       "  reads 'town.asc'\n  writes 'proc.asc'\n  writes 'post.asc'\n"
                       "  writes 'mask.asc'\ncheck passed\n");
  EXPECT_TRUE(dir.read("proc.asc") + dir.read("post.asc") == before);

  // Without PREPROCESS, its output must already exist.
  std::remove(dir.path("pre.asc").c_str());
  r = run_landalloc({"--check", "--process", "small.json"}, dir.dir());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out,
            "check 'small.json'\n! unknown property 'postprocess.comment'\n"
            "error: unable to open file 'pre.asc'!\n");
}

}  // namespace
