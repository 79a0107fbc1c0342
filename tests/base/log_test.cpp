#include "base/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
