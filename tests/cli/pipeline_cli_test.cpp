// The three stages end to end through the built program, on the bundled example and on the small
// configuration whose whole transcript is pinned. Draws are pinned only by comparing runs.
#include <chrono>
#include <cmath>

#include "cli/cli_support.h"

namespace {

namespace fs = std::filesystem;

/// Checks the pipeline's invariants on the four outputs (all written).
void check_pipeline(const CliDir& dir, std::array<std::string, 4> names = {
                                           "pre.asc", "proc.asc", "post.asc", "mask.asc"}) {
  std::vector<float> maps[4];
  for (int k = 0; k < 4; ++k) maps[k] = read_cells(dir.path(names[k]));
  EXPECT_EQ(pipeline_failure(maps[0], maps[1], maps[2], maps[3]), "");
  for (const auto& map : maps) EXPECT_EQ(map.size(), maps[0].size()) << "an output is missing";
}

// What a seed draws, the small configuration's transcript pins; that it replays, the unseeded runs.
TEST(PipelineCliTest, ExampleKeepsItsInvariants) {
  CliDir dir;
  write_short_example(dir);
  ASSERT_EQ(run_landalloc({"--seed=7", "config.json"}, dir.dir()).code, 0);
  check_pipeline(dir, {"out/preprocess.asc", "out/process.asc", "out/postprocess.asc",
                       "out/postprocess_mask.asc"});
  EXPECT_EQ(file_names(dir.path("out")).size(), 23u)
      << "the four outputs, their styles, the stages' 14 debug files and the runs table";

  // PROCESS's four maps lie on one scale, 0 to 1 with 1 reached; where one has no data, so does the
  // map PROCESS works on.
  const std::vector<float> solution = read_cells(dir.path("out/process.asc"));
  for (int k = 1; k <= 4; ++k) {
    const std::string name = "out/process.asc.debug.map-" + std::to_string(k) + ".asc";
    const std::vector<float> map = read_cells(dir.path(name));
    ASSERT_EQ(map.size(), solution.size()) << name;
    float top = 0.0f;
    for (size_t i = 0; i < map.size(); ++i) {
      EXPECT_TRUE(map[i] == -999.0f ? solution[i] == -999.0f : map[i] >= 0.0f && map[i] <= 1.0f)
          << name << ", cell " << i << ": " << map[i];
      top = std::max(top, map[i]);
    }
    EXPECT_EQ(top, 1.0f) << name;
  }
}

// By minimum cuts the run keeps, of the rounds whose final map the rules keep, the lowest; the
// rules are applied to their own repair until they hold.
// POSTPROCESS run again over the final map changes nothing. The log and the runs table give its
// energy and gap alike. "greedy" keeps the plain repair.
TEST(PipelineCliTest, AMinCutRunKeepsTheLowestMapTheRulesKeep) {
  CliDir dir;
  write_short_example(dir);
  std::string config = replaced(dir.read("config.json"), "\"annealing\"", "\"min-cut\"");
  config = replaced(config, "\"purge-limit\": 2", "\"purge-limit\": 12");
  dir.write("config.json", config);
  const RunResult r = run_words("--seed=1 --progress config.json", dir);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.err.find("\rthe rules' round 1 of at most "), std::string::npos) << r.err;
  const std::string marker = "RULES end\n  kept perimeter weight times ";
  const size_t end = r.out.find(marker);
  ASSERT_NE(end, std::string::npos) << r.out;
  const size_t label = end + marker.size();
  const std::string kept = r.out.substr(label, r.out.find('\n', label) - label);
  double lowest = INFINITY, kept_final = INFINITY;
  bool first_whole = true;
  for (size_t at = r.out.find("  perimeter weight times "); at < end;
       at = r.out.find("  perimeter weight times ", at + 1)) {
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    const double final_energy = std::stod(line.substr(line.find(", final ") + 8));
    const bool keeps = line.find(", the rules keep") != std::string::npos;
    if (at == r.out.find("  perimeter weight times "))
      first_whole = line.find(", the rules keep it whole") != std::string::npos;
    if (keeps) lowest = std::min(lowest, final_energy);
    if (line.rfind("  perimeter weight times " + kept + ": ", 0) == 0) kept_final = final_energy;
  }
  EXPECT_FALSE(first_whole) << "the selection by value drops islands of the plain cut";
  EXPECT_NE(r.out.find("  perimeter weight times 1, pass 2: "), std::string::npos)
      << "the cells it dropped are kept out of the next pass";
  EXPECT_EQ(kept_final, lowest) << r.out;
  const auto table = read_csv(dir.path("out/postprocess.runs.csv"));
  const std::string gap = r.out.substr(r.out.rfind("  gap ") + 6);
  EXPECT_EQ(table.at(1).at(13) + "%\n", gap.substr(0, gap.find('\n') + 1));
  EXPECT_NEAR(std::stod(r.out.substr(r.out.find("  final energy ", end) + 15)),
              std::stod(table.at(1).at(2)), 1e-6);
  EXPECT_NEAR(kept_final, std::stod(table.at(1).at(2)), 1e-6);
  // Run again over its own final map, POSTPROCESS keeps it whole.
  config = replaced(config, "\"out/process.asc\"", "\"out/postprocess.asc\"");
  config = replaced(config, "\"out/postprocess.asc\",", "\"out/again.asc\",");
  dir.write("again.json", config);
  ASSERT_EQ(run_words("--seed=1 --postprocess again.json", dir).code, 0);
  EXPECT_EQ(read_cells(dir.path("out/again.asc")), read_cells(dir.path("out/postprocess.asc")));

