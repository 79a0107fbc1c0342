// The templates run as written from the project's folder: the check passes without a warning, the
// three stages run by minimum cuts and allocate the demands, and the guide names what to change.
// With the distance weight at 0 the cuts need no distance arrays.
#include "cli/cli_support.h"

TEST(TemplateCliTest, EachTemplatePassesTheCheckAndRunsAsWritten) {
  // Several uses allocate their own codes (900 and 500 cells), one use the code after the
  // settlements' 1 to 3 (1500 cells).
  const std::vector<std::pair<std::string, std::vector<std::pair<float, long>>>> cases = {
      {"--template", {{4.0f, 1500}}}, {"--template=uses", {{10.0f, 900}, {20.0f, 500}}}};
  for (const auto& [option, demands] : cases) {
    CliDir dir;
    std::filesystem::create_directory_symlink(std::string(LANDALLOC_SOURCE_DIR) + "/examples",
                                              dir.path("examples"));
    const RunResult made = run_shell("\"$LANDALLOC\" " + option + " >plan.json", dir.dir());
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_NE(made.err.find("maps.potential-maps"), std::string::npos) << made.err;
    EXPECT_EQ(made.err.find("land-uses") != std::string::npos, option == "--template=uses");
    const RunResult check = run_words("--check plan.json", dir);
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_EQ(check.out.find("\n!"), std::string::npos) << check.out;
    const RunResult run = run_words("--seed=1 plan.json", dir);
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("MIN-CUT MODE selected\n"), std::string::npos);
    const std::vector<float> cells = read_cells(dir.path("plan.asc"));
    for (const auto& [code, demand] : demands)
      EXPECT_EQ(std::count(cells.begin(), cells.end(), code), demand) << option;
    if (option != "--template") continue;

    const std::string plan = dir.read("plan.json");
    const std::string arrays =
        "\"distance-masks\": [\"examples/demo/maps/settlements.asc\"],\n    \"distance-maps\": "
        "[],\n";
    dir.write("none.json", replaced(replaced(plan, arrays, ""), "0.5, 1]", "0.5, 0]"));
    const RunResult cut = run_words("--seed=1 none.json", dir);
    EXPECT_EQ(cut.code, 0) << cut.out;
  }
}
