// Every input of the fuzzing corpus, the fuzzers' findings among them, runs through the same entry
// as in the fuzzers, so that the normal and the sanitizer builds keep them fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.h"
#include "test_support.h"

namespace {

std::vector<std::string> corpus_files(const char* target) {
  std::vector<std::string> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(LANDALLOC_FUZZ_CORPUS) + "/" + target)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> bytes_of(const std::string& path) {
  const std::string text = read_file(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

class CorpusReplayTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }
  LogCapture quiet;
};

TEST_F(CorpusReplayTest, ConfigurationInputsKeepTheirGuarantees) {
  const std::vector<std::string> files = corpus_files("config");
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    const std::vector<uint8_t> data = bytes_of(file);
    EXPECT_EQ(fuzz_config_input(data.data(), data.size()), "") << file;
  }
}

TEST_F(CorpusReplayTest, GridInputsKeepTheirGuarantees) {
  const std::vector<std::string> files = corpus_files("grid");
  ASSERT_FALSE(files.empty());
  TempDir dir;
  for (const std::string& file : files) {
    const std::vector<uint8_t> data = bytes_of(file);
    EXPECT_EQ(fuzz_grid_input(data.data(), data.size(), dir.dir()), "") << file;
  }
}

}  // namespace
