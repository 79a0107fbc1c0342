#include "base/output_file.h"
#include "driver/cluster.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
  output_prepare_process();
  const Cluster cluster = cluster_start(&argc, &argv);
  const int code = driver_main(argc, argv, cluster);
  cluster_finish(cluster);
  return code;
}
