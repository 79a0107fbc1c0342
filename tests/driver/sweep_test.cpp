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
      {"land-uses[a].code=1", "is not a number of a land use"},
      {"land-uses[a].potential-maps-weight[0]=1", "takes 2 indexes"},
      {"land-uses[a b].demand.cells=1", "names a land use as land-uses[NAME]"},
      {"land-uses[a]=1", "is not a number of a land use"},
      {"land-uses[a].demand.cells=1.5", "value 1.5 is not a whole number"},
      {"adjacency[a]=1", "is not adjacency[NAME][NAME]"},
      {"adjacency[a][b][c]=1", "has text after its index"},
      {"adjacency[a][b]=-2e6", "value -2e+06 is not -1e6 to 1e6"},
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
  // A use's property reads as the shared one it stands for.
  ASSERT_TRUE(sweep_parse("land-uses[green-space].potential-maps-weight[0][1]=2", axis, error));
  EXPECT_EQ(axis.name + " " + axis.key + " " + axis.uses.at(0),
            "maps.potential-maps-weight potential-maps-weight green-space");
  EXPECT_EQ(axis.indices, (std::vector<int32_t>{0, 1}));
}

// Uses are named or indexed; a name, an index or a cost the configuration cannot hold is refused
// before anything runs, as is a shared property that every use gives itself.
TEST(SweepTest, AUseOrACostIsResolvedAgainstTheConfigurationOrRefused) {
  const std::string uses =
      "'land-uses': [{'name': 'a', 'code': 1, 'demand': {'cells': 2}, 'functions-weight': [1]},"
      " {'name': 'b', 'code': 2, 'demand': {'cells': 3}}]";
  const std::string with_uses = "{'process': {'functions-weight': [1]}, " + uses + "}";
  const auto resolve = [](const std::string& text, const std::vector<std::string>& texts,
                          std::string& error) {
    std::vector<SweepAxis> axes(texts.size());
    for (size_t a = 0; a < texts.size(); ++a)
      EXPECT_TRUE(sweep_parse(texts[a], axes[a], error)) << error;
    const bool ok = sweep_resolve(config_of(json(text)), axes, error);
    return ok ? axes : std::vector<SweepAxis>();
  };
  std::string error;
  const std::vector<SweepAxis> axes =
      resolve(with_uses, {"land-uses[b].demand.cells=4", "adjacency[1][a]=1"}, error);
  ASSERT_EQ(axes.size(), 2u) << error;
  EXPECT_EQ(axes[0].use_indices, std::vector<int32_t>{1});
  EXPECT_EQ(axes[1].use_indices, (std::vector<int32_t>{1, 0}));
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"land-uses[c].demand.cells=4"},
       "error: sweep property 'land-uses[c].demand.cells': no land use is named 'c' (the uses: "
       "'a', 'b')!\n"},
      {{"land-uses[2].demand.cells=4"},
       "error: sweep property 'land-uses[2].demand.cells': there are 2 land uses, indexed from 0 "
       "(the uses: 'a', 'b')!\n"},
      {{"adjacency[b][1]=1"},
       "error: sweep property 'adjacency[b][1]' is on the diagonal: a use does not border itself, "
       "its cost stays 0!\n"},
      {{"preprocess.demand.cells=4"},
       "error: sweep property 'preprocess.demand.cells' is read by no land use: each gives its own "
       "demand (sweep land-uses[NAME].demand.cells or .area)!\n"},
      {{"adjacency[a][b]=1", "adjacency[1][0]=2"},
       "error: invalid sweep 'adjacency[1][0]=2': 'adjacency[1][0]' is swept twice!\n"},
      {{"land-uses[1].demand.cells=1", "land-uses[b].demand.cells=2"},
       "error: invalid sweep 'land-uses[b].demand.cells=2': 'land-uses[b].demand.cells' is swept "
       "twice!\n"},
  };
  for (const auto& [texts, message] : refused) {
    EXPECT_TRUE(resolve(with_uses, texts, error).empty()) << texts[0];
    EXPECT_EQ(error, message);
  }
  // b reads the shared weights, so they may be swept; once b gives its own, nothing reads them.
  EXPECT_EQ(resolve(with_uses, {"process.functions-weight[0]=2"}, error).size(), 1u) << error;
  std::string both = with_uses;
  both.replace(both.find("'code': 2,"), 10, "'code': 2, 'functions-weight': [2],");
  EXPECT_TRUE(resolve(both, {"process.functions-weight[0]=2"}, error).empty());
  EXPECT_EQ(error,
            "error: sweep property 'process.functions-weight[0]' is read by no land use: each "
            "gives its own 'functions-weight' (sweep land-uses[NAME].functions-weight[0])!\n");
  EXPECT_TRUE(resolve("{'process': {}}", {"land-uses[0].demand.cells=4"}, error).empty());
  EXPECT_NE(error.find("the configuration has no \"land-uses\""), std::string::npos) << error;
}

