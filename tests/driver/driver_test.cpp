#include "driver/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }

  static FatalResult run(std::vector<std::string> args) {
    args.insert(args.begin(), "landalloc");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return run_capturing([&] { driver_main(static_cast<int>(argv.size()), argv.data()); });
  }

  TempDir dir;
};

TEST_F(DriverTest, ConfigurationMayComeThroughAPipeButNotFromAFolder) {
  // Longer than the first read, so the text is put together from several.
  const std::string config = R"({"pad": ")" + std::string(100000, 'x') + R"(", "maps": 1})";
  const std::string fifo = dir.path("config.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A reader that stops early must fail this test, not kill it.
  std::signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    FILE* out = std::fopen(fifo.c_str(), "w");
    if (out == nullptr) return;
    std::fputs(config.c_str(), out);
    std::fclose(out);
  });
  const FatalResult piped = run({"--postprocess", fifo});
  writer.join();
  // The whole text arrived: the stage finds 'maps', which holds no 'potential-maps'.
  EXPECT_EQ(piped.code, 2);
  EXPECT_EQ(piped.log,
            "ALGORITHM\nPOSTPROCESS begin\ninit\n"
            "error: property 'maps.potential-maps' not found in config json file!\n");

  const FatalResult folder = run({"--postprocess", dir.dir()});
  EXPECT_FALSE(folder.fatal);
  EXPECT_EQ(folder.log, "error: unable to open filename '" + dir.dir() + "'!\n");
}

}  // namespace
