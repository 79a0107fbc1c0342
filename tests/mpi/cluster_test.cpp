// The MPI layer in a real job: this program runs as every process of a job of three (see
// CMakeLists.txt); each process checks what it gets, and a failed check on any fails the job.
#include "driver/cluster.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

Cluster job;

TEST(ClusterTest, IsAJobOfSeveralProcesses) {
  ASSERT_TRUE(cluster_built_with_mpi());
  EXPECT_GE(job.size, 2);
  EXPECT_TRUE(job.rank >= 0 && job.rank < job.size);
}

TEST(ClusterTest, BroadcastGivesProcessZerosValue) {
  EXPECT_EQ(cluster_broadcast(job, 1000 + static_cast<uint64_t>(job.rank)), 1000u);
}

TEST(ClusterTest, AgreeSaysWhetherAllOrAnyHold) {
  const Agreement none = cluster_agree(job, false);
  EXPECT_FALSE(none.all);
  EXPECT_FALSE(none.any);
  const Agreement one = cluster_agree(job, job.rank == job.size - 1);
  EXPECT_FALSE(one.all);
  EXPECT_TRUE(one.any);
  const Agreement every = cluster_agree(job, true);
  EXPECT_TRUE(every.all);
  EXPECT_TRUE(every.any);
}

// Texts of different lengths, one empty, and one with a NUL inside travel whole and in order.
TEST(ClusterTest, GatherBringsEveryTextToProcessZeroInOrder) {
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

TEST(ClusterTest, FetchBringsOneProcesssTextToProcessZero) {
  for (int from = 0; from < job.size; ++from) {
    const std::string got = cluster_fetch(job, from, "maps of " + std::to_string(job.rank));
    EXPECT_EQ(got, job.rank == 0 ? "maps of " + std::to_string(from) : "");
  }
}

// Process 0 sends each other process its own text, as it hands out what a run fixes for all.
TEST(ClusterTest, SendReachesTheProcessThatReceives) {
  if (job.rank == 0) {
    for (int to = 1; to < job.size; ++to) cluster_send(to, "for " + std::to_string(to));
  } else {
    EXPECT_EQ(cluster_receive(0), "for " + std::to_string(job.rank));
  }
}

TEST(ClusterTest, SumAddsCountsCellByCellAtProcessZero) {
  const uint32_t rank = static_cast<uint32_t>(job.rank);
  std::vector<uint32_t> counts = {rank, 1, 0, 100 * rank};
  const std::vector<uint32_t> before = counts;
  cluster_sum(job, counts);
  const uint32_t p = static_cast<uint32_t>(job.size), ranks = p * (p - 1) / 2;
  if (job.rank == 0) {
    EXPECT_EQ(counts, (std::vector<uint32_t>{ranks, p, 0, 100 * ranks}));
  } else {
    EXPECT_EQ(counts, before);
  }
}

}  // namespace

int main(int argc, char** argv) {
  job = cluster_start(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  const int failed = RUN_ALL_TESTS();
  cluster_finish(job);
  return failed;
}