// A point changes only the value swept: what a use reads from the shared properties is written
// into its object first, a missing adjacency as zeros, and a cost into both halves.
TEST(SweepTest, APointWritesAUsesValueIntoItsObjectAndACostIntoBothHalves) {
  const std::string original = json(
      "{'process': {'functions-weight': [1, 2, 3]}, 'land-uses': [{'name': 'a', 'code': 1, "
      "'demand': {'cells': 2}}, {'name': 'b', 'code': 2, 'demand': {'cells': 3}}]}");
  std::vector<SweepAxis> axes(2);
  std::string error, text;
  ASSERT_TRUE(sweep_parse("land-uses[b].functions-weight[1]=7", axes[0], error)) << error;
  ASSERT_TRUE(sweep_parse("adjacency[b][a]=-0.5", axes[1], error)) << error;
  const ConfigDocument doc = config_of(original);
  ASSERT_TRUE(sweep_resolve(doc, axes, error)) << error;
  ASSERT_TRUE(
      sweep_point_text(original, doc, axes, sweep_points(axes)[0], 1, StageFlags{}, text, error))
      << error;
  EXPECT_EQ(
      text,
      json("{'adjacency': [[0, -0.5], [-0.5, 0]], 'process': {'functions-weight': [1, 2, 3]}, "
           "'land-uses': [{'name': 'a', 'code': 1, 'demand': {'cells': 2}}, "
           "{'functions-weight': [1,7,3], 'name': 'b', 'code': 2, 'demand': "
           "{'cells': 3}}]}"));
  // A use's element past the shared list is no value to set.
  ASSERT_TRUE(sweep_parse("land-uses[a].functions-weight[3]=7", axes[0], error)) << error;
  ASSERT_TRUE(sweep_resolve(doc, axes, error)) << error;
  EXPECT_FALSE(
      sweep_point_text(original, doc, axes, sweep_points(axes)[0], 1, StageFlags{}, text, error));
  EXPECT_EQ(error,
            "error: sweep property 'land-uses[a].functions-weight[3]' is not a value of the "
            "configuration!\n");
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

// With several uses the picture reads the table's columns by their numbers: each must be the
// column its measure names. A shared weight's mean potential is over every new cell, each on its
// use's potential: 2 cells of a at 1 and 6 of b at 0.5 give (2 + 3) / 8.
TEST(SweepTest, ThePictureOfSeveralUsesReadsTheColumnsItsMeasuresName) {
  std::vector<SweepPointResult> results(2);
  for (SweepPointResult& r : results) {
    r.point.at = {0};
    RepeatRunResult& best = r.summary.best;
    best.uses = {{"a", {}, {}}, {"b", {}, {}}};
    best.uses[0].energy.cells = 2;
    best.uses[0].measures.mean_potential = 1.0;
    best.uses[1].energy.cells = 6;
    best.uses[1].measures.mean_potential = 0.5;
    best.uses[0].energy.energy = 0.25;
    best.uses[1].energy.energy = 0.5;
    best.pairs = {{3.0, 30.0, 0.1}};
  }
  results[1].point = {1, {1}};
  SweepAxis shared, cost;
  std::string error;
  ASSERT_TRUE(sweep_parse("process.functions-weight[1]=0,1", shared, error)) << error;
  ASSERT_TRUE(sweep_parse("adjacency[b][a]=0,1", cost, error)) << error;
  cost.use_indices = {1, 0};
  const auto header = [&](const SweepAxis& axis) {
    const std::string table = sweep_table_text({axis}, results, 0);
    std::vector<std::string> names;
    std::istringstream line(table.substr(0, table.find('\n')));
    for (std::string name; std::getline(line, name, ',');) names.push_back(name);
    return names;
  };
  const auto column = [](const std::vector<std::string>& names, const std::string& name) {
    const auto at = std::find(names.begin(), names.end(), name);
    EXPECT_NE(at, names.end()) << name;
    return "column(" + std::to_string(at - names.begin() + 1) + ")";
  };
  const TradeOff all = sweep_trade_off(shared, 2);
  EXPECT_DOUBLE_EQ(sweep_measure(results[0].summary, all.y, all), 5.0 / 8.0);
  std::vector<std::string> names = header(shared);
  const std::string a = column(names, "a.cells"), b = column(names, "b.cells");
  EXPECT_NE(sweep_plot_script({shared}, all, 0, {})
                .find("((" + a + " * " + column(names, "a.mean_potential") + " + " + b + " * " +
                      column(names, "b.mean_potential") + ") / (" + a + " + " + b + "))"),
            std::string::npos);
  const TradeOff pair = sweep_trade_off(cost, 2);
  EXPECT_EQ(sweep_measure(results[0].summary, pair.x, pair), 3.0);
  EXPECT_EQ(sweep_measure(results[0].summary, pair.y, pair), 0.75);
  names = header(cost);
  const std::string sides = column(names, "a-b.shared_sides");
  EXPECT_NE(sweep_plot_script({cost}, pair, 0, {})
                .find("using " + sides.substr(7, sides.size() - 8) + ":(" +
                      column(names, "a.energy") + " + " + column(names, "b.energy") + ")"),
            std::string::npos);
}
