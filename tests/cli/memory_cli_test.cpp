#include <gtest/gtest.h>

#include "cli/cli_support.h"

namespace {

TEST(MemoryCliTest, GridTooLargeForTheMachineEndsWithNotEnoughMemory) {
#ifdef LANDALLOC_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes cannot start under a small address-space limit";
#endif
  CliDir dir;
  // 10000 x 10000 cells: the five maps of the stage need 2 GB, far above the 128 MiB allowed.
  dir.write("big.asc", "ncols 10000\nnrows 10000\nxllcorner 0\nyllcorner 0\ncellsize 1\n");
  dir.write("run.json", R"({"maps": {"potential-maps": [["big.asc"]]}})");
  const RunResult r = run_landalloc_limited({"--postprocess", "run.json"}, dir.dir(), 128 * 1024);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out,
            "ALGORITHM\nPOSTPROCESS begin\ninit\n* init geo using 'big.asc'\n"
            "* allocate 5 memory maps\nerror: not enough memory!\n");
}

}  // namespace
