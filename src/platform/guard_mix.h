// Folds the sources of the stack guard into one value in which every bit
// depends on every bit of every source. Portable, so native tests can check it.
#pragma once

#include <cstddef>
#include <cstdint>

// The clock, the counter, the process id and a stack address each vary in a
// few low bits only: XOR alone would leave the top byte nearly fixed. Each
// source is folded in with a multiply, and the result finished with
// MurmurHash3's mixer.
inline uint32_t mixGuardSources(const uint32_t* sources, size_t count) {
    uint32_t mixed = 0x9E3779B9u;
    for (size_t i = 0; i < count; ++i) mixed = (mixed ^ sources[i]) * 0x01000193u + (mixed >> 15);
    mixed ^= mixed >> 16;
    mixed *= 0x85EBCA6Bu;
    mixed ^= mixed >> 13;
    mixed *= 0xC2B2AE35u;
    mixed ^= mixed >> 16;
    return mixed;
}
