// The templates run as written from the project's folder: the check passes without a warning, the
// three stages run by minimum cuts and write the plan, and the guide names what to change.
#include "cli/cli_support.h"

namespace {

// A folder laid out as the project's: the example's maps where the templates name them.
void link_examples(const CliDir& dir) {
  std::filesystem::create_directory_symlink(std::string(LANDALLOC_SOURCE_DIR) + "/examples",
                                            dir.path("examples"));
}

}  // namespace

TEST(TemplateCliTest, EachTemplatePassesTheCheckAndRunsAsWritten) {
  for (const std::string option : {"--template", "--template=uses"}) {
    SCOPED_TRACE(option);
    CliDir dir;
    link_examples(dir);
    const RunResult made = run_shell("\"$LANDALLOC\" " + option + " >plan.json", dir.dir());
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_NE(made.err.find("maps.potential-maps"), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("landalloc --check"), std::string::npos) << made.err;
    EXPECT_EQ(made.err.find("land-uses") != std::string::npos, option == "--template=uses");

    const RunResult check = run_words("--check plan.json", dir);
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_EQ(check.out.find("! unknown property"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("check passed\n"), std::string::npos) << check.out;
    EXPECT_FALSE(dir.exists("plan.asc"));

    const RunResult run = run_words("--seed=1 plan.json", dir);
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("MIN-CUT MODE selected\n"), std::string::npos);
    // One use allocates the working value on top of the settlements' codes 1 to 3; several uses
    // their own codes, 1500 new cells in all (the demand) or 1400 (900 and 500).
    const std::vector<float> cells = read_cells(dir.path("plan.asc"));
    const auto count = [&](float code) { return std::count(cells.begin(), cells.end(), code); };
    if (option == "--template") {
      EXPECT_EQ(count(4.0f), 1500);
    } else {
      EXPECT_EQ(count(10.0f), 900);
      EXPECT_EQ(count(20.0f), 500);
    }
    EXPECT_TRUE(dir.exists("plan_mask.asc"));
  }
}

// With the distance weight at 0 the cuts read no distance, so neither array is needed; the
// annealing still needs one and says where to give it.
TEST(TemplateCliTest, DistanceArraysAreNeededOnlyWhereADistanceIsRead) {
  CliDir dir;
  link_examples(dir);
  ASSERT_EQ(run_shell("\"$LANDALLOC\" --template >plan.json", dir.dir()).code, 0);
  const std::string plan = dir.read("plan.json");
  const std::string without_distances =
      replaced(replaced(plan, "[1, 1, 1, 0.5, 1]", "[1, 1, 1, 0.5, 0]"),
               "\"distance-masks\": [\"examples/demo/maps/settlements.asc\"],\n"
               "    \"distance-maps\": [],\n",
               "");
  dir.write("no_distance.json", without_distances);
  const RunResult cut = run_words("--seed=1 no_distance.json", dir);
  EXPECT_EQ(cut.code, 0) << cut.out;
  EXPECT_TRUE(dir.exists("plan.asc"));

  // Empty arrays with a distance weight, and by the annealing (with its own properties) whatever
  // the weight.
  const std::string empty = replaced(
      plan, "\"distance-masks\": [\"examples/demo/maps/settlements.asc\"],\n    \"distance-maps\"",
      "\"distance-masks\": [],\n    \"distance-maps\"");
  dir.write("weighted.json", empty);
  dir.write(
      "annealing.json",
      replaced(replaced(empty, "[1, 1, 1, 0.5, 1]", "[1, 1, 1, 0.5, 0]"), "\"method\": \"min-cut\"",
               "\"method\": \"annealing\", \"pinit\": 0.4, \"tinit\": 1, \"tnext\": 0.9, "
               "\"nmovs\": 100, \"nstages\": 2, \"kb\": 500, \"random-select\": \"no\", "
               "\"autotunning\": \"no\""));
  const std::string error = "error: empty arrays 'distance-masks' and 'distance-maps'!\n";
  for (const std::string name : {"weighted.json", "annealing.json"}) {
    const RunResult r = run_words("--check " + name, dir);
    EXPECT_EQ(r.code, 255) << name;
    const size_t at = r.out.find(error);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string hint = r.out.substr(at + error.size());
    EXPECT_EQ(hint.rfind("  section 'process': name the grids", 0), 0u) << hint;
    EXPECT_EQ(hint.find("min-cut") != std::string::npos, name == "annealing.json") << hint;
  }
}
