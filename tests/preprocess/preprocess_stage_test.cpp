#include "preprocess/preprocess_stage.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "driver/random.h"
#include "raster/grid.h"
#include "test_support.h"

namespace {

class PreprocessStageTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    rand_set_fixed_seed(7);
  }
  void TearDown() override { reset_process_state(); }

  // A configuration over the potential map `pot.asc`, with the given preprocess properties
  // (raw JSON values) on top of defaults; a property set to "" is left out.
  void configure(std::map<std::string, std::string> props) {
    std::map<std::string, std::string> all = {{"init-values-map", "\"\""},
                                              {"distribution-masks", "[]"},
                                              {"convert-area", "0.5"},
                                              {"debug-maps", "\"no\""},
                                              {"output", "\"" + dir.path("out.asc") + "\""}};
    for (auto& [key, value] : props) all[key] = value;
    std::string pre;
    for (auto& [key, value] : all) {
      if (value.empty()) continue;
      pre += (pre.empty() ? "\"" : ", \"") + key + "\": " + value;
    }
    load_config("{\"maps\": {\"potential-maps\": [[\"" + dir.path("pot.asc") +
                "\"]], \"potential-maps-weight\": [[1]], \"exclusion-masks\": [" + exclusions +
                "]}, \"preprocess\": {" + pre + "}}");
  }

  std::string file(const std::string& name) { return "\"" + dir.path(name) + "\""; }

  // The output grid's cells, row-major, as written (no-data as -999).
  std::vector<float> output_cells(const std::string& name) {
    std::istringstream in(dir.read(name));
    std::vector<float> cells;
    std::string word;
    while (in >> word) {
      if (std::isalpha(static_cast<unsigned char>(word[0]))) {
        in >> word;  // a header key and its value
      } else {
        cells.push_back(std::stof(word));
      }
    }
    return cells;
  }

  TempDir dir;
  std::string exclusions;
};

// Potential 2 x 3 with one no-data cell; cell 1 excluded; initial values 7 over the excluded
// cell, 2 over an available one, 9 over the no-data cell.
TEST_F(PreprocessStageTest, InitialValuesSetTheWorkingCellValueAndStay) {
  dir.write("pot.asc", grid_text(2, 3, {1, 1, 1, -9999, 1, 1}));
  dir.write("excl.asc", grid_text(2, 3, {0, 1, 0, 0, 0, 0}));
  dir.write("init.asc", grid_text(2, 3, {0, 7, 2, 9, 0, 0}));
  exclusions = file("excl.asc");
  configure({{"init-values-map", file("init.asc")}, {"convert-area", "1"}});
  FatalResult result = run_capturing([] { run_preprocess_stage(); });
  ASSERT_FALSE(result.fatal) << result.log;
  EXPECT_NE(result.log.find("apply initial values map\n"), std::string::npos);
  EXPECT_NE(result.log.find("  working cell value is 8.000000\n"), std::string::npos);
  EXPECT_EQ(working_cell_value, 8.0f);
  EXPECT_EQ(output_cells("out.asc"), (std::vector<float>{8, 7, 2, -999, 8, 8}));
}

TEST_F(PreprocessStageTest, ConvertAreaOutOfRangeStopsAfterPrintingIt) {
  dir.write("pot.asc", grid_text(1, 4, {1, 1, 1, 1}));
  for (const char* text : {"-0.1", "1.5", "\"nan\""}) {
    reset_process_state();
    configure({{"convert-area", text}});
    FatalResult result = run_capturing([] { run_preprocess_stage(); });
    EXPECT_TRUE(result.fatal);
    EXPECT_EQ(result.code, 1);
    std::string tail = "error: property 'convert-area' out of range!\n";
    ASSERT_GE(result.log.size(), tail.size());
    EXPECT_EQ(result.log.substr(result.log.size() - tail.size()), tail) << text;
    EXPECT_NE(result.log.find("  convert-area "), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir.path("out.asc")).good());
  }
}

