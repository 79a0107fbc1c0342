#include "base/log.h"

#include <chrono>

#include "test_support.h"

// The progress line's clock: minutes and seconds below an hour, hours from the hour on, for the
// time elapsed and for the time left (here as long again as the half done took).
TEST(LogTest, ProgressClockShowsHoursFromTheHourOn) {
  for (const auto& [seconds, clock] : {std::pair<double, std::string>{59.4, "0:59"},
                                       {3599.4, "59:59"},
                                       {3600.0, "1:00:00"},
                                       {36000.0 + 61, "10:01:01"}}) {
    Progress progress = progress_begin(0.0);
    progress.start -= std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
    testing::internal::CaptureStderr();  // before the line looks for a terminal
    progress_enable(true);
    progress_update(progress, 1, 2, "work");
    progress_end(progress);
    progress_end(progress);  // a line already taken away leaves nothing more to take
    progress_enable(false);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\rwork, " + clock + " elapsed, about " + clock + " left\n");
  }
}

// An error that ends a run starts on a line of its own, also when it cuts a line of figures short,
// and a copy of the log gets the same lines; an error after a whole line adds no empty one.
TEST(LogTest, AnErrorStartsOnALineOfItsOwn) {
  std::string copy;
  const FatalResult r = run_capturing([&] {
    LogCopy into(copy);
    log_message("  stage:");
    log_message(" 0 1");
    fatal(1, "error: no free cell can receive a move!\n");
  });
  EXPECT_EQ(r.log, "  stage: 0 1\nerror: no free cell can receive a move!\n");
  EXPECT_EQ(copy, r.log);
  const FatalResult printed = run_capturing([] {
    log_message("  kb");
    log_message("error: property 'kb' out of range!\n");
    fatal(1, "error: second\n");
  });
  EXPECT_EQ(printed.log, "  kb\nerror: property 'kb' out of range!\nerror: second\n");
}
