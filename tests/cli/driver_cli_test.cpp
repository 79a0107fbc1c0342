#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace {

TEST(DriverCliTest, UsageSeedsAndBadConfigurationFiles) {
  CliDir dir;
  RunResult r = run_landalloc({}, dir.dir());
  EXPECT_EQ(std::to_string(r.code) + r.out,
            "255syntax: program [--preprocess] [--process] [--postprocess] config.json\n");
  for (const std::string arg :
       {"--seed", "--seed=", "--seed=-1", "--seed=12x", "--seed=99999999999999999999"}) {
    r = run_landalloc({arg, "a.json"}, dir.dir());
    EXPECT_EQ(std::to_string(r.code) + r.out,
              "255error: invalid seed '" + arg.substr(std::min<size_t>(7, arg.size())) + "'!\n");
  }

  // Each bad file is reported and skipped; flags alone load nothing. A NUL byte ends the document:
  // the bracket after it would be an invalid character.
  const std::string many = "{\"a\": " + std::string(1100, '[') + std::string(1100, ']') + "}";
  const std::string texts[] = {"[1, 2]", "", "{\"a\": [1, 2", "{\"a\": 1]", many, {"[1]\0}", 5}};
  std::vector<std::string> args = {"--process", "--seed=5", "missing.json"};
  for (const char* name : {"array", "empty", "open", "bad", "many", "nul"})
    args.push_back(dir.write(name + std::string(".json"), texts[args.size() - 3]));
  r = run_landalloc(args, dir.dir());
  EXPECT_EQ(std::to_string(r.code) + r.out,
            "0error: unable to open filename 'missing.json'!\n"
            "error: incorrect type in file (json object expected)!\n"
            "error: incorrect type in file (json object expected)!\n"
            "error: unable to parse json data (code -3)!\n"
            "the string is not a full json packet, more bytes expected\n"
            "error: unable to parse json data (code -2)!\n"
            "invalid character inside json string\n"
            "error: unable to parse json data (code -1)!\n"
            "not enough json tokens were reserved\n"
            "error: incorrect type in file (json object expected)!\n");
}

TEST(DriverCliTest, GridTooLargeForTheMachineEndsWithNotEnoughMemory) {
#ifdef LANDALLOC_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes cannot start under a small address-space limit";
#endif
  CliDir dir;
  // 10000 x 10000 cells: the five maps of the stage need 2 GB, far above the 128 MiB allowed.
  dir.write("big.asc", "ncols 10000\nnrows 10000\nxllcorner 0\nyllcorner 0\ncellsize 1\n");
  dir.write("run.json", R"({"maps": {"potential-maps": [["big.asc"]]}})");
  const RunResult r = run_landalloc({"--postprocess", "run.json"}, dir.dir(), 128 * 1024);
  EXPECT_EQ(std::to_string(r.code) + r.out,
            "1ALGORITHM\nPOSTPROCESS begin\ninit\n* init geo using 'big.asc'\n"
            "* allocate 5 memory maps\nerror: not enough memory!\n");
}

}  // namespace
