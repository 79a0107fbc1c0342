#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "cli/cli_support.h"

namespace {

TEST(DriverCliTest, UsageSeedsAndBadConfigurationFiles) {
  CliDir dir;
  RunResult r = run_landalloc({}, dir.dir());
  EXPECT_EQ(r.code, 255);
  EXPECT_EQ(r.out, "syntax: program [--preprocess] [--process] [--postprocess] config.json\n");
  for (const std::string arg :
       {"--seed", "--seed=", "--seed=-1", "--seed=12x", "--seed=99999999999999999999"}) {
    r = run_landalloc({arg, "a.json"}, dir.dir());
    EXPECT_EQ(r.code, 255) << arg;
    EXPECT_EQ(r.out,
              "error: invalid seed '" + arg.substr(std::min<size_t>(7, arg.size())) + "'!\n");
  }

  // Each bad file is reported and skipped; flags alone load nothing. A NUL byte ends the document:
  // the bracket after it would be an invalid character.
  const std::pair<const char*, std::string> files[] = {
      {"array.json", "[1, 2]"},
      {"empty.json", ""},
      {"open.json", "{\"a\": [1, 2"},
      {"bad.json", "{\"a\": 1]"},
      {"many.json", "{\"a\": " + std::string(1100, '[') + std::string(1100, ']') + "}"},
      {"nul.json", std::string("[1]\0}", 5)}};
  for (const auto& [name, text] : files) dir.write(name, text);
  r = run_landalloc({"--process", "--seed=5", "missing.json", "array.json", "empty.json",
                     "open.json", "bad.json", "many.json", "nul.json"},
                    dir.dir());
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "error: unable to open filename 'missing.json'!\n"
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
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out,
            "ALGORITHM\nPOSTPROCESS begin\ninit\n* init geo using 'big.asc'\n"
            "* allocate 5 memory maps\nerror: not enough memory!\n");
}

}  // namespace
