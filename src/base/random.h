// The pseudo-random generator of a run. Each stage seeds its run's generator once when it starts,
// from the run's seed (given with --seed, or drawn by the driver from the system's entropy), and
// every draw of the stage comes from it; two runs with two generators never share a draw. The
// generator and the mapping of draws to indices are our own, so that a seeded run gives the same
// files on every platform and standard library.
#pragma once

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

/// One draw, uniform over 0..32767.
int32_t rand15(Rng& rng);

/// One uniform index over 0..n-1 at full resolution (n >= 1), whatever n is.
int32_t rand_index(Rng& rng, int32_t n);

/// A draw as a fraction r * 2^-15, for the probability tests (accept when p >= rand_fraction()).
inline double rand_fraction(Rng& rng) {
  return rand15(rng) * 3.0517578125e-05;
}
