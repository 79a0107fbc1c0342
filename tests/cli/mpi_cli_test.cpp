// The program as an MPI job: the files and the log of a job of several processes are those of one
// process with the same seed, and a process that fails ends the job with its message and code.

#include "cli/cli_support.h"

namespace {

#ifdef LANDALLOC_MPIEXEC

// Five repeats on two processes and three on three give the files and the log of one process:
// with --seed=5 the best run is run 2, which process 1 runs, so its maps travel; without --seed,
// process 0 draws the seed and shares it, and one process replays it with that seed. With one run
// each, process 0 hands the normalisers of run 1 on as soon as that run ends; a sweep of two
// values runs each value's repeats so, and its table, picture and recommendation are the same.
TEST(MpiCliTest, JobWritesWhatOneProcessWrites) {
  for (const int processes : {2, 3}) {
    CliDir job_dir, one_dir;
    write_short_example(job_dir);
    write_short_example(one_dir);
    std::vector<std::string> args = {processes == 2 ? "--repeats=5" : "--repeats=3", "--threads=2",
                                     "config.json"};
    if (processes == 3) args.insert(args.begin(), "--sweep=process.functions-weight[1]=0,4");
    if (processes == 2) args.insert(args.begin(), "--seed=5");
    const RunResult job =
        run_landalloc_job(std::vector<std::vector<std::string>>(processes, args), job_dir.dir());
    ASSERT_EQ(job.code, 0) << job.out << job.err;
    const size_t at = job.out.find("seed ");  // "seed N (repeat this run with --seed=N)"
    ASSERT_NE(at, std::string::npos) << job.out;
    const std::string seed = job.out.substr(at + 5, job.out.find(' ', at + 5) - at - 5);
    if (processes == 2) {
      EXPECT_NE(job.out.find("best run 2 of 5"), std::string::npos) << job.out;
    } else {
      args.insert(args.begin(), "--seed=" + seed);
    }
    const RunResult one = run_landalloc(args, one_dir.dir());
    ASSERT_EQ(one.code, 0) << one.out;
    EXPECT_TRUE(job.out == one.out) << processes << " processes:\n" << job.out;
    EXPECT_TRUE(files_under(job_dir) == files_under(one_dir)) << processes << " processes";
  }
}

// Process 1 alone is given a configuration that fails (MPMD: its own arguments); process 0's is
// sound. The job ends with process 1's message and exit code instead of waiting for it.
TEST(MpiCliTest, AFailingProcessEndsTheJobWithItsMessageAndCode) {
  const std::tuple<const char*, const char*, int, const char*> cases[] = {
      {"\"a.asc\"", "\"absent.asc\"", 1, "error: unable to open file 'absent.asc'!\n"},
      {"\"pinit\": 0.5, ", "", 2, "error: property 'process.pinit' not found"},
  };
  for (const auto& [from, to, code, message] : cases) {
    CliDir dir;
    write_small_configuration(dir);
    dir.write("broken.json", replaced(dir.read("small.json"), from, to));
    const RunResult r = run_landalloc_job(
        {{"--repeats=4", "small.json"}, {"--repeats=4", "broken.json"}}, dir.dir());
    EXPECT_EQ(r.code, code) << r.out << r.err;
    EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
  }
}

#else

TEST(MpiCliTest, SkippedWithoutMpi) {
  GTEST_SKIP() << "built without MPI: configure with -DLANDALLOC_MPI=ON (make mpi) to run the "
                  "tests of an MPI job";
}

#endif

}  // namespace
