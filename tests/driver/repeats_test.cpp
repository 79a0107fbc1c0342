// A set of repeats in one process, as a process of an MPI job runs its share of them.
#include "driver/repeats.h"

#include "scenario/loaders.h"
#include "test_support.h"

// A set without run 1 asks for the normalisers once, from the first run that needs them, while
// the others wait; every run compares by them.
TEST(RepeatsTest, ASetWithoutRunOneTakesTheNormalisersItIsGiven) {
  TempDir dir;
  const std::string pot =
      dir.write("pot.asc", grid_text(3, 4, {1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6}));
  const std::string pre =
      dir.write("pre.asc", grid_text(3, 4, {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0}));
  const std::string process =
      "'functions-weight': [1, 1, 1, 1, 1], 'pinit': 0.5, 'tinit': 1, 'tnext': 0.9, 'nmovs': 10, "
      "'nstages': 2, 'kb': 5, 'random-select': 'no', 'distance-masks': [], 'debug-maps': 'no', "
      "'debug-evolution': 'no', 'autotunning': 'no', 'output': 'p.asc', 'distance-maps': ['";
  const Scenario scenario = scenario_of(json("{'maps': {'potential-maps': [['" + pot +
                                             "']], 'potential-maps-weight': [[1]]}, "
                                             "'preprocess': {'output': '" +
                                             pre + "'}, 'process': {" + process + pot + "']}}"));
  LogCapture quiet;
  RepeatShared shared;
  maps_init_geometry(scenario.config, shared.geometry);
  process_build_inputs(scenario.config, shared.geometry, shared.process);
  RepeatOptions options;
  options.stages.process = true, options.repeats = 4, options.threads = 3, options.first_seed = 9;
  Normalisers given;
  for (int t = 0; t < 5; ++t) given.range[t] = 10.0 + t;
  int asked = 0;
  std::vector<RepeatRunResult> runs;
  run_repeat_set(
      scenario, shared, options, {2, 1, 3},
      [&] { return ++asked, std::vector<Normalisers>{given}; },
      [&](RepeatRunResult& run) { runs.push_back(run); });
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(runs.size(), 3u);
  for (const RepeatRunResult& run : runs) {
    EXPECT_TRUE(run.done) << run.log;
    const double* range = run.energy.normalisers.range;
    EXPECT_EQ(std::vector<double>(range, range + 5),
              std::vector<double>(given.range, given.range + 5));
  }
}
