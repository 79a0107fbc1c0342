#include "driver/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

FatalResult run_postprocess(std::string config) {
  std::string name = "landalloc", flag = "--postprocess";
  char* argv[] = {name.data(), flag.data(), config.data()};
  return run_capturing([&] { driver_main(3, argv); });
}

TEST(DriverTest, ConfigurationMayComeThroughAPipeButNotFromAFolder) {
  reset_process_state();
  TempDir dir;
  // Longer than the first read, so the text is put together from several.
  const std::string config = R"({"pad": ")" + std::string(100000, 'x') + R"(", "maps": 1})";
  const std::string fifo = dir.path("config.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must fail this test, not kill it
  std::thread writer([&] {
    if (FILE* out = std::fopen(fifo.c_str(), "w")) {
      std::fputs(config.c_str(), out);
      std::fclose(out);
    }
  });
  const FatalResult piped = run_postprocess(fifo);
  writer.join();
  // The whole text arrived: the stage finds 'maps', which holds no 'potential-maps'.
  EXPECT_EQ(piped.log,
            "ALGORITHM\nPOSTPROCESS begin\ninit\n"
            "error: property 'maps.potential-maps' not found in config json file!\n");
  EXPECT_EQ(run_postprocess(dir.dir()).log,
            "error: unable to open filename '" + dir.dir() + "'!\n");
  reset_process_state();
}

}  // namespace
