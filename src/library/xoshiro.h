// The generator behind std/random: xoshiro256** (Blackman and Vigna), whose
// four state words are filled from a 64-bit seed by splitmix64, the seeding
// its authors recommend. Kept apart so that tests can check known outputs.
#pragma once

#include <cstdint>

struct Xoshiro256 {
    uint64_t s[4];
};

// Advances the splitmix64 state and returns its next output.
constexpr uint64_t splitmix64_next(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr uint64_t xoshiro_rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

constexpr uint64_t xoshiro_next(Xoshiro256* g) {
    uint64_t* s = g->s;
    const uint64_t result = xoshiro_rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = xoshiro_rotl(s[3], 45);
    return result;
}

// Splitmix64 never gives four zero words, the one state xoshiro cannot leave.
constexpr void xoshiro_seed(Xoshiro256* g, uint64_t seed) {
    uint64_t state = seed;
    for (uint64_t& word : g->s) word = splitmix64_next(&state);
}