TEST_F(PreprocessStageTest, ConvertAreaEdgesAndUnreadableText) {
  dir.write("pot.asc", grid_text(1, 4, {1, 1, 1, 1}));
  const std::vector<std::pair<std::string, float>> cases = {
      {"1.00000001", 1.0f}, {"0", 0.0f}, {"\"abc\"", 0.0f}, {"\"1\"", 1.0f}};
  for (const auto& [text, value] : cases) {
    reset_process_state();
    configure({{"convert-area", text}});
    FatalResult result = run_capturing([] { run_preprocess_stage(); });
    ASSERT_FALSE(result.fatal) << text << "\n" << result.log;
    // No initial-values map and no distribution mask: no step of theirs prints anything.
    EXPECT_NE(result.log.find("apply exclusion masks\n* loading masks\napply distribution masks\n"
                              "config parameters\n  working cell value is 1.000000\n"),
              std::string::npos)
        << result.log;
    float fill = value == 1.0f ? 1.0f : 0.0f;
    EXPECT_EQ(output_cells("out.asc"), std::vector<float>(4, fill)) << text;
  }
}

TEST_F(PreprocessStageTest, NoAllocatableCellStops) {
  dir.write("pot.asc", grid_text(1, 3, {1, -9999, 1}));
  dir.write("excl.asc", grid_text(1, 3, {1, 0, 1}));
  exclusions = file("excl.asc");
  configure({});
  FatalResult result = run_capturing([] { run_preprocess_stage(); });
  EXPECT_TRUE(result.fatal);
  EXPECT_EQ(result.code, 1);
  EXPECT_NE(result.log.find("  working cell value is 0.000000\n"
                            "error: no allocatable cells in map!\n"),
            std::string::npos);
}

// The debug map holds the weights before placement: 1.0 on data cells without masks.
TEST_F(PreprocessStageTest, DebugMapOnlyForExactYes) {
  dir.write("pot.asc", grid_text(1, 3, {1, -9999, 1}));
  for (const char* flag : {"\"Yes\"", "1", "\"yes \"", "\"yes\""}) {
    reset_process_state();
    configure({{"debug-maps", flag}, {"convert-area", "0"}});
    FatalResult result = run_capturing([] { run_preprocess_stage(); });
    ASSERT_FALSE(result.fatal) << result.log;
    bool on = std::string(flag) == "\"yes\"";
    EXPECT_EQ(std::ifstream(dir.path("out.asc.debug.map-1.asc")).good(), on) << flag;
    EXPECT_EQ(result.log.find("debug maps\n") != std::string::npos, on) << flag;
  }
  EXPECT_EQ(output_cells("out.asc.debug.map-1.asc"), (std::vector<float>{1, -999, 1}));
  EXPECT_EQ(output_cells("out.asc"), (std::vector<float>{0, -999, 0}));
}

TEST_F(PreprocessStageTest, MissingDebugFlagStopsBeforeAnythingIsWritten) {
  dir.write("pot.asc", grid_text(1, 3, {1, 1, 1}));
  configure({{"debug-maps", ""}});
  FatalResult result = run_capturing([] { run_preprocess_stage(); });
  EXPECT_TRUE(result.fatal);
  EXPECT_EQ(result.code, 2);
  EXPECT_NE(result.log.find("  convert-area 0.500000\n"
                            "error: property 'preprocess.debug-maps' not found in config json "
                            "file!\n"),
            std::string::npos)
      << result.log;
  EXPECT_FALSE(std::ifstream(dir.path("out.asc")).good());
}

// A mask along the left edge: weights fall from 1 at column 0 to 0 at the right edge, with a map
// mean of 0.5. The sigmoid makes placements cluster where the weight is near 1: their mean weight
// comes out near 0.85 (a placement in proportion to the weight itself would give about 0.67).
TEST_F(PreprocessStageTest, EdgeMaskDrawsPlacementsToTheEdge) {
  const int n = 40;
  std::vector<float> mask(n * n, 0.0f);
  for (int r = 0; r < n; ++r) mask[static_cast<size_t>(r * n)] = 1.0f;
  dir.write("pot.asc", grid_text(n, n, std::vector<float>(n * n, 1.0f)));
  dir.write("edge.asc", grid_text(n, n, mask));
  configure({{"distribution-masks", "[" + file("edge.asc") + "]"}, {"convert-area", "0.1"}});
  FatalResult result = run_capturing([] { run_preprocess_stage(); });
  ASSERT_FALSE(result.fatal) << result.log;
  std::vector<float> cells = output_cells("out.asc");
  double sum = 0;
  int placed = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (cells[i] != 1.0f) continue;
    sum += 1.0 - static_cast<double>(i % n) / (n - 1);
    ++placed;
  }
  EXPECT_EQ(placed, 160);
  EXPECT_GT(sum / placed, 0.8);
}

}  // namespace