  // A time limit holds for PROCESS as a whole: the plain round alone. The cuts show progress.
  const RunResult limited = run_words("--seed=1 --time-limit=100 --progress config.json", dir);
  EXPECT_EQ(limited.out.find("  perimeter weight times 1.5"), std::string::npos) << limited.out;
  EXPECT_NE(limited.out.find("  perimeter weight times 1: "), std::string::npos);
  EXPECT_NE(limited.err.find("\rPROCESS minimum cuts, 0:00 elapsed"), std::string::npos)
      << limited.err;

  dir.write("greedy.json", replaced(dir.read("config.json"), "\"assign-preference\"",
                                    "\"method\": \"greedy\", \"assign-preference\""));
  const RunResult greedy = run_words("--seed=1 greedy.json", dir);
  EXPECT_EQ(greedy.code, 0);
  EXPECT_EQ(greedy.out.find("RULES"), std::string::npos);
  // What the one repair cost, its gap the runs table's.
  const size_t repair = greedy.out.find("REPAIR by POSTPROCESS\n  process energy ");
  ASSERT_NE(repair, std::string::npos) << greedy.out;
  EXPECT_NE(greedy.out.find(" islands dropped, ", repair), std::string::npos);
  const auto greedy_table = read_csv(dir.path("out/postprocess.runs.csv"));
  EXPECT_NE(greedy.out.find("  gap " + greedy_table.at(1).at(13) + "%\n", repair),
            std::string::npos);
}

// The cuts of PROCESS by minimum cuts solve bands of rows on threads of their own: the log and
// every file, the rules' rounds and the polish included, are those of one thread.
TEST(PipelineCliTest, AMinCutRunIsTheSameOnOneThreadAndOnTwo) {
  CliDir one, two;
  for (CliDir* dir : {&one, &two}) {
    write_short_example(*dir);
    dir->write("config.json", replaced(dir->read("config.json"), "\"annealing\"", "\"min-cut\""));
  }
  const RunResult serial = run_words("--seed=1 --threads=1 config.json", one);
  ASSERT_EQ(serial.code, 0) << serial.out;
  const RunResult parallel = run_words("--seed=1 --threads=2 config.json", two);
  EXPECT_EQ(parallel.code, 0);
  EXPECT_EQ(parallel.out, serial.out);
  EXPECT_EQ(files_under(two), files_under(one));
}

