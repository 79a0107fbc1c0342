// The check before a run, on the small configuration (cli_support.h) with one mistake at a time.
#include <sys/stat.h>

#include "cli/cli_support.h"

namespace {

const std::string RANGE = "error: property out of range in config json file!\n";

// Each case changes `from` into `to` and runs the stages `stage` names ("" for all). A whole run
// stops before PREPROCESS writes anything, with the message and code the stage would end with; so
// does --check, going on with the next file. A stage alone stops with its own message (`tail`).
// Code 0: a case that must run, `tail` part of its log.
TEST(CheckCliTest, AMistakeInAnyStageStopsTheRunBeforeAnythingIsWritten) {
  const std::string code_2 =
      "error: working cell value 2.000000 is an initial value of 'town.asc' "
      "(no allocated cell)!\n";
  const std::vector<std::tuple<std::string, std::string, std::string, std::string, int>> cases = {
      {"", "\"assign-preference\": \"large\"", "\"assign-preference\": \"Large\"",
       "error: property 'assign-preference' out of range!\n"
       "  accepted values are 'random', 'large', 'small'\n",
       1},
      {"", "\"output-mask\"", "\"output-mask-file\"",
       "! unknown property 'postprocess.output-mask-file' (did you mean "
       "'postprocess.output-mask'?)\n"
       "error: property 'postprocess.output-mask' not found in config json file!\n",
       2},
      {"", "\"nmovs\": 25", "\"nmovs\": \"1o00\"",
       "error: property 'process.nmovs' is not a number ('1o00')!\n", 2},
      {"", "[1, 1, 1, 1, 1]", "[1, 1, 1, 1]",
       RANGE + "  the element count of property 'process.functions-weight' is 4, accepted "
               "exactly 5\n",
       4},
      {"", "[1, 1, 1, 1, 1]", "[1, 1, -0.5, 1, 1]",
       "  heuristic function weights\n    f1 1.000000\n    f2 1.000000\n    f3 -0.500000\n"
       "    f4 1.000000\n    f5 1.000000\n" +
           RANGE +
           "  element 2 of property 'process.functions-weight' is -0.5, accepted 0 or more\n",
       4},
      {"", "\"pinit\": 0.5", "\"pinit\": 1.5",
       "  pinit 1.500000\nerror: property 'pinit' out of range!\n"
       "  property 'process.pinit' is 1.5, accepted 0 to 1\n",
       1},
      {"", "\"kb\": 20", "\"kb\": 20, \"time-limit\": -1",
       "  time limit -1.000000\nerror: property 'time-limit' out of range!\n"
       "  property 'process.time-limit' is -1, accepted above 0\n",
       1},
      {"", "\"assign-preference\"", "\"method\": \"cut\", \"assign-preference\"",
       "  expand method 'cut'\nerror: property 'method' out of range!\n"
       "  accepted values are 'greedy', 'min-cut'\n",
       1},
      {"", "\"accumulated-value\": 0.5", "\"accumulated-value\": 1.5",
       "  accumulated value 1.500000\nerror: property 'accumulated-value' out of range!\n"
       "  property 'postprocess.select.method-value.accumulated-value' is 1.5, accepted 0 to 1\n",
       1},
      {"", "\"minimum-distance-to-mask\": 2", "\"minimum-distance-to-mask\": -2",
       "  minimum distance -2\nerror: property 'minimum-distance-to-mask' out of range!\n"
       "  property 'postprocess.select.method-distance.minimum-distance-to-mask' is -2, "
       "accepted 0 or more\n",
       1},
      {"", "\"road.asc\"]", "\"town.asc\", \"wide.asc\"]",
       "error: incompatible (header) file 'wide.asc'!\n  ncols is 9 in 'wide.asc' but 8 in "
       "'a.asc'\n",
       1},
      {"", "\"output\": \"post.asc\"", "\"output\": \"none/post.asc\"",
       "error: unable to open file 'none/post.asc'!\n  folder 'none' does not exist\n", 1},
      {"",
       "\"distance-masks\": [\"town.asc\"], \"distance-maps\": [],\n              \"debug-maps\"",
       "\"distance-masks\": [], \"distance-maps\": [],\n              \"debug-maps\"",
       "error: empty arrays 'distance-masks' and 'distance-maps'!\n  section 'process': name the "
       "grids the new cells keep close to in 'distance-masks' (or distances in 'distance-maps'); "
       "the annealing needs one even with the distance weight at 0, \"method\": \"min-cut\" does "
       "not\n",
       255},
      // The cuts at a distance weight of 0 read no distance: neither array is needed.
      {"", "\"distance-masks\": [\"town.asc\"], \"distance-maps\": [],|1, 1]|\"kb\": 20",
       "|1, 0]|\"kb\": 20, \"method\": \"min-cut\"", "MIN-CUT MODE selected\n", 0},
      {"", "\"distance-masks\": [\"town.asc\"]|\"kb\": 20",
       "\"distance-masks\": []|\"kb\": 20, \"method\": \"min-cut\"",
       "error: empty arrays 'distance-masks' and 'distance-maps'!\n  section 'process': name the "
       "grids the new cells keep close to in 'distance-masks' (or distances in 'distance-maps'), "
       "or set the distance weight (the 5th of 'functions-weight') to 0\n",
       255},
      // No stage takes an initial code for its allocation: none above 2^24 (code + 1 rounds back),
      // none that is an initial code still in place (an older run's map).
      {"--preprocess", "\"town.asc\", \"distribution", "\"big.asc\", \"distribution",
       "error: no working cell value above initial value 16777216.000000!\n", 1},
      {"--process", "\"pre.asc\"", "\"town.asc\"", code_2, 1},
      {"--postprocess", "\"proc.asc\"", "\"town.asc\"", code_2, 1},
      {"--process", "\"pre.asc\"", "\"full.asc\"", "error: no free cell can receive a move!\n", 1},
      {"--check --process", "\"pre.asc\"", "\"gone.asc\"",
       "error: unable to open file 'gone.asc'!\n", 1},
      {"", "\"output\": \"pre.asc\"", "\"output\": 5",
       "error: incorrect type for property 'preprocess.output' (json string expected)!\n", 2},
      {"", "\"potential-maps-weight\": [[1]]", "\"potential-maps-weight\": [[\"inf\"]]",
       "error: property out of range in config json file!\n  element 0 of group 0 of property "
       "'maps.potential-maps-weight' is inf, accepted finite weights whose magnitudes add up to a "
       "float\n",
       1},
      // Bounds and numbers as strings are taken; with no move to make, a full map is no fault.
      {"--process", "\"pinit\": 0.5, \"tinit\": 1, \"tnext\": 0.9,\n              \"nmovs\": 25",
       "\"pinit\": \"1\", \"tinit\": 0, \"tnext\": \"0\", \"nmovs\": 0",
       "  pinit 1.000000\n  tinit 0.000000\n  tnext 0.000000\n  nmovs 0\n  nstages 3\n", 0},
      {"--process", "\"nmovs\": 25", "\"nmovs\": 1", "  stage: 0 1 2\n  initial ", 0},
      // A microsecond runs out in stage 0, unless the command line's limit takes its place; with
      // min-cut it stops only the optional work.
      {"", "\"kb\": 20", "\"kb\": 20, \"time-limit\": 1e-6", "  stage: 0\n  time limit reached", 0},
      {"--time-limit=1e9", "\"kb\": 20", "\"kb\": 20, \"time-limit\": 1e-6", "  stage: 0 1 2\n", 0},
      {"", "\"kb\": 20", "\"kb\": 20, \"polish\": \"yes\"", "\npolish\n  polished ", 0},
      {"--time-limit=1e-6", "\"kb\": 20", "\"kb\": 20, \"method\": \"min-cut\"", "  lower bound ",
       0},
      // A demand is new cells among the 33 free ones; an area needs a map in metres.
      {"", "\"convert-area\": 0.3", "\"demand\": {\"cells\": 34}",
       "error: demand of 34 cells for the allocation exceeds the 33 free allocatable cells!\n", 1},
      {"", "\"convert-area\": 0.3", "\"demand\": {\"area\": 0.1, \"unit\": \"ha\"}",
       "error: an area in 'preprocess.demand' needs a projected map in metres; the map's units "
       "are unknown (no coordinate system read with 'a.asc')!\n  to fix it: put a .prj file "
       "with the grid's coordinate system (in metres) beside 'a.asc', or use a GeoTIFF that "
       "holds its system, or give the demand in cells ({\"cells\": n})\n",
       1},
      {"", "\"convert-area\": 0.3", "\"demand\": {\"cells\": 7}", "  demand 7 cells\n", 0},
      // Every free cell allocated: the min-cut's answer is the map itself.
      {"", "\"convert-area\": 0.3|\"kb\": 20",
       "\"demand\": {\"cells\": 33}|\"kb\": 20, \"method\": \"min-cut\"",
       "  no free cell: the map is the only one of 33 cells\n", 0},
      // A sweep of a list element that the configuration lacks.
      {"--sweep=process.functions-weight[5]=1,2", "\"kb\": 20", "\"kb\": 20",
       "error: sweep property 'process.functions-weight[5]' is not a value of the configuration!\n",
       2},
  };
  const std::string header =
      "ncols 8\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\nnodata_value -9\n";
  for (const auto& [stage, from, to, tail, code] : cases) {
    CliDir dir;
    write_small_configuration(dir, from, to);
    dir.write("wide.asc", "ncols 9\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n");
    std::string big = dir.read("town.asc"), full = header;
    for (size_t at; (at = big.find(" 2 ")) != std::string::npos;) big.replace(at, 3, " 16777216 ");
    dir.write("big.asc", big);
    for (int i = 0; i < 40; ++i) full += i % 8 == 7 ? "3\n" : "3 ";
    dir.write("full.asc", full);
    const std::string free_row = header + "0 0 0 0 0 0 0 0\n" + full.substr(header.size() + 16);
    if (code == 0) dir.write("pre.asc", to == "\"nmovs\": 1" ? free_row : full);
    const RunResult r = run_words(stage + " --seed=1 small.json", dir);
    EXPECT_EQ(r.code, code) << to << "\n" << r.out;
    if (code == 0) {
      EXPECT_NE(r.out.find(tail), std::string::npos) << r.out;
      // Every stage ends with the demand's cells, the final map included.
      if (tail == "  demand 7 cells\n") {
        const auto cells = [&](const char* name) { return read_cells(dir.path(name)); };
        const std::vector<float> pre = cells("pre.asc");
        EXPECT_EQ(std::count(pre.begin(), pre.end(), 3.0f), 7);
        EXPECT_EQ(pipeline_failure(pre, cells("proc.asc"), cells("post.asc"), cells("mask.asc")),
                  "");
        EXPECT_TRUE(ends_with(run_words("--check small.json", dir).out,
                              "  allocatable 33 cells\n  demand 7 cells\ncheck passed\n"));
      }
      continue;
    }
    if (stage.empty()) {
      EXPECT_EQ(r.out, "seed 1 (repeat this run with --seed=1)\n" + tail);
      const RunResult check = run_words("--check small.json small.json", dir);
      EXPECT_EQ(check.code, code);
      EXPECT_EQ(check.out, "check 'small.json'\n" + tail + "check 'small.json'\n" + tail);
    } else {
      EXPECT_TRUE(ends_with(r.out, tail)) << r.out;
    }
    for (const char* output : {"pre.asc", "proc.asc", "post.asc", "mask.asc"})
      EXPECT_FALSE(dir.exists(output)) << to << " wrote " << output;
  }
}

// The check names what a run would read and write, warns as a run does (a switch neither yes nor
// no is off, pointed out once), and writes nothing.
TEST(CheckCliTest, CheckPrintsWhatWouldRunAndWritesNothing) {
  CliDir dir;
  write_small_configuration(dir, "\"debug-maps\": \"no\", \"output\": \"post.asc\"",
                            "\"debug-maps\": \"true\", \"output\": \"post.asc\", \"comment\": 1");
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
                       "  reads 'town.asc'\n  writes 'proc.asc.debug.evolution.lst'\n"
                       "  writes 'proc.asc'\n  writes 'proc.qml'\n  writes 'post.asc'\n"
                       "  writes 'post.qml'\n  writes 'mask.asc'\n  writes 'mask.qml'\n"
                       "  writes 'post.runs.csv'\ncheck passed\n");
  EXPECT_TRUE(dir.read("proc.asc") + dir.read("post.asc") == before);
}

