#include "driver/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "raster/grid.h"
#include "test_support.h"

namespace {

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // Names of the files in the test folder, so that no temporary file goes unnoticed.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // A geometry of nrows x ncols with map k holding `value` everywhere.
  void fill_grid(int nrows, int ncols, const std::vector<float>& values) {
    setup_grid(nrows, ncols, static_cast<int>(values.size()));
    for (size_t k = 0; k < values.size(); ++k) {
      set_map(static_cast<int>(k), std::vector<float>(grid_cell_count(), values[k]));
    }
  }

  TempDir dir;
};

TEST_F(OutputFileTest, ReaderPollingARewrittenGridSeesOnlyWholeFiles) {
  // Each text is several write buffers long, so a file rewritten in place would be seen cut.
  fill_grid(200, 300, {1.5f, 2.25f});
  const std::string path = dir.path("out.asc");
  LogCapture quiet;
  grid_write(path.c_str(), 1);
  const std::string second = read_file(path);
  grid_write(path.c_str(), 0);
  const std::string first = read_file(path);
  ASSERT_GT(first.size(), 200000u);

  std::atomic<bool> done{false};
  int reads = 0;
  int torn = 0;
  std::thread reader([&] {
    while (!done.load()) {
      const std::string seen = read_file(path);
      if (seen != first && seen != second) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 12; ++i) grid_write(path.c_str(), i % 2);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_GT(reads, 0);
  EXPECT_EQ(files(), std::vector<std::string>{"out.asc"});
}

TEST_F(OutputFileTest, OutputMayReplaceAnInputOfTheSameRun) {
  fill_grid(2, 3, {0.0f, 0.0f});
  const std::string path = dir.write("map.asc", grid_text(2, 3, {1, 2, 3, 4, 5, 6}));
  LogCapture quiet;
  grid_read(path.c_str(), 0);
  // A reader still inside the input keeps reading it whole while the output replaces it.
  FILE* held = std::fopen(path.c_str(), "r");
  ASSERT_NE(held, nullptr);
  char start[8] = {};
  ASSERT_EQ(std::fread(start, 1, 5, held), 5u);
  set_map(0, {10, 20, 30, 40, 50, 60});
  grid_write(path.c_str(), 0);
  std::string rest;
  for (int c = std::fgetc(held); c != EOF; c = std::fgetc(held)) rest += static_cast<char>(c);
  std::fclose(held);
  EXPECT_EQ(start + rest, grid_text(2, 3, {1, 2, 3, 4, 5, 6}));

  grid_read(path.c_str(), 1);
  EXPECT_EQ(get_map(1), (std::vector<float>{10, 20, 30, 40, 50, 60}));
}

TEST_F(OutputFileTest, ListingReplacesItsTargetOnlyWhenClosed) {
  const std::string path = dir.write("run.lst", "previous\n");
  chmod(path.c_str(), 0640);
  FILE* listing = output_open(path.c_str());
  ASSERT_NE(listing, nullptr);
  std::fputs("# header\n", listing);
  std::fflush(listing);
  EXPECT_EQ(read_file(path), "previous\n");
  EXPECT_EQ(files().size(), 2u);
  EXPECT_TRUE(output_close(listing));
  EXPECT_EQ(read_file(path), "# header\n");
  EXPECT_EQ(files(), std::vector<std::string>{"run.lst"});
  // The rewritten file keeps the permissions of the one it replaced.
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  // An abandoned listing leaves the previous file and no trace.
  listing = output_open(path.c_str());
  ASSERT_NE(listing, nullptr);
  std::fputs("partial", listing);
  output_discard(listing);
  EXPECT_EQ(read_file(path), "# header\n");
  EXPECT_EQ(files(), std::vector<std::string>{"run.lst"});

  EXPECT_EQ(output_open(dir.path("missing/run.lst").c_str()), nullptr);
}

TEST_F(OutputFileTest, EndedRunLeavesThePreviousOutputsAndNoTemporaryFile) {
  const std::string listing_path = dir.write("run.lst", "previous\n");
  const std::string grid_path = dir.write("out.asc", "previous grid\n");
  // A listing and a grid being written when a fatal error or an interrupt ends the process.
  const auto start_outputs = [&] {
    FILE* listing = output_open(listing_path.c_str());
    std::fputs("partial\n", listing);
    std::fflush(listing);
    char temp_path[OUTPUT_PATH_MAX];
    const int fd = output_create_temp(grid_path.c_str(), temp_path);
    if (fd < 0 || write(fd, "ncols", 5) != 5) std::abort();
  };
  EXPECT_EXIT(
      {
        fatal_set_throw(false);
        start_outputs();
        fatal(1, "error: stopped!\n");
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(files(), (std::vector<std::string>{"out.asc", "run.lst"}));
  EXPECT_EXIT(
      {
        start_outputs();
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(files(), (std::vector<std::string>{"out.asc", "run.lst"}));
  EXPECT_EQ(read_file(listing_path), "previous\n");
  EXPECT_EQ(read_file(grid_path), "previous grid\n");
}

}  // namespace
