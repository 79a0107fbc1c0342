#include "driver/random.h"

#include <random>

// PCG32 (O'Neill): 64-bit state, 32-bit output, fully specified, so a seed gives the same sequence
// with every compiler and library.
static uint64_t pcg_state = 0x853c49e6748fea9bULL;
static const uint64_t PCG_INCREMENT = 0xda3e39cb94b95bdbULL;
static bool has_fixed_seed = false;
static uint64_t fixed_seed = 0;

static uint32_t pcg_next() {
  uint64_t old = pcg_state;
  pcg_state = old * 6364136223846793005ULL + PCG_INCREMENT;
  uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
  uint32_t rot = static_cast<uint32_t>(old >> 59u);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

void rand_seed(uint64_t seed) {
  pcg_state = 0;
  pcg_next();
  pcg_state += seed;
  pcg_next();
}

void rand_set_fixed_seed(uint64_t seed) {
  has_fixed_seed = true;
  fixed_seed = seed;
}

void rand_clear_fixed_seed() {
  has_fixed_seed = false;
}

uint64_t rand_entropy_seed() {
  // The operating system's entropy, not the clock: two runs started in the same second differ.
  std::random_device device;
  const uint64_t high = device();
  return high << 32 | device();
}

void rand_seed_stage() {
  rand_seed(has_fixed_seed ? fixed_seed : rand_entropy_seed());
}

int32_t rand15() {
  return static_cast<int32_t>(pcg_next() >> 17);
}

int32_t rand_index(int32_t n) {
  if (n <= 1) return 0;
  // Lemire's multiply-and-reject: exactly uniform over 0..n-1 for every n.
  const uint32_t range = static_cast<uint32_t>(n);
  uint64_t product = static_cast<uint64_t>(pcg_next()) * range;
  uint32_t low = static_cast<uint32_t>(product);
  if (low < range) {
    const uint32_t threshold = (0u - range) % range;
    while (low < threshold) {
      product = static_cast<uint64_t>(pcg_next()) * range;
      low = static_cast<uint32_t>(product);
    }
  }
  return static_cast<int32_t>(product >> 32);
}
