#include "base/random.h"

#include <random>

#include "base/log.h"

void rand_limit_reached(Rng& rng) {
  rng.draw_limit_reached = true;
  fatal(1, "error: draw limit reached!\n");
}

void rand_seed(Rng& rng, uint64_t seed) {
  rng.state = 0;
  rand_next(rng);
  rng.state += seed;
  rand_next(rng);
}

uint64_t rand_entropy_seed() {
  // The operating system's entropy, not the clock: two runs started in the same second differ.
  std::random_device device;
  const uint64_t high = device();
  return high << 32 | device();
}

uint64_t rand_stage_seed(const std::optional<uint64_t>& fixed) {
  return fixed ? *fixed : rand_entropy_seed();
}
