#include <gtest/gtest.h>

#include "base/log.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  fatal_set_throw(true);
  return RUN_ALL_TESTS();
}
