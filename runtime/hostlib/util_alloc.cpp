#include "runtime/hostlib/util_alloc.h"

#include <cstdlib>

#include "runtime/hostlib/log.h"

void *UtilSafeMalloc0(size_t size)
{
   void *memory = calloc(1, size == 0 ? 1 : size);
   if (memory == nullptr) {
      Panic("Unrecoverable memory allocation failure: %zu bytes\n", size);
   }
   return memory;
}