// --check names every file the run writes, whatever the stages, debug maps and repeats.
TEST(CheckCliTest, CheckListsEveryFileTheRunWrites) {
  for (const std::string shape : {"", "--repeats=3 --keep-runs", "--repeats=2",
                                  "--process --postprocess --repeats=2 --keep-runs",
                                  "--sweep=process.functions-weight[1]=0,1"}) {
    CliDir dir;
    write_small_configuration(dir, "basins-map\": \"", "basins-map\": \"road.asc");
    std::string config = dir.read("small.json");
    for (size_t at; (at = config.find("s\": \"no\", \"")) != std::string::npos;)
      config.replace(at + 4, 4, "\"yes\"");  // every debug switch
    dir.write("small.json", config);
    const bool alone = shape.rfind("--process", 0) == 0;  // reads an earlier run's solution
    ASSERT_EQ(alone ? run_words("--preprocess small.json", dir).code : 0, 0);
    const std::vector<std::string> inputs = file_names(dir.dir());
    const std::string check = run_words("--check " + shape + " small.json", dir).out;
    std::set<std::string> listed, written;
    for (size_t at = 0; (at = check.find("  writes '", at) + 1) != 0;)
      listed.insert(check.substr(at + 9, check.find('\'', at + 9) - at - 9));
    ASSERT_EQ(run_words("--seed=4 " + shape + " small.json", dir).code, 0);
    for (const std::string& name : file_names(dir.dir()))
      if (std::find(inputs.begin(), inputs.end(), name) == inputs.end()) written.insert(name);
    EXPECT_EQ(listed, written) << check;
  }
  // A million kept runs are not listed one by one.
  CliDir dir;
  write_small_configuration(dir);
  const RunResult many = run_words("--check --repeats=1000000 --keep-runs small.json", dir);
  EXPECT_NE(many.out.find("  writes 'mask.run0000001.asc'\n  writes 'mask.run0000001.qml'\n"
                          "  writes 'pre.run1000000.asc'\n"),
            std::string::npos)
      << many.out;
  EXPECT_NE(many.out.find("  writes the files of run 1 for each run from 2 to 999999, tagged as "
                          "theirs\n"),
            std::string::npos);
}

