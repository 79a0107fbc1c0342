#include "process/process_stage.h"

#include <gtest/gtest.h>

TEST(ProcessStageTest, SelectionQuantisesThePotentialInFifths) {
  // Steps of 0.2 from 0.2 up; 1.0 and the cells without data keep their value.
  const float potentials[] = {0.0f, 0.19f, 0.5f, 0.99f, 1.0f, -1.0f, 1.3f, -2.0f};
  const float expected[] = {0.2f, 0.2f, 0.6f, 1.0f, 1.0f, -1.0f, 1.4f, -2.0f};
  for (size_t i = 0; i < sizeof(potentials) / sizeof(potentials[0]); ++i) {
    EXPECT_EQ(selection_quantise(potentials[i]), expected[i]) << potentials[i];
  }
}
