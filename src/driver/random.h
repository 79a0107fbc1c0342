// The one pseudo-random generator of the process. Each stage seeds it once when it starts, from
// the run's seed (given with --seed, or drawn by the driver from the system's entropy), and every
// draw of the stage comes from it. The generator and the mapping of draws to indices are our own,
// so that a seeded run gives the same files on every platform and standard library.
#pragma once

#include <cstdint>

/// Seeds the generator with an exact value.
void rand_seed(uint64_t seed);

/// Makes every later stage seed with `seed` (the run's seed).
void rand_set_fixed_seed(uint64_t seed);

/// Forgets a fixed seed: stages draw a seed from the system's entropy again.
void rand_clear_fixed_seed();

/// A seed drawn from the operating system's entropy.
uint64_t rand_entropy_seed();

/// Seeds once at the start of a stage: the fixed seed when one was set, else a fresh entropy seed.
void rand_seed_stage();

/// One draw, uniform over 0..32767.
int32_t rand15();

/// One uniform index over 0..n-1 at full resolution (n >= 1), whatever n is.
int32_t rand_index(int32_t n);

/// A draw as a fraction r * 2^-15, for the probability tests (accept when p >= rand_fraction()).
inline double rand_fraction() {
  return rand15() * 3.0517578125e-05;
}
