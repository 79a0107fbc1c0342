// The three stages end to end through the built program: on the bundled example, on real grids
// written by other tools, and on one small configuration whose whole transcript is pinned. The
// checks hold whatever the random draws are; the draws themselves are pinned only by comparing
// runs with each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace {

namespace fs = std::filesystem;

const std::string EXAMPLE = std::string(LANDALLOC_SOURCE_DIR) + "/examples/demo";
const std::string DATA = LANDALLOC_TEST_DATA;

/// A grid file as a user's script would see it: header words (keys in lower case) and values.
struct Grid {
  std::map<std::string, std::string> header;
  std::vector<double> cells;
};

Grid read_grid(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  Grid g;
  std::string word;
  while (in >> word) {
    if (std::isalpha(static_cast<unsigned char>(word[0])) == 0) {
      g.cells.push_back(std::strtod(word.c_str(), nullptr));
      break;
    }
    std::transform(word.begin(), word.end(), word.begin(), ::tolower);
    in >> g.header[word];
  }
  for (double v; in >> v;) g.cells.push_back(v);
  EXPECT_EQ(g.cells.size(), std::stoul(g.header["ncols"]) * std::stoul(g.header["nrows"])) << path;
  return g;
}

long count_equal(const Grid& g, double value) {
  return std::count(g.cells.begin(), g.cells.end(), value);
}

