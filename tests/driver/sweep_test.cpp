// Sweeps and the measures of a run: sweep texts read or refused with what is expected, ranges
// expanded to their documented values, a point's configuration, the elbow and Cohon's value on
// hand-made curves, and the physical measures against hand counts.
#include "driver/sweep.h"

#include "driver/run_table.h"
#include "raster/shape_measures.h"
#include "test_support.h"

// Steps land on the decimal a planner would write (1:16:5log on 2, not 1.9999999999999993; 0.3 / 3
// on 0.1), so that the log, the table and the picture show them so.
TEST(SweepTest, RangesExpandToTheirValuesEndsIncludedAndStepsDecimal) {
  const std::vector<std::pair<const char*, std::vector<double>>> cases = {
      {"0:1:5", {0, 0.25, 0.5, 0.75, 1}},
      {"2:-2:3", {2, 0, -2}},
      {"0,0.5,2,1e1", {0, 0.5, 2, 10}},
      {"7", {7}},
      {"0:0.3:4", {0, 0.1, 0.2, 0.3}},
      {"1:16:5log", {1, 2, 4, 8, 16}},
      {"0.01:100:9log",
       {0.01, 0.0316227766016838, 0.1, 0.316227766016838, 1, 3.16227766016838, 10, 31.6227766016838,
        100}},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<double> values;
    std::string error;
    ASSERT_TRUE(sweep_values(text, values, error)) << text << ": " << error;
    EXPECT_EQ(values, expected) << text;
  }
  EXPECT_EQ(sweep_label(1.9999999999999993), "1.9999999999999993");
  // The shortest text, not the fewest digits: 40 is not "4e+01"; 1e5 is shorter as 1e+05.
  EXPECT_EQ(sweep_label(40) + " " + sweep_label(1e5) + " " + sweep_label(0.0001),
            "40 1e+05 0.0001");
}