// Before anything is written: no two outputs are one file, none is an input (but a stage's own
// solution written over the one it read), a folder or a pipe.
TEST(CheckCliTest, AnOutputThatWouldDestroyAnotherFileStopsTheRun) {
  const std::string same = "same file as the output '", input = "same file as the input '";
  // Options, changes ('|' between them), the file refused and why; no file: a case that must run.
  const std::vector<std::array<std::string, 5>> cases = {
      {"", "\"mask.asc\"", "\"post.asc\"", "post.asc", same + "post.asc'"},
      {"", "\"mask.asc\"", "\"sub/../post.asc\"", "sub/../post.asc", same + "post.asc'"},
      {"", "\"mask.asc\"", "\"./town.asc\"", "./town.asc", input + "town.asc'"},
      {"--process", "\"proc.asc\"", "\"link.asc\"", "link.asc", input + "town.asc'"},
      {"", "\"no\", \"output\": \"pre.asc\"|\"no\", \"debug-evolution\"",
       "\"yes\", \"output\": \"proc.asc\"|\"yes\", \"debug-evolution\"", "proc.asc.debug.map-1.asc",
       same + "proc.asc.debug.map-1.asc'"},
      {"", "\"proc.asc\"", "\"pre.asc\"", "", ""},
      {"", "\"mask.asc\"", "\"post\"", "post.qml", same + "post.qml'"},
      {"--repeats=2", "\"mask.asc\"", "\"post.frequency.asc\"", "post.frequency.asc",
       same + "post.frequency.asc'"},
      {"--repeats=2 --keep-runs", "\"mask.asc\"", "\"post.run2.asc\"", "post.run2.asc",
       same + "post.run2.asc'"},
      {"--repeats=2", "", "", "post.frequency.asc", "'post.frequency.asc' is a folder"},
      // A GeoTIFF is written by seeking: never into a pipe.
      {"--repeats=2 --keep-runs", "\"mask.asc\"", "\"mask.tif\"", "mask.run1.tif",
       "'mask.run1.tif' is not a regular file"},
      // Past a hundred kept runs, those between the first and the last are checked where a name
      // could be theirs: an output, an entry of the folder.
      {"--repeats=1000 --keep-runs", "\"mask.asc\"", "\"post.run0700.asc\"", "post.run0700.asc",
       same + "post.run0700.asc'"},
      {"--repeats=1000 --keep-runs", "\"kb\"", "\"kb\"", "mask.run0500.asc",
       "'mask.run0500.asc' is a folder"},
      // A link to no file yet: writing it writes its target, another output.
      {"", "\"mask.asc\"", "\"ghost.asc\"", "ghost.asc", same + "post.qml'"},
      {"", "\"mask.asc\"", "\"" + std::string(250, 'm') + ".asc\"", std::string(250, 'm') + ".asc",
       "its name is too long for folder '.' (261 characters with the temporary suffix, at most "
       "255)"},
  };
  for (const auto& [options, from, to, file, reason] : cases) {
    CliDir dir;
    write_small_configuration(dir, from, to);
    std::filesystem::create_directory(dir.path("sub"));
    if (from.empty()) {  // in the way of files written late
      std::filesystem::create_directory(dir.path("post.frequency.asc"));
    }
    ASSERT_EQ(mkfifo(dir.path("mask.run1.tif").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path("mask.run0500.asc"));
    std::filesystem::create_symlink("town.asc", dir.path("link.asc"));
    std::filesystem::create_symlink("post.qml", dir.path("ghost.asc"));
    for (const char* name : {"pre.asc", "post.asc"}) dir.write(name, dir.read("town.asc"));
    const std::vector<std::string> before = file_names(dir.dir());
    const std::string run = "--seed=1 " + options + " small.json";
    if (file.empty()) {
      EXPECT_EQ(run_words(run, dir).code, 0) << to;
      continue;
    }
    const std::string tail = "error: unable to open file '" + file + "'!\n  " + reason + "\n";
    const RunResult check = run_words("--check " + run, dir);
    EXPECT_EQ(check.out, "check 'small.json'\n" + tail);
    if (check.code != 1) continue;
    const RunResult r = run_words(run, dir);
    EXPECT_EQ(std::to_string(r.code) + r.out.substr(r.out.find('\n') + 1), "1" + tail) << to;
    EXPECT_EQ(file_names(dir.dir()), before) << to;
  }
}

// Every point of a sweep is checked, its maps' sums too, before the first runs; a point that
// cannot run is named with its value; only the files the sweep writes are in its way.
TEST(CheckCliTest, ASweepChecksEveryPointBeforeTheFirstRuns) {
  const std::string point_2 = "error: sweep point 2 of 2 (";
  // The sweep, a folder in the way (or none), and the start of the refusal (none: it runs).
  const std::vector<std::array<std::string, 3>> cases = {
      {"preprocess.demand.cells=10,100000", "",
       point_2 + "preprocess.demand.cells = 1e+05) cannot run:\nerror: demand of 100000 cells "},
      {"maps.potential-maps-weight[0][0]=1,1e38", "",
       point_2 + "maps.potential-maps-weight[0][0] = 1e+38) cannot run:\n* load group maps\n"},
      {"preprocess.demand.cells=5,6", "post.sweep01.asc",
       point_2 + "preprocess.demand.cells = 6) cannot run:\nerror: unable to open file "
                 "'post.sweep01.asc'!\n  'post.sweep01.asc' is a folder\n"},
      {"preprocess.demand.cells=5,6", "post.sweep.png",
       point_2 + "preprocess.demand.cells = 6) cannot run:\nerror: unable to open file "
                 "'post.sweep.png'!\n  'post.sweep.png' is a folder\n"},
      {"preprocess.demand.cells=5,6", "post.asc", ""},
  };
  for (const auto& [sweep, folder, refusal] : cases) {
    SCOPED_TRACE(sweep + " " + folder);
    CliDir dir;
    write_small_configuration(dir, "\"convert-area\": 0.3", "\"demand\": {\"cells\": 5}");
    if (!folder.empty()) std::filesystem::create_directory(dir.path(folder));
    const std::vector<std::string> before = file_names(dir.dir());
    const std::string words = "--seed=1 --sweep=" + sweep + " small.json";
    const RunResult check = run_words("--check " + words, dir);
    const RunResult run = run_words(words, dir);
    if (refusal.empty()) {
      EXPECT_EQ(check.code, 0) << check.out;
      EXPECT_EQ(run.code, 0) << run.out;
      continue;
    }
    EXPECT_EQ(check.out.find("check 'small.json'\n" + refusal), 0u) << check.out;
    EXPECT_EQ(run.out.find(refusal), run.out.find('\n') + 1) << run.out;
    EXPECT_EQ(check.code, 1);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(file_names(dir.dir()), before);
  }
}

}  // namespace