// Potentials peak at both ends of the small grid and the perimeter weighs little: the plain cut
// parts the demand into two islands below the purge limit. POSTPROCESS purges them all and stops,
// as the greedy repair does; a rounder cut gives one island the rules keep.
TEST(PipelineCliTest, WhereTheRulesPurgeAllOfThePlainCutARounderCutHolds) {
  CliDir dir;
  write_small_configuration(dir, "\"functions-weight\": [1, 1, 1, 1, 1]|\"purge-limit\": 5",
                            "\"functions-weight\": [1, 0.1, 0.05, 1, 0], \"method\": "
                            "\"min-cut\"|\"purge-limit\": 8");
  std::string peaks =
      "ncols 8\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
      "NODATA_value -9999\n";
  for (int r = 0; r < 5; ++r) peaks += r == 2 ? "9 8 4 -9999 1 4 8 9\n" : "9 8 4 1 1 4 8 9\n";
  dir.write("a.asc", peaks);
  const RunResult r = run_words("--seed=1 small.json", dir);
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("  perimeter weight times 1: process "), std::string::npos);
  EXPECT_NE(r.out.find(", POSTPROCESS stopped\n"), std::string::npos) << r.out;
  const std::string again =
      replaced(dir.read("small.json"), "\"output\": \"post.asc\"", "\"output\": \"again.asc\"");
  dir.write("again.json", replaced(again, "\"proc.asc\"", "\"post.asc\""));
  ASSERT_EQ(run_words("--seed=1 --postprocess again.json", dir).code, 0);
  EXPECT_EQ(read_cells(dir.path("again.asc")), read_cells(dir.path("post.asc")));
  dir.write("greedy.json", replaced(dir.read("small.json"), "\"assign-preference\"",
                                    "\"method\": \"greedy\", \"assign-preference\""));
  const RunResult greedy = run_words("--seed=1 greedy.json", dir);
  EXPECT_NE(greedy.code, 0);
  EXPECT_NE(greedy.out.find("error: no selected islands!"), std::string::npos) << greedy.out;
}

// Potentials peak in three corners, one of them water, and the demand is 7 cells: the plain cut
// has an island of 2 cells at the top left, below the purge limit of 3. Dropping it costs more than
// giving it its third cell, which the passes that keep it in find and the passes that keep it out
// cannot.
TEST(PipelineCliTest, AnIslandPurgedForItsSizeIsTriedAtTheLimitsSize) {
  CliDir dir;
  write_small_configuration(
      dir,
      "\"functions-weight\": [1, 1, 1, 1, 1]|\"convert-area\": 0.3|\"purge-limit\": 5|"
      "\"minimum-distance-to-mask\": 2|\"accumulated-value\": 0.5",
      "\"functions-weight\": [1, 0.05, 1, 0, 0], \"method\": \"min-cut\"|\"demand\": "
      "{\"cells\": 7}|\"purge-limit\": 3|\"minimum-distance-to-mask\": 0|\"accumulated-value\": "
      "0.8");
  dir.write("a.asc",
            "ncols 8\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\nNODATA_value -9999\n"
            "10 8.03 6.01 4.04 4.02 6 8.03 10.01\n8.02 6 4.03 4.01 2.04 4.02 6 8.03\n"
            "6.04 4.02 4 -9999 4.01 2.04 4.02 6\n4.01 4.04 6.02 8 6.03 4.01 2.04 4.02\n"
            "4.03 6.01 8.04 10.02 8 6.03 4.01 2.04\n");
  const RunResult r = run_words("--seed=1 small.json", dir);
  ASSERT_EQ(r.code, 0) << r.out;
  // The lowest final map of the first multiplier's passes, with and without the purged island.
  double kept_out = INFINITY, kept_in = INFINITY;
  const std::string first = "  perimeter weight times 1";
  for (size_t at = r.out.find(first); at != std::string::npos; at = r.out.find(first, at + 1)) {
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    if (line[first.size()] != ':' && line[first.size()] != ',') continue;
    if (line.find("within") != std::string::npos) continue;
    const double final_energy = std::stod(line.substr(line.find(", final ") + 8));
    double& lowest =
        line.find(", purged islands kept at 3 cells") != std::string::npos ? kept_in : kept_out;
    lowest = std::min(lowest, final_energy);
  }
  ASSERT_LT(kept_in, kept_out) << r.out;
  const auto table = read_csv(dir.path("post.runs.csv"));
  EXPECT_LE(std::stod(table.at(1).at(2)), kept_in + 1e-6);
  // The top left island is kept, at the limit's size at least.
  const std::vector<float> final_map = read_cells(dir.path("post.asc"));
  const float island = final_map[0];
  EXPECT_EQ(final_map[1], island);
  EXPECT_GE((final_map[8] == island) + (final_map[2] == island), 1);
  // POSTPROCESS run again over it changes nothing.
  const std::string again =
      replaced(dir.read("small.json"), "\"output\": \"post.asc\"", "\"output\": \"again.asc\"");
  dir.write("again.json", replaced(again, "\"proc.asc\"", "\"post.asc\""));
  ASSERT_EQ(run_words("--seed=1 --postprocess again.json", dir).code, 0);
  EXPECT_EQ(read_cells(dir.path("again.asc")), final_map);
}

