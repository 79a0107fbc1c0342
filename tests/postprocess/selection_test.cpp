// Purge and selection of islands. The selection fixture is one row with four islands whose
// potentials are exact binary fractions, so every accumulated value and sum is exact:
//   island 0: one cell, 0.5, distance 3   island 1: two cells, 0.25 + 0.25, distances 0 and 2
//   island 2: one cell, 0.75, distance 1  island 3: two cells, 0.125 + 0.125, distances 5 and 5
// By value (share 0.5, target 1.0) the order is 2, 0, 1, 3 (0 before 1 at equal value): 2 and 0
// are chosen. By distance (2 cells at most, 1 cell needed): 1 and 2; a distance of 0 never counts.
#include "postprocess/selection.h"

#include <string>
#include <vector>

#include "postprocess/island_fixture.h"

namespace {

constexpr float W = 1.0f;
constexpr float S = 2.0f;  // SELECTED_MARK for W = 1

class SelectionTest : public IslandMapTest {
 protected:
  FatalResult select(int min_distance, int min_cells, const char* share) {
    prepare(1, 9, {W, 0, W, W, 0, W, 0, W, W});
    set_map(1, {0.5f, 0, 0.25f, 0.25f, 0, 0.75f, 0, 0.125f, 0.125f});
    set_map(3, {3, 1, 0, 2, 1, 1, 4, 5, 5});
    load_config("{\"postprocess\": {\"debug-maps\": \"no\", \"select\": {\"method-distance\": " +
                std::string("{\"minimum-distance-to-mask\": ") + std::to_string(min_distance) +
                ", \"minimum-cells-at-distance\": " + std::to_string(min_cells) +
                "}, \"method-value\": {\"accumulated-value\": " + share + "}}}}");
    return run_capturing([] {
      islands_label();
      select_islands();
    });
  }
};

TEST_F(SelectionTest, BestGroupFollowsTheHighestScore) {
  struct Case {
    int min_distance, min_cells;
    const char* share;
    std::vector<float> marked;
  } cases[] = {
      {2, 1, "0", {W, 0, S, S, 0, S, 0, W, W}},    // by distance: 1 and 2
      {0, 1, "0.5", {S, 0, W, W, 0, S, 0, W, W}},  // by value: 2 and 0
      {2, 1, "0.5", {W, 0, W, W, 0, S, 0, W, W}},  // chosen by both: 2
      {2, 3, "0", {S, 0, S, S, 0, S, 0, S, S}},    // none chosen: every island
  };
  for (const Case& c : cases) {
    FatalResult run = select(c.min_distance, c.min_cells, c.share);
    ASSERT_FALSE(run.fatal) << run.log;
    EXPECT_EQ(get_map(0), c.marked) << c.min_distance << " " << c.min_cells << " " << c.share;
  }
  EXPECT_EQ(select(2, 1, "0").log,
            "SELECT best islands\nconfig parameters\n  minimum distance 2\n"
            "  minimum 1 cells at said distance\n  accumulated value 0.000000\n"
            "  select by distance\n    from an initial number of 4 islands\n"
            "    - selected 2 islands in the best group\n  skipping select by value\n"
            "  result\n    from a total number of 4 islands\n"
            "    - selected 2 islands in the best group\n"
            "    - selected 2 islands in the worst group\n");
}

TEST_F(SelectionTest, OutOfRangeParametersAreEchoedThenRejected) {
  FatalResult run = select(2, 1, "1.5");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.log.find("  accumulated value 1.500000\n"
                         "error: property 'accumulated-value' out of range!\n"),
            std::string::npos);
  run = select(2, -1, "0");
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.log.find("  minimum -1 cells at said distance\n"
                         "error: property 'minimum-cells-at-distance' out of range!\n"),
            std::string::npos);
}

TEST_F(SelectionTest, PurgeKeepsAnIslandOfExactlyTheLimit) {
  prepare(2, 5,
          {W, W, 0, W, 0,  //
           0, 0, 0, W, W});
  int32_t purged = -1;
  run_capturing([&] { purged = purge_islands(2); });
  EXPECT_EQ(purged, 0);
  FatalResult run = run_capturing([&] { purged = purge_islands(3); });
  EXPECT_EQ(purged, 2);
  EXPECT_EQ(run.log, "  - 2 cells purged\n");
  EXPECT_EQ(get_map(0), (std::vector<float>{0, 0, 0, W, 0,  //
                                            0, 0, 0, W, W}));
  EXPECT_EQ(island_state.island_count, 1);  // relabelled after the purge
}

TEST_F(SelectionTest, NothingLeftAfterThePurgeIsNoSelection) {
  prepare(1, 3, {W, 0, W});
  load_config(
      "{\"postprocess\": {\"select\": {\"method-distance\": {\"minimum-distance-to-mask\": 1, "
      "\"minimum-cells-at-distance\": 1}, \"method-value\": {\"accumulated-value\": 1}}}}");
  FatalResult run = run_capturing([] {
    purge_islands(2);
    select_islands();
  });
  EXPECT_EQ(run.code, -6);
  EXPECT_NE(run.log.find("    - selected 0 islands in the best group\n"
                         "    - selected 0 islands in the worst group\n"
                         "error: no selected islands!\n"),
            std::string::npos)
      << run.log;
}

}  // namespace
