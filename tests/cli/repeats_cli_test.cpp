// Repeats and sweeps through the built program, on the small configuration.
#include "cli/cli_support.h"

namespace {

namespace fs = std::filesystem;

// Both methods: the min-cut's repeats perturb their costs with their seeds, the bound in the table.
TEST(RepeatsCliTest, FilesAndLogAreTheSameOnAnyNumberOfThreads) {
  for (const bool min_cut : {false, true}) {
    SCOPED_TRACE(min_cut ? "min-cut" : "annealing");
    CliDir dirs[3];
    RunResult results[3];
    for (int t = 0; t < 3; ++t) {  // on 1, 2 and 4 threads
      write_small_configuration(dirs[t], "\"kb\"",
                                min_cut ? "\"method\": \"min-cut\", \"kb\"" : "\"kb\"");
      results[t] = run_words(
          "--seed=11 --repeats=4 --threads=" + std::to_string(1 << t) + " small.json", dirs[t]);
      ASSERT_EQ(results[t].code, 0) << results[t].out;
    }
    const std::vector<std::string> names = file_names(dirs[0].dir());  // the inputs among them
    EXPECT_EQ(names, (std::vector<std::string>{
                         "a.asc", "mask.asc", "mask.qml", "post.asc", "post.frequency.asc",
                         "post.frequency.qml", "post.qml", "post.runs.csv", "pre.asc", "pre.qml",
                         "proc.asc", "proc.asc.debug.evolution.lst", "proc.qml", "road.asc",
                         "small.json", "town.asc", "water.asc"}));
    for (int t = 1; t < 3; ++t) {
      EXPECT_EQ(results[t].out, results[0].out) << t;
      EXPECT_TRUE(files_under(dirs[t]) == files_under(dirs[0])) << t;
    }
    // Each run's log is whole and in run order, each followed by its summary line.
    const std::string& log = results[0].out;
    size_t at = 0;
    for (int r = 1; r <= 4; ++r) {
      const std::string run = "run " + std::to_string(r) + " of 4";
      const size_t start = log.find(run + ", seed " + std::to_string(10 + r) + "\nALGORITHM\n", at);
      ASSERT_NE(start, std::string::npos) << run;
      const size_t end = log.find("ALGORITHM end\n" + run + ": energy ", start);
      ASSERT_NE(end, std::string::npos) << run;
      EXPECT_EQ(log.find("ALGORITHM\n", start + run.size() + 20), log.find("ALGORITHM\n", end + 14))
          << "another run's log inside that of " << run;
      at = end;
    }
    EXPECT_NE(log.find("  frequency map 'post.frequency.asc'\n"), std::string::npos);
    const auto table = read_csv(dirs[0].path("post.runs.csv"));
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table[0].size(), min_cut ? 21u : 19u);
    for (size_t r = 1; min_cut && r < table.size(); ++r) {
      const double energy = std::stod(table[r][2]), bound = std::stod(table[r][12]);
      EXPECT_LE(bound, energy);
      EXPECT_NEAR(std::stod(table[r][13]), 100.0 * (energy - bound) / energy, 1e-3);
    }
  }
}

// Far more runs than wait for an earlier one (a few a thread): the table, written row by row while
// runs finish in any order on 4 threads, is the one of a single thread, every run in order and
// only the lowest energy's marked best.
TEST(RepeatsCliTest, ManyRunsOnThreadsWriteTheTableOfOneThread) {
  CliDir dirs[2];
  RunResult results[2];
  for (int t = 0; t < 2; ++t) {
    write_small_configuration(dirs[t], "\"purge-limit\": 5", "\"purge-limit\": 1");
    results[t] = run_words(
        "--seed=7 --repeats=300 --threads=" + std::to_string(1 + 3 * t) + " small.json", dirs[t]);
    ASSERT_EQ(results[t].code, 0) << results[t].out;
  }
  EXPECT_TRUE(results[1].out == results[0].out);
  EXPECT_TRUE(files_under(dirs[1]) == files_under(dirs[0]));
  const auto table = read_csv(dirs[0].path("post.runs.csv"));
  ASSERT_EQ(table.size(), 301u);
  size_t best = 1, marked = 0;
  for (size_t row = 1; row < table.size(); ++row) {
    EXPECT_EQ(table[row][0], std::to_string(row));
    if (std::stod(table[row][2]) < std::stod(table[best][2])) best = row;
    marked += table[row][11] == "yes";
  }
  EXPECT_EQ(marked, 1u);
  EXPECT_EQ(table[best][11], "yes");
  EXPECT_NE(results[0].out.find("best run " + std::to_string(best) + " of 300,"),
            std::string::npos);
}

