// The templates run as written from the project's folder: the check passes without a warning, the
// three stages run by minimum cuts and allocate the demands, and the guide names what to change.
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
    EXPECT_NE(made.err.find(option == "--template" ? "preprocess.demand" : "land-uses"),
              std::string::npos)
        << made.err;
    const RunResult check = run_words("--check plan.json", dir);
    EXPECT_EQ(check.code, 0) << check.out;
    EXPECT_EQ(check.out.find("\n!"), std::string::npos) << check.out;
    const RunResult run = run_words("--seed=1 plan.json", dir);
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("MIN-CUT MODE selected\n"), std::string::npos);
    const std::vector<float> cells = read_cells(dir.path("plan.asc"));
    for (const auto& [code, demand] : demands)
      EXPECT_EQ(std::count(cells.begin(), cells.end(), code), demand) << option;
  }
}
