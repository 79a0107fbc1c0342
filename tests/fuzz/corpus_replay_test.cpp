// Every input of the fuzzing corpus, the fuzzers' findings among them, runs through the same entry
// as in the fuzzers, so that the normal and the sanitizer builds keep them fixed.
#include <gtest/gtest.h>

#include "fuzz/fuzz_entries.h"
#include "test_support.h"

TEST(CorpusReplayTest, EveryInputKeepsItsGuarantees) {
  reset_process_state();
  LogCapture quiet;
  TempDir dir;
  for (const std::string target : {"config", "grid"}) {
    const std::string folder = std::string(LANDALLOC_FUZZ_CORPUS) + "/" + target;
    EXPECT_FALSE(std::filesystem::is_empty(folder));
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string text = read_file(entry.path().string());
      const auto* data = reinterpret_cast<const uint8_t*>(text.data());
      EXPECT_EQ(target == "config" ? fuzz_config_input(data, text.size())
                                   : fuzz_grid_input(data, text.size(), dir.dir()),
                "")
          << entry.path();
    }
  }
  reset_process_state();
}
