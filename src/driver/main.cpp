#include "base/big_block.h"
#include "base/output_file.h"
#include "driver/cluster.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
  block_fix_heap_threshold();
  output_prepare_process();
  const Cluster cluster = cluster_start(&argc, &argv);
  const int code = driver_main(argc, argv, cluster);
  cluster_finish(cluster);
  return code;
}