double max_value(const Grid& g) {
  return g.cells.empty() ? NAN : *std::max_element(g.cells.begin(), g.cells.end());
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "'" << from << "' is no longer in the text";
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

/// What must hold after the three stages whatever the draws: PROCESS and POSTPROCESS keep the
/// number of allocated cells, never touch a cell that was neither free nor allocated, and the
/// mask marks exactly the allocated cells of the final map. Returns the allocated count.
long check_pipeline(const CliDir& dir, const std::string& pre_name, const std::string& proc_name,
                    const std::string& post_name, const std::string& mask_name) {
  const Grid pre = read_grid(dir.path(pre_name));
  const Grid proc = read_grid(dir.path(proc_name));
  const Grid post = read_grid(dir.path(post_name));
  const Grid mask = read_grid(dir.path(mask_name));
  const double allocated = max_value(pre);
  EXPECT_GT(allocated, 0.0);
  EXPECT_EQ(max_value(proc), allocated);
  EXPECT_EQ(max_value(post), allocated);
  const long count = count_equal(pre, allocated);
  EXPECT_GT(count, 0);
  const size_t size = pre.cells.size();
  if (proc.cells.size() != size || post.cells.size() != size || mask.cells.size() != size) {
    ADD_FAILURE() << "the outputs differ in size";
    return count;
  }
  EXPECT_EQ(count_equal(proc, allocated), count);
  EXPECT_EQ(count_equal(post, allocated), count);
  long fixed_changed = 0, moved_elsewhere = 0, mask_wrong = 0;
  for (size_t i = 0; i < pre.cells.size(); ++i) {
    const bool open = pre.cells[i] == 0.0 || pre.cells[i] == allocated;
    if (!open && (proc.cells[i] != pre.cells[i] || post.cells[i] != pre.cells[i])) ++fixed_changed;
    if (open && ((proc.cells[i] != 0.0 && proc.cells[i] != allocated) ||
                 (post.cells[i] != 0.0 && post.cells[i] != allocated)))
      ++moved_elsewhere;
    if (mask.cells[i] != (post.cells[i] == allocated ? 1.0 : -999.0)) ++mask_wrong;
  }
  EXPECT_EQ(fixed_changed, 0) << "cells neither free nor allocated changed";
  EXPECT_EQ(moved_elsewhere, 0) << "free or allocated cells took another value";
  EXPECT_EQ(mask_wrong, 0) << "the mask differs from the allocated cells of the final map";
  return count;
}

// ---- the bundled example ----------------------------------------------------------------------

/// A folder laid out like examples/demo (maps beside an empty out/) holding the example's own
/// configuration, with a short manual annealing so that a run takes a fraction of a second.
struct ExampleRun {
  CliDir dir;
  ExampleRun() {
    fs::create_directory_symlink(EXAMPLE + "/maps", dir.path("maps"));
    fs::create_directory(dir.path("out"));
    std::string config = file_text(EXAMPLE + "/config.json");
    config = replaced(config, "\"autotunning\": \"yes\"", "\"autotunning\": \"no\"");
    config = replaced(config, "\"nstages\": 40", "\"nstages\": 4");
    config = replaced(config, "\"nmovs\": 60000", "\"nmovs\": 4000");
    // So short an annealing leaves the cells scattered: keep every island of two cells or more.
    config = replaced(config, "\"purge-limit\": 12", "\"purge-limit\": 2");
    dir.write("config.json", config);
  }
  RunResult run(const std::vector<std::string>& args) {
    std::vector<std::string> all = args;
    all.push_back("config.json");
    return run_landalloc(all, dir.dir());
  }
  std::vector<std::string> outputs() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path("out")))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST(PipelineCliTest, ExampleKeepsTheAllocatedAreaAndTheFixedCells) {
  ExampleRun example;
  const RunResult r = example.run({"--seed=7"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out.find("\nerror"), std::string::npos) << r.out;
  const long count = check_pipeline(example.dir, "out/preprocess.asc", "out/process.asc",
                                    "out/postprocess.asc", "out/postprocess_mask.asc");

  // PREPROCESS against its inputs: the number placed is the share of the available cells, the
  // river is excluded, the settlements keep their codes, and new cells get the next code.
  const Grid pre = read_grid(example.dir.path("out/preprocess.asc"));
  const Grid terrain = read_grid(EXAMPLE + "/maps/terrain_suitability.asc");
  const Grid soil = read_grid(EXAMPLE + "/maps/soil_quality.asc");
  const Grid water = read_grid(EXAMPLE + "/maps/water.asc");
  const Grid settlements = read_grid(EXAMPLE + "/maps/settlements.asc");
  const double allocated = max_value(pre);
  EXPECT_EQ(allocated, max_value(settlements) + 1);
  const long available = count_equal(pre, 0.0) + count;
  EXPECT_EQ(count, static_cast<long>(static_cast<float>(available) * 0.03f));
  long wrong = 0;
  for (size_t i = 0; i < std::min(pre.cells.size(), terrain.cells.size()); ++i) {
    double expected = pre.cells[i] == allocated ? allocated : 0.0;
    if (terrain.cells[i] < 0 || soil.cells[i] < 0)
      expected = -999.0;
    else if (settlements.cells[i] > 0)
      expected = settlements.cells[i];
    else if (water.cells[i] > 0)
      expected = -2.0;
    if (pre.cells[i] != expected) ++wrong;
  }
  EXPECT_EQ(wrong, 0);

  // Every debug file of the three stages is there, beside the outputs.
  const std::vector<std::string> expected_files = {"postprocess.asc",
                                                   "postprocess.asc.debug.map-1.asc",
                                                   "postprocess.asc.debug.map-2.asc",
                                                   "postprocess.asc.debug.map-3.asc",
                                                   "postprocess.asc.debug.map-4.asc",
                                                   "postprocess.asc.debug.purged.asc",
                                                   "postprocess.asc.debug.selected.asc",
                                                   "postprocess.asc.debug.selection-mask.asc",
                                                   "postprocess.asc.debug.selection.asc",
                                                   "postprocess_mask.asc",
                                                   "preprocess.asc",
                                                   "preprocess.asc.debug.map-1.asc",
                                                   "process.asc",
                                                   "process.asc.debug.evolution.lst",
                                                   "process.asc.debug.map-1.asc",
                                                   "process.asc.debug.map-2.asc",
                                                   "process.asc.debug.map-3.asc",
                                                   "process.asc.debug.map-4.asc"};
  EXPECT_EQ(example.outputs(), expected_files);
  // One header line and one line per stage of the single manual try.
  const std::string evolution = example.dir.read("out/process.asc.debug.evolution.lst");
  EXPECT_EQ(evolution.rfind("# stage T E accpt boltz f1 f2 f3 f4 f5\n", 0), 0u);
  EXPECT_EQ(std::count(evolution.begin(), evolution.end(), '\n'), 5);
}

TEST(PipelineCliTest, SameSeedGivesTheSameFilesAnotherSeedOthers) {
  ExampleRun first, again, staged, other;
  const RunResult a = first.run({"--seed=7"});
  ASSERT_EQ(a.code, 0) << a.out;
  const RunResult b = again.run({"--seed=7"});
  ASSERT_EQ(b.code, 0) << b.out;
  EXPECT_EQ(a.out, b.out);
  // The stages one command at a time: each seeds itself when it starts, so the files are the same.
  for (const std::string stage : {"--preprocess", "--process", "--postprocess"}) {
    const RunResult s = staged.run({"--seed=7", stage});
    ASSERT_EQ(s.code, 0) << stage << "\n" << s.out;
  }
  ASSERT_EQ(other.run({"--seed=8"}).code, 0);

  ASSERT_EQ(first.outputs(), again.outputs());
  ASSERT_EQ(first.outputs(), staged.outputs());
  for (const std::string& name : first.outputs()) {
    const std::string file = "out/" + name;
    EXPECT_TRUE(first.dir.read(file) == again.dir.read(file)) << name;
    EXPECT_TRUE(first.dir.read(file) == staged.dir.read(file)) << name;
  }
  for (const std::string name : {"preprocess.asc", "process.asc", "postprocess.asc"}) {
    const std::string file = std::string("out/") + name;
    EXPECT_FALSE(first.dir.read(file) == other.dir.read(file)) << name;
  }
}

// ---- real grids -------------------------------------------------------------------------------

// A 10 m terrain model whose last column holds no data, and a landslide outline on the same grid
// (1 on 30 cells, no data elsewhere), as masks to settle near; autotuned annealing.
TEST(PipelineCliTest, RealGridsRunEndToEndWithAutotuning) {
  CliDir dir;
  const std::string dem = DATA + "/mtsthelens_pre_runout_dem_80x122.asc";
  const std::string slide = DATA + "/mtsthelens_landslide_polygon_80x122.asc";
  dir.write("run.json", R"({
  "maps": {"potential-maps": [[")" +
                            dem + R"("]], "potential-maps-weight": [[1]],
           "exclusion-masks": []},
  "preprocess": {"init-values-map": "", "distribution-masks": [")" +
                            slide + R"("],
                 "convert-area": 0.04, "debug-maps": "no", "output": "pre.asc"},
  "process": {"functions-weight": [1, 1, 1, 1, 1], "pinit": 0.5, "tinit": 1, "tnext": 0.8,
              "nmovs": 0, "nstages": 3, "kb": 0, "random-select": "yes",
              "distance-masks": [")" +
                            slide + R"("], "distance-maps": [],
              "debug-maps": "no", "debug-evolution": "no", "autotunning": "yes",
              "output": "proc.asc"},
  "postprocess": {
    "select": {"purge-limit": 2,
               "method-distance": {"distance-masks": [")" +
                            slide + R"("], "distance-maps": [],
                                   "minimum-distance-to-mask": 20,
                                   "minimum-cells-at-distance": 3},
               "method-value": {"accumulated-value": 0.6}},
    "expand": {"assign-preference": "large", "basins-map": "", "minimim-cells-in-basin": 0},
    "debug-maps": "no", "output": "post.asc", "output-mask": "mask.asc"}
})");
  const RunResult r = run_landalloc({"--seed=3", "run.json"}, dir.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("AUTOTUNNING MODE selected\n"), std::string::npos);
  EXPECT_NE(r.out.find("  nmovs 19520\n"), std::string::npos);  // 2 x 80 x 122
  const long count = check_pipeline(dir, "pre.asc", "proc.asc", "post.asc", "mask.asc");
  const Grid input = read_grid(dem);
  Grid final_map = read_grid(dir.path("post.asc"));
  EXPECT_EQ(count, static_cast<long>(static_cast<float>(input.cells.size() - 122) * 0.04f));
  // The outputs keep the grid and its georeference; the no-data column stays no data.
  EXPECT_EQ(final_map.header["ncols"], "80");
  EXPECT_EQ(final_map.header["nrows"], "122");
  EXPECT_NEAR(std::atof(final_map.header["xllcorner"].c_str()), 361015.59563119, 1e-3);
  EXPECT_NEAR(std::atof(final_map.header["yllcorner"].c_str()), 70223.434086869, 1e-3);
  EXPECT_EQ(std::atof(final_map.header["cellsize"].c_str()), 10.0);
  ASSERT_EQ(final_map.cells.size(), 80u * 122u);
  for (int row = 0; row < 122; ++row) EXPECT_EQ(final_map.cells[row * 80 + 79], -999.0) << row;
}