/// The small configuration with `nmovs` moves in each of 100 annealing stages.
void write_slow_configuration(const CliDir& dir, const std::string& nmovs) {
  write_small_configuration(dir, "\"nmovs\": 25|\"nstages\": 3",
                            "\"nmovs\": " + nmovs + "|\"nstages\": 100");
}

// The small configuration's whole standard output against tests/cli/golden/small_pipeline.txt
// (LANDALLOC_UPDATE_GOLDEN=1 rewrites it: review the difference), and its progress line.
TEST(PipelineCliTest, SmallConfigurationTranscript) {
  CliDir dir;
  write_small_configuration(dir);
  const RunResult r = run_landalloc({"--seed=6", "--progress", "small.json"}, dir.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  check_pipeline(dir);
  // The progress line goes to standard error, redrawn in place; the short stages show none.
  EXPECT_EQ(r.err.rfind("\rPROCESS stage 1 of 3, 0 of 75 moves, energy ", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("PREPROCESS"), std::string::npos);
  EXPECT_EQ(r.err.back(), '\n');
  // Over 100 stages of 50000 moves, redrawn at most every quarter second, each line counts the
  // moves of the stages before its own.
  CliDir slow_dir;
  write_slow_configuration(slow_dir, "50000");
  const auto start = std::chrono::steady_clock::now();
  const RunResult slow = run_landalloc({"--seed=6", "--progress", "small.json"}, slow_dir.dir());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::istringstream lines(slow.err);
  int later = 0, drawn = 0;
  for (std::string line; std::getline(lines, line, '\r');) {
    int stage = 0;
    double done = 0;
    if (std::sscanf(line.c_str(), "PROCESS stage %d of 100, %lf of", &stage, &done) != 2) continue;
    EXPECT_TRUE(done >= (stage - 1) * 50000.0 && done < stage * 50000.0) << line;
    later += stage > 1;
    ++drawn;
  }
  EXPECT_LE(drawn, took.count() / 0.25 + 1) << "redrawn more often than every quarter second";
  EXPECT_GT(later, 0) << slow.err;
  // On a terminal (from script) that shows the log too, the line sits below the log's line and is
  // taken away, the cursor put back, before the log goes on; with the log in a file it is redrawn
  // in place and wiped at the end.
  const std::string run = "script -qec '\"$LANDALLOC\" --seed=6 --progress --process small.json";
  const RunResult shared = run_shell(run + "' /dev/null </dev/null", slow_dir.dir());
  EXPECT_NE(shared.out.find("\n  stage:\r\nPROCESS stage 1 of 100, 0 of"), std::string::npos);
  EXPECT_NE(shared.out.find("\033[K\r\033[K\033[A\033[8C 0 1 2"), std::string::npos) << shared.out;
  const RunResult apart = run_shell(run + " >log.txt' /dev/null </dev/null", slow_dir.dir());
  EXPECT_EQ(apart.out.rfind("\rPROCESS stage 1 of 100, 0 of", 0), 0u) << apart.out;
  EXPECT_TRUE(ends_with(apart.out, "\033[K\r\033[K")) << apart.out;
  EXPECT_EQ(apart.out.find("\033[A"), std::string::npos);

  const std::string golden =
      std::string(LANDALLOC_SOURCE_DIR) + "/tests/cli/golden/small_pipeline.txt";
  if (std::getenv("LANDALLOC_UPDATE_GOLDEN") != nullptr) {
    std::ofstream(golden, std::ios::binary) << r.out;
    GTEST_SKIP() << "rewrote " << golden;
  }
  EXPECT_EQ(r.out, read_file(golden));

  // PREPROCESS alone prints its part of the transcript and writes only its output and table.
  for (const char* name : {"pre.asc", "proc.asc"}) fs::remove(dir.path(name));
  const RunResult pre = run_landalloc({"--seed=6", "--preprocess", "small.json"}, dir.dir());
  const std::string until = "PREPROCESS end\n";
  EXPECT_EQ(std::to_string(pre.code) + pre.out,
            "0" + r.out.substr(0, r.out.find(until) + until.size()) +
                "ALGORITHM end\n* write 'pre.runs.csv'\n");
  EXPECT_TRUE(dir.exists("pre.asc"));
  EXPECT_FALSE(dir.exists("proc.asc"));
}

// Runs without --seed draw their seed from the system (two differ even in the same second); the
// printed seed given back with --seed repeats a run byte for byte.
TEST(PipelineCliTest, UnseededRunsPrintASeedThatRepeatsThem) {
  CliDir dirs[3];
  std::string seeds[2];
  for (int k = 0; k < 3; ++k) {
    write_small_configuration(dirs[k]);
    const RunResult r = run_words(
        k < 2 ? std::string("small.json") : "--seed=" + seeds[0] + " small.json", dirs[k]);
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.err, "") << "a progress line although standard error is no terminal";
    if (k == 2) break;
    seeds[k] = r.out.substr(5, r.out.find(' ', 5) - 5);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
              "seed " + seeds[k] + " (repeat this run with --seed=" + seeds[k] + ")");
  }
  EXPECT_NE(seeds[0], seeds[1]);
  for (const std::string name :
       {"pre.asc", "proc.asc", "proc.asc.debug.evolution.lst", "post.asc", "mask.asc"})
    EXPECT_TRUE(dirs[0].read(name) == dirs[2].read(name)) << name;
}

