#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cli/cli_support.h"

TEST(DriverCliTest, UsageInvalidSeedsAndBadConfigurationFiles) {
  CliDir dir;
  // Each bad file is reported and skipped. A NUL byte ends the document: the bracket after it
  // would be an invalid character.
  const std::string many = "{\"a\": " + std::string(1100, '[') + std::string(1100, ']') + "}";
  dir.write("open.json", "{\"a\": [1, 2");
  dir.write("bad.json", "{\"a\": 1]");
  dir.write("many.json", many);
  dir.write("nul.json", std::string("[1]\0}", 5));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "255syntax: program [--preprocess] [--process] [--postprocess] config.json\n"},
      {{"--seed=-1", "a.json"}, "255error: invalid seed '-1'!\n"},
      {{"--seed=99999999999999999999"}, "255error: invalid seed '99999999999999999999'!\n"},
      {{"--process", "missing.json", "open.json", "bad.json", "many.json", "nul.json"},
       "0error: unable to open filename 'missing.json'!\n"
       "error: unable to parse json data (code -3)!\n"
       "the string is not a full json packet, more bytes expected\n"
       "error: unable to parse json data (code -2)!\n"
       "invalid character inside json string\n"
       "error: unable to parse json data (code -1)!\n"
       "not enough json tokens were reserved\n"
       "error: incorrect type in file (json object expected)!\n"},
  };
  for (const auto& [args, expected] : cases) {
    const RunResult r = run_landalloc(args, dir.dir());
    EXPECT_EQ(std::to_string(r.code) + r.out, expected);
  }
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
