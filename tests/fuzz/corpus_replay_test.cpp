// Every input of the fuzzing corpus, the fuzzers' findings among them, and the real grids of
// tests/data run through the same entry as in the fuzzers, so that the normal and the sanitizer
// builds keep them fixed.

#include "fuzz/fuzz_entries.h"
#include "test_support.h"

TEST(CorpusReplayTest, EveryInputKeepsItsGuarantees) {
  LogCapture quiet;
  TempDir dir;
  using std::filesystem::directory_iterator;
  for (const std::string folder : {"/config", "/grid", "", "/pipeline"}) {
    const std::string path = folder.empty() ? LANDALLOC_TEST_DATA : LANDALLOC_FUZZ_CORPUS + folder;
    for (const auto& entry : directory_iterator(path)) {
      if (folder.empty() && entry.path().extension() != ".asc") continue;
      const std::string text = read_file(entry.path().string());
      const auto* data = reinterpret_cast<const uint8_t*>(text.data());
      EXPECT_EQ(folder == "/config"     ? fuzz_config_input(data, text.size())
                : folder == "/pipeline" ? fuzz_pipeline_input(data, text.size(), dir.dir())
                                        : fuzz_grid_input(data, text.size(), dir.dir()),
                "")
          << entry.path();
    }
  }
}
