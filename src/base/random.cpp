#include "base/random.h"

#include <random>

#include "base/log.h"

namespace {

const uint64_t PCG_INCREMENT = 0xda3e39cb94b95bdbULL;

uint32_t pcg_next(Rng& rng) {
  if (rng.draws_left != 0 && --rng.draws_left == 0) {
    rng.draw_limit_reached = true;
    fatal(1, "error: draw limit reached!\n");
  }
  uint64_t old = rng.state;
  rng.state = old * 6364136223846793005ULL + PCG_INCREMENT;
  uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
  uint32_t rot = static_cast<uint32_t>(old >> 59u);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

}  // namespace

void rand_seed(Rng& rng, uint64_t seed) {
  rng.state = 0;
  pcg_next(rng);
  rng.state += seed;
  pcg_next(rng);
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

int32_t rand15(Rng& rng) {
  return static_cast<int32_t>(pcg_next(rng) >> 17);
}

int32_t rand_index(Rng& rng, int32_t n) {
  if (n <= 1) return 0;
  // Lemire's multiply-and-reject: exactly uniform over 0..n-1 for every n.
  const uint32_t range = static_cast<uint32_t>(n);
  uint64_t product = static_cast<uint64_t>(pcg_next(rng)) * range;
  uint32_t low = static_cast<uint32_t>(product);
  if (low < range) {
    const uint32_t threshold = (0u - range) % range;
    while (low < threshold) {
      product = static_cast<uint64_t>(pcg_next(rng)) * range;
      low = static_cast<uint32_t>(product);
    }
  }
  return static_cast<int32_t>(product >> 32);
}
