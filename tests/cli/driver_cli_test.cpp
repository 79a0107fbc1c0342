#include "cli/cli_support.h"

// The whole command line is read before anything runs: a mistyped option or a stage option that no
// file follows stops it with the usage line. A bad file is reported and skipped, the run then ends
// with 1. A NUL byte ends the document (the bracket after it would be an invalid character).
TEST(DriverCliTest, CommandLineIsReadWholeAndBadFilesEndWithOne) {
  CliDir dir;
  const std::string usage =
      "syntax: program [--preprocess] [--process] [--postprocess] config.json\n";
  dir.write("open.json", "{\"a\": [1, 2");
  dir.write("bad.json", "{\"a\": 1]");
  dir.write("two.json", "{\"a\": 1}\n {\"b\": 2}");
  dir.write("many.json", "{\"a\": " + std::string(1100, '[') + std::string(1100, ']') + "}");
  dir.write("nul.json", std::string("[1]\0}", 5));
  dir.write("empty.json", "{}");
  std::filesystem::resize_file(dir.write("huge.json", "{}"), (64 << 20) + 1);
  const std::string version = std::string("landalloc ") + LANDALLOC_VERSION + "\n";
  const auto dangling = [&](const std::string& option) {
    return "255error: option '" + option + "' applies to no configuration file!\n" + usage;
  };
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "255" + usage},
      {{"--prepocess", "empty.json"}, "255error: unknown option '--prepocess'!\n" + usage},
      {{"empty.json", "--seedx=1"}, "255error: unknown option '--seedx=1'!\n" + usage},
      {{"--process", "empty.json", "--postprocess"}, dangling("--postprocess")},
      {{"empty.json", "--seed=3"}, dangling("--seed=3")},
      {{"--seed=-1", "a.json"}, "255error: invalid seed '-1'!\n"},
      {{"--seed=1x", "a.json"}, "255error: invalid seed '1x'!\n"},
      {{"empty.json", "--preprocess"}, dangling("--preprocess")},
      {{"--seed=99999999999999999999"}, "255error: invalid seed '99999999999999999999'!\n"},
      {{"--process", "missing.json", "open.json", "bad.json", "two.json", "many.json", "nul.json"},
       "1error: unable to open filename 'missing.json'!\n"
       "error: unable to parse json data (code -3)!\n"
       "the string is not a full json packet, more bytes expected\n  at line 1, column 12\n"
       "error: unable to parse json data (code -2)!\n"
       "invalid character inside json string\n  at line 1, column 8\n"
       "error: unable to parse json data (code -2)!\n"
       "invalid character inside json string\n  at line 2, column 2\n"
       "error: unable to parse json data (code -1)!\n"
       "not enough json tokens were reserved\n  at line 1, column 1029\n"
       "error: incorrect type in file (json object expected)!\n"},
      // One dash is an option too; the last run's seed must not wrap; --keep-runs needs repeats.
      {{"-x", "empty.json"}, "255error: unknown option '-x'!\n" + usage},
      {{"--seed=18446744073709551615", "--repeats=3", "a.json"},
       "255error: invalid seed '18446744073709551615' for 3 repeats (the seed + 2 passes 2^64 - "
       "1)!\n"},
      {{"--seed=18446744073709551613", "--repeats=3", "--keep-runs", "a.json", "--version"},
       "0" + version},
      {{"--keep-runs", "a.json", "b.json", "--version"},
       "0! option '--keep-runs' has no effect without '--repeats'\n" + version},
      {{"--version", "--prepocess"}, "255error: unknown option '--prepocess'!\n" + usage},
      {{"--seed=0", "--seed=18446744073709551615", "--version"}, "0" + version},
      // Counts are taken up to their maximum, inclusive, and refused past it or at 0; a time limit
      // runs out some time (above 0); no configuration is larger than 64 MiB, a stream neither.
      {{"--repeats=1000000", "--threads=4096", "--version"}, "0" + version},
      {{"--repeats=0", "a.json"}, "255error: invalid repeats '0' (1 to 1000000)!\n"},
      {{"--threads=4097", "a.json"}, "255error: invalid threads '4097' (1 to 4096)!\n"},
      {{"--time-limit=0", "a.json"}, "255error: invalid time limit '0' (seconds above 0)!\n"},
      {{"--time-limit=0x10", "a.json"}, "255error: invalid time limit '0x10' (seconds above 0)!\n"},
      {{"--time-limit=.5", "--version"}, "0" + version},
      {{"--template=use", "a.json"},
       "255error: invalid template 'use' (nothing or 'uses')!\n" + usage},
      {{"/dev/zero"}, "1error: configuration file '/dev/zero' larger than 64 MiB!\n"},
      {{"huge.json"}, "1error: configuration file 'huge.json' larger than 64 MiB!\n"},
  };
  for (const auto& [args, expected] : cases) {
    const RunResult r = run_landalloc(args, dir.dir());
    EXPECT_EQ(std::to_string(r.code) + r.out, expected);
  }
  // A configuration through a pipe (process substitution) has no size and is read as it comes.
  const RunResult piped = run_shell("printf '{\"a\": 1]' | \"$LANDALLOC\" /dev/stdin", dir.dir());
  EXPECT_EQ(std::to_string(piped.code) + piped.out,
            "1error: unable to parse json data (code -2)!\ninvalid character inside json string\n"
            "  at line 1, column 8\n");
  const RunResult help = run_landalloc({"empty.json", "--help"}, dir.dir());
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind(usage, 0), 0u) << help.out;
  for (const char* option :
       {"\n  --preprocess ", "\n  --process ", "\n  --postprocess ", "\n  --seed=N ",
        "\n  --time-limit=S ", "\n  --check ", "\n  --progress ", "\n  --help ", "\n  --version ",
        "\n  --template[=uses] "})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(help.out.find("ALGORITHM"), std::string::npos);
}

TEST(DriverCliTest, GridTooLargeForTheMachineEndsWithNotEnoughMemory) {
#ifdef LANDALLOC_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes cannot start under a small address-space limit";
#endif
  CliDir dir;
  // 10000 x 10000 cells: five maps need 2 GB, far above the 512 MiB allowed (the program and its
  // libraries take about 150 MiB).
  dir.write("big.asc", "ncols 10000\nnrows 10000\nxllcorner 0\nyllcorner 0\ncellsize 1\n");
  dir.write("run.json", R"({
  "maps": {"potential-maps": [["big.asc"]], "potential-maps-weight": [[1]]},
  "process": {"output": "big.asc"},
  "postprocess": {
    "select": {"purge-limit": 0,
               "method-distance": {"distance-masks": [], "distance-maps": [],
                                   "minimum-distance-to-mask": 0, "minimum-cells-at-distance": 0},
               "method-value": {"accumulated-value": 0}},
    "expand": {"assign-preference": "large", "basins-map": ""},
    "debug-maps": "no", "output": "post.asc", "output-mask": "mask.asc"}
})");
  const RunResult r =
      run_landalloc({"--postprocess", "--seed=5", "run.json"}, dir.dir(), 512 * 1024);
  EXPECT_EQ(std::to_string(r.code) + r.out,
            "1seed 5 (repeat this run with --seed=5)\n"
            "ALGORITHM\nPOSTPROCESS begin\ninit\n* init geo using 'big.asc'\n"
            "* allocate 5 memory maps\nerror: not enough memory!\n");
}