// Runs that can no longer write, or that a signal ends, leave no temporary file and keep what they
// printed. A closed standard output must not send the log into a grid; a file size limit and a log
// reader that goes away are write errors (code 1); SIGTERM and SIGHUP keep the log so far.
TEST(PipelineCliTest, FailedWritesAndSignalsLeaveNoTemporaryFileAndKeepTheLog) {
  CliDir closed;
  write_slow_configuration(closed, "25");
  EXPECT_EQ(run_shell("\"$LANDALLOC\" --seed=6 small.json >&-", closed.dir()).code, 0);
  EXPECT_EQ(closed.read("pre.asc").rfind("ncols ", 0), 0u);
  for (const auto& entry : fs::directory_iterator(closed.dir()))
    EXPECT_EQ(read_file(entry.path()).find("execution"), std::string::npos) << entry.path();
  // The whole run stops at the first output; PROCESS alone at its evolution listing, closed after
  // the annealing, or before the run when its name is too long for the file system.
  const std::string name = std::string(240, 'p') + ".asc", listing = ".debug.evolution.lst";
  for (const auto& [stage, output, tail] :
       {std::tuple<std::string, std::string, std::string>{
            "", "proc.asc", "* write 'pre.asc'\nerror: unable to write file 'pre.asc'!\n"},
        {"--process ", "proc.asc",
         " rejections\nerror: unable to write file 'proc.asc" + listing + "'!\n"},
        {"--process ", name,
         "error: unable to open file '" + name + listing +
             "'!\n  its name is too long for folder '.' (271 characters with the temporary "
             "suffix, at most 255)\n"}}) {
    CliDir dir;
    write_small_configuration(dir, "\"proc.asc\"", "\"" + output + "\"");
    ASSERT_EQ(stage.empty() ? 0 : run_words("--seed=6 --preprocess small.json", dir).code, 0);
    const RunResult r =
        run_shell("ulimit -f 0 && exec \"$LANDALLOC\" --seed=6 " + stage + "small.json", dir.dir());
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(ends_with(r.out, tail)) << r.out;
    // With PROCESS alone, pre.asc, its style and its runs table were written before.
    EXPECT_EQ(file_names(dir.dir()).size(), stage.empty() ? 5u : 8u) << "a file left behind";
  }
  CliDir piped;
  write_slow_configuration(piped, "2000000");
  const RunResult cut = run_shell(
      "{ \"$LANDALLOC\" --seed=6 small.json 2>error.txt; echo $? >code.txt; } | "
      "sed '/^execution$/q'",
      piped.dir());
  EXPECT_TRUE(ends_with(cut.out, "execution\n")) << cut.out;
  EXPECT_EQ(piped.read("code.txt") + piped.read("error.txt"),
            "1\nerror: unable to write the log!\n");
  EXPECT_FALSE(piped.exists("proc.asc"));
  EXPECT_EQ(temporaries(piped.dir()), std::vector<std::string>{});
  for (const std::string signal : {"TERM", "HUP"}) {
    CliDir dir;
    write_slow_configuration(dir, "200000000");
    const RunResult r = run_shell(
        "\"$LANDALLOC\" --seed=6 small.json >log.txt & for i in $(seq 100); do "
        "grep -q '^execution$' log.txt && break; sleep 0.05; done; kill -" +
            signal + " $!; wait $!; echo $?",
        dir.dir());
    EXPECT_EQ(r.out, signal == "TERM" ? "143\n" : "129\n");
    EXPECT_TRUE(ends_with(dir.read("log.txt"), "execution\n  stage:")) << dir.read("log.txt");
    EXPECT_EQ(temporaries(dir.dir()), std::vector<std::string>{});
  }
}

}  // namespace