TEST(SweepTest, ABadSweepTextNamesTheTextAndWhatIsExpected) {
  const char* cases[][2] = {
      {"process.functions-weight[1]", "no PROPERTY="},
      {"process.nothing=1", "unknown property 'process.nothing'"},
      {"process.output=1", "'process.output' is not a number"},
      {"process.functions-weight=1", "takes 1 index ([N])"},
      {"process.functions-weight[x]=1", "has an index that is not [N]"},
      {"process.tinit[0]=1", "is a number, not a list"},
      {"preprocess.convert-area=0,2", "value 2 is not 0 to 1"},
      {"process.nmovs=1.5", "value 1.5 is not a whole number"},
      {"process.tinit=1:2", "a range is FIRST:LAST:STEPS"},
      {"process.tinit=1:2:1", "a range takes 2 to 1000 steps"},
      {"process.tinit=0:1:3log", "log steps need both ends above 0"},
      {"process.tinit=1,,2", "'' is not a number"},
      {"process.tinit=1,0x10", "'0x10' is not a number"},
  };
  SweepAxis axis;
  std::string error;
  for (const auto& [text, why] : cases) {
    EXPECT_FALSE(sweep_parse(text, axis, error)) << text;
    EXPECT_EQ(error.rfind(std::string("error: invalid sweep '") + text + "': ", 0), 0u) << error;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_NE(error.find("expected PROPERTY=VALUES"), std::string::npos) << error;
  }
  ASSERT_TRUE(sweep_parse("maps.potential-maps-weight[1][0]=0.25,1", axis, error)) << error;
  EXPECT_EQ(axis.indices, (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(axis.labels, (std::vector<std::string>{"0.25", "1"}));
}

// A point's configuration holds its values and its own output names, the escapes of the other
// texts kept as written; the map that PROCESS reads from an earlier run keeps its name.
TEST(SweepTest, APointPutsItsValuesInAndTagsTheOutputsOfItsStages) {
  const std::string original =
      "{\"process\": {\"functions-weight\": [1, \"2\", 3], \"output\": \"o\\\"ut/p.asc\"},"
      " \"preprocess\": {\"output\": \"pre.asc\", \"convert-area\": 0.5}}";
  const ConfigDocument doc = config_of(original);
  std::vector<SweepAxis> axes(2);
  std::string error;
  ASSERT_TRUE(sweep_parse("process.functions-weight[1]=4,0.5", axes[0], error)) << error;
  ASSERT_TRUE(sweep_parse("preprocess.convert-area=0.25:0.75:3", axes[1], error)) << error;
  const std::vector<SweepPoint> points = sweep_points(axes);
  ASSERT_EQ(points.size(), 6u);
  EXPECT_EQ(points[5].at, (std::vector<size_t>{1, 2}));
  const StageFlags process_only{false, true, false};
  std::string text;
  ASSERT_TRUE(sweep_point_text(original, doc, axes, points[5], 6, process_only, text, error));
  EXPECT_EQ(text,
            "{\"process\": {\"functions-weight\": [1, 0.5, 3], \"output\": "
            "\"o\\\"ut/p.sweep05.asc\"}, \"preprocess\": {\"output\": \"pre.asc\", "
            "\"convert-area\": 0.75}}");
  EXPECT_EQ(sweep_tag(7, 120), ".sweep007");
}

TEST(SweepTest, ElbowAndCohonPickOnHandMadeCurves) {
  // An L: the corner lies furthest from the chord; scaling makes the units irrelevant.
  EXPECT_EQ(sweep_elbow({0, 1, 2, 3, 40}, {1000, 60, 55, 50, 0}), 1u);
  EXPECT_EQ(sweep_elbow({4000, 3000, 2000, 1000, 0}, {0.9, 0.89, 0.88, 0.5, 0.1}), 2u);
  // A straight line: every point on the chord, the first wins the tie.
  EXPECT_EQ(sweep_elbow({0, 1, 2, 3}, {0, 1, 2, 3}), 0u);
  EXPECT_EQ(sweep_elbow({5, 6}, {1, 0}), 0u);
  // Plans: at weight 0 a perimeter term of 0.5 and a rest of 0.1; at weight 10 a term of 0.1 and
  // a rest of 0.3. 0.1 + w 0.5 = 0.3 + w 0.1 at w = 0.5.
  double weight = 0.0;
  ASSERT_TRUE(sweep_cohon(0, 0.5, 0.1, 10, 0.1, 0.3, weight));
  EXPECT_DOUBLE_EQ(weight, 0.5);
  EXPECT_FALSE(sweep_cohon(0, 0.1, 0.1, 10, 0.5, 0.3, weight));  // the term rose
  EXPECT_FALSE(sweep_cohon(0, 0.5, 0.3, 10, 0.1, 0.1, weight));  // the rest fell too
}

// Pictures: '#' allocated, '.' free, 'x' no data. Cells 2.5 map units a side.
TEST(RunMeasuresTest, ShapeOfTheAllocatedCellsAgainstHandCounts) {
  const std::tuple<std::string, double, double, double, double, double> cases[] = {
      {"###/#.#/###", 8, 16, 1, 1, 1},      // a ring around one free cell
      {"##./#.#/.##", 6, 16, 2, 0, 0},      // closed only at corners: no hole
      {"####/#xx#/####", 10, 20, 1, 1, 2},  // a hole of no data is a hole too
      {"#.#/###", 5, 12, 1, 0, 0},          // a bay open to the edge
      {"#####/#.#.#/#####", 13, 24, 1, 2, 2},
      {"#####/#.#.#/#...#/#####", 15, 30, 1, 1, 5},  // two gaps of a row joined below
  };
  for (const auto& [rows, n, edges, islands, holes, hole_cells] : cases) {
    std::vector<float> cells;
    for (const char ch : rows)
      if (ch != '/') cells.push_back(ch == '#' ? 3.0f : ch == 'x' ? CELL_NODATA : 0.0f);
    GridGeometry geometry;
    geometry.ncols = static_cast<int32_t>(rows.find('/')), geometry.cellsize = 2.5;
    geometry.nrows = static_cast<int32_t>(cells.size()) / geometry.ncols;
    const ShapeMeasures shape = shape_measure(cells.data(), geometry.nrows, geometry.ncols, 3.0f);
    const RunMeasures m = run_measures(geometry, ProcessInputs(), PackedMap(cells), 3.0f);
    EXPECT_EQ(
        (std::vector<double>{double(shape.cells), double(shape.edges), double(shape.islands),
                             double(shape.holes), double(shape.hole_cells), m.area, m.perimeter,
                             double(m.holes)}),
        (std::vector<double>{n, edges, islands, holes, hole_cells, 6.25 * n, 2.5 * edges, holes}))
        << rows;
  }
  EXPECT_TRUE(
      crs_in_metres("PROJCS[\"ETRS89 / UTM 30N\",GEOGCS[\"ETRS89\",UNIT[\"degree\",0.01]],"
                    "UNIT[\"metre\",1]]"));
  EXPECT_FALSE(crs_in_metres("GEOGCS[\"WGS 84\",UNIT[\"degree\",0.0174532925199433]]"));
}

// The picture names a weight as a planner does; the terms that moved are drawn below the
// trade-off, each from its column (f4 the eighth of one axis).
TEST(SweepTest, ThePictureNamesAWeightByItsTermAndDrawsTheTermsThatMoved) {
  SweepAxis weight;
  std::string error;
  ASSERT_TRUE(sweep_parse("process.functions-weight[3]=0,1", weight, error)) << error;
  EXPECT_EQ(sweep_plot_title({weight}),
            "sweep of the nservices weight f4 (process.functions-weight[3])");
  std::vector<SweepPointResult> results(2);
  results[1].summary.best.energy.terms[4] = 0.5;
  ASSERT_EQ(sweep_moved_terms(results), std::vector<int32_t>{4});
  const std::string script = sweep_plot_script({weight}, sweep_trade_off(weight), 0, {4});
  EXPECT_NE(script.find("using 8:18 with linespoints"), std::string::npos) << script;
  EXPECT_NE(script.find("using 1:9:xtic(strcol(2)) with linespoints lw 2 title 'f5 distance'"),
            std::string::npos);
}
