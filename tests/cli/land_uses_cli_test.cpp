// Several land uses decided together, through the built program on a 12 x 16 grid made for it:
// two uses whose potentials rise towards opposite (or the same) sides, an existing town in the
// north-east corner, a lake cell, a road across the middle.

#include "cli/cli_support.h"

namespace {

constexpr int ROWS = 12;
constexpr int COLS = 16;

std::string grid_of(const std::function<float(int, int)>& value) {
  std::ostringstream text;
  text << "ncols " << COLS << "\nnrows " << ROWS
       << "\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n";
  for (int r = 0; r < ROWS; ++r) {
    for (int c = 0; c < COLS; ++c) text << value(r, c) << (c + 1 < COLS ? " " : "\n");
  }
  return text.str();
}

// JSON written with single quotes.
std::string json(std::string text) {
  std::replace(text.begin(), text.end(), '\'', '"');
  return text;
}

bool in_town(int r, int c) {
  return r < 3 && c >= 12;
}

// The configuration of two uses "a" (code 10) and "b" (code 20); `extra` goes at the end of the
// root object, `b_potential` names b's potential map.
void write_uses(const CliDir& dir, const std::string& method, const std::string& extra,
                const std::string& b_potential = "west.asc") {
  dir.write("east.asc", grid_of([](int, int c) { return c / float(COLS - 1); }));
  dir.write("west.asc", grid_of([](int, int c) { return 1.0f - c / float(COLS - 1); }));
  dir.write("town.asc", grid_of([](int r, int c) { return in_town(r, c) ? 5.0f : 0.0f; }));
  dir.write("lake.asc", grid_of([](int r, int c) { return r == 9 && c == 3 ? 1.0f : 0.0f; }));
  dir.write("road.asc", grid_of([](int r, int) { return r == 6 ? 1.0f : 0.0f; }));
  dir.write("uses.json", json(R"({
  'maps': {'potential-maps': [['east.asc']], 'potential-maps-weight': [[1]],
           'exclusion-masks': ['lake.asc']},
  'preprocess': {'init-values-map': 'town.asc', 'distribution-masks': ['road.asc'],
                 'convert-area': 0.1, 'debug-maps': 'no', 'output': 'pre.asc'},
  'process': {'method': ')" + method +
                              R"(', 'functions-weight': [1, 1, 1, 1, 1], 'pinit': 0.5,
              'tinit': 1, 'tnext': 0.9, 'nmovs': 400, 'nstages': 20, 'kb': 20,
              'random-select': 'no', 'distance-masks': ['town.asc'], 'distance-maps': [],
              'debug-maps': 'no', 'debug-evolution': 'no', 'autotunning': 'no',
              'output': 'proc.asc'},
  'postprocess': {
    'select': {'purge-limit': 2,
               'method-distance': {'distance-masks': ['town.asc'], 'distance-maps': [],
                                   'minimum-distance-to-mask': 20, 'minimum-cells-at-distance': 1},
               'method-value': {'accumulated-value': 0.9}},
    'expand': {'assign-preference': 'large', 'basins-map': '', 'minimim-cells-in-basin': 0},
    'debug-maps': 'no', 'output': 'post.asc', 'output-mask': 'mask.asc'},
  'land-uses': [
    {'name': 'a', 'code': 10, 'demand': {'cells': 20}, 'existing-codes': [5]},
    {'name': 'b', 'code': 20, 'demand': {'cells': 15}, 'potential-maps': [[')" +
                              b_potential + R"(']]}]
  )" + extra + "}"));
}

int64_t count(const std::vector<float>& map, float code) {
  return std::count(map.begin(), map.end(), code);
}

// Sides shared by a cell of code x and one of code y.
int shared_sides(const std::vector<float>& map, float x, float y) {
  int sides = 0;
  for (int r = 0; r < ROWS; ++r) {
    for (int c = 0; c < COLS; ++c) {
      const float v = map[size_t(r * COLS + c)];
      if (c + 1 < COLS) {
        const float w = map[size_t(r * COLS + c + 1)];
        sides += (v == x && w == y) || (v == y && w == x);
      }
      if (r + 1 < ROWS) {
        const float w = map[size_t((r + 1) * COLS + c)];
        sides += (v == x && w == y) || (v == y && w == x);
      }
    }
  }
  return sides;
}

TEST(LandUsesCliTest, EachUseGetsItsDemandOnCellsOfItsOwnWithEitherMethod) {
  for (const std::string method : {"min-cut", "annealing"}) {
    CliDir dir;
    write_uses(dir, method, "");
    const RunResult r = run_landalloc({"--seed=3", "uses.json"}, dir.dir());
    ASSERT_EQ(r.code, 0) << r.out;
    const std::vector<float> town = read_cells(dir.path("town.asc"));
    for (const char* name : {"pre.asc", "proc.asc"}) {
      const std::vector<float> map = read_cells(dir.path(name));
      EXPECT_EQ(count(map, 10.0f), 20) << method << " " << name;
      EXPECT_EQ(count(map, 20.0f), 15) << method << " " << name;
      for (size_t i = 0; i < map.size(); ++i) {
        if (town[i] == 5.0f) {
          EXPECT_EQ(map[i], 5.0f) << method << " " << name << " cell " << i;
        }
      }
      EXPECT_EQ(map[size_t(9 * COLS + 3)], -2.0f) << "the lake stays excluded";
    }
    // The uses pull apart: a to the east, b to the west.
    const std::vector<float> proc = read_cells(dir.path("proc.asc"));
    double a_col = 0.0, b_col = 0.0;
    for (size_t i = 0; i < proc.size(); ++i) {
      a_col += proc[i] == 10.0f ? double(i % COLS) / 20 : 0.0;
      b_col += proc[i] == 20.0f ? double(i % COLS) / 15 : 0.0;
    }
    EXPECT_GT(a_col, b_col + 4) << method;
    const std::vector<float> post = read_cells(dir.path("post.asc"));
    const std::vector<float> mask = read_cells(dir.path("mask.asc"));
    for (size_t i = 0; i < post.size(); ++i) {
      EXPECT_EQ(mask[i] == 1.0f, post[i] == 10.0f || post[i] == 20.0f) << method << " cell " << i;
      if (town[i] == 5.0f) {
        EXPECT_EQ(post[i], 5.0f) << method << " cell " << i;
      }
    }
  }
}

TEST(LandUsesCliTest, OneUseIsTheRunOfOneUseByteForByte) {
  CliDir one, listed;
  write_uses(one, "annealing", "");
  const std::string config = one.read("uses.json");
  const size_t uses = config.find(",\n  \"land-uses\"");
  ASSERT_NE(uses, std::string::npos);
  one.write("uses.json", replaced(config.substr(0, uses) + "}", "\"convert-area\": 0.1",
                                  "\"demand\": {\"cells\": 20}"));
  write_uses(listed, "annealing", "");
  listed.write("uses.json", replaced(listed.read("uses.json"), json(R"(,
    {'name': 'b', 'code': 20, 'demand': {'cells': 15}, 'potential-maps': [['west.asc']]})"),
                                     ""));
  for (const CliDir* dir : {&one, &listed}) {
    const RunResult r = run_landalloc({"--seed=5", "uses.json"}, dir->dir());
    ASSERT_EQ(r.code, 0) << r.out;
  }
  for (const char* name : {"pre.asc", "proc.asc", "post.asc", "mask.asc", "post.qml"})
    EXPECT_EQ(one.read(name), listed.read(name)) << name;
  EXPECT_EQ(without_seconds(one.read("post.runs.csv")),
            without_seconds(listed.read("post.runs.csv")));
}

TEST(LandUsesCliTest, AdjacencyAndConversionsPullTheWayTheySay) {
  // Both uses want the east: repelled they share fewer sides than drawn together.
  int sides[2];
  for (int k = 0; k < 2; ++k) {
    CliDir dir;
    write_uses(dir, "min-cut",
               std::string(", 'adjacency': [[0, ") + (k ? "-2" : "2") + "], [" + (k ? "-2" : "2") +
                   ", 0]]",
               "east.asc");
    const RunResult r =
        run_landalloc({"--seed=3", "--preprocess", "--process", "uses.json"}, dir.dir());
    ASSERT_EQ(r.code, 0) << r.out;
    sides[k] = shared_sides(read_cells(dir.path("proc.asc")), 10.0f, 20.0f);
  }
  EXPECT_LT(sides[0], sides[1]);
  // The town holds the best cells of a: a takes some of them only when it may convert code 5.
  int taken[2];
  for (int k = 0; k < 2; ++k) {
    CliDir dir;
    write_uses(dir, "min-cut", k ? ", 'conversions': {'a': [5]}" : "");
    const RunResult r =
        run_landalloc({"--seed=3", "--preprocess", "--process", "uses.json"}, dir.dir());
    ASSERT_EQ(r.code, 0) << r.out;
    const std::vector<float> map = read_cells(dir.path("proc.asc"));
    taken[k] = 0;
    for (int i = 0; i < ROWS * COLS; ++i)
      taken[k] += in_town(i / COLS, i % COLS) && map[size_t(i)] == 10.0f;
  }
  EXPECT_EQ(taken[0], 0);
  EXPECT_GT(taken[1], 0);
}

TEST(LandUsesCliTest, FaultyUsesAreRefusedBeforeAnyOutput) {
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"'name': 'b', 'code': 20", "'name': 'a', 'code': 20", 1,
       "error: land use name 'a' is given twice!\n"},
      {"'name': 'b', 'code': 20", "'name': 'b', 'code': 10", 1,
       "error: land uses 'a' and 'b' have the same code!\n"},
      {"'name': 'b', 'code': 20", "'name': 'b c', 'code': 20", 1,
       "error: land use name 'b c' is not made of letters, digits, '-' and '_'!\n"},
      {"'code': 20", "'code': 5", 1,
       "error: the code 5 of land use 'b' is in the initial-values map already!\n"},
      {"'demand': {'cells': 15}", "'demand': {'cells': 170}", 1,
       "error: demand of 170 cells for land use 'b' exceeds the 159 free allocatable cells!\n"},
      {"}]\n", "}], 'adjacency': [[0, 1], [2, 0]]\n", 1,
       "error: property 'adjacency' is not symmetric!\n"},
      {"}]\n", "}], 'adjacency': [[1, 0], [0, 0]]\n", 1,
       "error: property 'adjacency[0][0]' must be 0 (a use does not border itself)!\n"},
      {"}]\n", "}], 'conversions': {'c': [5]}\n", 1,
       "error: property 'conversions.c' names no land use!\n"},
  };
  for (const auto& [from, to, code, message] : cases) {
    CliDir dir;
    write_uses(dir, "min-cut", "");
    dir.write("uses.json", replaced(dir.read("uses.json"), json(from), json(to)));
    const RunResult r = run_landalloc({"--seed=3", "uses.json"}, dir.dir());
    EXPECT_EQ(r.code, code) << to;
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("pre.asc"))) << to;
  }
  for (const std::string option : {"repeats", "sweep"}) {
    CliDir dir;
    write_uses(dir, "min-cut", "");
    const std::string arg =
        option == "repeats" ? "--repeats=2" : "--sweep=process.functions-weight[1]=1,2";
    const RunResult r = run_landalloc({arg, "uses.json"}, dir.dir());
    EXPECT_EQ(r.code, 1) << arg;
    EXPECT_NE(r.out.find("error: several land uses run one at a time (no --" + option + " yet)!\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path("pre.asc"))) << arg;
  }
}

}  // namespace
