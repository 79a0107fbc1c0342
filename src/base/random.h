// The pseudo-random generator of a run. Each stage seeds its run's generator once when it starts,
// from the run's seed (given with --seed, or drawn by the driver from the system's entropy), and
// every draw of the stage comes from it; two runs with two generators never share a draw. The
// generator and the mapping of draws to indices are our own, so that a seeded run gives the same
// files on every platform and standard library.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>

/// PCG32 (O'Neill): 64-bit state, 32-bit output, fully specified.
struct Rng {
  uint64_t state = 0x853c49e6748fea9bULL;
  /// When above 0, the draws left before a draw stops the run (exit code 1): the pipeline fuzz
  /// target's bound, which ends a loop that would draw for ever. 0 is no bound.
  uint64_t draws_left = 0;
  bool draw_limit_reached = false;  ///< set when that bound stopped the run
};

/// Seeds the generator with an exact value.
void rand_seed(Rng& rng, uint64_t seed);

/// A seed drawn from the operating system's entropy.
uint64_t rand_entropy_seed();

/// The seed of a stage: the run's seed `fixed` when set, else a fresh entropy seed.
uint64_t rand_stage_seed(const std::optional<uint64_t>& fixed);

/// Ends the run when the bound of `draws_left` is reached (exit code 1).
[[noreturn]] void rand_limit_reached(Rng& rng);

/// The next 32 bits of the generator. Inline, as the draws below: a move makes several.
inline uint32_t rand_next(Rng& rng) {
  if (rng.draws_left != 0 && --rng.draws_left == 0) rand_limit_reached(rng);
  const uint64_t old = rng.state;
  rng.state = old * 6364136223846793005ULL + 0xda3e39cb94b95bdbULL;
  const uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
  const uint32_t rot = static_cast<uint32_t>(old >> 59u);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

/// One draw, uniform over 0..32767.
inline int32_t rand15(Rng& rng) {
  return static_cast<int32_t>(rand_next(rng) >> 17);
}

/// One uniform index over 0..n-1 at full resolution (n >= 1), whatever n is.
inline int32_t rand_index(Rng& rng, int32_t n) {
  if (n <= 1) return 0;
  // Lemire's multiply-and-reject: exactly uniform over 0..n-1 for every n.
  const uint32_t range = static_cast<uint32_t>(n);
  uint64_t product = static_cast<uint64_t>(rand_next(rng)) * range;
  uint32_t low = static_cast<uint32_t>(product);
  if (low < range) {
    const uint32_t threshold = (0u - range) % range;
    while (low < threshold) {
      product = static_cast<uint64_t>(rand_next(rng)) * range;
      low = static_cast<uint32_t>(product);
    }
  }
  return static_cast<int32_t>(product >> 32);
}

/// One uniform index over 0..n-1 (n >= 1) for counts that can pass 2^31, such as the cells of a
/// map: below 2^31 the very draws of rand_index, so that seeded runs do not change with the type.
inline int64_t rand_index64(Rng& rng, int64_t n) {
  if (n <= INT32_MAX) return rand_index(rng, static_cast<int32_t>(n));
  // 60 bits from two 30-bit draws, rejected above the largest multiple of n: exactly uniform.
  const uint64_t span = uint64_t{1} << 60;
  const uint64_t limit = span - span % static_cast<uint64_t>(n);
  for (;;) {
    const uint64_t x = (static_cast<uint64_t>(rand_index(rng, 1 << 30)) << 30) |
                       static_cast<uint64_t>(rand_index(rng, 1 << 30));
    if (x < limit) return static_cast<int64_t>(x % static_cast<uint64_t>(n));
  }
}

/// The step of rand_fraction's values, 2^-15: its smallest value above 0.
constexpr double RAND_FRACTION_STEP = 3.0517578125e-05;

/// A draw as a fraction r * 2^-15, for the probability tests (accept when p >= rand_fraction()).
inline double rand_fraction(Rng& rng) {
  return rand15(rng) * RAND_FRACTION_STEP;
}
