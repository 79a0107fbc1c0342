// The three stages end to end through the built program: on the bundled example, on real grids
// and on one small configuration whose whole transcript is pinned. The checks hold whatever the
// draws are; the draws themselves are pinned only by comparing runs with each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_support.h"

namespace {

namespace fs = std::filesystem;

const std::string DATA = LANDALLOC_TEST_DATA;

/// Checks the pipeline's invariants on the four outputs (all written); returns the allocated count.
long check_pipeline(const CliDir& dir, std::array<std::string, 4> names = {
                                           "pre.asc", "proc.asc", "post.asc", "mask.asc"}) {
  std::vector<float> maps[4];
  for (int k = 0; k < 4; ++k) maps[k] = read_cells(dir.path(names[k]));
  const auto& [pre, proc, post, mask] = maps;
  EXPECT_EQ(pipeline_failure(pre, proc, post, mask), "");
  for (const auto& map : maps) EXPECT_EQ(map.size(), pre.size()) << "an output is missing";
  return pre.empty()
             ? 0
             : std::count(pre.begin(), pre.end(), *std::max_element(pre.begin(), pre.end()));
}

/// The example's configuration in a folder laid out like examples/demo, with a short manual
/// annealing so that a run takes a fraction of a second.
struct ExampleRun {
  CliDir dir;
  explicit ExampleRun(const std::string& seed) {
    write_short_example(dir);
    const RunResult r = run_landalloc({seed, "config.json"}, dir.dir());
    EXPECT_EQ(r.code, 0) << r.out;
  }
};

TEST(PipelineCliTest, ExampleKeepsItsInvariantsAndRepeatsWithTheSameSeed) {
  ExampleRun first("--seed=7"), again("--seed=7"), other("--seed=8");
  check_pipeline(first.dir, {"out/preprocess.asc", "out/process.asc", "out/postprocess.asc",
                             "out/postprocess_mask.asc"});
  const std::vector<std::string> names = file_names(first.dir.path("out"));
  EXPECT_EQ(names.size(), 18u) << "the four outputs and the stages' 14 debug files";

  ASSERT_EQ(file_names(again.dir.path("out")), names);
  for (const std::string& name : names)
    EXPECT_TRUE(first.dir.read("out/" + name) == again.dir.read("out/" + name)) << name;
  for (const std::string name : {"preprocess.asc", "process.asc", "postprocess.asc"})
    EXPECT_FALSE(first.dir.read("out/" + name) == other.dir.read("out/" + name)) << name;
}

// A 10 m terrain model whose last column holds no data, and a landslide outline on the same grid
// (1 on 30 cells, no data elsewhere), as masks to settle near; autotuned annealing.
TEST(PipelineCliTest, RealGridsRunEndToEndWithAutotuning) {
  CliDir dir;
  fs::create_symlink(DATA + "/mtsthelens_pre_runout_dem_80x122.asc", dir.path("dem.asc"));
  fs::create_symlink(DATA + "/mtsthelens_landslide_polygon_80x122.asc", dir.path("slide.asc"));
  dir.write("run.json", R"({
  "maps": {"potential-maps": [["dem.asc"]], "potential-maps-weight": [[1]], "exclusion-masks": []},
  "preprocess": {"init-values-map": "", "distribution-masks": ["slide.asc"],
                 "convert-area": 0.04, "debug-maps": "no", "output": "pre.asc"},
  "process": {"functions-weight": [1, 1, 1, 1, 1], "pinit": 0.5, "tinit": 1, "tnext": 0.8,
              "nmovs": 0, "nstages": 3, "kb": 0, "random-select": "yes",
              "distance-masks": ["slide.asc"], "distance-maps": [],
              "debug-maps": "no", "debug-evolution": "no", "autotunning": "yes",
              "output": "proc.asc"},
  "postprocess": {
    "select": {"purge-limit": 2,
               "method-distance": {"distance-masks": ["slide.asc"], "distance-maps": [],
                                   "minimum-distance-to-mask": 20,
                                   "minimum-cells-at-distance": 3},
               "method-value": {"accumulated-value": 0.6}},
    "expand": {"assign-preference": "large", "basins-map": "", "minimim-cells-in-basin": 0},
    "debug-maps": "no", "output": "post.asc", "output-mask": "mask.asc"}
})");
  const RunResult r = run_landalloc({"--seed=3", "run.json"}, dir.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  // 4 % of the cells with data, and the no-data column stays no data.
  EXPECT_EQ(check_pipeline(dir), long((80 - 1) * 122 * 0.04f));
  const std::vector<float> post = read_cells(dir.path("post.asc"));
  ASSERT_EQ(post.size(), 80u * 122u);
  for (int row = 0; row < 122; ++row) EXPECT_EQ(post[row * 80 + 79], -999.0f) << row;
}

// The small configuration (cli_support.h) with a progress line, whose whole standard output is
// compared with
// tests/cli/golden/small_pipeline.txt; LANDALLOC_UPDATE_GOLDEN=1 rewrites that file (review the
// difference before committing it).
TEST(PipelineCliTest, SmallConfigurationTranscript) {
  CliDir dir;
  write_small_configuration(dir);
  const RunResult r = run_landalloc({"--seed=6", "--progress", "small.json"}, dir.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  check_pipeline(dir);
  // The progress line goes to standard error only, redrawn in place; PREPROCESS and POSTPROCESS
  // take less than a second here and show none.
  EXPECT_EQ(r.err.rfind("\rPROCESS stage 1 of 3, 0 of 75 moves, energy ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("PREPROCESS"), std::string::npos);
  EXPECT_EQ(r.err.back(), '\n');

  const std::string golden =
      std::string(LANDALLOC_SOURCE_DIR) + "/tests/cli/golden/small_pipeline.txt";
  if (std::getenv("LANDALLOC_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << r.out;
    GTEST_SKIP() << "rewrote " << golden;
  }
  EXPECT_EQ(r.out, read_file(golden));

  // PREPROCESS alone prints its part of the transcript and writes only its output.
  fs::remove(dir.path("pre.asc"));
  fs::remove(dir.path("proc.asc"));
  const RunResult pre = run_landalloc({"--seed=6", "--preprocess", "small.json"}, dir.dir());
  const std::string until = "PREPROCESS end\n";
  EXPECT_EQ(std::to_string(pre.code) + pre.out,
            "0" + r.out.substr(0, r.out.find(until) + until.size()) + "ALGORITHM end\n");
  EXPECT_TRUE(dir.exists("pre.asc"));
  EXPECT_FALSE(dir.exists("proc.asc"));
}

// Runs without --seed draw their seed from the system, so two of them differ even in the same
// second; the printed seed given back with --seed repeats a run byte for byte.
TEST(PipelineCliTest, UnseededRunsPrintASeedThatRepeatsThem) {
  CliDir first, second, again;
  std::string seeds[2];
  for (const CliDir* dir : {&first, &second}) {
    write_small_configuration(*dir);
    const RunResult r = run_landalloc({"small.json"}, dir->dir());
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.err, "") << "a progress line although standard error is no terminal";
    const std::string line = r.out.substr(0, r.out.find('\n'));
    const std::string seed = line.substr(5, line.find(' ', 5) - 5);
    EXPECT_EQ(line, "seed " + seed + " (repeat this run with --seed=" + seed + ")");
    seeds[dir == &first ? 0 : 1] = seed;
  }
  EXPECT_NE(seeds[0], seeds[1]);
  write_small_configuration(again);
  ASSERT_EQ(run_landalloc({"--seed=" + seeds[0], "small.json"}, again.dir()).code, 0);
  for (const std::string name :
       {"pre.asc", "proc.asc", "proc.asc.debug.evolution.lst", "post.asc", "mask.asc"})
    EXPECT_TRUE(first.read(name) == again.read(name)) << name;
}

// A map without an allocation of its own is refused by every stage, before it writes anything:
// PREPROCESS when it places no cell or when no code lies above the highest initial value (from
// 2^24 on, code + 1 rounds back to code), PROCESS and POSTPROCESS when their input's highest
// value is an initial code still in place (an older run's map), which they would otherwise move.
TEST(PipelineCliTest, NoStageTakesAnInitialCodeForItsAllocation) {
  const std::string code_2 =
      "error: working cell value 2.000000 is an initial value of 'town.asc' "
      "(no allocated cell)!\n";
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      {"--preprocess", "\"convert-area\": 0.3", "\"convert-area\": 0.01",
       "    0 accepted cells\n    0 rejections\nerror: no cell allocated!\n"},
      {"--preprocess", "\"town.asc\", \"distribution", "\"big.asc\", \"distribution",
       "error: no working cell value above initial value 16777216.000000!\n"},
      {"--process", "\"pre.asc\"", "\"town.asc\"", code_2},
      {"--postprocess", "\"proc.asc\"", "\"town.asc\"", code_2},
  };
  for (const auto& [stage, from, to, tail] : cases) {
    CliDir dir;
    write_small_configuration(dir);
    std::string big = dir.read("town.asc");
    for (size_t at; (at = big.find(" 2 ")) != std::string::npos;) big.replace(at, 3, " 16777216 ");
    dir.write("big.asc", big);
    dir.write("small.json", replaced(dir.read("small.json"), from, to));
    const RunResult r = run_landalloc({stage, "--seed=6", "small.json"}, dir.dir());
    EXPECT_EQ(r.code, 1) << stage;
    EXPECT_TRUE(ends_with(r.out, tail)) << r.out;
    for (const char* output : {"pre.asc", "proc.asc", "post.asc", "mask.asc"})
      EXPECT_FALSE(dir.exists(output)) << stage << " wrote " << output;
  }
}

/// Names in `dir` shaped like the temporary files of outputs ("<output>.XXXXXX").
std::vector<std::string> temporaries(const CliDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.dir())) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 7 && name[name.size() - 7] == '.') names.push_back(name);
  }
  return names;
}

