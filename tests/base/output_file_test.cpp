#include "base/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "grid_checks.h"
#include "raster/grid.h"
#include "test_support.h"

TEST(OutputFileTest, EndedOrUnfinishedOutputsLeaveThePreviousFilesWhole) {
  TempDir dir;
  const std::string listing_path = dir.write("run.lst", "previous\n");
  const std::string grid_path = dir.write("out.asc", "previous grid\n");
  chmod(listing_path.c_str(), 0640);
  char temp_path[OUTPUT_PATH_MAX];
  const auto start_outputs = [&] {
    std::fputs("partial\n", output_open(listing_path.c_str()));
    const int fd = output_create_temp(grid_path.c_str(), temp_path);
    if (fd < 0 || write(fd, "ncols", 5) != 5) std::abort();
  };
  EXPECT_EXIT((fatal_set_throw(false), start_outputs(), fatal(1, "error: stopped!\n")),
              ::testing::ExitedWithCode(1), "");
  EXPECT_EXIT((start_outputs(), std::raise(SIGTERM)), ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(read_file(listing_path) + read_file(grid_path), "previous\nprevious grid\n");
  // A finished file replaces the old one whole, with its permissions: a hard link keeps the old
  // text, no temporary file is left.
  FILE* listing = output_open(listing_path.c_str());
  std::fputs("# header\n", listing);
  EXPECT_TRUE(output_close(listing));
  const MapBlock maps = make_maps(1, 1, 1);
  ASSERT_EQ(link(grid_path.c_str(), dir.path("link").c_str()), 0);
  run_capturing([&] { grid_write(grid_path.c_str(), maps, 0); });
  EXPECT_EQ(read_file(listing_path) + dir.read("link"), "# header\nprevious grid\n");
  EXPECT_NE(read_file(grid_path), "previous grid\n");
  EXPECT_EQ(file_names(dir.dir()), (std::vector<std::string>{"link", "out.asc", "run.lst"}));
  // A target whose temporary name cannot be formed, or a link that leads back to itself, gets no
  // file.
  EXPECT_EQ(output_create_temp(dir.path(std::string(OUTPUT_PATH_MAX, 'x')).c_str(), temp_path), -1);
  ASSERT_EQ(symlink("loop", dir.path("loop").c_str()), 0);
  errno = 0;
  EXPECT_EQ(output_create_temp(dir.path("loop").c_str(), temp_path), -1);
  EXPECT_EQ(errno, ELOOP);
  struct stat info;
  ASSERT_EQ(stat(listing_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Where the file system allows a file without a name, a stream being written has none: even a
// kill -9 leaves no file beside the outputs, and a complete one takes its name, new or not.
TEST(OutputFileTest, AStreamIsWrittenWithoutANameUntilComplete) {
  TempDir dir;
  const int probe = open(dir.dir().c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (probe < 0) GTEST_SKIP() << "no O_TMPFILE here";
  close(probe);
  dir.write("old.lst", "previous\n");
  const auto start = [&] {
    for (const char* name : {"old.lst", "new.lst"})
      std::fputs("partial\n", output_open(dir.path(name).c_str()));
  };
  EXPECT_EXIT((start(), std::raise(SIGKILL)), ::testing::KilledBySignal(SIGKILL), "");
  EXPECT_EQ(file_names(dir.dir()), std::vector<std::string>{"old.lst"});
  FILE* streams[] = {output_open(dir.path("old.lst").c_str()),
                     output_open(dir.path("new.lst").c_str())};
  for (FILE* stream : streams) std::fputs("complete\n", stream);
  EXPECT_EQ(file_names(dir.dir()), std::vector<std::string>{"old.lst"});
  for (FILE* stream : streams) EXPECT_TRUE(output_close(stream));
  EXPECT_EQ(dir.read("old.lst") + dir.read("new.lst"), "complete\ncomplete\n");
  EXPECT_EQ(file_names(dir.dir()), (std::vector<std::string>{"new.lst", "old.lst"}));
}

// A symbolic link stays a link, its target taking the grid; a FIFO stays a FIFO, its reader
// getting the grid; nothing else is left.
TEST(OutputFileTest, LinksAndSpecialFilesAreWrittenThroughNotReplaced) {
  TempDir dir;
  dir.write("out.asc", "previous grid\n");
  ASSERT_EQ(symlink("out.asc", dir.path("alias").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  // Opened without waiting for a writer; the grid is smaller than the pipe's buffer.
  const int reader = open(dir.path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const MapBlock maps = make_maps(1, 2, 1);
  const FatalResult r = run_capturing([&] {
    grid_write(dir.path("alias").c_str(), maps, 0);
    grid_write(dir.path("fifo").c_str(), maps, 0);
  });
  EXPECT_FALSE(r.fatal) << r.log;
  char buffer[256];
  const ssize_t got = read(reader, buffer, sizeof buffer);
  close(reader);
  const std::string from_fifo(buffer, got > 0 ? static_cast<size_t>(got) : 0);
  EXPECT_TRUE(from_fifo.rfind("ncols", 0) == 0 && ends_with(from_fifo, "\n0 0\n")) << from_fifo;
  EXPECT_EQ(dir.read("out.asc"), from_fifo);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path("alias")) &&
              std::filesystem::is_fifo(dir.path("fifo")));
  EXPECT_EQ(file_names(dir.dir()), (std::vector<std::string>{"alias", "fifo", "out.asc"}));
}
