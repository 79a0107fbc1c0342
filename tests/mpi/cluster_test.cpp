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
  std::string mine =
      job.rank == 1 ? std::string() : std::string(job.rank * 3000 + 1, 'a' + job.rank);
  if (job.rank == 2) mine[5] = '\0';
  const std::vector<std::string> all = cluster_gather(job, mine);
  if (job.rank != 0) {
    EXPECT_TRUE(all.empty());
    return;
  }
  ASSERT_EQ(all.size(), static_cast<size_t>(job.size));
  for (int r = 0; r < job.size; ++r) {
    std::string expected = r == 1 ? std::string() : std::string(r * 3000 + 1, 'a' + r);
    if (r == 2) expected[5] = '\0';
    EXPECT_EQ(all[r], expected) << "process " << r;
  }
}

int main(int argc, char** argv) {
  job = cluster_start(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  cluster_finish(job);
  return failed;
}