// ---- the pinned transcript --------------------------------------------------------------------

// A 5 x 8 grid: two groups of potential maps, one no-data cell, two excluded cells, an existing
// allocation of code 2, a road as distribution mask, a short manual annealing and a basic-mode
// expansion. The whole standard output is compared with tests/cli/golden/small_pipeline.txt;
// LANDALLOC_UPDATE_GOLDEN=1 rewrites that file (review the difference before committing it).
TEST(PipelineCliTest, SmallConfigurationTranscript) {
  CliDir dir;
  // Each map as its five rows, one string per row.
  const auto grid = [](std::initializer_list<const char*> rows) {
    std::string text =
        "ncols 8\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n"
        "NODATA_value -9999\n";
    for (const char* row : rows) text += std::string(row) + "\n";
    return text;
  };
  const char* zeros = "0 0 0 0 0 0 0 0";
  dir.write("a.asc", grid({"1 2 3 4 5 6 7 8", "2 3 4 5 6 7 8 9", "3 4 5 -9999 7 8 9 10",
                           "2 3 4 5 6 7 8 9", "1 2 3 4 5 6 7 8"}));
  const char* falling = "9 8 7 6 5 4 3 2";
  dir.write("b.asc", grid({falling, falling, falling, falling, falling}));
  dir.write("water.asc", grid({zeros, zeros, zeros, zeros, "0 0 0 0 0 0 1 1"}));
  dir.write("town.asc", grid({zeros, "0 2 2 0 0 0 0 0", "0 2 2 0 0 0 0 0", zeros, zeros}));
  dir.write("road.asc", grid({zeros, zeros, "1 1 1 1 1 1 1 1", zeros, zeros}));
  dir.write("small.json", R"({
  "maps": {"potential-maps": [["a.asc"], ["b.asc"]], "potential-maps-weight": [[1], [0.5]],
           "exclusion-masks": ["water.asc"]},
  "preprocess": {"init-values-map": "town.asc", "distribution-masks": ["road.asc"],
                 "convert-area": 0.3, "debug-maps": "no", "output": "pre.asc"},
  "process": {"functions-weight": [1, 1, 1, 1, 1], "pinit": 0.5, "tinit": 1, "tnext": 0.9,
              "nmovs": 25, "nstages": 3, "kb": 20, "random-select": "no",
              "distance-masks": ["town.asc"], "distance-maps": [],
              "debug-maps": "no", "debug-evolution": "yes", "autotunning": "no",
              "output": "proc.asc"},
  "postprocess": {
    "select": {"purge-limit": 5,
               "method-distance": {"distance-masks": ["town.asc"], "distance-maps": [],
                                   "minimum-distance-to-mask": 2,
                                   "minimum-cells-at-distance": 1},
               "method-value": {"accumulated-value": 0.5}},
    "expand": {"assign-preference": "large", "basins-map": "", "minimim-cells-in-basin": 0},
    "debug-maps": "no", "output": "post.asc", "output-mask": "mask.asc"}
})");
  const RunResult r = run_landalloc({"--seed=11", "small.json"}, dir.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  check_pipeline(dir, "pre.asc", "proc.asc", "post.asc", "mask.asc");

  const std::string golden =
      std::string(LANDALLOC_SOURCE_DIR) + "/tests/cli/golden/small_pipeline.txt";
  if (std::getenv("LANDALLOC_UPDATE_GOLDEN") != nullptr) {
    fs::create_directories(fs::path(golden).parent_path());
    std::ofstream(golden, std::ios::binary) << r.out;
    GTEST_SKIP() << "rewrote " << golden;
  }
  EXPECT_EQ(r.out, file_text(golden));
}

}  // namespace
