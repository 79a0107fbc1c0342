#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/random.h"
#include "process_fixture.h"

namespace {

// One row of six cells; the two allocated cells hold the two highest potentials, so with only the
// potential term weighted every move raises the energy (f1 from 0 by 0.125 or more). The other
// terms are printed in the listing: f2 is off (n = 2 gives f2_range 8 - 8 = 0), one island gives
// f3 0, f4 = (2 - 0.5) / (2 - 0) = 0.75 and f5 = (1.5 - 0.75) / (2 - 0.75) = 0.6.
void setup_uphill_row(const TempDir& dir) {
  process_setup(1, 6);
  const std::vector<float> solution = {0, 0, 0, 0, 2, 2};
  process_write_preprocess_output(dir, 1, 6, solution);
  set_map(1, {0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f});
  set_map(2, std::vector<float>(6, 1.0f));
  set_map(3, {1, 1, 0, 0, 0, 0.5f});
  set_map(4, {0.25f, 0.5f, 0.75f, 1, 0.5f, 1});
  process_load_solution(solution, 2.0f);
  process_set_weights(1, 0, 0, 0, 0);
  ProcessParameters& p = process_parameters;
  p.pinit = 0.5f;
  p.tinit = 1.0f;
  p.tnext = 0.9f;
  p.nmovs = 5;
  p.nstages = 3;
  p.kb = 1.0;
  rand_seed(7);
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(AnnealingTest, ManualModeReportsWithoutRetriesAndBoltzmannAcceptsAtFactorZero) {
  // A factor of 1e9 makes every uphill move fail its draw: no stage accepts anything, yet the
  // manual mode (no re-try budget) runs all three stages once.
  TempDir dir;
  setup_uphill_row(dir);
  annealing_state.effective_kb = 1e9;
  FatalResult run = run_capturing([] { run_annealing(0); });
  EXPECT_FALSE(run.fatal);
  EXPECT_EQ(count_of(run.log, "new try\n"), 1u);
  EXPECT_TRUE(ends_with(run.log,
                        "execution\n  stage: 0 1 2\n  initial 0.000000\n  final 0.000000\n"
                        "  minimal 0.000000\n  stats\n    0 accepts (0 by boltz prob)\n"
                        "    15 rejections\n"))
      << run.log;
  EXPECT_EQ(get_map(0), (std::vector<float>{0, 0, 0, 0, 2, 2}));

  // A factor of 0 gives p = 1: every move is kept, the uphill ones by the Boltzmann draw.
  setup_uphill_row(dir);
  annealing_state.effective_kb = 0.0;
  run = run_capturing([] { run_annealing(0); });
  EXPECT_NE(run.log.find("    0 rejections\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("    15 accepts ("), std::string::npos) << run.log;
  EXPECT_EQ(run.log.find("(0 by boltz prob)"), std::string::npos) << run.log;

  // No stage at all: the report shows the reloaded map's energy three times and no counts.
  setup_uphill_row(dir);
  process_parameters.nstages = 0;
  run = run_capturing([] { run_annealing(0); });
  EXPECT_TRUE(ends_with(run.log,
                        "execution\n  stage:\n  initial 0.000000\n  final 0.000000\n"
                        "  minimal 0.000000\n  stats\n    0 accepts (0 by boltz prob)\n"
                        "    0 rejections\n"))
      << run.log;
}

TEST(AnnealingTest, CollapsedAcceptanceRetriesWithSlowerCoolingUntilTheBudgetIsSpent) {
  TempDir dir;
  setup_uphill_row(dir);
  annealing_state.effective_kb = 1e9;
  process_parameters.nstages = 10;
  FatalResult run = run_capturing([] { run_annealing(4); });
  EXPECT_FALSE(run.fatal);
  // Four aborts in stage 0, each a tenth of the way closer to 1; the fifth try runs to the end.
  EXPECT_EQ(count_of(run.log, "new try\n"), 5u);
  EXPECT_EQ(count_of(run.log, "  stage: 0\n  acceptance values too low!\n  processing...\n"), 4u);
  EXPECT_NE(run.log.find("    tnext 0.910000\n"), std::string::npos);
  EXPECT_NE(run.log.find("    tnext 0.919000\n"), std::string::npos);
  EXPECT_NE(run.log.find("    tnext 0.927100\n"), std::string::npos);
  EXPECT_NE(run.log.find("    tnext 0.934390\n"), std::string::npos);
  EXPECT_NE(run.log.find("  stage: 0 1 2 3 4 5 6 7 8 9\n  initial"), std::string::npos);

  // A cooling factor of 1 cannot be raised.
  setup_uphill_row(dir);
  annealing_state.effective_kb = 1e9;
  process_parameters.tnext = 1.0f;
  run = run_capturing([] { run_annealing(4); });
  EXPECT_TRUE(run.fatal);
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(ends_with(run.log, "    tnext 1.000000\n** error fatal con el reescalado!\n"))
      << run.log;
}

TEST(AnnealingTest, EvolutionListingKeepsTheAbortedTryAndRestartsItsStages) {
  TempDir dir;
  setup_uphill_row(dir);
  annealing_state.effective_kb = 1e9;
  FILE* listing = std::fopen(dir.path("run.lst").c_str(), "w");
  ASSERT_NE(listing, nullptr);
  annealing_state.evolution_file = listing;
  FatalResult run = run_capturing([] { run_annealing(1); });
  std::fclose(listing);
  annealing_state.evolution_file = nullptr;
  EXPECT_FALSE(run.fatal);
  EXPECT_EQ(dir.read("run.lst"),
            "0 1.000000 0.000000 0.00 0.00 0.000000 0.000000 0.000000 0.750000 0.600000\n"
            "0 1.000000 0.000000 0.00 0.00 0.000000 0.000000 0.000000 0.750000 0.600000\n"
            "1 0.910000 0.000000 0.00 0.00 0.000000 0.000000 0.000000 0.750000 0.600000\n"
            "2 0.828100 0.000000 0.00 0.00 0.000000 0.000000 0.000000 0.750000 0.600000\n");
}

TEST(AnnealingTest, AutotunedFactorFromTheRejectedDifferences) {
  process_reset_state();
  process_parameters.pinit = 0.5f;
  process_parameters.tinit = 1.0f;
  process_parameters.kb = 3.0;
  // Differences -0.005 and -0.015: m = 0.01, k = |ln 0.5 * 1 / 0.01|.
  char printed[32];
  std::snprintf(printed, sizeof(printed), "%f", autotune_factor(0.005 + 0.015, 2));
  EXPECT_STREQ(printed, "69.314718");

  // With every weight 0 no move is ever rejected: the configured kb stays, with a warning.
  TempDir dir;
  setup_uphill_row(dir);
  process_set_weights(0, 0, 0, 0, 0);
  FatalResult run = run_capturing([] { autotune_kb(); });
  EXPECT_FALSE(run.fatal);
  EXPECT_EQ(process_parameters.nmovs, 12);
  EXPECT_EQ(annealing_state.effective_kb, 1.0);
  EXPECT_TRUE(ends_with(run.log,
                        "  stage: 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 "
                        "18 19\n! no move rejected in the last dry-run stage: kb 1.000000 kept\n"
                        "changes\n  nmovs 12\n  kb 1.000000\n"))
      << run.log;
}
