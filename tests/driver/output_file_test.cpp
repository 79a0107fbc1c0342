#include "driver/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "raster/grid.h"
#include "test_support.h"

namespace {

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  // How many files the folder holds, so that no temporary file goes unnoticed.
  long files() const {
    using std::filesystem::directory_iterator;
    return std::distance(directory_iterator(dir.dir()), directory_iterator());
  }

  TempDir dir;
};

TEST_F(OutputFileTest, ReaderPollingARewrittenGridSeesOnlyWholeFiles) {
  // Each text is several write buffers long, so a file rewritten in place would be seen cut.
  setup_grid(200, 300, 2);
  set_map(0, std::vector<float>(grid_cell_count(), 1.5f));
  set_map(1, std::vector<float>(grid_cell_count(), 2.25f));
  const std::string path = dir.path("out.asc");
  LogCapture quiet;
  grid_write(path.c_str(), 1);
  const std::string second = read_file(path);
  grid_write(path.c_str(), 0);
  const std::string first = read_file(path);
  std::atomic<bool> done{false};
  int torn = 0;
  std::thread reader([&] {
    for (std::string seen; !done.load(); torn += seen != first && seen != second)
      seen = read_file(path);
  });
  for (int i = 0; i < 12; ++i) grid_write(path.c_str(), i % 2);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(files(), 1);
}

TEST_F(OutputFileTest, UnfinishedOrEndedOutputsLeaveThePreviousFilesAndNoTemporaryFile) {
  const std::string listing_path = dir.write("run.lst", "previous\n");
  const std::string grid_path = dir.write("out.asc", "previous grid\n");
  chmod(listing_path.c_str(), 0640);
  FILE* listing = output_open(listing_path.c_str());
  std::fputs("partial", listing);
  std::fflush(listing);
  EXPECT_EQ(read_file(listing_path), "previous\n");
  output_discard(listing);
  // A listing and a grid being written when a fatal error or an interrupt ends the process.
  const auto start_outputs = [&] {
    std::fputs("partial\n", output_open(listing_path.c_str()));
    char temp_path[OUTPUT_PATH_MAX];
    const int fd = output_create_temp(grid_path.c_str(), temp_path);
    if (fd < 0 || write(fd, "ncols", 5) != 5) std::abort();
  };
  EXPECT_EXIT((fatal_set_throw(false), start_outputs(), fatal(1, "error: stopped!\n")),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT((start_outputs(), std::raise(SIGTERM)), ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(files(), 2);
  EXPECT_EQ(read_file(grid_path), "previous grid\n");
  listing = output_open(listing_path.c_str());
  std::fputs("# header\n", listing);
  EXPECT_TRUE(output_close(listing));
  EXPECT_EQ(read_file(listing_path), "# header\n");
  EXPECT_EQ(files(), 2);
  // The new file keeps the permissions of the one it replaced.
  struct stat info;
  ASSERT_EQ(stat(listing_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

}  // namespace
