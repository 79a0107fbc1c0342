#include "base/output_file.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
  output_prepare_process();
  return driver_main(argc, argv);
}
