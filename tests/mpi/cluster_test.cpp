// The MPI layer in a real job: this program runs as every process of a job of three (see
// CMakeLists.txt); each process checks what it gets, and a failed check on any fails the job. The
// job's other calls (broadcast, agree, fetch, send, sum) are checked whole by the command-line job
// tests, whose files must be one process's; here what those runs never send: empty texts, NULs.
#include "driver/cluster.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

static Cluster job;

// Texts of different lengths, one empty, and one with a NUL inside travel whole and in order.
TEST(ClusterTest, GatherBringsEveryTextToProcessZeroInOrder) {
  ASSERT_TRUE(cluster_built_with_mpi() && job.size >= 2);
  const auto text = [](int r) {  // process r's
    std::string t = r == 1 ? std::string() : std::string(r * 3000 + 1, 'a' + r);
    if (r == 2) t[5] = '\0';
    return t;
  };
  const std::vector<std::string> all = cluster_gather(job, text(job.rank));
  EXPECT_EQ(all.size(), job.rank == 0 ? static_cast<size_t>(job.size) : 0u);
  for (size_t r = 0; r < all.size(); ++r) EXPECT_EQ(all[r], text(int(r))) << "process " << r;
}

int main(int argc, char** argv) {
  job = cluster_start(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  cluster_finish(job);
  return failed;
}
