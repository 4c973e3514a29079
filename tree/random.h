// The one shared pseudo-random generator that serves every random choice of the nodes.
//
// Linear congruential: state := state × 214013 + 2531011 (mod 2^32); a draw is bits 16..30 of
// the new state, 0 to 32767. Seeded once at start-up with the current time; the command line can
// seed it for repeatable output. Used on the user-interface thread only.
#pragma once

#include <cstdint>

constexpr int kRandMax = 32767;

void SeedRandom(uint32_t seed);
// The next number 0..32767.
int NextRandom();
uint32_t RandomState();