// By minimum cuts run 1 is the unperturbed run, the same map as the run alone: the best of the
// repeats is never above it.
TEST(RepeatsCliTest, MinCutRunOneIsTheRunAlone) {
  CliDir dir;
  write_short_example(dir);
  dir.write("config.json", replaced(dir.read("config.json"), "\"annealing\"", "\"min-cut\""));
  ASSERT_EQ(run_words("--seed=5 --preprocess --process config.json", dir).code, 0);
  const std::string alone = read_csv(dir.path("out/process.runs.csv")).at(1).at(2);
  ASSERT_EQ(run_words("--seed=5 --repeats=2 --preprocess --process config.json", dir).code, 0);
  const auto table = read_csv(dir.path("out/process.runs.csv"));
  EXPECT_EQ(table.at(1).at(2), alone);
  EXPECT_NE(table.at(2).at(2), alone) << "run 2 perturbs its costs";
}

// Run 3 replayed alone writes what it kept; the frequency grid sums the kept masks; the outputs are
// the run's of lowest energy, each energy the weighted sum of the terms beside it.
TEST(RepeatsCliTest, KeptRunsReplayAloneAndMakeTheFrequencyAndTheBest) {
  CliDir dir, alone;
  for (const CliDir* d : {&dir, &alone})
    write_small_configuration(*d, "[1, 1, 1, 1, 1]", "[1, 2, 1, 0.5, 1]");
  const RunResult r = run_words("--seed=1 --repeats=4 --threads=3 --keep-runs small.json", dir);
  ASSERT_EQ(r.code, 0) << r.out;
  const RunResult replay = run_landalloc({"--seed=3", "small.json"}, alone.dir());
  ASSERT_EQ(replay.code, 0) << replay.out;
  // A kept run's name of an output: "proc.asc" of run 3 is "proc.run3.asc".
  const auto kept = [](const std::string& name, size_t run) {
    const size_t stem = name.find('.');
    return name.substr(0, stem) + ".run" + std::to_string(run) + name.substr(stem);
  };
  const std::string files[] = {"pre.asc", "proc.asc", "post.asc", "mask.asc",
                               "proc.asc.debug.evolution.lst"};
  for (const std::string& name : files)
    EXPECT_TRUE(dir.read(kept(name, 3)) == alone.read(name)) << name;

  // No run can choose a cell without potential or one under the water mask: they hold no data.
  std::vector<float> sum = read_cells(dir.path("a.asc"));
  const std::vector<float> water = read_cells(dir.path("water.asc"));
  for (size_t i = 0; i < sum.size(); ++i)
    sum[i] = sum[i] == -9999.0f || water[i] == 1.0f ? -999.0f : 0.0f;
  for (int run = 1; run <= 4; ++run) {
    const std::vector<float> mask = read_cells(dir.path(kept("mask.asc", run)));
    ASSERT_EQ(mask.size(), sum.size());
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += mask[i] == 1.0;
  }
  EXPECT_EQ(read_cells(dir.path("post.frequency.asc")), sum);

  const auto table = read_csv(dir.path("post.runs.csv"));
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[0][0], "run");
  size_t best = 1;
  for (size_t row = 1; row < table.size(); ++row) {
    EXPECT_EQ(table[row][0] + " " + table[row][1], std::to_string(row) + " " + std::to_string(row));
    const double weights[] = {1, 2, 1, 0.5, 1};
    double weighted = 0.0;
    for (int t = 0; t < 5; ++t) weighted += std::stod(table[row][3 + t]) * weights[t];
    EXPECT_NEAR(std::stod(table[row][2]), weighted, 1e-12) << row;
    if (std::stod(table[row][2]) < std::stod(table[best][2])) best = row;
  }
  for (size_t row = 1; row < table.size(); ++row)
    EXPECT_EQ(table[row][11], row == best ? "yes" : "no") << row;
  // The listing at the configured name is the best run's, run again.
  for (const std::string& name : files)
    EXPECT_TRUE(dir.read(name) == dir.read(kept(name, best))) << name;
}

