// What a configuration cannot make the program do, and failures that must reach the user, run
// through the built program (the release binary in the release suite).
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_support.h"

namespace {

namespace fs = std::filesystem;

// `text` as the inside of a JSON string.
std::string json_text(const std::string& text) {
  std::string out;
  for (const char c : text)
    out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out;
}

bool gnuplot_installed() {
  return std::system("command -v gnuplot >/dev/null 2>&1") == 0;
}

// Names that end a quoted string or start a command in gnuplot or a shell (quotes, backslashes;
// a newline is refused as the file is read, below): the sweep's picture script receives the
// table's and the picture's names; the input is renamed too.
TEST(SafetyCliTest, NoNameInAConfigurationRunsACommand) {
  const std::vector<std::string> names = {"q'uote",
                                          "d\"ouble",
                                          "back`touch MARK1`tick",
                                          "semi;touch MARK2;colon",
                                          "sys\" system(\"touch MARK3\") \"tem",
                                          "sys' . system('touch MARK4') . 'tem",
                                          "bang!touch MARK5",
                                          "dollar$(touch MARK6)",
                                          "back\\slash\\' . system('touch MARK7') . '"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    CliDir dir;
    write_small_configuration(dir);
    fs::rename(dir.path("a.asc"), dir.path(name + ".asc"));
    std::string config = dir.read("small.json");
    config = replaced(config, "\"a.asc\"", "\"" + json_text(name + ".asc") + "\"");
    config = replaced(config, "\"post.asc\"", "\"" + json_text(name + ".post.asc") + "\"");
    dir.write("small.json", config);
    const RunResult run =
        run_words("--seed=2 --sweep=process.functions-weight[1]=0,1 small.json", dir);
    ASSERT_EQ(run.code, 0) << run.out;
    for (int k = 1; k <= 7; ++k) EXPECT_FALSE(fs::exists(dir.path("MARK" + std::to_string(k))));
    EXPECT_TRUE(fs::exists(dir.path(name + ".post.sweep.gp")));
    if (gnuplot_installed()) {
      EXPECT_TRUE(fs::exists(dir.path(name + ".post.sweep.png")));
    }
    // The script is the same whatever the names: they reach it as arguments.
    EXPECT_EQ(dir.read(name + ".post.sweep.gp").find(name), std::string::npos);
  }
}

// A control character in any name is refused as the file is read, the property named and the
// text escaped on one line; --check says the same and goes on with the next file.
TEST(SafetyCliTest, ControlCharactersInNamesAreRefusedNamingTheProperty) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"\"post.asc\"", "\"out/a\\nsystem(\\\"id\\\")\\nb.asc\"",
       "'postprocess.output' holds a control character ('out/a\\nsystem(\"id\")\\nb.asc')"},
      {"[\"road.asc\"]", "[\"road.asc\", \"ro\\tad.asc\"]",
       "'preprocess.distribution-masks[1]' holds a control character ('ro\\tad.asc')"},
      {"\"town.asc\", \"distribution", "\"town\\u0001.asc\", \"distribution",
       "'preprocess.init-values-map' holds a control character ('town\\x01.asc')"},
      {"\"output\": \"pre.asc\"", "\"out\\u007fput\": \"pre.asc\"",
       "'preprocess.out\\x7fput' holds a control character in its name"},
      {"\"water.asc\"", "\"water\\r.asc\"",
       "'maps.exclusion-masks[0]' holds a control character ('water\\r.asc')"},
  };
  for (const auto& [from, to, message] : cases) {
    SCOPED_TRACE(to);
    CliDir dir;
    write_small_configuration(dir, from, to);
    dir.write("other.json", dir.read("small.json"));
    const std::vector<std::string> before = file_names(dir.dir());
    const RunResult run = run_words("--seed=1 small.json", dir);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "error: property " + message + "!\n");
    const RunResult check = run_words("--check small.json other.json", dir);
    EXPECT_EQ(check.code, 2);
    EXPECT_EQ(check.out, "check 'small.json'\nerror: property " + message +
                             "!\ncheck 'other.json'\nerror: property " + message + "!\n");
    EXPECT_EQ(file_names(dir.dir()), before);
  }
}

// A grid read inside a step that is quiet unless it fails (the demand's count of free cells
// before the run) prints its error in the binary users run, not only the seed line.
TEST(SafetyCliTest, AFailureInsideAQuietStepPrintsItsError) {
  const std::vector<std::pair<std::string, std::string>> bad_maps = {
      {"a.asc", "1 2 3 4 5x50.0 6 7 8"},
      {"water.asc", "0 0 0 0 0 0 0 x"},
      {"town.asc", ""}};  // too few values
  for (const auto& [map, row] : bad_maps) {
    for (const char* stages : {"", "--preprocess "}) {
      SCOPED_TRACE(map + " " + stages);
      CliDir dir;
      write_small_configuration(dir, "\"convert-area\": 0.3", "\"demand\": {\"cells\": 5}");
      std::string grid = dir.read(map);
      const size_t last = grid.rfind('\n', grid.size() - 2);
      grid = grid.substr(0, last + 1) + row + (row.empty() ? "" : "\n");
      dir.write(map, grid);
      const RunResult run = run_words(std::string("--seed=1 ") + stages + "small.json", dir);
      EXPECT_EQ(run.code, 1);
      const std::string error =
          row.empty() ? "error: missing values in file '" + map + "'" : "error: invalid value '";
      EXPECT_NE(run.out.find(error), std::string::npos) << run.out;
      EXPECT_FALSE(fs::exists(dir.path("pre.asc")));
    }
  }
}

// A text grid streams into a pipe, as into a file; a reader takes the same bytes.
TEST(SafetyCliTest, ATextGridStreamsIntoAPipe) {
  CliDir file, pipe;
  write_small_configuration(file);
  write_small_configuration(pipe, "\"mask.asc\"", "\"mask.pipe\"");
  ASSERT_EQ(mkfifo(pipe.path("mask.pipe").c_str(), 0600), 0);
  ASSERT_EQ(run_words("--seed=6 small.json", file).code, 0);
  const RunResult r =
      run_shell("(cat mask.pipe > copy.asc &) && \"$LANDALLOC\" --seed=6 small.json", pipe.dir());
  ASSERT_EQ(r.code, 0) << r.out;
  for (int wait = 0; wait < 100 && pipe.read("copy.asc") != file.read("mask.asc"); ++wait)
    usleep(20000);  // the reader may still be copying
  EXPECT_EQ(pipe.read("copy.asc"), file.read("mask.asc"));
}

}  // namespace
