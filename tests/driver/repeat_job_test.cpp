// What the processes of a job send each other: every field of a run and of the best run's maps
// comes back as it left, and the runs are shared out round the processes.
#include "driver/repeat_job.h"

#include "test_support.h"

TEST(RepeatJobTest, RunRGoesToProcessRMinusOneModuloP) {
  const auto runs = [](int32_t repeats, Cluster cluster) {
    const RunSeries share = repeat_job_share(repeats, cluster);
    std::vector<int32_t> numbers;
    for (size_t i = 0; i < share.size(); ++i) numbers.push_back(share[i]);
    return numbers;
  };
  EXPECT_EQ(runs(8, Cluster{0, 3}), (std::vector<int32_t>{1, 4, 7}));
  EXPECT_EQ(runs(8, Cluster{2, 3}), (std::vector<int32_t>{3, 6}));
  EXPECT_EQ(runs(2, Cluster{2, 3}), (std::vector<int32_t>{}));
  EXPECT_EQ(runs(5, Cluster{0, 1}), (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

// Every field of a run as text, the doubles to the bit (NaN included).
static std::string fields(const RepeatRunResult& r) {
  std::string text = std::to_string(r.run) + " " + std::to_string(r.seed) + " " +
                     std::to_string(r.done) + " " + std::to_string(r.fatal_code) + " " + r.log;
  const auto add = [&](double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    text += " " + std::to_string(bits);
  };
  for (double v : {r.energy.energy, r.seconds, double(r.energy.cells), double(r.energy.islands)})
    add(v);
  for (const UseColumns& u : r.uses) {
    text += " " + u.name;
    for (double v : {u.energy.terms[4], u.energy.normalisers.range[1], u.measures.area}) add(v);
  }
  for (const PairColumns& p : r.pairs)
    for (double v : {p.sides, p.length, p.adjacency}) add(v);
  for (int t = 0; t < 5; ++t) {
    add(r.energy.terms[t]);
    add(r.energy.normalisers.range[t]);
    text += r.energy.normalisers.off[t] ? " off" : " on";
  }
  return text;
}

TEST(RepeatJobTest, RunsTravelWhole) {
  std::vector<RepeatRunResult> sent;
  for (int32_t k = 0; k < 2; ++k) {
    RepeatRunResult run;
    run.run = 3 + 3 * k, run.done = k == 1, run.fatal_code = k == 1 ? 0 : -6;
    run.seed = 0xfffffffffffffff0ULL + static_cast<uint64_t>(k);
    run.log = k == 1 ? std::string("run 6\nerror: x\0y!\n", 19) : "";
    run.energy.energy = k == 1 ? 1.25 : std::nan("");
    for (int t = 0; t < 5; ++t) {
      run.energy.terms[t] = 0.1 * (t + 1) + k;
      run.energy.normalisers.range[t] = t - 1.0;
      run.energy.normalisers.off[t] = t % 2 == k;
    }
    run.energy.cells = 640 + k;
    run.energy.islands = 7 - k;
    run.seconds = 12.5 + k;
    for (int u = 0; k == 1 && u < 2; ++u)  // several land uses: each use's columns travel too
      run.uses.push_back(
          {u ? "green" : "housing", run.energy, {300.0 * u, true, 0.0, 0, 0, 0.0, 0.0}});
    if (k == 1) run.pairs.push_back({6.0, 150.0, -0.25});
    sent.push_back(run);
  }
  const std::string bytes = repeat_job_pack_runs(sent);
  std::vector<RepeatRunResult> got;
  ASSERT_TRUE(repeat_job_unpack_runs(bytes, got));
  ASSERT_EQ(got.size(), 2u);
  for (size_t k = 0; k < 2; ++k) EXPECT_EQ(fields(got[k]), fields(sent[k])) << k;
  // A message cut short is refused, not read past its end.
  EXPECT_FALSE(repeat_job_unpack_runs(bytes.substr(0, bytes.size() - 1), got));
}

TEST(RepeatJobTest, BestMapsTravelWhole) {
  const RepeatMaps sent{{0.0f, 3.0f, -1.0f}, {}, {3.0f, 0.0f, -2.0f}, 3.0f};
  const std::string bytes = repeat_job_pack_maps(sent);
  RepeatMaps got;
  ASSERT_TRUE(repeat_job_unpack_maps(bytes, got));
  EXPECT_EQ(got.preprocess_output, sent.preprocess_output);
  EXPECT_EQ(got.process_output, sent.process_output);
  EXPECT_EQ(got.postprocess_output, sent.postprocess_output);
  EXPECT_EQ(got.working_cell_value, 3.0f);
  EXPECT_FALSE(repeat_job_unpack_maps(bytes + "x", got));
}