/// The small configuration with `nmovs` moves in each of 100 annealing stages.
void write_slow_configuration(const CliDir& dir, const std::string& nmovs) {
  write_small_configuration(dir);
  const std::string config =
      replaced(dir.read("small.json"), "\"nmovs\": 25", "\"nmovs\": " + nmovs);
  dir.write("small.json", replaced(config, "\"nstages\": 3", "\"nstages\": 100"));
}

// Runs that can no longer write, or that a signal ends, leave no temporary file and keep what
// they printed. Standard output closed at start must not send the log into a grid; a file size
// limit and a log reader that goes away mid-annealing are write errors (exit code 1, message);
// SIGTERM and SIGHUP during the first annealing stage find the log written up to there.
TEST(PipelineCliTest, FailedWritesAndSignalsLeaveNoTemporaryFileAndKeepTheLog) {
  {
    CliDir dir;
    write_slow_configuration(dir, "25");
    const RunResult r = run_shell("\"$LANDALLOC\" --seed=6 small.json >&-", dir.dir());
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(dir.read("pre.asc").rfind("ncols ", 0), 0u);
    for (const auto& entry : fs::directory_iterator(dir.dir()))
      EXPECT_EQ(read_file(entry.path()).find("execution"), std::string::npos) << entry.path();
  }
  {
    CliDir dir;
    write_small_configuration(dir);
    const RunResult r =
        run_shell("ulimit -f 0 && exec \"$LANDALLOC\" --seed=6 small.json", dir.dir());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(ends_with(r.out, "* write 'pre.asc'\nerror: unable to write file 'pre.asc'!\n"))
        << r.out;
    EXPECT_FALSE(dir.exists("pre.asc"));
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
  }
  {
    CliDir dir;
    write_slow_configuration(dir, "2000000");
    const RunResult r = run_shell(
        "{ \"$LANDALLOC\" --seed=6 small.json 2>error.txt; echo $? >code.txt; } | "
        "sed '/^execution$/q'",
        dir.dir());
    EXPECT_TRUE(ends_with(r.out, "execution\n")) << r.out;
    EXPECT_EQ(dir.read("code.txt") + dir.read("error.txt"), "1\nerror: unable to write the log!\n");
    EXPECT_FALSE(dir.exists("proc.asc"));
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
  }
  for (const std::string signal : {"TERM", "HUP"}) {
    CliDir dir;
    write_slow_configuration(dir, "200000000");
    // A stage of 2e8 moves lasts far longer than the wait: the signal comes during stage 0.
    const RunResult r = run_shell(
        "\"$LANDALLOC\" --seed=6 small.json >log.txt & for i in $(seq 100); do "
        "grep -q '^execution$' log.txt && break; sleep 0.05; done; kill -" +
            signal + " $!; wait $!; echo $?",
        dir.dir());
    EXPECT_EQ(r.out, signal == "TERM" ? "143\n" : "129\n");
    EXPECT_TRUE(ends_with(dir.read("log.txt"), "execution\n  stage:")) << dir.read("log.txt");
    EXPECT_EQ(temporaries(dir), std::vector<std::string>{});
  }
}

}  // namespace