// Each subset of stages repeats: the frequency grid (ASCII also for an output without extension)
// and the table sit beside the last stage's output and agree; the grid has no data where the
// final map has none, also where only the map a stage reads says so. An upper-case extension is
// the same extension.
TEST(RepeatsCliTest, EveryStageSubsetRepeats) {
  CliDir dir;
  write_small_configuration(dir, "\"post.asc\"", "\"final\"");
  ASSERT_EQ(run_landalloc({"--seed=5", "small.json"}, dir.dir()).code, 0);
  for (const std::string flags :
       {"--preprocess", "--process", "--postprocess", "--preprocess --process",
        "--process --postprocess", "--preprocess --postprocess"}) {
    const std::string last = ends_with(flags, "--postprocess") ? "final"
                             : ends_with(flags, "--process")   ? "proc"
                                                               : "pre";
    for (const std::string input : {"pre.asc", "proc.asc"}) {  // no data on an excluded cell
      const std::string cells = dir.read(input);
      if (cells.find("-2 -2") != cells.npos) dir.write(input, replaced(cells, "-2 -2", "-2 -999"));
    }
    const RunResult r = run_words(flags + " --seed=9 --repeats=3 --threads=2 small.json", dir);
    ASSERT_EQ(r.code, 0) << last << r.out;
    EXPECT_NE(r.out.find("  frequency map '" + last + ".frequency.asc'\n"), std::string::npos);
    const auto table = read_csv(dir.path(last + ".runs.csv"));
    ASSERT_EQ(table.size(), 4u) << last;
    double uncounted = 0.0;  // the runs' cells less the counts of the grid
    for (size_t row = 1; row < table.size(); ++row) uncounted += std::stod(table[row][8]);
    const std::vector<float> counts = read_cells(dir.path(last + ".frequency.asc"));
    const std::vector<float> map = read_cells(dir.path(last == "final" ? last : last + ".asc"));
    ASSERT_EQ(counts.size(), map.size());
    for (size_t i = 0; i < counts.size(); ++i) {
      EXPECT_EQ(counts[i] == -999.0f, map[i] == -999.0f || map[i] == -2.0f) << last << " " << i;
      EXPECT_TRUE(counts[i] == -999.0f || (counts[i] >= 0.0f && counts[i] <= 3.0f)) << counts[i];
      if (counts[i] > 0.0f) uncounted -= counts[i];
    }
    EXPECT_EQ(uncounted, 0.0) << last;
    fs::remove(dir.path(last + ".runs.csv"));
  }
#ifdef LANDALLOC_GDAL
  const std::string upper = "TIF", signature = "II*";
#else
  const std::string upper = "ASC", signature = "ncols";
#endif
  dir.write("small.json", replaced(dir.read("small.json"), "\"final\"", "\"final." + upper + "\""));
  ASSERT_EQ(run_landalloc({"--seed=9", "--repeats=2", "small.json"}, dir.dir()).code, 0);
  EXPECT_EQ(dir.read("final.frequency." + upper).rfind(signature, 0), 0u);
  EXPECT_TRUE(dir.exists("final.runs.csv"));
}

// A run that fails ends the process with its message and code after the whole logs of the runs
// before it, on any number of threads; nothing of the repeats is written.
TEST(RepeatsCliTest, AFailedRunEndsTheProcessAfterTheRunsBeforeIt) {
  RunResult results[2];
  for (int t = 0; t < 2; ++t) {
    // Islands of fewer than 9 cells are purged: a run whose 9 cells are not one island selects
    // none.
    CliDir dir;
    write_small_configuration(dir, "\"purge-limit\": 5", "\"purge-limit\": 9");
    results[t] = run_words(
        std::string("--seed=1 --repeats=8 --threads=") + (t == 0 ? "1" : "4") + " small.json", dir);
    EXPECT_EQ(file_names(dir.dir()).size(), 5u) << "written beside the 5 inputs";
  }
  EXPECT_EQ(results[1].out, results[0].out);
  const std::string& log = results[0].out;
  EXPECT_EQ(results[0].code, 250) << log;
  EXPECT_TRUE(ends_with(log, "error: no selected islands!\n")) << log;
  const size_t failed = log.rfind("\nrun ");
  const int run = std::atoi(log.c_str() + failed + 5);
  ASSERT_GT(run, 1) << "the first run fails: choose another seed";
  for (int r = 1; r < run; ++r)
    EXPECT_NE(log.find("run " + std::to_string(r) + " of 8: energy "), std::string::npos) << r;
  EXPECT_EQ(log.find("run " + std::to_string(run + 1) + " of 8"), std::string::npos);

  // A map of PROCESS that cannot be read, loaded once for all runs, stops the first run with what
  // a run alone prints from that load on, and its code.
  CliDir dir;
  write_small_configuration(dir, "[\"town.asc\"]", "[\"bad.asc\"]");
  dir.write("bad.asc", replaced(dir.read("town.asc"), "2 2", "2 x"));
  const RunResult alone = run_landalloc({"--seed=1", "small.json"}, dir.dir());
  const RunResult runs = run_words("--seed=1 --repeats=3 --threads=2 small.json", dir);
  ASSERT_EQ(alone.code, 1) << alone.out;
  EXPECT_EQ(runs.code, 1);
  const std::string begin = "init potential map\n";
  EXPECT_EQ(runs.out.substr(runs.out.find(begin)), alone.out.substr(alone.out.find(begin)));
}

}  // namespace

