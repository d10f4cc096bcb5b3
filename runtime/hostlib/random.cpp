#include "runtime/hostlib/random.h"

uint32_t Random_Fast(uint64_t *state)
{
   uint64_t old = *state;
   *state = old * 6364136223846793005ULL + 1442695040888963407ULL;
   auto xorshifted = static_cast<uint32_t>(((old >> 18U) ^ old) >> 27U);
   auto rot = static_cast<uint32_t>(old >> 59U);
   return (xorshifted >> rot) | (xorshifted << ((32U - rot) & 31U));
}
