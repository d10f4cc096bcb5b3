// Fast, non-cryptographic pseudo-random numbers (for choices such as picking a
// group at random; never for keys or nonces).
#pragma once

#include <cstdint>

// Advances *state and returns 32 random bits. Any seed is valid (PCG-XSH-RR).
uint32_t Random_Fast(uint64_t *state);