// 300,000 cells put the shared PROCESS maps in a mapped block, not on the heap: keeping only the
// maps the runs read must not free it as heap memory nor damage the others (the potential, in the
// first debug map, is the grid's over its maximum 9).
TEST(RepeatsCliTest, RunsShareTheMapsOfAGridBeyondTheHeapBlocks) {
  CliDir dir;
  std::string grid = "ncols 600\nnrows 500\nxllcorner 0\nyllcorner 0\ncellsize 1\n";
  for (int r = 0; r < 500; ++r)
    for (int c = 0; c < 600; ++c) grid += std::to_string((r + c) % 10) + (c < 599 ? " " : "\n");
  dir.write("a.asc", grid);
  dir.write("big.json", R"({
  "maps": {"potential-maps": [["a.asc"]], "potential-maps-weight": [[1]], "exclusion-masks": []},
  "preprocess": {"init-values-map": "", "distribution-masks": [], "convert-area": 0.01,
                 "debug-maps": "no", "output": "pre.asc"},
  "process": {"functions-weight": [1, 1, 1, 1, 1], "pinit": 0.5, "tinit": 1, "tnext": 0.9,
              "nmovs": 25, "nstages": 2, "kb": 20, "random-select": "no",
              "distance-masks": [], "distance-maps": ["a.asc"], "debug-maps": "yes",
              "debug-evolution": "no", "autotunning": "no", "output": "proc.asc"}})");
  const RunResult result = run_words(
      "--seed=3 --repeats=2 --threads=2 --keep-runs --preprocess --process big.json", dir);
  EXPECT_EQ(result.code, 0) << result.out;
  EXPECT_TRUE(fs::exists(dir.path("proc.frequency.asc")));
  const std::vector<float> grid_cells = grid_values(grid);
  const std::vector<float> potential = read_cells(dir.path("proc.run1.asc.debug.map-1.asc"));
  ASSERT_EQ(potential.size(), grid_cells.size());
  size_t positive = 0;
  for (size_t i = 0; i < potential.size(); ++i) {
    positive += potential[i] > 0.0f;
    ASSERT_TRUE(potential[i] == -999.0f || std::abs(potential[i] - grid_cells[i] / 9.0f) <= 1e-6f)
        << i << ": " << potential[i];
  }
  EXPECT_EQ(positive, 270000u);
}

// A sweep over three weights writes, tagged .sweepNN, what --repeats=2 alone writes for each
// weight, and a table row per value with its best run.
TEST(RepeatsCliTest, ASweepEqualsTheSeparateRunsItStandsFor) {
  CliDir sweep;
  write_small_configuration(sweep);
  const RunResult r = run_words(
      "--seed=5 --repeats=2 --threads=2 --sweep=process.functions-weight[1]=0,2,8 small.json",
      sweep);
  ASSERT_EQ(r.code, 0) << r.out;
  const auto rows = read_csv(sweep.path("post.sweep.csv"));
  ASSERT_EQ(rows.size(), 4u);
  const std::string weights[] = {"0", "2", "8"};
  for (int k = 0; k < 3; ++k) {
    CliDir alone;
    write_small_configuration(alone, "[1, 1, 1, 1, 1]", "[1, " + weights[k] + ", 1, 1, 1]");
    const RunResult a = run_landalloc({"--seed=5", "--repeats=2", "small.json"}, alone.dir());
    ASSERT_EQ(a.code, 0) << a.out;
    const std::string tag = ".sweep0" + std::to_string(k);
    for (const std::string name : {"pre", "proc", "post", "mask"})
      EXPECT_TRUE(sweep.read(name + tag + ".asc") == alone.read(name + ".asc")) << name << tag;
    EXPECT_TRUE(sweep.read("post" + tag + ".frequency.asc") == alone.read("post.frequency.asc"));
    EXPECT_EQ(without_seconds(sweep.read("post" + tag + ".runs.csv")),
              without_seconds(alone.read("post.runs.csv")));
    std::string best;  // the best run and its energy, of the one run marked best
    for (const auto& run : read_csv(alone.path("post.runs.csv")))
      best += run[11] == "yes" ? run[0] + " " + run[2] : "";
    const std::vector<std::string>& row = rows[k + 1];
    EXPECT_EQ(row[0] + " " + row[1] + " " + row[2] + " " + row[3],
              std::to_string(k) + " " + weights[k] + " " + best);
  }
  // One row is the recommended value the log names.
  std::string chosen;
  for (const auto& row : rows) chosen += row.back() == "yes" ? row[1] + " " : "";
  EXPECT_NE(r.out.find("recommended process.functions-weight[1] = " + chosen + "(elbow)"),
            std::string::npos);
  EXPECT_NE(r.out.find("Cohon's method: "), std::string::npos) << r.out;
}
