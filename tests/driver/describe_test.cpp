#include "driver/describe.h"

#include "driver/preflight.h"
#include "driver/repeats.h"
#include "test_support.h"

// `text` with every `from` in it (one at least) replaced by `to`.
static std::string replaced(std::string text, const std::string& from, const std::string& to) {
  EXPECT_NE(text.find(from), std::string::npos) << from;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The property table is the one list of what the stages read: the check before a run and the
// three stages, run on the small configuration in each of its modes, look up no property missing
// from it, and every property in it is looked up in some mode.
TEST(DescribeTest, PropertyTableIsWhatTheStagesRead) {
  TempDir dir;
  for (const char* name : {"a.asc", "water.asc", "town.asc", "road.asc"})
    std::filesystem::copy_file(std::string(LANDALLOC_TEST_DATA) + "/small/" + name, dir.path(name));
  const std::string annealing = read_file(std::string(LANDALLOC_TEST_DATA) + "/small/small.json");
  // Min-cut with its gap, distance maps in place of masks (in both stages), basins, a demand.
  std::string min_cut = replaced(annealing, "\"process\": {",
                                 "\"process\": {\"method\": \"min-cut\", \"portfolio-gap\": 0.1, ");
  min_cut = replaced(min_cut, "\"distance-masks\": [\"town.asc\"], \"distance-maps\": []",
                     "\"distance-masks\": [], \"distance-maps\": [\"a.asc\"]");
  min_cut = replaced(min_cut, "\"basins-map\": \"\"", "\"basins-map\": \"town.asc\"");
  min_cut = replaced(min_cut, "\"convert-area\": 0.3", "\"demand\": {\"cells\": 7}");
  // Two land uses, one of which may convert the town.
  const std::string uses = replaced(min_cut, "\n}", json(R"(,
  'land-uses': [{'name': 'a', 'code': 10, 'demand': {'cells': 8}},
                {'name': 'b', 'code': 20, 'demand': {'cells': 6}}],
  'conversions': {'a': [2]}, 'adjacency': [[0, 1], [1, 0]]})"));

  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.dir());
  std::set<std::string> read;
  for (const std::string& text : {annealing, min_cut, uses}) {
    Scenario scenario = scenario_of(text);
    scenario.config.read.on = true;
    const FatalResult result = run_capturing([&] {
      StageFlags all{true, true, true};
      ::Run run;
      preflight_check(scenario.config, all, RepeatShape{}, run.geometry);
      run_selected_stages(all, scenario, run);
    });
    EXPECT_FALSE(result.fatal) << result.log;
    read.insert(scenario.config.read.paths.begin(), scenario.config.read.paths.end());
  }
  std::filesystem::current_path(previous);

  // An object is read for its members ("preprocess.demand" for its cells or area).
  const auto holds_properties = [](const std::string& path) {
    for (const PropertyInfo& p : property_table())
      if (std::string(p.name).rfind(path + ".", 0) == 0) return true;
    return false;
  };
  for (const std::string& path : read)
    EXPECT_TRUE(find_property(path) != nullptr || holds_properties(path)) << path;
  for (const PropertyInfo& p : property_table()) EXPECT_EQ(read.count(p.name), 1u) << p.name;
}
